// Names that an ordinary user planted where the patch, running as SYSTEM or
// an administrator, deletes, creates or writes a file: whatever they point
// to is never touched, each is named in one line, and the rest of the run
// goes on. And what a finished run wrote is on disk.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "app/file_spot.h"
#include "app/process_state.h"
#include "app/run_control.h"
#include "app/run_log.h"
#include "site/config_files.h"
#include "tests/unit/harness.h"

namespace {

const std::string kOutside = "C:\\Outside";
// Files elsewhere that the planted names lead to, with their bytes.
const std::vector<std::pair<std::string, std::string>> kElsewhere = {
    {kOutside + kSiteRunLog, "a log of something else"},
    {kOutside + kDataPelioIni, "[QUORTECH]\r\nTIMEZONE=KEEP\r\n"},
    {kOutside + kDataTimezoneIni, "[keep]\r\n"},
    {kOutside + kNewdataPelioIni, "[QUORTECH]\r\nTIMEZONE=KEEP\r\n"},
    {kOutside + kNewdataTimezoneIni, "[keep]\r\n"},
    {kOutside + "\\win.ini", "[windows]\r\n"},
};

const std::string kRoot = "C:\\Site";
const std::vector<std::string> kBothJobs = {"/CHANGEREGVALS", "/CHANGEBOHVALS", "/S"};

// The site's folder or file name ("" for the root), or the same name under
// C:\Outside.
std::string InSite(const std::string& name) { return name.empty() ? kRoot : kRoot + "\\" + name; }
std::string Outside(const std::string& name) { return name.empty() ? kOutside : kOutside + "\\" + name; }

// Replaces the site's name by a link to the same name under C:\Outside, as a
// user would; refused while the patch holds it.
void Link(sim::Machine& m, const std::string& name) { m.files.ReplaceWithLink(InSite(name), Outside(name)); }

// The file name, replaced by a second name of the file of that name under C:\Outside.
void HardLink(sim::Machine& m, const std::string& name, const std::string& outside) {
  (void)std::remove(m.files.Resolve(name).host.c_str());
  m.files.MakeHardLink(name, outside);
}

std::string LeftAlone(const std::string& path, const std::string& why) {
  return "\nFile left alone: " + path + " (" + why + ")";
}

class PlantedTest : public SiteTest {
 protected:
  PlantedTest() {
    for (const auto& [path, content] : kElsewhere) {
      machine.files.WriteFile(path, content);
    }
    WritePelioFiles("[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
    machine.files.WriteFile(root + kDataTimezoneIni, "[tz]\r\n");
    machine.files.WriteFile(root + kNewdataTimezoneIni, "[tz]\r\n");
    InstallManager(root, 0);
  }
  void ExpectElsewhereUnchanged() {
    for (const auto& [path, content] : kElsewhere) {
      EXPECT_EQ(machine.files.ReadFile(path), content) << path;
    }
  }
  // The files outside and the site as they were before any swap.
  void ResetSite() {
    for (const char* name : {"", "tmp", "data", "newdata", "newdata\\pelio.ini"}) {
      const std::string host = machine.files.Resolve(InSite(name)).host;
      std::error_code error;
      if (std::filesystem::is_symlink(host, error)) {
        std::filesystem::remove(host, error);
      }
    }
    for (const auto& [path, content] : kElsewhere) {
      machine.files.WriteFile(path, content);
    }
    machine.files.MakeDirectory(root + "\\tmp");
    WritePelioFiles("[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  }
};

struct PlantedCase {
  const char* name;
  std::function<void(sim::Machine&)> plant;
  std::vector<std::string> args;
  std::string line;  // what the run says of it
  bool inRunLog;     // also in the run log (opened by then)
};

class PlantedNameTest : public PlantedTest, public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedNameTest, IsLeftAloneAndNamed) {
  const PlantedCase& c = GetParam();
  c.plant(machine);
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  ExpectElsewhereUnchanged();
  EXPECT_TRUE(Contains(machine.stdoutText, c.line)) << machine.stdoutText;
  EXPECT_EQ(Contains(SiteLog(), Crlf(c.line)), c.inRunLog) << SiteLog();
}

const PlantedCase kPlantedCases[] = {
    {"RunLogIsALink",
     [](sim::Machine& m) { Link(m, "tmp\\debGorvinal.txt"); },
     {"/CHANGEREGVALS", "/S"},
     LeftAlone("C:\\Site\\tmp\\debGorvinal.txt", "it is a link or mount point"),
     false},
    {"RunLogHasTwoNames",
     [](sim::Machine& m) { HardLink(m, kRoot + kSiteRunLog, kOutside + "\\win.ini"); },
     {"/CHANGEREGVALS", "/S"},
     LeftAlone("C:\\Site\\tmp\\debGorvinal.txt", "it has 2 hard links"),
     false},
    {"PelioIniIsALink",
     [](sim::Machine& m) { Link(m, "newdata\\pelio.ini"); },
     {"/CHANGEBOHVALS", "/S"},
     LeftAlone("C:\\Site\\newdata\\pelio.ini", "it is a link or mount point"),
     true},
};

INSTANTIATE_TEST_SUITE_P(Names, PlantedNameTest, ::testing::ValuesIn(kPlantedCases), kCaseName);

// The site root is held from the moment it is found valid: neither it nor,
// where it is a link, the folder it leads to can be renamed or replaced
// until the run ends. A link there counts only where an administrator owns it.
struct RootCase {
  const char* name;
  std::function<void(sim::Machine&)> arrange;
  const char* root;
  std::string notHeld;            // why, or empty where it is held
  std::vector<std::string> held;  // what then cannot be replaced
};

class SiteRootTest : public PlantedTest, public ::testing::WithParamInterface<RootCase> {};

TEST_P(SiteRootTest, IsHeldWhereAnAdministratorChoseIt) {
  const RootCase& c = GetParam();
  c.arrange(machine);
  win::UniqueFile held;
  win::UniqueFile heldFolder;
  EXPECT_EQ(HoldSiteRoot(c.root, held, heldFolder), c.notHeld);
  for (const std::string& name : c.held) {
    EXPECT_FALSE(machine.files.ReplaceWithLink(name, kOutside)) << name;
  }
  held.reset();  // the end of the run
  heldFolder.reset();
  for (const std::string& name : c.held) {
    EXPECT_TRUE(machine.files.ReplaceWithLink(name, kOutside)) << name;
  }
}

// A link at C:\Linked to the site, owned by owner.
std::function<void(sim::Machine&)> LinkOwnedBy(const char* owner) {
  return [owner](sim::Machine& m) {
    m.files.MakeLink("C:\\Linked", kRoot);
    m.files.SetOwner("C:\\Linked", owner);
  };
}

const char kTrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const RootCase kRootCases[] = {
    {"Folder", [](sim::Machine&) {}, "C:\\Site", "", {kRoot}},
    {"AdministratorsLink", LinkOwnedBy(sim::kAdministratorsSid), "C:\\Linked", "", {"C:\\Linked", kRoot}},
    {"SystemsLink", LinkOwnedBy(sim::kSystemSid), "C:\\Linked", "", {"C:\\Linked", kRoot}},
    {"TrustedInstallersLink", LinkOwnedBy(kTrustedInstaller), "C:\\Linked", "", {"C:\\Linked", kRoot}},
    {"RunsOwnAccountsLink", LinkOwnedBy(sim::kAdministratorSid), "C:\\Linked", "", {"C:\\Linked", kRoot}},
    {"UsersLink",
     LinkOwnedBy(sim::kClerkSid),
     "C:\\Linked",
     "it is a link or mount point that no administrator owns",
     {}},
};

INSTANTIATE_TEST_SUITE_P(Roots, SiteRootTest, ::testing::ValuesIn(kRootCases), kCaseName);

// A user who swaps the site root, tmp, data, newdata or a pelio.ini for a
// link at any moment of a run (between any two of its calls) never gets a
// file outside the site touched: a name is looked at while it is held, and
// held while the patch acts in it; pelio.ini is written only through the
// handle it was checked by.
TEST_F(PlantedTest, SwapAtAnyMomentNeverReachesAFileOutside) {
  // The moments that matter: just before each file call. (A swap before any
  // other call is the same as one just before the next file call.)
  std::vector<size_t> recordedBefore;
  machine.beforeCall = [&](size_t) { recordedBefore.push_back(machine.calls.size()); };
  RunProgram(machine, kBothJobs);
  std::vector<size_t> moments;
  for (size_t at = 0; at < recordedBefore.size(); ++at) {
    const size_t record = recordedBefore[at];
    const bool first = at == 0 || recordedBefore[at - 1] != record;
    if (first && record < machine.calls.size()) {
      const std::string& call = machine.calls[record];
      for (const char* name : {"CreateFileA", "DeleteFileA", "GetPrivateProfileStringA", "WritePrivateProfileStringA",
                               "CreateDirectoryA"}) {
        if (call.compare(0, std::strlen(name), name) == 0) {
          moments.push_back(at);
        }
      }
    }
  }
  ASSERT_GT(moments.size(), 10u);
  for (const std::string swapped : {"", "tmp", "data", "newdata", "newdata\\pelio.ini"}) {
    for (const size_t at : moments) {
      SCOPED_TRACE(swapped + " swapped before call " + std::to_string(at));
      ResetProcessState();
      ResetSite();
      machine.platformCalls = 0;
      machine.beforeCall = [&, at](size_t call) {
        if (call == at) {
          Link(machine, swapped);
        }
      };
      RunProgram(machine, kBothJobs);
      machine.beforeCall = nullptr;
      ExpectElsewhereUnchanged();
    }
  }
}

// "Success" means it lasts: every zone record and every pelio.ini written is
// on disk before the run ends; Windows 9x flushes its profile cache.
TEST_F(PlantedTest, WhatTheRunWroteIsFlushed) {
  for (const bool windows9x : {false, true}) {
    if (windows9x) {
      machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
      SeedZones(true);
      WritePelioFiles("[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
    }
    machine.calls.clear();
    EXPECT_EQ(RunProgram(machine, kBothJobs), 0);
    EXPECT_EQ(machine.registry.Unflushed().size(), 0u);
    for (const char* file : {"\\data\\pelio.ini", "\\newdata\\pelio.ini"}) {
      EXPECT_EQ(machine.files.Unflushed().count(machine.files.Resolve(root + file).key), 0u) << file;
    }
    EXPECT_EQ(machine.CallsStartingWith(windows9x ? "WritePrivateProfileStringA(flush" : "FlushFileBuffers").size(),
              2u);
    EXPECT_FALSE(Contains(machine.stdoutText, "Could not flush")) << machine.stdoutText;
    EXPECT_TRUE(Contains(machine.stdoutText, "Modifying Pelio.ini.\nTrying to start"));
    ResetProcessState();
  }
}

// A run where nobody can see a box (a service, the machine account on Vista
// and later, a remote shell) behaves as with /S: a box would wait for ever.
TEST_F(PlantedTest, InvisibleWindowStationShowsNoBox) {
  machine.windowStation.visible = false;
  machine.environment["QUORDIR"] = "C:\\Nowhere";
  EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS"}), 0);
  EXPECT_TRUE(machine.messageBoxes.shown.empty());
  EXPECT_TRUE(Contains(machine.stdoutText, "\nQuordir is not defined"));
  machine.faults = {{"GetUserObjectInformationA", 6}};  // cannot be told: boxes are shown
  EXPECT_EQ(RunProgram(machine, {"/?"}), 0);
  EXPECT_EQ(machine.messageBoxes.shown.size(), 1u);
}

// Before any other call, no library can come from the program's or the
// current folder; a Windows without the calls keeps its search.
TEST_F(PlantedTest, LibrariesComeFromTheSystemFolderOnly) {
  for (const bool old : {false, true}) {
    if (old) {
      machine.modules.RemoveExport("kernel32.dll", "SetDllDirectoryA");
      machine.modules.RemoveExport("kernel32.dll", "SetDefaultDllDirectories");
      machine.librarySearch = {};
    }
    machine.calls.clear();
    EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS", "/S"}), 0);
    EXPECT_EQ(machine.librarySearch.dllDirectory, old ? std::nullopt : std::optional<std::string>(""));
    EXPECT_EQ(machine.librarySearch.defaultDirectories, old ? 0u : win::LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!old) {
      EXPECT_EQ(std::vector<std::string>(machine.calls.begin(), machine.calls.begin() + 5),
                (std::vector<std::string>{"GetModuleHandleA(kernel32.dll)", "GetProcAddress(SetDllDirectoryA)",
                                          "SetDllDirectoryA(\"\")", "GetProcAddress(SetDefaultDllDirectories)",
                                          "SetDefaultDllDirectories(0x800)"}));
    }
  }
}

// A Windows without SetDefaultDllDirectories (XP, Vista, 7 without its
// update) looks for a library named alone beside the program first: the
// libraries that the manager's restart loads as SYSTEM come from the system
// folder, whatever lies beside the program.
TEST_F(PlantedTest, LibrariesLoadedLaterAreNeverThoseBesideTheProgram) {
  machine.modules.RemoveExport("kernel32.dll", "SetDefaultDllDirectories");
  for (const char* library : {"userenv.dll", "wtsapi32.dll"}) {
    machine.files.WriteFile("C:\\Patch\\" + std::string(library), "MZ");
  }
  machine.token.user = sim::kSystemSid;
  machine.token.session = 0;
  machine.token.privileges["SeAssignPrimaryTokenPrivilege"].held = true;
  machine.token.privileges["SeTcbPrivilege"].held = true;
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_EQ(machine.modules.planted, std::vector<std::string>{});
  const std::vector<const sim::Process*> started = machine.processes.Named("PelioMgr.exe");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]->environment, sim::kAdministratorSid);  // the real userenv.dll made it
}

}  // namespace

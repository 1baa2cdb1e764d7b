#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "app/process_state.h"
#include "app/run_control.h"
#include "tests/unit/harness.h"
#include "tzrules/zone_table.h"

namespace {

constexpr const char* kInvalidRoot = kInvalidRootMessage;

class RunControlTest : public SiteTest {
 protected:
  // The site's manager program starts and ends at once, so that the
  // back-office job ends without a box.
  RunControlTest() { InstallManager(root, 0); }
  bool RegistryJobRan() const { return !machine.CallsStartingWith("RegSetValueExA").empty(); }
  bool BackOfficeJobRan() const { return Contains(machine.stdoutText, "\nUsing QUORDIR -  "); }
};

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  bool registryJob;
  bool backOfficeJob;
  bool usage;
  size_t boxes;
};

class OptionTest : public RunControlTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, SelectsJobsUsageAndBoxes) {
  const OptionCase& c = GetParam();
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  EXPECT_EQ(RegistryJobRan(), c.registryJob);
  EXPECT_EQ(BackOfficeJobRan(), c.backOfficeJob);
  EXPECT_EQ(Contains(machine.stdoutText, kUsage), c.usage);
  ASSERT_EQ(machine.messageBoxes.shown.size(), c.boxes);
  for (const auto& box : machine.messageBoxes.shown) {
    EXPECT_EQ(box.text, machine.stdoutText);  // the usage text, verbatim in both
    EXPECT_EQ(box.caption, machine.exePath);
    EXPECT_EQ(box.style, 0x30u);
  }
  // Every orderly run ends with Success, and the run log holds all that was
  // written after it was opened. The usage text ends the run before that.
  const std::string& out = machine.stdoutText;
  const size_t logged = out.find("\nMarker file was not found") + 26;
  EXPECT_EQ(SiteLog(), c.usage ? "<no run log>" : Crlf(out.substr(logged)));
  EXPECT_EQ(out.size() >= 8 && out.compare(out.size() - 8, 8, "\nSuccess") == 0, !c.usage);
}

const OptionCase kOptionCases[] = {
    {"NoArguments", {}, true, true, false, 0},
    {"SilentOnly", {"/S"}, false, false, false, 0},
    {"LowerCase", {"/changeregvals", "/s"}, true, false, false, 0},
    {"UnknownIgnored", {"/X", "CHANGEREGVALS", "/CHANGEREGVALSX"}, false, false, false, 0},
    {"UsageWithJob", {"/?", "/CHANGEREGVALS"}, false, false, true, 1},
    {"UsageSilentAfter", {"/CHANGEREGVALS", "/?", "/S"}, false, false, true, 0},
};

INSTANTIATE_TEST_SUITE_P(Options, OptionTest, ::testing::ValuesIn(kOptionCases), kCaseName);

struct InvalidRootCase {
  const char* name;
  const char* variable;  // QUORDIR, or none
  std::vector<std::string> args;
  bool silent;
};

class InvalidRootTest : public RunControlTest, public ::testing::WithParamInterface<InvalidRootCase> {};

// Every way of naming no site, or a folder without data\pelio.ini, ends the
// run with the same message, in a box unless silent, and changes nothing.
TEST_P(InvalidRootTest, EndsWithMessageAndChangesNothing) {
  const InvalidRootCase& c = GetParam();
  machine.environment.clear();
  if (c.variable != nullptr) {
    machine.environment["QUORDIR"] = c.variable;
  }
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  ASSERT_EQ(machine.messageBoxes.shown.size(), c.silent ? 0u : 1u);
  if (!c.silent) {
    EXPECT_EQ(machine.messageBoxes.shown[0].text, kInvalidRoot);
    const auto box = std::find(machine.calls.begin(), machine.calls.end(), "MessageBoxA()");
    const auto logged = std::find(machine.calls.begin(), machine.calls.end(), "WriteFile(C:\\debBGorvinal.txt)");
    EXPECT_LT(box, logged) << "the box comes before the log is written";
  }
  EXPECT_EQ(machine.stdoutText, kInvalidRoot);
  EXPECT_EQ(machine.files.ReadFile("C:\\debBGorvinal.txt"), Crlf(kInvalidRoot));
}

const InvalidRootCase kInvalidRootCases[] = {
    {"NoVariable", nullptr, {"/CHANGEREGVALS"}, false},
    {"BlankVariable", " \t ", {"/CHANGEREGVALS", "/S"}, true},
    {"OptionOverridesValidVariable", "C:\\Site", {"/QUORDIR", "C:\\Nope", "/S"}, true},
    {"QuordirConsumesS", "C:\\Site", {"/CHANGEREGVALS", "/QUORDIR", "/S"}, false},
    {"QuordirLast", "C:\\Site", {"/CHANGEREGVALS", "/S", "/QUORDIR"}, true},
    {"QuordirEmpty", "C:\\Site", {"/QUORDIR", "", "/S"}, true},
    {"QuordirNotTrimmed", nullptr, {"/QUORDIR", " C:\\Site", "/S"}, true},
    // A share that cannot be reached names no site either.
    {"UnreachableShare", "\\\\server\\site", {"/S"}, true},
};

INSTANTIATE_TEST_SUITE_P(Roots, InvalidRootTest, ::testing::ValuesIn(kInvalidRootCases), kCaseName);

TEST_F(RunControlTest, TrimsVariableButUsesOptionAsGiven) {
  machine.environment["QUORDIR"] = " \tC:\\Site \r\n";
  RunProgram(machine, {"/CHANGEBOHVALS", "/S"});
  EXPECT_TRUE(Contains(SiteLog(), "\r\nUsing QUORDIR -  C:\\Site\r\n"));

  // An invalid variable is replaced by a valid option.
  machine.environment["QUORDIR"] = "C:\\Nowhere";
  machine.files.WriteFile("D:\\Other Site\\data\\pelio.ini", "");
  EXPECT_EQ(RunProgram(machine, {"/QUORDIR", "D:\\Other Site", "/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText, "\nUsing QUORDIR -  D:\\Other Site\n"));

  // A variable that does not fit the first buffer (256 with its NUL) is read
  // again whole; an option of 20000 characters names no site.
  for (const size_t length : {255u, 256u, 300u}) {
    std::string longRoot = "C:";
    while (length - longRoot.size() > 101) {
      longRoot += "\\" + std::string(100, 'x');
    }
    longRoot += "\\" + std::string(length - longRoot.size() - 1, 'y');
    machine.files.WriteFile(longRoot + "\\data\\pelio.ini", "");
    machine.environment["QUORDIR"] = longRoot;
    RunProgram(machine, {"/CHANGEBOHVALS", "/S"});
    EXPECT_TRUE(Contains(machine.stdoutText, "\nUsing QUORDIR -  " + longRoot + "\n")) << length;
  }
  machine.stdoutText.clear();
  RunProgram(machine, {"/QUORDIR", "C:\\" + std::string(20000, 'x'), "/S"});
  EXPECT_EQ(machine.stdoutText, kInvalidRoot);
}

TEST_F(RunControlTest, MissingTmpFolderGivesConsoleOnlyRun) {
  machine.files.WriteFile("C:\\Bare\\data\\pelio.ini", "");
  machine.environment["QUORDIR"] = "C:\\Bare";
  EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS", "/S"}), 0);
  EXPECT_FALSE(machine.files.Exists("C:\\Bare\\tmp"));
  EXPECT_TRUE(Contains(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded\nSuccess"));
}

// XP, 2000 and 2003 guard the time zone with the system-time privilege, Vista
// and later with the time-zone privilege: the registry job enables both for
// the apply and disables both when it is done. Failures to get them are not
// reported; the refused apply reports itself.
TEST_F(RunControlTest, PrivilegesAreEnabledOnlyForTheRegistryJob) {
  for (const win::DWORD major : {5u, 6u}) {
    machine.version.major = major;
    RunProgram(machine, {"/CHANGEREGVALS", "/S"});
    EXPECT_TRUE(Contains(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded\nSuccess")) << major;
    EXPECT_FALSE(machine.token.IsEnabled("SeTimeZonePrivilege"));
    EXPECT_FALSE(machine.token.IsEnabled("SeSystemtimePrivilege"));
  }
  machine.token.privileges.erase("SeTimeZonePrivilege");  // unknown to the system: 1313
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  machine.faults = {{"OpenProcessToken", win::ERROR_ACCESS_DENIED, "self"}};
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  EXPECT_EQ(machine.CallsStartingWith("RegSetValueExA").size(), 28u);
  EXPECT_EQ(machine.timeZone.applies, 2);
  EXPECT_FALSE(Contains(machine.stdoutText, "rivilege"));
}

TEST_F(RunControlTest, Windows9xWritesTheBareKeysWithoutAToken) {
  machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  SeedZones(true);
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  EXPECT_TRUE(machine.CallsStartingWith("OpenProcessToken").empty());
  for (int i = 0; i < kZoneCount; ++i) {
    const auto tzi = machine.registry.GetValue(ZoneKey(i, true), "TZI");
    ASSERT_TRUE(tzi) << GetZoneName(i);
    const auto expected = TziBytes(ZoneRecord(i));
    EXPECT_EQ(tzi->data, std::vector<uint8_t>(expected.begin(), expected.end())) << GetZoneName(i);
  }
}

}  // namespace

// --- One run at a time ---

const char kOtherRun[] =
    "\nAnother run of this patch is in progress on this machine: this run changed nothing. Run this patch again later.";
const std::string kGlobalGuard = "Global\\dstpatch.run";
const std::string kPlainGuard = "dstpatch.run";
const std::string kPrivateGuard = "dstpatch\\run";

// The guard's namespace as another run of the patch made it, with the guard
// held there; the key of the namespace.
std::string GuardOfAnotherRun(sim::Machine& m) {
  std::string key = m.mutexes.NamespaceOfAnotherProcess("dstpatch", {sim::kAdministratorsSid});
  m.mutexes.HeldByAnotherProcess(key + "\\run");
  return key;
}

// Windows before Vista: no private namespaces.
void OlderWindows(sim::Machine& m) {
  for (const char* call : {"CreateBoundaryDescriptorW", "AddSIDToBoundaryDescriptor", "DeleteBoundaryDescriptor",
                           "CreatePrivateNamespaceA", "OpenPrivateNamespaceA", "ClosePrivateNamespace"}) {
    m.modules.RemoveExport("kernel32.dll", call);
  }
}

struct GuardCase {
  const char* name;
  void (*setUp)(sim::Machine&);
  std::vector<std::string> args;
  std::vector<std::string> mutexCalls;  // the CreateMutexA calls, in order
  const char* console;                  // what the console says before the run's own lines; null: refused
  bool box = false;
  bool guarded = true;  // the run holds the guard
};

class RunGuardTest : public RunControlTest, public ::testing::WithParamInterface<GuardCase> {
 protected:
  RunGuardTest() { machine.files.WriteFile(root + "\\tmp\\debGorvinal.txt", "the other run's log"); }
};

// A run takes the guard after the site root is found valid and holds it until
// it ends; while another run holds it, it changes nothing, writes no run log
// and says so.
TEST_P(RunGuardTest, OneRunAtATime) {
  const GuardCase& c = GetParam();
  c.setUp(machine);
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  std::vector<std::string> creates;
  for (const std::string& call : machine.CallsStartingWith("CreateMutexA")) {
    creates.push_back(call.substr(std::strlen("CreateMutexA("), call.size() - std::strlen("CreateMutexA(") - 1));
  }
  EXPECT_EQ(creates, c.mutexCalls);
  if (c.console == nullptr) {
    EXPECT_EQ(machine.stdoutText, kOtherRun);
    EXPECT_EQ(SiteLog(), "the other run's log");
    EXPECT_TRUE(machine.CallsStartingWith("RegSetValueExA").empty());
    EXPECT_TRUE(machine.CallsStartingWith("DeleteFileA").empty());
  } else {
    EXPECT_EQ(machine.stdoutText.substr(0, std::string(c.console).size()), c.console);
    EXPECT_TRUE(Contains(machine.stdoutText, "\nSetting TimeZoneInfo part..") &&
                Contains(machine.stdoutText, "\nSuccess"));
    EXPECT_EQ(SiteLog(), Crlf(machine.stdoutText.substr(machine.stdoutText.find("\nSetting TimeZones for"))));
    const auto ownedHere = [&] {
      return std::any_of(machine.mutexes.named.begin(), machine.mutexes.named.end(),
                         [](const auto& named) { return named.second.owned > 0; });
    };
    EXPECT_EQ(ownedHere(), c.guarded) << "held until the process ends";
    ResetProcessState();
    EXPECT_FALSE(ownedHere());
  }
  ASSERT_EQ(machine.messageBoxes.shown.size(), c.box ? 1u : 0u);
  if (c.box) {
    EXPECT_EQ(machine.messageBoxes.shown[0].text, kOtherRun);
  }
}

const char kNormalStart[] = "\nTrying to remove debout file..\nDebout file removed from C:\\Site\\tmp\\debGorvinal.txt";
const char kNotOurs[] =
    "\nThe guard against a second run (Global\\dstpatch.run) was made by a program that is not this patch; this run "
    "goes "
    "on without it.\nTrying to remove debout file..";

const GuardCase kGuardCases[] = {
    {"NoOtherRun", [](sim::Machine&) {}, {"/CHANGEREGVALS", "/S"}, {kPrivateGuard}, kNormalStart},
    {"OtherRunHoldsIt",
     [](sim::Machine& m) { GuardOfAnotherRun(m); },
     {"/CHANGEREGVALS", "/CHANGEBOHVALS", "/S"},
     {kPrivateGuard},
     nullptr},
    {"OtherRunHoldsItBoxUnlessSilent",
     [](sim::Machine& m) { GuardOfAnotherRun(m); },
     {"/CHANGEREGVALS"},
     {kPrivateGuard},
     nullptr,
     true},
    // The other run ends between this run's attempt to make the namespace and
    // its opening of it: this run makes it again and holds the guard.
    {"OtherRunEndsMeanwhile",
     [](sim::Machine& m) {
       const std::string key = GuardOfAnotherRun(m);
       m.beforeCall = [&m, key](size_t) {
         if (!m.calls.empty() && m.calls.back() == "CreatePrivateNamespaceA(dstpatch)") {
           m.mutexes.namespaces[key].otherOpen = false;
           m.mutexes.named.erase(key + "\\run");
         }
       };
     },
     {"/CHANGEREGVALS", "/S"},
     {kPrivateGuard},
     kNormalStart},
    // Any user may make a mutex in Global\ or a namespace of that name with
    // a boundary of their own: neither is the guard, which no one but an
    // administrator or SYSTEM can make or hold.
    {"UserHoldsTheGlobalName",
     [](sim::Machine& m) { m.mutexes.MadeByUser(kGlobalGuard, true, false); },
     {"/CHANGEREGVALS", "/S"},
     {kPrivateGuard},
     kNormalStart},
    {"UsersNamespaceOfTheSameName",
     [](sim::Machine& m) {
       m.mutexes.HeldByAnotherProcess(m.mutexes.NamespaceOfAnotherProcess("dstpatch", {}) + "\\run", sim::kClerkSid);
     },
     {"/CHANGEREGVALS", "/S"},
     {kPrivateGuard},
     kNormalStart},
    // A token without the Administrators group cannot make the namespace: the
    // guard is made as on older Windows.
    {"NamespaceCannotBeMade",
     [](sim::Machine& m) { m.token.administrators = false; },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     kNormalStart},
    {"OlderWindowsOtherRunHoldsIt",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.HeldByAnotherProcess(kGlobalGuard);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     nullptr},
    {"OlderWindowsSystemsRunHoldsIt",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.HeldByAnotherProcess(kGlobalGuard, sim::kSystemSid);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     nullptr},
    // An owner that cannot be read (a failed query; NT 4 without the call)
    // counts as a run of this patch, as every guard did before.
    {"OlderWindowsOwnerUnreadable",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.HeldByAnotherProcess(kGlobalGuard);
       m.faults = {{"GetSecurityInfo", win::ERROR_ACCESS_DENIED}};
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     nullptr},
    {"OlderWindowsWithoutOwnerQuery",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.modules.RemoveExport("advapi32.dll", "GetSecurityInfo");
       m.mutexes.HeldByAnotherProcess(kGlobalGuard);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     nullptr},
    // Before Vista any user may make a mutex in Global\: one that no
    // administrator or SYSTEM owns, or that shuts them out, is not a run of
    // this patch.
    {"OlderWindowsUserHoldsTheName",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.MadeByUser(kGlobalGuard, true, false);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     kNotOurs,
     false,
     false},
    {"OlderWindowsUserShutsAdministratorsOut",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.MadeByUser(kGlobalGuard, true, true);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     kNotOurs,
     false,
     false},
    {"OlderWindowsRunThatDiedDoesNotBlock",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.AbandonedByAnotherProcess(kGlobalGuard);
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard},
     kNormalStart},
    {"NoGlobalNamespace",
     [](sim::Machine& m) {
       OlderWindows(m);
       m.mutexes.globalNamespace = false;
     },
     {"/CHANGEREGVALS", "/S"},
     {kGlobalGuard, kPlainGuard},
     kNormalStart},
    {"Windows9xUsesThePlainName",
     [](sim::Machine& m) {
       m.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
       m.mutexes.globalNamespace = false;
       m.mutexes.HeldByAnotherProcess(kGlobalGuard);
     },
     {"/CHANGEREGVALS", "/S"},
     {kPlainGuard},
     kNormalStart},
};

INSTANTIATE_TEST_SUITE_P(Guard, RunGuardTest, ::testing::ValuesIn(kGuardCases), kCaseName);

// The guard is made with security of its own (owner Administrators, open to
// SYSTEM and Administrators only), which is given back; where the system
// cannot build it (NT 4) the guard is made as before.
TEST_F(RunControlTest, GuardHasItsOwnSecurity) {
  const std::string sddl = "ConvertStringSecurityDescriptorToSecurityDescriptorA(O:BAD:(A;;GA;;;SY)(A;;GA;;;BA))";
  for (const bool nt4 : {false, true}) {
    if (nt4) {
      machine.modules.RemoveExport("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA");
    }
    ResetProcessState();
    machine.calls.clear();
    EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS", "/S"}), 0);
    EXPECT_EQ(machine.CallsStartingWith(sddl).size(), nt4 ? 0u : 1u);
    EXPECT_EQ(machine.CallsStartingWith("CreateMutexA").size(), 1u);
    EXPECT_EQ(machine.heap.Blocks(), 0u) << "the descriptor is given back";
    EXPECT_TRUE(Contains(machine.stdoutText, "\nSuccess"));
  }
}

// The usage text, the report and an invalid site root change nothing, so
// they need no guard and are never held up by another run.
TEST_F(RunControlTest, UsageReportAndInvalidRootTakeNoGuard) {
  GuardOfAnotherRun(machine);
  RunProgram(machine, {"/?", "/S"});
  EXPECT_TRUE(Contains(machine.stdoutText, kUsage));
  machine.environment["QUORDIR"] = "C:\\Nowhere";
  RunProgram(machine, {"/DISPONLY", "/S"});
  EXPECT_TRUE(Contains(machine.stdoutText, "\nRetrieving Standard Time"));
  EXPECT_TRUE(Contains(machine.stdoutText, "This patch has not completed"));
  EXPECT_TRUE(machine.CallsStartingWith("CreateMutexA").empty());
}

#include <gtest/gtest.h>

#include "tests/unit/harness.h"

namespace {

const char kQuestion[] = "This patch requires Peliomgr to be closed, do you wish to continue?";
const char kNotCompleted[] = "\nThis patch has not completed, you will need to run this patch again.";
const char kCouldNotStart[] = "Could not start Pelio Manager, please start the application manually";
const std::string kHead = "\nTrying to remove debout file..\nMarker file was not found\nUsing QUORDIR -  C:\\Site";
const std::string kStopping = "\nTrying to stop the Pelio Manager.";
const std::string kStopped = "\nSuccesfully stopped the Pelio Manager.";
const std::string kFiles = "\nRemoving Timezone.ini.. if exists\nModifying Pelio.ini.";
const std::string kStarting = "\nTrying to start the Pelio Manager.";

class MaintenanceTest : public SiteTest {
 protected:
  MaintenanceTest() {
    WritePelioFiles("[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n");
    machine.files.WriteFile(root + "\\data\\timezone.ini", "[TZ]\r\n");
    machine.files.WriteFile(root + "\\newdata\\timezone.ini", "[TZ]\r\n");
  }
  // TIMEZONE=INTL in both pelio.ini files, every other entry kept, and both
  // timezone.ini files gone.
  bool FilesChanged() const {
    const std::string changed = "[QUORTECH]\r\nTIMEZONE=INTL\r\nSTORE=12\r\n";
    return machine.files.ReadFile(root + "\\data\\pelio.ini") == changed &&
           machine.files.ReadFile(root + "\\newdata\\pelio.ini") == changed &&
           !machine.files.Exists(root + "\\data\\timezone.ini") &&
           !machine.files.Exists(root + "\\newdata\\timezone.ini");
  }
};

struct AppCase {
  const char* name;
  bool running;  // the manager application at the start, ending on WM_CLOSE
  bool silent;
  bool installed;    // the manager program exists and can be started
  bool windows9x;    // with the control server registered as a service all the same
  std::string stop;  // what the console says about closing it
  std::vector<std::string> boxes;
};

class AppModeTest : public MaintenanceTest, public ::testing::WithParamInterface<AppCase> {};

TEST_P(AppModeTest, ClosesChangesAndStartsTheManager) {
  const AppCase& c = GetParam();
  if (c.windows9x) {
    machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
    InstallHub(true);
  }
  const sim::Process* manager = c.running ? &RunningManager() : nullptr;
  if (c.installed) {
    InstallManager(root);
  }
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(RunProgram(machine, c.silent ? std::vector<std::string>{"/CHANGEBOHVALS", "/S"}
                                         : std::vector<std::string>{"/CHANGEBOHVALS"}),
            0);
  const std::string& out = machine.stdoutText;
  EXPECT_EQ(
      out, kHead + c.stop + kFiles + kStarting + (c.installed ? "" : std::string("\n") + kCouldNotStart) + "\nSuccess");
  EXPECT_EQ(SiteLog(), Crlf(out.substr(out.find("\nUsing QUORDIR"))));
  std::vector<std::string> boxes;
  for (const auto& box : machine.messageBoxes.shown) {
    boxes.push_back(box.text);
    EXPECT_EQ(box.caption, machine.exePath);
  }
  EXPECT_EQ(boxes, c.boxes);
  EXPECT_TRUE(FilesChanged());
  EXPECT_EQ(machine.modules.Loads("advapi32.dll"), c.windows9x ? 0 : 1);          // no service helpers on 9x
  EXPECT_EQ(machine.CallsStartingWith("OpenProcessToken").empty(), c.windows9x);  // nor tokens
  if (manager != nullptr) {
    EXPECT_FALSE(manager->running);
  }
  EXPECT_EQ(machine.processes.commandLines, std::vector<std::string>{"C:\\Site\\bin\\PelioMgr.exe  /QUORDIR C:\\Site"});
  // A started manager keeps running: the whole 10000 ms are waited for it.
  EXPECT_GE(machine.clock.Elapsed(start), c.installed ? 10000u : 0u);
}

const AppCase kAppModeCases[] = {
    {"RunningSilent", true, true, true, false, kStopping + kStopped, {}},
    {"RunningAnsweredYes", true, false, true, false, kStopping + kStopped, {kQuestion}},
    {"NotRunningNoPrompt", false, false, true, false, "", {}},
    {"StartFailsSilent", false, true, false, false, "", {}},
    {"StartFailsAsks", false, false, false, false, "", {kCouldNotStart}},
    {"Windows9x", true, true, true, true, kStopping + kStopped, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, AppModeTest, ::testing::ValuesIn(kAppModeCases), kCaseName);

// The manager comes back under the account of the one that was closed (a
// clerk's, in session 2, while an administrator of session 1 or the machine
// account runs the patch): as SYSTEM in the clerk's session, on its desktop
// and with the clerk's environment; else in the caller's session, as the
// secondary logon service starts it. Where the token cannot be taken or
// used, as before, under the patch's own account.
struct RestartCase {
  const char* name;
  bool asSystem;  // the patch runs as the machine account, in session 0
  bool running;
  void (*arrange)(sim::Machine&, sim::Process&);
  const char* startedBy;
  const char* user;  // nullptr: the patch's own account and session
  win::DWORD session;
  const char* environment;
  const char* desktop;
};

class RestartTest : public MaintenanceTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, ManagerComesBackUnderTheAccountItRanAs) {
  const RestartCase& c = GetParam();
  if (c.asSystem) {
    machine.token.user = sim::kSystemSid;
    machine.token.session = 0;
    machine.token.privileges["SeAssignPrimaryTokenPrivilege"].held = true;
  }
  if (c.running) {
    sim::Process& clerks = RunningManager();
    clerks.user = sim::kClerkSid;
    clerks.session = 2;
    clerks.behaviour.otherAccount = true;
    if (c.arrange != nullptr) {
      c.arrange(machine, clerks);
    }
  }
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText, kFiles + kStarting + "\nSuccess"));
  const sim::Process& started = *machine.processes.Named("PelioMgr.exe").back();
  EXPECT_TRUE(started.running);
  EXPECT_EQ(started.commandLine, "C:\\Site\\bin\\PelioMgr.exe  /QUORDIR C:\\Site");
  EXPECT_EQ(started.startedBy, c.startedBy);
  EXPECT_EQ(started.user, c.user != nullptr ? c.user : machine.token.user);
  EXPECT_EQ(started.session, c.user != nullptr ? c.session : machine.token.session);
  EXPECT_EQ(started.environment, c.environment);
  EXPECT_EQ(started.desktop, c.desktop);
  for (const char* privilege : {"SeDebugPrivilege", "SeAssignPrimaryTokenPrivilege", "SeImpersonatePrivilege"}) {
    EXPECT_FALSE(machine.token.IsEnabled(privilege)) << privilege;
  }
}

const RestartCase kRestartCases[] = {
    {"Administrator", false, true, nullptr, "CreateProcessWithTokenW", sim::kClerkSid, 1, sim::kClerkSid, ""},
    {"MachineAccount", true, true, nullptr, "CreateProcessAsUserA", sim::kClerkSid, 2, sim::kClerkSid,
     "winsta0\\default"},
    {"MachineAccountWithoutUserenv", true, true,
     [](sim::Machine& m, sim::Process&) { m.modules.SetPresent("userenv", false); }, "CreateProcessAsUserA",
     sim::kClerkSid, 2, "", "winsta0\\default"},
    {"NoManagerRunning", false, false, nullptr, "CreateProcessA", nullptr, 0, "", ""},
    {"TokenDenied", false, true, [](sim::Machine&, sim::Process& p) { p.behaviour.denyToken = true; }, "CreateProcessA",
     nullptr, 0, "", ""},
    {"NoCreateProcessWithTokenW", false, true,
     [](sim::Machine& m, sim::Process&) { m.modules.RemoveExport("advapi32", "CreateProcessWithTokenW"); },
     "CreateProcessA", nullptr, 0, "", ""},
    {"SecondaryLogonDisabled", false, true,
     [](sim::Machine& m, sim::Process&) { m.token.secondaryLogonStopped = true; }, "CreateProcessA", nullptr, 0, "",
     ""},
    {"MachineAccountWithoutAssignPrivilege", true, true,
     [](sim::Machine& m, sim::Process&) { m.token.privileges["SeAssignPrimaryTokenPrivilege"].held = false; },
     "CreateProcessA", nullptr, 0, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, RestartTest, ::testing::ValuesIn(kRestartCases), kCaseName);

TEST_F(MaintenanceTest, NoEndsTheRunWithNothingChanged) {
  const sim::Process& manager = RunningManager();
  InstallManager(root);
  machine.messageBoxes.answers = {win::IDNO};
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS"}), 0);
  ASSERT_EQ(machine.messageBoxes.shown.size(), 2u);
  EXPECT_EQ(machine.messageBoxes.shown[0].text, kQuestion);
  EXPECT_EQ(machine.messageBoxes.shown[0].style, 0x34u);
  EXPECT_EQ(machine.messageBoxes.shown[1].text, kNotCompleted);
  EXPECT_EQ(machine.messageBoxes.shown[1].style, 0x30u);
  EXPECT_EQ(machine.stdoutText, kHead + kNotCompleted);
  EXPECT_TRUE(manager.running);
  EXPECT_EQ(manager.closeRequests, 0);
  EXPECT_EQ(machine.files.ReadFile(root + "\\data\\pelio.ini"), "[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n");
  EXPECT_TRUE(machine.files.Exists(root + "\\data\\timezone.ini"));
  EXPECT_TRUE(machine.processes.commandLines.empty());
}

TEST_F(MaintenanceTest, ServiceModeStopsAndStartsTheServiceAroundTheFiles) {
  InstallHub(true);
  const sim::Process& manager = RunningManager();
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  // Stopped before the files change, started after.
  EXPECT_EQ(machine.stdoutText, kHead + "\nTrying to stop the control server.\nControl server stopped." + kFiles +
                                    "\nTrying to start the control server.\nControl server started.\nSuccess");
  EXPECT_TRUE(FilesChanged());
  // The manager application is neither closed nor started.
  EXPECT_EQ(manager.closeRequests, 0);
  EXPECT_TRUE(machine.processes.commandLines.empty());
}

TEST_F(MaintenanceTest, UnboundServiceHelpersLeaveEverythingAsItWas) {
  machine.modules.SetPresent("advapi32", false);
  const sim::Process& manager = RunningManager();
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_EQ(machine.stdoutText, kHead + "\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL\nSuccess");
  // The run log, all that an unattended run leaves, holds the failure too.
  EXPECT_EQ(SiteLog(), Crlf("\nUsing QUORDIR -  C:\\Site\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL"
                            "\nSuccess"));
  EXPECT_FALSE(FilesChanged());
  EXPECT_EQ(manager.closeRequests, 0);  // and, as the console shows, not started again either
}

TEST_F(MaintenanceTest, ProgramPathIsQuotedWhenTheRootHoldsABlank) {
  const std::string blankRoot = "C:\\My Site";
  machine.files.WriteFile(blankRoot + "\\data\\pelio.ini", "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  machine.environment["QUORDIR"] = blankRoot;
  InstallManager(blankRoot);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_EQ(machine.processes.commandLines,
            std::vector<std::string>{"\"C:\\My Site\\bin\\PelioMgr.exe\"  /QUORDIR C:\\My Site"});
}

// A trailing backslash is kept as given: Windows reads "C:\Site\\bin" as
// "C:\Site\bin".
TEST_F(MaintenanceTest, RootWithTrailingBackslashIsUsedAsGiven) {
  machine.environment["QUORDIR"] = root + "\\";
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText, "\nUsing QUORDIR -  C:\\Site\\\n"));
  EXPECT_TRUE(FilesChanged());
  EXPECT_EQ(machine.processes.commandLines,
            std::vector<std::string>{"C:\\Site\\\\bin\\PelioMgr.exe  /QUORDIR C:\\Site\\"});
}

// A manager that is listed but cannot be opened (a protected process), or
// that does not end, finds the site files as they were and no second manager
// beside it; the run names it and the error, and goes on to its end.
TEST_F(MaintenanceTest, ManagerThatCannotBeClosedKeepsItsFiles) {
  using OnClose = sim::Behaviour::OnClose;
  const struct {
    const char* name;
    void (*arrange)(sim::Behaviour&);
    bool silent;
    std::string stop;
    int error;
  } cases[] = {
      {"cannot be opened", [](sim::Behaviour& b) { b.denyOpen = true; }, false, "", 5},
      {"termination refused",
       [](sim::Behaviour& b) {
         b.onClose = OnClose::Ignore;
         b.refuseTerminate = true;
       },
       true, kStopping, 5},
      {"does not end after its termination",
       [](sim::Behaviour& b) {
         b.onClose = OnClose::Ignore;
         b.terminateHangs = true;
       },
       true, kStopping, 258},
  };
  InstallManager(root);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Process& manager = RunningManager();
    c.arrange(manager.behaviour);
    machine.stdoutText.clear();
    EXPECT_EQ(RunProgram(machine, c.silent ? std::vector<std::string>{"/CHANGEBOHVALS", "/S"}
                                           : std::vector<std::string>{"/CHANGEBOHVALS"}),
              0);
    const std::string line = "\nPelio Manager could not be closed (process " + std::to_string(manager.id) + ", error " +
                             std::to_string(c.error) +
                             "): the site files were not changed and it was not started again.";
    const std::string logged = "\nUsing QUORDIR -  C:\\Site" + c.stop + line + "\nSuccess";
    EXPECT_EQ(machine.stdoutText.substr(machine.stdoutText.find("\nUsing")), logged);
    EXPECT_EQ(SiteLog(), Crlf(logged));
    EXPECT_TRUE(machine.messageBoxes.shown.empty() || c.silent);
    EXPECT_EQ(machine.files.ReadFile(root + "\\newdata\\pelio.ini"), "[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n");
    EXPECT_TRUE(machine.files.Exists(root + "\\data\\timezone.ini"));
    EXPECT_TRUE(machine.processes.commandLines.empty());
    EXPECT_TRUE(manager.running);
    machine.processes.End(manager, 0);
  }
}

// A control server that never stops costs the stop's 5 s, no pause longer;
// the files are changed all the same and the start's failure is reported.
TEST_F(MaintenanceTest, ServiceThatNeverStopsCostsFiveSeconds) {
  InstallHub(true).afterStop = {sim::Status(win::SERVICE_STOP_PENDING, 1, 1000)};
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText,
                       "\nStopControlServer() - StopService returned error 1460\n"
                       "StopControlServer() - Unable to stop the Hubsvc"));
  EXPECT_TRUE(Contains(machine.stdoutText, "\nStartControlServer() - StartService returned error"));
  EXPECT_TRUE(FilesChanged());
  EXPECT_LE(machine.clock.ticks - start, 5001u);
}

}  // namespace

// A manager started by another account (a clerk's session while a
// technician runs the patch, "Run as") opens only with the debug privilege,
// which is enabled for the search and the close and disabled afterwards.
// Without it, as for an account that does not hold it, the manager cannot be
// closed: it is left alone with its files, and no second one is started.
TEST_F(MaintenanceTest, ManagerOfAnotherAccountIsClosedWithTheDebugPrivilege) {
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "debug privilege held" : "debug privilege not held");
    machine.token.privileges["SeDebugPrivilege"].held = held;
    sim::Process& manager = RunningManager();
    manager.behaviour.otherAccount = true;
    InstallManager(root);
    machine.stdoutText.clear();
    EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
    EXPECT_EQ(Contains(machine.stdoutText, kStopping + kStopped + kFiles), held);
    EXPECT_EQ(Contains(machine.stdoutText, "could not be closed (process " + std::to_string(manager.id) + ", error 5)"),
              !held);
    EXPECT_EQ(manager.running, !held);
    EXPECT_EQ(machine.processes.commandLines.size(), held ? 1u : 0u);
    EXPECT_FALSE(machine.token.IsEnabled("SeDebugPrivilege"));
    EXPECT_EQ(machine.CallsStartingWith("AdjustTokenPrivileges(SeDebugPrivilege"),
              (std::vector<std::string>{"AdjustTokenPrivileges(SeDebugPrivilege, 0x2)",
                                        "AdjustTokenPrivileges(SeDebugPrivilege, 0x0)"}));
    machine.calls.clear();
    machine.processes.commandLines.clear();
    for (const sim::Process* p : machine.processes.Named("PelioMgr.exe")) {
      machine.processes.End(*machine.processes.Find(p->id), 0);
    }
  }
}

#include <gtest/gtest.h>

#include "tests/unit/harness.h"

namespace {

const char kQuestion[] = "This patch requires Peliomgr to be closed, do you wish to continue?";
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
  EXPECT_EQ(out, kHead + c.stop + kFiles + kStarting +
                     (c.installed ? "" : std::string("\nPelio Manager was not started (error 2)\n") + kCouldNotStart) +
                     "\nSuccess");
  EXPECT_EQ(SiteLog(), Crlf(out.substr(out.find("\nUsing QUORDIR"))));
  std::vector<std::string> boxes;
  for (const auto& box : machine.messageBoxes.shown) {
    boxes.push_back(box.text);
    EXPECT_EQ(box.caption, machine.exePath);
    EXPECT_EQ(box.style, box.text == kQuestion ? 0x34u : 0x30u);  // Yes and No, or OK; a warning
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

// The manager comes back never with more rights than the user of the
// session it runs in: under the account of the one that was closed (a
// clerk's, while an administrator or the machine account runs the patch at
// the clerk's desktop) where it ran the site's program; else under the
// account of the session's user: the owner of the shell window, else an
// explorer.exe of the session, or for the machine account the user at the
// console. The patch's own token serves only where it is of the same account
// and no more elevated; where no token can be had or used, nothing starts.
struct RestartCase {
  const char* name;
  void (*arrange)(sim::Machine&, sim::Process* manager);  // manager: the clerk's, running, or null
  bool running;
  const char* startedBy;  // null: nothing is started
  const char* user;
  win::DWORD session;
  win::DWORD elevationType;  // 1 default, 2 an administrator's elevated half, 3 its other half
  const char* environment;
  const char* desktop;
  int error = 0;  // where nothing is started: the code said, 0 for none
};

sim::Process& Shell(sim::Machine& m) { return *m.processes.Find(m.processes.Named("explorer.exe").front()->id); }

// The clerk is logged on at the console (session 1), where the patch runs.
void AtClerksDesktop(sim::Machine& m) {
  Shell(m).user = sim::kClerkSid;
  Shell(m).elevationType = 1;
}

void AsSystem(sim::Machine& m, win::DWORD session) {
  m.token.user = sim::kSystemSid;
  m.token.session = session;
  m.token.elevationType = 1;
  m.token.privileges["SeAssignPrimaryTokenPrivilege"].held = true;
  m.token.privileges["SeTcbPrivilege"].held = true;
  m.windowStation.visible = session != 0;  // session 0 has no desktop that a user sees
}

void WindowsXp(sim::Machine& m) {
  m.version.major = 5;
  m.modules.RemoveExport("advapi32", "CreateProcessWithTokenW");
  m.modules.RemoveExport("kernel32", "QueryFullProcessImageNameA");
}

class RestartTest : public MaintenanceTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartTest, ManagerNeverComesBackWithMoreRightsThanTheSessionsUser) {
  const RestartCase& c = GetParam();
  sim::Process* clerks = nullptr;
  if (c.running) {
    clerks = &RunningManager();
    clerks->user = sim::kClerkSid;
    clerks->behaviour.otherAccount = true;
    AtClerksDesktop(machine);
  }
  if (c.arrange != nullptr) {
    c.arrange(machine, clerks);
  }
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  std::vector<const sim::Process*> started;
  for (const sim::Process* p : machine.processes.Named("PelioMgr.exe")) {
    if (p->running) {
      started.push_back(p);
    }
  }
  if (c.startedBy == nullptr) {
    const std::string error =
        c.error == 0 ? "" : "\nPelio Manager was not started (error " + std::to_string(c.error) + ")";
    EXPECT_TRUE(Contains(machine.stdoutText, kFiles + kStarting + error + "\n" + kCouldNotStart + "\nSuccess"))
        << machine.stdoutText;
    EXPECT_TRUE(started.empty());
  } else {
    EXPECT_TRUE(Contains(machine.stdoutText, kFiles + kStarting + "\nSuccess"));
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0]->commandLine, "C:\\Site\\bin\\PelioMgr.exe  /QUORDIR C:\\Site");
    EXPECT_EQ(started[0]->startedBy, c.startedBy);
    EXPECT_EQ(started[0]->user, c.user);
    EXPECT_EQ(started[0]->session, c.session);
    EXPECT_EQ(started[0]->elevationType, c.elevationType);
    EXPECT_EQ(started[0]->environment, c.environment);
    EXPECT_EQ(started[0]->desktop, c.desktop);
  }
  for (const char* privilege :
       {"SeDebugPrivilege", "SeAssignPrimaryTokenPrivilege", "SeImpersonatePrivilege", "SeTcbPrivilege"}) {
    EXPECT_FALSE(machine.token.IsEnabled(privilege)) << privilege;
  }
}

using sim::kAdministratorSid;
using sim::kClerkSid;
const char kTokenCall[] = "CreateProcessWithTokenW";
const char kAsUser[] = "CreateProcessAsUserA";
const char kDesktop[] = "winsta0\\default";

const RestartCase kRestartCases[] = {
    {"ClosedManagersAccount", nullptr, true, kTokenCall, kClerkSid, 1, 1, kClerkSid, ""},
    {"ClosedManagersAccountAsSystem", [](sim::Machine& m, sim::Process*) { AsSystem(m, 1); }, true, kAsUser, kClerkSid,
     1, 1, kClerkSid, kDesktop},
    {"ClosedManagersAccountAsSystemWithoutUserenv",
     [](sim::Machine& m, sim::Process*) {
       AsSystem(m, 1);
       m.modules.SetPresent("userenv", false);
     },
     true, kAsUser, kClerkSid, 1, 1, "", kDesktop},
    // A process of that name that runs another program (here as SYSTEM)
    // lends it no token.
    {"ManagerOfAnotherProgram",
     [](sim::Machine&, sim::Process* p) {
       p->path = "C:\\Tools\\PelioMgr.exe";
       p->user = sim::kSystemSid;
     },
     true, kTokenCall, kClerkSid, 1, 1, kClerkSid, ""},
    {"ManagersTokenDenied",
     [](sim::Machine& m, sim::Process* p) {
       m.faults = {{"OpenProcessToken", 5, std::to_string(p->id)}};
     },
     true, kTokenCall, kClerkSid, 1, 1, kClerkSid, ""},
    // Nothing was closed: the shell's user, who is the administrator at their
    // own desktop, with the unelevated half of their token.
    {"AdministratorsOwnDesktop", nullptr, false, kTokenCall, kAdministratorSid, 1, 3, kAdministratorSid, ""},
    // At the clerk's desktop, where the administrator's own explorer.exe
    // (listed first) runs too: the shell window's owner is the session's user.
    {"ClerksDesktop",
     [](sim::Machine& m, sim::Process*) {
       Shell(m).shell = false;
       AddShell(m, kClerkSid, 1, 1);
     },
     false, kTokenCall, kClerkSid, 1, 1, kClerkSid, ""},
    {"NoShellWindowAnExplorerOfTheSession",
     [](sim::Machine& m, sim::Process*) {
       Shell(m).session = 2;  // listed first, in another session
       sim::Process& clerks = AddShell(m, kClerkSid, 1, 1);
       clerks.shell = false;
     },
     false, kTokenCall, kClerkSid, 1, 1, kClerkSid, ""},
    {"NobodyInTheSession", [](sim::Machine& m, sim::Process*) { Shell(m).session = 2; }, false, nullptr, "", 0, 0, "",
     ""},
    {"ConsoleUserAsSystem",
     [](sim::Machine& m, sim::Process*) {
       AsSystem(m, 0);
       AtClerksDesktop(m);
     },
     false, kAsUser, kClerkSid, 1, 1, kClerkSid, kDesktop},
    {"NobodyLoggedOnAsSystem",
     [](sim::Machine& m, sim::Process*) {
       AsSystem(m, 0);
       m.processes.End(Shell(m), 0);
     },
     false, nullptr, "", 0, 0, "", "", 1008},
    {"AsSystemWithoutAssignPrivilege",
     [](sim::Machine& m, sim::Process*) {
       AsSystem(m, 1);
       m.token.privileges["SeAssignPrimaryTokenPrivilege"].held = false;
     },
     true, nullptr, "", 0, 0, "", "", 1314},
    // Windows 2000 and XP: no CreateProcessWithTokenW; the patch's own token
    // serves for its own account only.
    {"WindowsXpClerksManager", [](sim::Machine& m, sim::Process*) { WindowsXp(m); }, true, nullptr, "", 0, 0, "", "",
     127},
    {"WindowsXpOwnDesktop", [](sim::Machine& m, sim::Process*) { WindowsXp(m); }, false, "CreateProcessA",
     kAdministratorSid, 1, 2, "", ""},
    // The secondary logon service stopped: the patch's own token only where it
    // is no more elevated than the shell's (User Account Control off).
    {"SecondaryLogonStoppedElevated",
     [](sim::Machine& m, sim::Process*) {
       m.faults = {{"CreateProcessWithTokenW", 1058}};
     },
     false, nullptr, "", 0, 0, "", "", 1058},
    {"SecondaryLogonStoppedSameElevation",
     [](sim::Machine& m, sim::Process*) {
       m.faults = {{"CreateProcessWithTokenW", 1058}};
       m.token.elevationType = 1;
       Shell(m).elevationType = 1;
     },
     false, "CreateProcessA", kAdministratorSid, 1, 1, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, RestartTest, ::testing::ValuesIn(kRestartCases), kCaseName);

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

// Without the service helpers (the library, or an entry point of it) nothing
// is stopped, closed or changed; the library is given back, and the run log,
// all that an unattended run leaves, holds the failure too.
TEST_F(MaintenanceTest, UnboundServiceHelpersLeaveEverythingAsItWas) {
  const sim::Process& manager = RunningManager();
  InstallManager(root);
  for (const bool library : {true, false}) {
    const std::string line = library
                                 ? "\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL"
                                 : "\nLoadNTServiceHelperFunctions(): Failed to find needed functions in ADVAPI32.DLL";
    if (library) {
      machine.modules.SetPresent("advapi32", false);
    } else {
      machine.modules.SetPresent("advapi32", true);
      machine.modules.RemoveExport("advapi32.dll", "QueryServiceStatusEx");
    }
    machine.stdoutText.clear();
    EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
    const std::string logged = "\nUsing QUORDIR -  C:\\Site" + line + "\nSuccess";
    EXPECT_EQ(machine.stdoutText.substr(machine.stdoutText.find("\nUsing")), logged);
    EXPECT_EQ(SiteLog(), Crlf(logged));
    EXPECT_FALSE(FilesChanged());
    EXPECT_EQ(manager.closeRequests, 0);  // and, as the console shows, not started again either
    EXPECT_EQ(machine.modules.Loads("advapi32.dll"), 0);
  }
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

// A manager that is listed but cannot be opened (a protected process), that
// close requests cannot reach (they reach only the windows of the run's own
// desktop: not those of another session, nor any from a window station that
// nobody sees), or that does not end, finds the site files as they were and
// no second manager beside it; it is never terminated unasked, with its
// user's work. The run names it and the error, and goes on to its end.
TEST_F(MaintenanceTest, ManagerThatCannotBeClosedKeepsItsFiles) {
  using OnClose = sim::Behaviour::OnClose;
  const struct {
    const char* name;
    void (*arrange)(sim::Machine&, sim::Process&);
    bool silent;
    std::string stop;
    int error;
  } cases[] = {
      {"cannot be opened",
       [](sim::Machine& m, sim::Process& p) {
         m.faults = {{"OpenProcess", 5, std::to_string(p.id)}};
       },
       false, "", 5},
      {"in another session", [](sim::Machine&, sim::Process& p) { p.session = 2; }, false, "", 1459},
      // On XP the user at the console shares session 0 with the services.
      {"run on a window station nobody sees",
       [](sim::Machine& m, sim::Process& p) {
         m.token.user = sim::kSystemSid;
         m.token.session = 0;
         m.windowStation.visible = false;
         p.session = 0;
       },
       false, "", 1459},
      {"termination refused",
       [](sim::Machine& m, sim::Process& p) {
         p.behaviour.onClose = OnClose::Ignore;
         m.faults = {{"TerminateProcess", 5, std::to_string(p.id)}};
       },
       true, kStopping, 5},
      {"does not end after its termination",
       [](sim::Machine&, sim::Process& p) {
         p.behaviour.onClose = OnClose::Ignore;
         p.behaviour.terminateHangs = true;
       },
       true, kStopping, 258},
  };
  InstallManager(root);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const sim::Token token = machine.token;
    const sim::WindowStation station = machine.windowStation;
    sim::Process& manager = RunningManager();
    c.arrange(machine, manager);
    machine.stdoutText.clear();
    machine.messageBoxes.shown.clear();
    EXPECT_EQ(RunProgram(machine, c.silent ? std::vector<std::string>{"/CHANGEBOHVALS", "/S"}
                                           : std::vector<std::string>{"/CHANGEBOHVALS"}),
              0);
    const std::string line = "\nPelio Manager could not be closed (process " + std::to_string(manager.id) + ", error " +
                             std::to_string(c.error) +
                             "): the site files were not changed and it was not started again.";
    const std::string logged = "\nUsing QUORDIR -  C:\\Site" + c.stop + line + "\nSuccess";
    EXPECT_EQ(machine.stdoutText.substr(machine.stdoutText.find("\nUsing")), logged);
    EXPECT_EQ(SiteLog(), Crlf(logged));
    EXPECT_TRUE(machine.messageBoxes.shown.empty());
    EXPECT_EQ(machine.files.ReadFile(root + "\\newdata\\pelio.ini"), "[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n");
    EXPECT_TRUE(machine.files.Exists(root + "\\data\\timezone.ini"));
    EXPECT_TRUE(machine.processes.commandLines.empty());
    EXPECT_TRUE(manager.running);
    EXPECT_EQ(manager.closeRequests, c.stop.empty() ? 0 : 1);
    EXPECT_TRUE(!manager.terminated || !c.stop.empty());
    machine.processes.End(manager, 0);
    machine.token = token;
    machine.windowStation = station;
    machine.faults.clear();
  }
}

}  // namespace

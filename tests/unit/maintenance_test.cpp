#include <gtest/gtest.h>

#include <optional>

#include "app/process_state.h"
#include "site/maintenance.h"
#include "tests/unit/harness.h"

namespace {

using OnClose = sim::Behaviour::OnClose;

constexpr char kAppIdKey[] = "HKCR\\AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}";
constexpr char kQuestion[] = "This patch requires Peliomgr to be closed, do you wish to continue?";
constexpr char kNotCompleted[] = "\nThis patch has not completed, you will need to run this patch again.";
constexpr char kCouldNotStart[] = "Could not start Pelio Manager, please start the application manually";
constexpr char kStopping[] = "\nTrying to stop the Pelio Manager.";
constexpr char kStopped[] = "\nSuccesfully stopped the Pelio Manager.";
constexpr char kStarting[] = "\nTrying to start the Pelio Manager.";
constexpr win::UINT kYesNo = 0x34;
constexpr win::UINT kOk = 0x30;

// True when every part occurs in text, each after the one before.
bool InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t from = 0;
  for (const auto& part : parts) {
    from = text.find(part, from);
    if (from == std::string::npos) {
      return false;
    }
    from += part.size();
  }
  return true;
}

class MaintenanceTest : public SimTest {
 protected:
  MaintenanceTest() {
    machine.files.WriteFile(root + "\\newdata\\pelio.ini", "[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n");
    machine.files.WriteFile(root + "\\data\\timezone.ini", "[TZ]\r\n");
    machine.files.WriteFile(root + "\\newdata\\timezone.ini", "[TZ]\r\n");
  }
  // The control server registered as a service, HubSvc running.
  void ServiceMode() {
    machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
    machine.services.Install("HubSvc");
  }
  sim::Process& RunningManager(OnClose onClose = OnClose::EndAtOnce, bool refuseTerminate = false) {
    sim::Behaviour b;
    b.windows = 1;
    b.onClose = onClose;
    b.refuseTerminate = refuseTerminate;
    return machine.processes.Add("PelioMgr.exe", b);
  }
  // The manager program of the site, which keeps running once started.
  void InstallManager(const std::string& siteRoot) { machine.processes.AddProgram(siteRoot + "\\bin\\PelioMgr.exe"); }
  bool FilesChanged() const {
    return !machine.files.Exists(root + "\\data\\timezone.ini") &&
           machine.files.ReadFile(root + "\\data\\pelio.ini").value_or("").find("TIMEZONE=INTL") != std::string::npos;
  }
  size_t Started() const { return machine.processes.Named("PelioMgr.exe").size(); }
  void ExpectNothingLeftOpen() const {
    EXPECT_EQ(OpenHandles(), std::vector<std::string>{});
    EXPECT_EQ(machine.modules.Loads("kernel32"), 0);
    EXPECT_EQ(machine.modules.Loads("ntdll"), 0);
    EXPECT_EQ(machine.heap.Blocks(), 0u);
  }
};

struct AppCase {
  const char* name;
  std::optional<OnClose> manager;  // running at the start, and what it does on WM_CLOSE
  bool refuseTerminate;
  bool silent;
  bool installed;  // the manager program exists
  std::deque<int> answers;
  std::vector<std::pair<std::string, win::UINT>> boxes;
  std::vector<std::string> messages;  // in this order
  std::vector<std::string> absent;
  bool managerRuns;  // at the end, the first instance
};

void PrintTo(const AppCase& c, std::ostream* os) { *os << c.name; }

class AppModeTest : public MaintenanceTest, public ::testing::WithParamInterface<AppCase> {};

TEST_P(AppModeTest, ClosesChangesAndStartsTheManager) {
  const AppCase& c = GetParam();
  sim::Process* manager = c.manager ? &RunningManager(*c.manager, c.refuseTerminate) : nullptr;
  if (c.installed) {
    InstallManager(root);
  }
  machine.messageBoxes.answers = c.answers;
  std::vector<std::string> args = {"/CHANGEBOHVALS"};
  if (c.silent) {
    args.emplace_back("/S");
  }
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(RunProgram(machine, args), 0);

  std::vector<std::pair<std::string, win::UINT>> boxes;
  for (const auto& box : machine.messageBoxes.shown) {
    boxes.emplace_back(box.text, box.style);
    EXPECT_EQ(box.caption, machine.exePath);
  }
  EXPECT_EQ(boxes, c.boxes);
  EXPECT_TRUE(InOrder(machine.stdoutText, c.messages)) << machine.stdoutText;
  for (const auto& text : c.absent) {
    EXPECT_EQ(machine.stdoutText.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(SiteLog(), [&] {
    std::string log = machine.stdoutText.substr(machine.stdoutText.find("\nUsing QUORDIR"));
    for (size_t at = 0; (at = log.find('\n', at)) != std::string::npos; at += 2) {
      log.insert(at, "\r");
    }
    return log;
  }());
  if (manager != nullptr) {
    EXPECT_EQ(manager->running, c.managerRuns);
  }
  if (c.installed && machine.stdoutText.find(kStarting) != std::string::npos) {
    // The started manager keeps running: the full 10000 ms are waited, on top
    // of any wait for the one that was closed.
    EXPECT_GE(machine.clock.Elapsed(start), 10000u);
    EXPECT_EQ(machine.processes.commandLines,
              std::vector<std::string>{"C:\\Site\\bin\\PelioMgr.exe  /QUORDIR C:\\Site"});
  }
  ExpectNothingLeftOpen();
}

const std::string kSuccess = "\nSuccess";
const std::string kUsing = "\nUsing QUORDIR -  C:\\Site";

INSTANTIATE_TEST_SUITE_P(Cases, AppModeTest,
                         ::testing::Values(AppCase{"RunningSilent",
                                                   OnClose::EndAtOnce,
                                                   false,
                                                   true,
                                                   true,
                                                   {},
                                                   {},
                                                   {kUsing, kStopping, kStopped, kStarting, kSuccess},
                                                   {kCouldNotStart},
                                                   false},
                                           AppCase{"RunningAnsweredYes",
                                                   OnClose::EndAtOnce,
                                                   false,
                                                   false,
                                                   true,
                                                   {win::IDYES},
                                                   {{kQuestion, kYesNo}},
                                                   {kUsing, kStopping, kStopped, kStarting, kSuccess},
                                                   {},
                                                   false},
                                           AppCase{"RunningTerminated",
                                                   OnClose::Ignore,
                                                   false,
                                                   true,
                                                   true,
                                                   {},
                                                   {},
                                                   {kUsing, kStopping, kStopped, kStarting, kSuccess},
                                                   {},
                                                   false},
                                           AppCase{"CloseFails",
                                                   OnClose::Ignore,
                                                   true,
                                                   true,
                                                   true,
                                                   {},
                                                   {},
                                                   {kUsing, kStopping, kStarting, kSuccess},
                                                   {kStopped},
                                                   true},
                                           AppCase{"NotRunningNoPrompt",
                                                   std::nullopt,
                                                   false,
                                                   false,
                                                   true,
                                                   {},
                                                   {},
                                                   {kUsing, kStarting, kSuccess},
                                                   {kStopping},
                                                   false},
                                           AppCase{"StartFailsSilent",
                                                   std::nullopt,
                                                   false,
                                                   true,
                                                   false,
                                                   {},
                                                   {},
                                                   {kUsing, kStarting, std::string("\n") + kCouldNotStart, kSuccess},
                                                   {},
                                                   false},
                                           AppCase{"StartFailsAsks",
                                                   std::nullopt,
                                                   false,
                                                   false,
                                                   false,
                                                   {},
                                                   {{kCouldNotStart, kOk}},
                                                   {kUsing, kStarting, std::string("\n") + kCouldNotStart, kSuccess},
                                                   {},
                                                   false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MaintenanceTest, NoEndsTheRunWithNothingChanged) {
  sim::Process& manager = RunningManager();
  InstallManager(root);
  const std::string pelio = machine.files.ReadFile(root + "\\data\\pelio.ini").value();
  machine.messageBoxes.answers = {win::IDNO};
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS"}), 0);
  ASSERT_EQ(machine.messageBoxes.shown.size(), 2u);
  EXPECT_EQ(machine.messageBoxes.shown[0].style, kYesNo);
  EXPECT_EQ(machine.messageBoxes.shown[1].text, kNotCompleted);
  EXPECT_EQ(machine.messageBoxes.shown[1].style, kOk);
  const std::string tail = kUsing + kNotCompleted;
  EXPECT_EQ(machine.stdoutText.substr(machine.stdoutText.size() - tail.size()), tail);
  EXPECT_TRUE(manager.running);
  EXPECT_EQ(manager.closeRequests, 0);
  EXPECT_EQ(machine.files.ReadFile(root + "\\data\\pelio.ini"), pelio);
  EXPECT_TRUE(machine.files.Exists(root + "\\data\\timezone.ini"));
  EXPECT_TRUE(machine.processes.commandLines.empty());
  ExpectNothingLeftOpen();
}

TEST_F(MaintenanceTest, ServiceModeStopsAndStartsTheServiceAroundTheFiles) {
  ServiceMode();
  RunningManager();
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(
      InOrder(machine.stdoutText, {kUsing, "\nTrying to stop the control server.", "\nControl server stopped.",
                                   "\nTrying to start the control server.", "\nControl server started.", kSuccess}))
      << machine.stdoutText;
  EXPECT_TRUE(FilesChanged());
  // The manager application is neither looked for, closed nor started.
  EXPECT_TRUE(machine.CallsStartingWith("LoadLibraryA(Kernel32)").empty());
  EXPECT_EQ(machine.processes.Named("PelioMgr.exe")[0]->closeRequests, 0);
  EXPECT_TRUE(machine.processes.commandLines.empty());
  // Stopped before the first file change, started after the last.
  std::vector<std::string> order;
  for (const auto& call : machine.calls) {
    for (const char* name : {"ControlService", "DeleteFileA", "StartServiceA"}) {
      if (call.rfind(name, 0) == 0 && (order.empty() || order.back() != name)) {
        order.emplace_back(name);
      }
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ControlService", "DeleteFileA", "StartServiceA"}));
  EXPECT_EQ(OpenHandles(), std::vector<std::string>{});
}

TEST_F(MaintenanceTest, Windows9xRunsInApplicationModeWithoutServiceHelpers) {
  machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  ServiceMode();
  RunningManager();
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(machine.CallsStartingWith("LoadLibraryA(ADVAPI32").empty());
  EXPECT_TRUE(InOrder(machine.stdoutText, {kStopping, kStopped, kStarting, kSuccess})) << machine.stdoutText;
  EXPECT_TRUE(FilesChanged());
  EXPECT_EQ(Started(), 2u);
}

TEST_F(MaintenanceTest, UnboundServiceHelpersLeaveEverythingAsItWas) {
  machine.modules.SetPresent("advapi32", false);
  RunningManager();
  InstallManager(root);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(
      InOrder(machine.stdoutText, {kUsing, "\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL", kSuccess}))
      << machine.stdoutText;
  EXPECT_FALSE(FilesChanged());
  EXPECT_TRUE(machine.CallsStartingWith("LoadLibraryA(Kernel32)").empty());
  EXPECT_TRUE(machine.processes.commandLines.empty());
  EXPECT_EQ(machine.processes.Named("PelioMgr.exe")[0]->closeRequests, 0);
}

TEST_F(MaintenanceTest, ProgramPathIsQuotedWhenTheRootHoldsABlank) {
  const std::string blankRoot = "C:\\My Site";
  machine.files.WriteFile(blankRoot + "\\data\\pelio.ini", "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n");
  machine.files.MakeDirectory(blankRoot + "\\tmp");
  machine.environment["QUORDIR"] = blankRoot;
  InstallManager(blankRoot);
  machine.processes.AddProgram("C:\\My.exe");  // what the unquoted path would run
  EXPECT_EQ(RunProgram(machine, {"/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_EQ(machine.processes.commandLines,
            std::vector<std::string>{"\"C:\\My Site\\bin\\PelioMgr.exe\"  /QUORDIR C:\\My Site"});
  EXPECT_EQ(Started(), 1u);
  EXPECT_TRUE(machine.processes.Named("My.exe").empty());
}

TEST_F(MaintenanceTest, ProgramPathIsQuotedWhenTheRootHoldsATab) {
  // No Windows folder name holds a tab, so no valid site root does either;
  // the sequence quotes it all the same.
  ResetProcessState();
  Process().silent = true;
  EXPECT_FALSE(ChangeBohValues("C:\\My\tSite"));
  EXPECT_EQ(machine.processes.commandLines,
            std::vector<std::string>{"\"C:\\My\tSite\\bin\\PelioMgr.exe\"  /QUORDIR C:\\My\tSite"});
  ResetProcessState();
}

}  // namespace

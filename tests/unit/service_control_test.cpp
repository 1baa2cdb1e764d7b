#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_log.h"
#include "platform/unique.h"
#include "site/service_control.h"
#include "tests/unit/harness.h"

namespace {

using sim::FailedQuery;
using sim::ServiceStep;
using sim::Status;
using Steps = std::vector<ServiceStep>;
using Pauses = std::vector<win::DWORD>;

constexpr win::DWORD kStopped = win::SERVICE_STOPPED;
constexpr win::DWORD kStartPending = win::SERVICE_START_PENDING;
constexpr win::DWORD kStopPending = win::SERVICE_STOP_PENDING;
constexpr win::DWORD kRunning = win::SERVICE_RUNNING;

const char kAppIdKey[] = "HKCR\\AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}";
const char kStoppedMessage[] = "\nControl server stopped.";
const char kStartedMessage[] = "\nControl server started.";

std::string StopFailure(const std::string& call, int code) {
  return "\nStopControlServer() - " + call + " returned error " + std::to_string(code) +
         "\nStopControlServer() - Unable to stop the Hubsvc";
}

std::string StartFailure(const std::string& call, int code) {
  return "\nStartControlServer() - " + call + " returned error " + std::to_string(code) +
         "\nStartControlServer() - Unable to start the Hubsvc";
}

std::string StartReport(int state, int exitCode, int specific, int checkPoint, int waitHint) {
  return "\nControl Server Service is not started. \n  Current State: " + std::to_string(state) +
         "\n  Exit Code: " + std::to_string(exitCode) + "\n  Service Specific Exit Code: " + std::to_string(specific) +
         "\n  Check Point: " + std::to_string(checkPoint) + "\n  Wait Hint: " + std::to_string(waitHint) + "\n";
}

// A machine with HubSvc installed and the status call bound, as the
// maintenance sequence leaves it before it touches the service.
class ServiceTest : public SimTest {
 protected:
  ServiceTest() : hub(machine.services.Install("HubSvc")) { ResetProcessState(); }
  ~ServiceTest() override { ResetProcessState(); }
  void SetUp() override {
    ASSERT_TRUE(LoadNTServiceHelperFunctions());
    machine.calls.clear();
  }
  void TearDown() override {
    EXPECT_TRUE(OpenHandles().empty());
    EXPECT_EQ(machine.modules.Loads("advapi32.dll"), 1);  // bound for the rest of the run
    EXPECT_EQ(machine.modules.TotalLoads(), 1);
  }
  const Pauses& Sleeps() const { return machine.clock.sleeps; }
  // The calls made since the binding, in order, without the version queries.
  std::vector<std::string> ServiceCalls() const {
    std::vector<std::string> found;
    for (const auto& call : machine.calls) {
      if (call.rfind("GetVersionExA", 0) != 0) {
        found.push_back(call);
      }
    }
    return found;
  }

  sim::ScriptedService& hub;
};

// --- Binding ---

class LoadTest : public SimTest {
 protected:
  LoadTest() { ResetProcessState(); }
  ~LoadTest() override { ResetProcessState(); }
  void TearDown() override { EXPECT_TRUE(OpenHandles().empty()); }
};

TEST_F(LoadTest, BindsTheEntryAndKeepsTheLibrary) {
  ASSERT_TRUE(LoadNTServiceHelperFunctions());
  EXPECT_NE(Process().queryServiceStatusEx, nullptr);
  EXPECT_EQ(machine.modules.Loads("advapi32.dll"), 1);
  EXPECT_EQ(machine.stdoutText, "");
  EXPECT_EQ(machine.CallsStartingWith("LoadLibraryA"), std::vector<std::string>{"LoadLibraryA(ADVAPI32.DLL)"});
  EXPECT_EQ(machine.CallsStartingWith("GetProcAddress"),
            std::vector<std::string>{"GetProcAddress(QueryServiceStatusEx)"});
}

TEST_F(LoadTest, MissingLibraryIsReportedOnTheConsoleOnly) {
  machine.modules.SetPresent("advapi32.dll", false);
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  EXPECT_FALSE(LoadNTServiceHelperFunctions());
  EXPECT_EQ(Process().queryServiceStatusEx, nullptr);
  EXPECT_EQ(machine.stdoutText, "\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL");
  ResetProcessState();
  EXPECT_EQ(SiteLog(), "");
  EXPECT_EQ(machine.modules.TotalLoads(), 0);
}

TEST_F(LoadTest, MissingEntryIsReportedAndTheLibraryReleased) {
  machine.modules.RemoveExport("advapi32.dll", "QueryServiceStatusEx");
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  EXPECT_FALSE(LoadNTServiceHelperFunctions());
  EXPECT_EQ(Process().queryServiceStatusEx, nullptr);
  EXPECT_EQ(machine.stdoutText, "\nLoadNTServiceHelperFunctions(): Failed to find needed functions in ADVAPI32.DLL");
  EXPECT_EQ(machine.CallsStartingWith("FreeLibrary").size(), 1u);
  ResetProcessState();
  EXPECT_EQ(SiteLog(), "");
  EXPECT_EQ(machine.modules.TotalLoads(), 0);
}

// --- Registration ---

enum class Registration { Name, EmptyString, NoData, Exactly300, Over300, OtherValueOnly, NoKey };

struct RegistrationCase {
  const char* name;
  Registration registration;
  bool isService;
};

void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class RegistrationTest : public LoadTest, public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(RegistrationTest, PresenceOfTheValueIsTheWholeTest) {
  const RegistrationCase& c = GetParam();
  switch (c.registration) {
    case Registration::Name:
      machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
      break;
    case Registration::EmptyString:
      machine.registry.SetString(kAppIdKey, "LocalService", "");
      break;
    case Registration::NoData:
      machine.registry.SetValue(kAppIdKey, "LocalService", win::REG_SZ, {});
      break;
    case Registration::Exactly300:
      machine.registry.SetValue(kAppIdKey, "LocalService", win::REG_BINARY, std::vector<uint8_t>(300, 7));
      break;
    case Registration::Over300:
      machine.registry.SetValue(kAppIdKey, "LocalService", win::REG_BINARY, std::vector<uint8_t>(301, 7));
      break;
    case Registration::OtherValueOnly:
      machine.registry.SetString(kAppIdKey, "RunAs", "Interactive User");
      break;
    case Registration::NoKey:
      break;
  }
  EXPECT_EQ(IsControlServerService(), c.isService);
  EXPECT_EQ(machine.stdoutText, "");
  EXPECT_EQ(machine.CallsStartingWith("RegOpenKeyA"),
            std::vector<std::string>{"RegOpenKeyA(HKCR\\AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614})"});
  EXPECT_EQ(machine.CallsStartingWith("RegQueryValueExA").size(), c.registration == Registration::NoKey ? 0u : 1u);
  EXPECT_EQ(machine.modules.TotalLoads(), 0);
}

INSTANTIATE_TEST_SUITE_P(Registrations, RegistrationTest,
                         ::testing::Values(RegistrationCase{"ServiceName", Registration::Name, true},
                                           RegistrationCase{"EmptyString", Registration::EmptyString, true},
                                           RegistrationCase{"NoData", Registration::NoData, true},
                                           RegistrationCase{"Exactly300Bytes", Registration::Exactly300, true},
                                           RegistrationCase{"Over300Bytes", Registration::Over300, false},
                                           RegistrationCase{"ValueMissing", Registration::OtherValueOnly, false},
                                           RegistrationCase{"KeyMissing", Registration::NoKey, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoadTest, Windows9xMakesNoCallAtAll) {
  machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
  machine.services.Install("HubSvc").status = {Status(kStopped)};
  EXPECT_FALSE(IsControlServerService());
  EXPECT_FALSE(StopControlServer());
  EXPECT_FALSE(StartControlServer());
  EXPECT_EQ(machine.stdoutText, "");
  for (const auto& call : machine.calls) {
    EXPECT_EQ(call.rfind("GetVersionExA", 0), 0u) << call;
  }
  EXPECT_EQ(machine.modules.TotalLoads(), 0);
}

// --- Stop ---

struct StopCase {
  const char* name;
  Steps status;
  Steps afterStop;
  win::DWORD stopError;
  bool stopRequested;
  Pauses pauses;
  std::string console;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopTest : public ServiceTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopTest, WaitsPausesAndReports) {
  const StopCase& c = GetParam();
  hub.status = c.status;
  hub.afterStop = c.afterStop;
  hub.stopError = c.stopError;
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(StopControlServer(), c.console == kStoppedMessage);
  EXPECT_EQ(machine.stdoutText, c.console);
  EXPECT_EQ(Sleeps(), c.pauses);
  EXPECT_EQ(machine.CallsStartingWith("ControlService").size(), c.stopRequested ? 1u : 0u);
  // However long the service says it needs, the stop is over 1 ms after the time-out.
  EXPECT_LE(machine.clock.Elapsed(start), 5001u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopTest,
    ::testing::Values(StopCase{"AlreadyStopped", {Status(kStopped)}, {}, 0, false, {}, kStoppedMessage},
                      StopCase{"RunningStopsAfterTwoPauses",
                               {Status(kRunning)},
                               {Status(kStopPending, 0, 1000), Status(kStopPending, 1, 1000), Status(kStopped)},
                               0,
                               true,
                               {1000, 1000},
                               kStoppedMessage},
                      // The stopped test comes before the time-out test: seen stopped at 5001 ms.
                      StopCase{"PendingSeenStoppedAfterTheTimeOut",
                               {Status(kStopPending, 0, 2000), Status(kStopPending, 1, 2000),
                                Status(kStopPending, 2, 2000), Status(kStopped)},
                               {},
                               0,
                               false,
                               {2000, 2000, 1001},
                               kStoppedMessage},
                      StopCase{"PendingTurnsRunningThenRequest",
                               {Status(kStopPending, 0, 1000), Status(kRunning)},
                               {Status(kStopPending, 0, 700), Status(kStopped)},
                               0,
                               true,
                               {1000, 700},
                               kStoppedMessage},
                      StopCase{"TimeOut",
                               {Status(kRunning)},
                               {Status(kStopPending, 0, 1000)},
                               0,
                               true,
                               {1000, 1000, 1000, 1000, 1000, 1},
                               StopFailure("StopService", 1460)},
                      StopCase{"PendingTimesOutWithoutRequest",
                               {Status(kStopPending, 0, 3000)},
                               {},
                               0,
                               false,
                               {3000, 2001},
                               StopFailure("StopService", 1460)},
                      StopCase{"HugeWaitHint",
                               {Status(kRunning)},
                               {Status(kStopPending, 0, 600000)},
                               0,
                               true,
                               {5001},
                               StopFailure("StopService", 1460)},
                      StopCase{
                          "RequestRefused", {Status(kRunning)}, {}, 1051, true, {}, StopFailure("StopService", 1051)},
                      StopCase{"StartPendingCannotTakeTheRequest",
                               {Status(kStartPending, 1, 2000)},
                               {},
                               0,
                               true,
                               {},
                               StopFailure("StopService", 1061)},
                      StopCase{"FirstQueryFails", {FailedQuery(5)}, {}, 0, false, {}, StopFailure("StopService", 5)},
                      StopCase{"QueryFailsWhileWaiting",
                               {Status(kRunning)},
                               {Status(kStopPending, 0, 1000), FailedQuery(6)},
                               0,
                               true,
                               {1000},
                               StopFailure("StopService", 6)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceTest, StopCallsAndHandlesInOrder) {
  hub.afterStop = {Status(kStopPending, 0, 500), Status(kStopped)};
  EXPECT_TRUE(StopControlServer());
  EXPECT_EQ(ServiceCalls(),
            (std::vector<std::string>{"OpenSCManagerA((null), (null), 0xF003F)", "OpenServiceA(HubSvc, 0xF01FF)",
                                      "QueryServiceStatusEx(HubSvc, 0, 36)", "ControlService(HubSvc, 1)",
                                      "QueryServiceStatusEx(HubSvc, 0, 36)", "CloseServiceHandle(HubSvc)",
                                      "CloseServiceHandle(SCManager)"}));
}

TEST_F(ServiceTest, StopWithWaitHintZeroPollsWithoutPausing) {
  hub.afterStop = {Status(kStopPending, 0, 0)};
  machine.services.queryMilliseconds = 10;
  const win::DWORD start = machine.clock.ticks;
  EXPECT_FALSE(StopControlServer());
  EXPECT_EQ(machine.stdoutText, StopFailure("StopService", 1460));
  EXPECT_EQ(Sleeps(), Pauses(500, 0));
  EXPECT_EQ(machine.services.queries, 501);
  EXPECT_EQ(machine.clock.Elapsed(start), 5010u);
}

TEST_F(ServiceTest, StopTimeOutAcrossTheTickCounterWrap) {
  machine.clock.ticks = 0xFFFFFFFFu - 2500;
  hub.afterStop = {Status(kStopPending, 0, 1000)};
  EXPECT_EQ(win::GetTickCount(), 0xFFFFFFFFu - 2500);
  EXPECT_FALSE(StopControlServer());
  EXPECT_EQ(Sleeps(), (Pauses{1000, 1000, 1000, 1000, 1000, 1}));
  EXPECT_EQ(win::GetTickCount(), 2500u);  // wrapped: 2^32 - 2500 - 1 + 5001
  EXPECT_EQ(machine.stdoutText, StopFailure("StopService", 1460));
}

TEST_F(ServiceTest, LongestTimeOutStillPausesForTheWaitHint) {
  hub.afterStop = {Status(kStopPending, 0, 1000), Status(kStopPending, 1, 1000), Status(kStopped)};
  win::UniqueScHandle manager(win::OpenSCManagerA(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::UniqueScHandle service(win::OpenServiceA(manager.get(), "HubSvc", win::SERVICE_ALL_ACCESS));
  EXPECT_EQ(StopService(service.get(), 0xFFFFFFFFu), 0u);
  EXPECT_EQ(Sleeps(), (Pauses{1000, 1000}));
}

// --- Start ---

struct StartCase {
  const char* name;
  Steps status;
  Steps afterStart;
  win::DWORD startError;
  Pauses pauses;
  std::string console;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartTest : public ServiceTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTest, WaitsWhileThereIsProgress) {
  const StartCase& c = GetParam();
  hub.status = c.status;
  hub.afterStart = c.afterStart;
  hub.startError = c.startError;
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  EXPECT_EQ(StartControlServer(), c.console == kStartedMessage);
  EXPECT_EQ(machine.stdoutText, c.console);
  EXPECT_EQ(Sleeps(), c.pauses);
  // The failure report is for the console only; everything else is logged.
  ResetProcessState();
  std::string logged = c.console.rfind("\nControl Server Service", 0) == 0 ? "" : c.console;
  for (size_t at = 0; (at = logged.find('\n', at)) != std::string::npos; at += 2) {
    logged.insert(at, "\r");
  }
  EXPECT_EQ(SiteLog(), logged);
}

Steps Progress(int passes, win::DWORD waitHint) {
  Steps steps;
  for (int i = 0; i < passes; ++i) {
    steps.push_back(Status(kStartPending, static_cast<win::DWORD>(i), waitHint));
  }
  steps.push_back(Status(kRunning));
  return steps;
}

ServiceStep WithExitCodes(ServiceStep step, win::DWORD exitCode, win::DWORD specific) {
  step.exitCode = exitCode;
  step.specificExitCode = specific;
  return step;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartTest,
    ::testing::Values(
        StartCase{"RunningAtOnce", {Status(kStopped)}, {Status(kRunning)}, 0, {}, kStartedMessage},
        // Twelve seconds in all with a wait hint of three: each step of
        // progress starts the wait anew.
        StartCase{
            "ProgressRestartsTheWait", {Status(kStopped)}, Progress(12, 3000), 0, Pauses(12, 1000), kStartedMessage},
        StartCase{"NoProgress",
                  {Status(kStopped)},
                  {Status(kStartPending, 3, 2500)},
                  0,
                  {1000, 1000, 1000},
                  StartReport(2, 0, 0, 3, 2500)},
        StartCase{"ProgressThenStall",
                  {Status(kStopped)},
                  {Status(kStartPending, 0, 2000), Status(kStartPending, 1, 2000)},
                  0,
                  {1000, 1000, 1000, 1000},
                  StartReport(2, 0, 0, 1, 2000)},
        StartCase{"FallsBackToStopped",
                  {Status(kStopped)},
                  {Status(kStartPending, 0, 3000), WithExitCodes(Status(kStopped), 1066, 42)},
                  0,
                  {1000},
                  StartReport(1, 1066, 42, 0, 0)},
        StartCase{"AlreadyRunning", {Status(kRunning)}, {}, 0, {}, StartFailure("StartService", 1056)},
        StartCase{"Refused", {Status(kStopped)}, {}, 1058, {}, StartFailure("StartService", 1058)},
        StartCase{"FirstQueryFails", {Status(kStopped)}, {FailedQuery(6)}, 0, {}, ""},
        StartCase{"QueryFailsWhileWaiting",
                  {Status(kStopped)},
                  {Status(kStartPending, 4, 2000), FailedQuery(6)},
                  0,
                  {1000},
                  StartReport(2, 0, 0, 4, 2000)}),
    [](const auto& info) { return std::string(info.param.name); });

struct PauseCase {
  win::DWORD waitHint;
  win::DWORD pause;
};

class StartPauseTest : public ServiceTest, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(StartPauseTest, TenthOfTheWaitHintWithinOneToFiveSeconds) {
  hub.status = {Status(kStopped)};
  hub.afterStart = {Status(kStartPending, 0, GetParam().waitHint), Status(kRunning)};
  EXPECT_TRUE(StartControlServer());
  EXPECT_EQ(Sleeps(), Pauses{GetParam().pause});
}

INSTANTIATE_TEST_SUITE_P(Lengths, StartPauseTest,
                         ::testing::Values(PauseCase{0, 1000}, PauseCase{9999, 1000}, PauseCase{10010, 1001},
                                           PauseCase{30000, 3000}, PauseCase{50000, 5000}, PauseCase{50010, 5000},
                                           PauseCase{600000, 5000}));

TEST_F(ServiceTest, StartClosesTheServiceBeforeTheManager) {
  hub.status = {Status(kStopped)};
  hub.afterStart = {Status(kStartPending, 0, 100), Status(kRunning)};
  EXPECT_TRUE(StartControlServer());
  EXPECT_EQ(ServiceCalls(),
            (std::vector<std::string>{"OpenSCManagerA((null), (null), 0xF003F)", "OpenServiceA(HubSvc, 0xF01FF)",
                                      "StartServiceA(HubSvc, 0)", "QueryServiceStatusEx(HubSvc, 0, 36)",
                                      "QueryServiceStatusEx(HubSvc, 0, 36)", "CloseServiceHandle(HubSvc)",
                                      "CloseServiceHandle(SCManager)"}));
}

// --- The manager or the service cannot be opened ---

enum class Obstacle { ManagerDenied, ServiceMissing, ServiceDenied };

struct OpenCase {
  const char* name;
  bool start;
  Obstacle obstacle;
  std::string console;
  std::vector<std::string> closes;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenFailureTest : public ServiceTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailureTest, ReportsTheCallAndTheCode) {
  const OpenCase& c = GetParam();
  hub.status = {Status(c.start ? kStopped : kRunning)};
  switch (c.obstacle) {
    case Obstacle::ManagerDenied:
      machine.services.managerError = win::ERROR_ACCESS_DENIED;
      break;
    case Obstacle::ServiceMissing:
      machine.services.Uninstall("HubSvc");
      break;
    case Obstacle::ServiceDenied:
      hub.openError = win::ERROR_ACCESS_DENIED;
      break;
  }
  EXPECT_FALSE(c.start ? StartControlServer() : StopControlServer());
  EXPECT_EQ(machine.stdoutText, c.console);
  EXPECT_EQ(machine.CallsStartingWith("CloseServiceHandle"), c.closes);
  EXPECT_TRUE(machine.CallsStartingWith("QueryServiceStatusEx").empty());
}

const std::vector<std::string> kManagerClosed = {"CloseServiceHandle(SCManager)"};

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailureTest,
    ::testing::Values(
        OpenCase{"StopManagerDenied", false, Obstacle::ManagerDenied, StopFailure("OpenSCManager", 5), {}},
        OpenCase{"StopServiceMissing", false, Obstacle::ServiceMissing, StopFailure("OpenService", 1060),
                 kManagerClosed},
        OpenCase{"StopServiceDenied", false, Obstacle::ServiceDenied, StopFailure("OpenService", 5), kManagerClosed},
        OpenCase{"StartManagerDenied", true, Obstacle::ManagerDenied, StartFailure("OpenSCManager", 5), {}},
        OpenCase{"StartServiceMissing", true, Obstacle::ServiceMissing, StartFailure("OpenService", 1060),
                 kManagerClosed},
        OpenCase{"StartServiceDenied", true, Obstacle::ServiceDenied, StartFailure("OpenService", 5), kManagerClosed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClockTest, TickCountWrapsAtTwoToTheThirtySecond) {
  sim::Machine machine;
  machine.clock.ticks = 0xFFFFFF00u;
  const win::DWORD start = win::GetTickCount();
  win::Sleep(0x200);
  EXPECT_EQ(win::GetTickCount(), 0x100u);
  EXPECT_EQ(win::GetTickCount() - start, 0x200u);
  EXPECT_EQ(machine.clock.sleeps, Pauses{0x200});
}

}  // namespace

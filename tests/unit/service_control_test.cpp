#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/run_log.h"
#include "platform/unique.h"
#include "site/service_control.h"
#include "tests/unit/harness.h"

namespace {

using sim::ServiceStep;
using sim::Status;
using Steps = std::vector<ServiceStep>;
using Pauses = std::vector<win::DWORD>;

// Status answers: stopped, running, stop or start pending.
const ServiceStep kStop = Status(win::SERVICE_STOPPED);
const ServiceStep kRun = Status(win::SERVICE_RUNNING);
// Stopped again after a start, with its exit codes.
const ServiceStep kFellBack = {win::SERVICE_STOPPED, 0, 0, 1066, 42};
const char kStopped[] = "\nControl server stopped.";
const char kStarted[] = "\nControl server started.";

ServiceStep Stopping(win::DWORD checkPoint, win::DWORD waitHint) {
  return Status(win::SERVICE_STOP_PENDING, checkPoint, waitHint);
}

ServiceStep Starting(win::DWORD checkPoint, win::DWORD waitHint) {
  return Status(win::SERVICE_START_PENDING, checkPoint, waitHint);
}

// operation is "Stop" or "Start".
std::string Failure(const std::string& operation, const std::string& call, int code) {
  std::string verb = operation;
  verb[0] = static_cast<char>(verb[0] - 'A' + 'a');
  return "\n" + operation + "ControlServer() - " + call + " returned error " + std::to_string(code) + "\n" + operation +
         "ControlServer() - Unable to " + verb + " the Hubsvc";
}

std::string StartReport(int state, int exitCode, int specific, int checkPoint, int waitHint) {
  return "\nControl Server Service is not started. \n  Current State: " + std::to_string(state) +
         "\n  Exit Code: " + std::to_string(exitCode) + "\n  Service Specific Exit Code: " + std::to_string(specific) +
         "\n  Check Point: " + std::to_string(checkPoint) + "\n  Wait Hint: " + std::to_string(waitHint) + "\n";
}

// HubSvc installed and running, and the status query bound, as the
// maintenance sequence leaves the machine before it touches the service.
class ServiceTest : public SiteTest {
 protected:
  ServiceTest() : hub(InstallHub(false)) {}
  void SetUp() override {
    ASSERT_TRUE(LoadNTServiceHelperFunctions());
    ASSERT_EQ(machine.modules.Loads("advapi32.dll"), 1);  // kept for the bound entry point
  }

  sim::ScriptedService& hub;
};

// Service mode is the presence of the value, whatever it holds, as long as it
// fits the 300-byte buffer.
TEST_F(SiteTest, RegistrationValueDecidesServiceMode) {
  const struct {
    const char* value;
    size_t size;
    bool isService;
  } cases[] = {{"LocalService", 7, true},    {"LocalService", 0, true}, {"LocalService", 300, true},
               {"LocalService", 301, false}, {"RunAs", 7, false},       {nullptr, 0, false}};
  for (const auto& c : cases) {
    machine.registry.DeleteKey(kAppIdKey);
    if (c.value != nullptr) {
      machine.registry.SetValue(kAppIdKey, c.value, win::REG_BINARY, std::vector<uint8_t>(c.size, 'x'));
    }
    EXPECT_EQ(IsControlServerService(), c.isService) << (c.value != nullptr ? c.value : "no key") << " " << c.size;
  }
  EXPECT_EQ(machine.stdoutText, "");
}

TEST_F(SiteTest, Windows9xMakesNoCallAtAll) {
  machine.version.platformId = win::VER_PLATFORM_WIN32_WINDOWS;
  InstallHub(true).status = {kStop};
  EXPECT_FALSE(IsControlServerService());
  EXPECT_FALSE(StopControlServer());
  EXPECT_FALSE(StartControlServer());
  EXPECT_EQ(machine.stdoutText, "");
  EXPECT_EQ(machine.CallsStartingWith("GetVersionExA"), machine.calls);  // nothing but version queries
}

struct ServiceCase {
  const char* name;
  bool start;    // StartControlServer, else StopControlServer
  Steps status;  // the answers before a request
  Steps after;   // the answers after an accepted request; none: the default
  Pauses pauses;
  std::string console;
  std::vector<sim::Fault> faults = {};
};

// The status query numbered occurrence (0 the first) fails with code.
sim::Fault FailedQuery(win::DWORD code, size_t occurrence) {
  return {"QueryServiceStatusEx", code, "HubSvc", occurrence};
}

class ServiceCaseTest : public ServiceTest, public ::testing::WithParamInterface<ServiceCase> {};

// A request that Windows would refuse (a stop while stopped or stopping, a
// start while not stopped) fails in the simulation too, so the console shows
// that none was made.
TEST_P(ServiceCaseTest, WaitsPausesAndReports) {
  const ServiceCase& c = GetParam();
  machine.faults = c.faults;
  hub.status = c.status;
  if (!c.after.empty()) {
    (c.start ? hub.afterStart : hub.afterStop) = c.after;
  }
  machine.clock.ticks = 0xFFFFFFFFu - 2500;  // the tick count wraps during the wait
  const win::DWORD start = machine.clock.ticks;
  OpenRunLog(root + "\\tmp\\debGorvinal.txt");
  EXPECT_EQ(c.start ? StartControlServer() : StopControlServer(), c.console == kStopped || c.console == kStarted);
  EXPECT_EQ(machine.stdoutText, c.console);
  EXPECT_EQ(machine.clock.sleeps, c.pauses);
  // Everything is logged, the start failure report included.
  EXPECT_EQ(SiteLog(), Crlf(c.console));
  // However long the service says it needs, a stop is over 1 ms after its time-out.
  EXPECT_TRUE(c.start || machine.clock.Elapsed(start) <= 5001u);
}

std::string StopFailed(int code) { return Failure("Stop", "StopService", code); }

// Three seconds with a wait hint of one: each step of progress starts the wait anew.
const Steps kProgress = {Starting(0, 1000), Starting(1, 1000), Starting(2, 1000), kRun};

const ServiceCase kServiceCases[] = {
    {"StopAlreadyStopped", false, {kStop}, {}, {}, kStopped},
    {"StopAfterTwoPauses", false, {kRun}, {Stopping(0, 1000), Stopping(1, 1000), kStop}, {1000, 1000}, kStopped},
    // The stopped test comes before the time-out test: seen stopped at 5001 ms.
    {"StopPendingThenStopped", false, {Stopping(0, 3000), Stopping(1, 3000), kStop}, {}, {3000, 2001}, kStopped},
    {"StopPendingThenRunning", false, {Stopping(0, 1000), kRun}, {Stopping(0, 700), kStop}, {1000, 700}, kStopped},
    {"StopTimeOut", false, {kRun}, {Stopping(0, 1000)}, {1000, 1000, 1000, 1000, 1000, 1}, StopFailed(1460)},
    {"StopPendingTimeOut", false, {Stopping(0, 3000)}, {}, {3000, 2001}, StopFailed(1460)},
    {"StopHugeWaitHint", false, {kRun}, {Stopping(0, 600000)}, {5001}, StopFailed(1460)},
    // A start under way is waited out, as a stop request would be refused
    // (1061), in pauses of a tenth of its wait hint within 100 ms to 1 s;
    // the stop request follows as soon as the service runs.
    {"StopWaitsForAStartUnderWay",
     false,
     {Starting(1, 500), Starting(2, 5000), Starting(3, 10000), Starting(4, 60000), kRun},
     {Stopping(0, 1000), kStop},
     {100, 500, 1000, 1000, 1000},
     kStopped},
    {"StopStartPendingTimeOut", false, {Starting(1, 20000)}, {}, {1000, 1000, 1000, 1000, 1000, 1}, StopFailed(1460)},
    {"StopRefusedWhileDependentsRun", false, {kRun}, {}, {}, StopFailed(1051), {{"ControlService", 1051}}},
    {"StopQueryFailsLater", false, {kRun}, {Stopping(0, 1000)}, {1000}, StopFailed(6), {FailedQuery(6, 1)}},
    {"StartAtOnce", true, {kStop}, {kRun}, {}, kStarted},
    {"StartProgressRestartsTheWait", true, {kStop}, kProgress, Pauses(3, 1000), kStarted},
    // Each pause is a tenth of the wait hint, within 1 to 5 seconds.
    {"StartPauseOfATenth", true, {kStop}, {Starting(0, 30000), kRun}, {3000}, kStarted},
    {"StartPauseAtLeastOneSecond", true, {kStop}, {Starting(0, 0), kRun}, {1000}, kStarted},
    {"StartPauseAtMostFiveSeconds", true, {kStop}, {Starting(0, 600000), kRun}, {5000}, kStarted},
    {"StartNoProgress", true, {kStop}, {Starting(3, 2500)}, {1000, 1000, 1000}, StartReport(2, 0, 0, 3, 2500)},
    {"StartFallsBackToStopped", true, {kStop}, {Starting(0, 3000), kFellBack}, {1000}, StartReport(1, 1066, 42, 0, 0)},
    {"StartAlreadyRunning", true, {kRun}, {}, {}, Failure("Start", "StartService", 1056)},
    // A service whose state cannot be read is not reported as in a state.
    {"StartQueryFailsLater",
     true,
     {kStop},
     {Starting(4, 2000)},
     {1000},
     Failure("Start", "QueryServiceStatusEx", 6),
     {FailedQuery(6, 1)}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ServiceCaseTest, ::testing::ValuesIn(kServiceCases), kCaseName);

TEST_F(ServiceTest, StopWithWaitHintZeroPollsWithoutPausing) {
  hub.afterStop = {Stopping(0, 0)};
  machine.services.queryMilliseconds = 10;
  const win::DWORD start = machine.clock.ticks;
  EXPECT_FALSE(StopControlServer());
  EXPECT_EQ(machine.stdoutText, Failure("Stop", "StopService", 1460));
  EXPECT_EQ(machine.clock.sleeps, Pauses(500, 0));
  EXPECT_EQ(machine.services.queries, 501);
  EXPECT_EQ(machine.clock.Elapsed(start), 5010u);
}

TEST_F(ServiceTest, LongestTimeOutStillPausesForTheWaitHint) {
  hub.afterStop = {Stopping(0, 1000), Stopping(1, 1000), kStop};
  win::UniqueScHandle manager(win::OpenSCManagerA(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  win::UniqueScHandle service(win::OpenServiceA(manager.get(), "HubSvc", win::SERVICE_ALL_ACCESS));
  EXPECT_EQ(StopService(service.get(), 0xFFFFFFFFu), 0u);
  EXPECT_EQ(machine.clock.sleeps, (Pauses{1000, 1000}));
}

}  // namespace

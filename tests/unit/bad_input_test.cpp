// What users get wrong and what breaks on real machines. Every case ends
// with status 0 and a clear message, changes nothing that the run did not
// mean to change, and waits no longer than the program's own time-outs.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/harness.h"

namespace {

constexpr char kAppIdKey[] = "HKCR\\AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}";
constexpr char kPelio[] = "; site settings\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n";
constexpr char kInvalidRoot[] = "\nQuordir is not defined in the system environment variables.";

class BadInputTest;

struct BadInputCase {
  const char* name;
  std::function<void(BadInputTest&)> setUp;
  std::vector<std::string> args;
  std::vector<std::string> messages;  // each must appear on the console
  std::function<void(BadInputTest&)> check;
  win::DWORD longestRun;  // virtual milliseconds the whole run may take
};

void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public SimTest, public ::testing::WithParamInterface<BadInputCase> {
 public:
  using SimTest::machine;
  using SimTest::root;

  BadInputTest() {
    machine.files.WriteFile(root + "\\data\\pelio.ini", kPelio);
    machine.files.WriteFile(root + "\\newdata\\pelio.ini", kPelio);
    machine.processes.AddProgram(root + "\\bin\\PelioMgr.exe");
  }
  std::string File(const std::string& path) const { return machine.files.ReadFile(path).value_or("<missing>"); }
  void UseRoot(const std::string& other) {
    machine.files.WriteFile(other + "\\data\\pelio.ini", kPelio);
    machine.files.MakeDirectory(other + "\\tmp");
    machine.processes.AddProgram(other + "\\bin\\PelioMgr.exe");
    machine.environment["QUORDIR"] = other;
  }
  void RunningManager(sim::Behaviour::OnClose onClose, bool refuseTerminate) {
    sim::Behaviour manager;
    manager.windows = 1;
    manager.onClose = onClose;
    manager.refuseTerminate = refuseTerminate;
    machine.processes.Add("PelioMgr.exe", manager);
  }
  sim::ScriptedService& ServiceMode() {
    machine.registry.SetString(kAppIdKey, "LocalService", "HubSvc");
    return machine.services.Install("HubSvc");
  }
  void ExpectSiteUnchanged() const {
    EXPECT_EQ(File(root + "\\data\\pelio.ini"), kPelio);
    EXPECT_EQ(File(root + "\\newdata\\pelio.ini"), kPelio);
    EXPECT_EQ(machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "TZI")->data, OldTzi(300));
  }
  void ExpectSiteChanged(const std::string& at) const {
    EXPECT_EQ(File(at + "\\data\\pelio.ini"), "; site settings\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\nSTORE=12\r\n");
  }
};

TEST_P(BadInputTest, EndsInOrderWithAClearMessage) {
  const BadInputCase& c = GetParam();
  if (c.setUp) {
    c.setUp(*this);
  }
  const win::DWORD start = machine.clock.ticks;
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  for (const auto& message : c.messages) {
    EXPECT_NE(machine.stdoutText.find(message), std::string::npos) << message << "\nin:\n" << machine.stdoutText;
  }
  c.check(*this);
  EXPECT_LE(machine.clock.ticks - start, c.longestRun);
  for (const win::DWORD pause : machine.clock.sleeps) {
    EXPECT_LE(pause, 5001u);
  }
  EXPECT_EQ(OpenHandles(), std::vector<std::string>{});
  EXPECT_EQ(machine.heap.Blocks(), 0u);
}

const std::string kLong(20000, 'x');
std::vector<std::string> Unknown300() {
  std::vector<std::string> args(300, "/UNKNOWN");
  args.emplace_back("/CHANGEBOHVALS");
  args.emplace_back("/S");
  return args;
}

// The manager is started again after every back-office change and waited
// for 10 s; a closed manager that will not end costs 5 s more.
constexpr win::DWORD kStartWait = 10000;

INSTANTIATE_TEST_SUITE_P(
    Matrix, BadInputTest,
    ::testing::Values(
        BadInputCase{"ArgumentOf20000Characters",
                     nullptr,
                     {kLong, "/CHANGEBOHVALS", "/S"},
                     {"\nSuccess"},
                     [](BadInputTest& t) { t.ExpectSiteChanged(t.root); },
                     kStartWait},
        BadInputCase{"SiteRootOf20000Characters",
                     nullptr,
                     {"/QUORDIR", "C:\\" + kLong, "/S"},
                     {kInvalidRoot},
                     [](BadInputTest& t) { t.ExpectSiteUnchanged(); },
                     0},
        BadInputCase{"ThreeHundredUnknownArguments",
                     nullptr,
                     Unknown300(),
                     {"\nSuccess"},
                     [](BadInputTest& t) { t.ExpectSiteChanged(t.root); },
                     kStartWait},
        BadInputCase{"PercentAndLatin1InRoot",
                     [](BadInputTest& t) { t.UseRoot("C:\\Site 100%s \xE9t\xE9"); },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nUsing QUORDIR -  C:\\Site 100%s \xE9t\xE9\n", "\nSuccess"},
                     [](BadInputTest& t) {
                       t.ExpectSiteChanged("C:\\Site 100%s \xE9t\xE9");
                       EXPECT_EQ(t.machine.processes.commandLines.at(0),
                                 "\"C:\\Site 100%s \xE9t\xE9\\bin\\PelioMgr.exe\"  /QUORDIR C:\\Site 100%s \xE9t\xE9");
                     },
                     kStartWait},
        BadInputCase{"RootWithTrailingBackslash",
                     [](BadInputTest& t) { t.machine.environment["QUORDIR"] = "C:\\Site\\"; },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nUsing QUORDIR -  C:\\Site\\\n", "\nSuccess"},
                     [](BadInputTest& t) {
                       t.ExpectSiteChanged(t.root);
                       EXPECT_EQ(t.machine.processes.commandLines.at(0),
                                 "C:\\Site\\\\bin\\PelioMgr.exe  /QUORDIR C:\\Site\\");
                     },
                     kStartWait},
        // Windows keeps blanks at the end of an inner path segment: "C:\Site  "
        // names another folder, which does not exist.
        BadInputCase{"RootWithTrailingBlanks",
                     nullptr,
                     {"/QUORDIR", "C:\\Site  ", "/S"},
                     {kInvalidRoot},
                     [](BadInputTest& t) { t.ExpectSiteUnchanged(); },
                     0},
        BadInputCase{
            "EmptyPelioIni",
            [](BadInputTest& t) { t.machine.files.WriteFile(t.root + "\\data\\pelio.ini", ""); },
            {"/CHANGEBOHVALS", "/S"},
            {"\nSuccess"},
            [](BadInputTest& t) { EXPECT_EQ(t.File(t.root + "\\data\\pelio.ini"), "[QUORTECH]\r\nTIMEZONE=INTL\r\n"); },
            kStartWait},
        BadInputCase{"PelioIniOfOneMegabyte",
                     [](BadInputTest& t) {
                       std::string big;
                       for (int i = 0; big.size() < 1'000'000; ++i) {
                         big += "[S" + std::to_string(i) + "]\r\nK=V\r\n";
                       }
                       t.machine.files.WriteFile(t.root + "\\data\\pelio.ini", big + kPelio);
                     },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nSuccess"},
                     [](BadInputTest& t) {
                       const std::string after = t.File(t.root + "\\data\\pelio.ini");
                       EXPECT_GT(after.size(), 1'000'000u);
                       const std::string tail = "; site settings\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\nSTORE=12\r\n";
                       EXPECT_EQ(after.substr(after.size() - tail.size()), tail);
                     },
                     kStartWait},
        BadInputCase{"PelioIniIsAFolder",
                     [](BadInputTest& t) {
                       (void)std::remove(t.machine.files.HostPathOf(t.root + "\\newdata\\pelio.ini").c_str());
                       t.machine.files.WriteFile(t.root + "\\newdata\\pelio.ini\\inside.txt", "x");
                     },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nPelio.ini- Unable to update: C:\\Site\\newdata\\pelio.ini (error 5)", "\nSuccess"},
                     [](BadInputTest& t) {
                       t.ExpectSiteChanged(t.root);
                       EXPECT_EQ(t.File(t.root + "\\newdata\\pelio.ini\\inside.txt"), "x");
                     },
                     kStartWait},
        BadInputCase{
            "PelioIniLocked",
            [](BadInputTest& t) { t.machine.files.HoldOpen(t.root + "\\data\\pelio.ini", win::GENERIC_READ, 0); },
            {"/CHANGEBOHVALS", "/S"},
            {"\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 32)", "\nSuccess"},
            [](BadInputTest& t) { EXPECT_EQ(t.File(t.root + "\\data\\pelio.ini"), kPelio); },
            kStartWait},
        // A TZI value of another type and length is replaced by the record;
        // the zone key's other values stay.
        BadInputCase{"TziOfWrongTypeAndLength",
                     [](BadInputTest& t) {
                       t.machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "TZI", "garbage");
                       t.machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "Dlt", "Eastern Daylight Time");
                     },
                     {"/CHANGEREGVALS", "/S"},
                     {"\nSetting TimeZones for US/Canada part.. succeeded\n", "\nSuccess"},
                     [](BadInputTest& t) {
                       const auto tzi = t.machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "TZI");
                       EXPECT_EQ(tzi->type, win::REG_BINARY);
                       EXPECT_EQ(tzi->data.size(), 44u);
                       EXPECT_TRUE(t.machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "Dlt"));
                       EXPECT_TRUE(t.machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "Std"));
                     },
                     0},
        BadInputCase{"RunLogCannotBeOpened",
                     [](BadInputTest& t) { t.machine.files.MakeDirectory(t.root + "\\tmp\\debGorvinal.txt"); },
                     {"/CHANGEREGVALS", "/S"},
                     {"\nDebout file could not be removed from C:\\Site\\tmp\\debGorvinal.txt (error 5)", "\nSuccess"},
                     [](BadInputTest& t) { EXPECT_TRUE(t.machine.files.Exists(t.root + "\\tmp\\debGorvinal.txt")); },
                     0},
        BadInputCase{"ManagerIgnoresClose",
                     [](BadInputTest& t) { t.RunningManager(sim::Behaviour::OnClose::Ignore, false); },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nSuccesfully stopped the Pelio Manager.", "\nSuccess"},
                     [](BadInputTest& t) {
                       EXPECT_TRUE(t.machine.processes.Named("PelioMgr.exe").at(0)->terminated);
                       t.ExpectSiteChanged(t.root);
                     },
                     5000 + kStartWait},
        BadInputCase{"ManagerTerminationRefused",
                     [](BadInputTest& t) { t.RunningManager(sim::Behaviour::OnClose::Ignore, true); },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nTrying to stop the Pelio Manager.", "\nSuccess"},
                     [](BadInputTest& t) {
                       EXPECT_EQ(t.machine.stdoutText.find("Succesfully stopped"), std::string::npos);
                       EXPECT_TRUE(t.machine.processes.Named("PelioMgr.exe").at(0)->running);
                       t.ExpectSiteChanged(t.root);
                     },
                     5000 + kStartWait},
        BadInputCase{
            "ServiceNeverStops",
            [](BadInputTest& t) { t.ServiceMode().afterStop = {sim::Status(win::SERVICE_STOP_PENDING, 1, 1000)}; },
            {"/CHANGEBOHVALS", "/S"},
            {"\nStopControlServer() - StopService returned error 1460",
             "\nStopControlServer() - Unable to stop the Hubsvc", "\nStartControlServer() - StartService", "\nSuccess"},
            [](BadInputTest& t) { t.ExpectSiteChanged(t.root); },
            5001},
        BadInputCase{"ServiceNeverFinishesStarting",
                     [](BadInputTest& t) {
                       std::vector<sim::ServiceStep> start;
                       for (win::DWORD point = 1; point <= 30; ++point) {
                         start.push_back(sim::Status(win::SERVICE_START_PENDING, point, 2000));
                       }
                       t.ServiceMode().afterStart = start;
                     },
                     {"/CHANGEBOHVALS", "/S"},
                     {"\nControl Server Service is not started. \n  Current State: 2\n"},
                     [](BadInputTest& t) { t.ExpectSiteChanged(t.root); },
                     // 30 pauses of 1 s while the check point grows, then
                     // the wait gives up once no progress shows for the hint.
                     32000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

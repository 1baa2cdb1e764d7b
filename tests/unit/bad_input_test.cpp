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

using OnClose = sim::Behaviour::OnClose;

constexpr char kPelio[] = "; site settings\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\nSTORE=12\r\n";
constexpr char kChanged[] = "; site settings\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\nSTORE=12\r\n";
constexpr char kInvalidRoot[] = "\nQuordir is not defined in the system environment variables.";
constexpr char kOddRoot[] = "C:\\Site 100%s \xE9t\xE9";  // Latin-1, the simulated ANSI code page
// The manager is started again after each back-office change and waited
// for 10 s; a closed manager that will not end costs 5 s more.
constexpr win::DWORD kStartWait = 10000;

class BadInputTest;

struct BadInputCase {
  const char* name;
  std::function<void(BadInputTest&)> setUp;
  std::vector<std::string> args;
  std::vector<std::string> messages;  // each must appear on the console
  const char* dataPelio;              // data\pelio.ini afterwards; null: not compared
  win::DWORD longestRun;              // virtual milliseconds the whole run may take
  std::function<void(BadInputTest&)> check;
};

class BadInputTest : public SiteTest, public ::testing::WithParamInterface<BadInputCase> {
 public:
  using SimTest::machine;
  using SimTest::root;
  using SiteTest::InstallHub;
  using SiteTest::RunningManager;

  BadInputTest() {
    WritePelioFiles(kPelio);
    InstallManager(root);
  }
  std::string File(const std::string& path) const { return machine.files.ReadFile(path).value_or("<missing>"); }
  void UseRoot(const std::string& other) {
    machine.files.WriteFile(other + "\\data\\pelio.ini", kPelio);
    machine.files.MakeDirectory(other + "\\tmp");
    InstallManager(other);
    machine.environment["QUORDIR"] = other;
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
    EXPECT_TRUE(Contains(machine.stdoutText, message)) << message << "\nin:\n" << machine.stdoutText;
  }
  if (c.dataPelio != nullptr) {
    EXPECT_EQ(File(root + "\\data\\pelio.ini"), c.dataPelio);
  }
  if (c.check) {
    c.check(*this);
  }
  EXPECT_LE(machine.clock.ticks - start, c.longestRun);
  for (const win::DWORD pause : machine.clock.sleeps) {
    EXPECT_LE(pause, 5001u);
  }
}

std::vector<std::string> WithJob(std::vector<std::string> args) {
  args.emplace_back("/CHANGEBOHVALS");
  args.emplace_back("/S");
  return args;
}

const std::string kLong(20000, 'x');

const BadInputCase kCases[] = {
    {"ArgumentOf20000Characters", nullptr, WithJob({kLong}), {"\nSuccess"}, kChanged, kStartWait, nullptr},
    {"SiteRootOf20000Characters", nullptr, {"/QUORDIR", "C:\\" + kLong, "/S"}, {kInvalidRoot}, kPelio, 0, nullptr},
    {"ThreeHundredUnknownArguments",
     nullptr,
     WithJob(std::vector<std::string>(300, "/UNKNOWN")),
     {"\nSuccess"},
     kChanged,
     kStartWait,
     nullptr},
    {"PercentAndLatin1InRoot",
     [](BadInputTest& t) { t.UseRoot(kOddRoot); },
     WithJob({}),
     {std::string("\nUsing QUORDIR -  ") + kOddRoot + "\n", "\nSuccess"},
     kPelio,
     kStartWait,
     [](BadInputTest& t) {
       EXPECT_EQ(t.File(std::string(kOddRoot) + "\\data\\pelio.ini"), kChanged);
       EXPECT_EQ(t.machine.processes.commandLines.at(0),
                 std::string("\"") + kOddRoot + "\\bin\\PelioMgr.exe\"  /QUORDIR " + kOddRoot);
     }},
    {"RootWithTrailingBackslash",
     [](BadInputTest& t) { t.machine.environment["QUORDIR"] = "C:\\Site\\"; },
     WithJob({}),
     {"\nUsing QUORDIR -  C:\\Site\\\n", "\nSuccess"},
     kChanged,
     kStartWait,
     [](BadInputTest& t) {
       EXPECT_EQ(t.machine.processes.commandLines.at(0), "C:\\Site\\\\bin\\PelioMgr.exe  /QUORDIR C:\\Site\\");
     }},
    // Windows keeps blanks at the end of an inner path segment: "C:\Site  "
    // names another folder, which does not exist.
    {"RootWithTrailingBlanks", nullptr, {"/QUORDIR", "C:\\Site  ", "/S"}, {kInvalidRoot}, kPelio, 0, nullptr},
    {"EmptyPelioIni",
     [](BadInputTest& t) { t.machine.files.WriteFile(t.root + "\\data\\pelio.ini", ""); },
     WithJob({}),
     {"\nSuccess"},
     "[QUORTECH]\r\nTIMEZONE=INTL\r\n",
     kStartWait,
     nullptr},
    {"PelioIniOfOneMegabyte",
     [](BadInputTest& t) {
       t.machine.files.WriteFile(t.root + "\\data\\pelio.ini", std::string(1'000'000, ';') + kPelio);
     },
     WithJob({}),
     {"\nSuccess"},
     nullptr,
     kStartWait,
     [](BadInputTest& t) { EXPECT_EQ(t.File(t.root + "\\data\\pelio.ini"), std::string(1'000'000, ';') + kChanged); }},
    {"PelioIniIsAFolder",
     [](BadInputTest& t) {
       (void)std::remove(t.machine.files.HostPathOf(t.root + "\\newdata\\pelio.ini").c_str());
       t.machine.files.MakeDirectory(t.root + "\\newdata\\pelio.ini");
     },
     WithJob({}),
     {"\nPelio.ini- Unable to update: C:\\Site\\newdata\\pelio.ini (error 5)", "\nSuccess"},
     kChanged,
     kStartWait,
     nullptr},
    {"PelioIniLocked",
     [](BadInputTest& t) { t.machine.files.HoldOpen(t.root + "\\data\\pelio.ini", win::GENERIC_READ, 0); },
     WithJob({}),
     {"\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 32)", "\nSuccess"},
     kPelio,
     kStartWait,
     nullptr},
    // A TZI value of another type and length is replaced by the record; the
    // zone key's other values stay.
    {"TziOfWrongTypeAndLength",
     [](BadInputTest& t) { t.machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "TZI", "garbage"); },
     {"/CHANGEREGVALS", "/S"},
     {"\nSetting TimeZones for US/Canada part.. succeeded\n", "\nSuccess"},
     kPelio,
     0,
     [](BadInputTest& t) {
       const auto tzi = t.machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "TZI");
       EXPECT_EQ(tzi->type, win::REG_BINARY);
       EXPECT_EQ(tzi->data.size(), 44u);
       EXPECT_TRUE(t.machine.registry.GetValue(NtZoneKey("Eastern Standard Time"), "Std"));
     }},
    {"RunLogCannotBeOpened",
     [](BadInputTest& t) { t.machine.files.MakeDirectory(t.root + "\\tmp\\debGorvinal.txt"); },
     {"/CHANGEREGVALS", "/S"},
     {"\nMarker file was not found", "\nSuccess"},
     kPelio,
     0,
     nullptr},
    {"ManagerIgnoresClose",
     [](BadInputTest& t) { t.RunningManager(OnClose::Ignore); },
     WithJob({}),
     {"\nSuccesfully stopped the Pelio Manager.", "\nSuccess"},
     kChanged,
     5000 + kStartWait,
     [](BadInputTest& t) { EXPECT_TRUE(t.machine.processes.Named("PelioMgr.exe").at(0)->terminated); }},
    {"ManagerTerminationRefused",
     [](BadInputTest& t) { t.RunningManager(OnClose::Ignore, true); },
     WithJob({}),
     {"\nTrying to stop the Pelio Manager.\nRemoving Timezone.ini", "\nSuccess"},
     kChanged,
     5000 + kStartWait,
     [](BadInputTest& t) { EXPECT_TRUE(t.machine.processes.Named("PelioMgr.exe").at(0)->running); }},
    {"ServiceNeverStops",
     [](BadInputTest& t) { t.InstallHub(true).afterStop = {sim::Status(win::SERVICE_STOP_PENDING, 1, 1000)}; },
     WithJob({}),
     {"\nStopControlServer() - StopService returned error 1460\nStopControlServer() - Unable to stop the Hubsvc",
      "\nStartControlServer() - StartService returned error", "\nSuccess"},
     kChanged,
     5001,
     nullptr},
    // 30 pauses of 1 s while the check point grows, then the wait gives up
    // once no progress shows for longer than the wait hint.
    {"ServiceNeverFinishesStarting",
     [](BadInputTest& t) {
       auto& start = t.InstallHub(true).afterStart;
       start.clear();
       for (win::DWORD point = 1; point <= 30; ++point) {
         start.push_back(sim::Status(win::SERVICE_START_PENDING, point, 2000));
       }
     },
     WithJob({}),
     {"\nControl Server Service is not started. \n  Current State: 2\n"},
     kChanged,
     32000,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Matrix, BadInputTest, ::testing::ValuesIn(kCases), kCaseName);

}  // namespace

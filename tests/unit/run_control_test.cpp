#include <gtest/gtest.h>

#include "app/run_control.h"
#include "tests/unit/harness.h"

namespace {

const char kInvalidRoot[] =
    "\nQuordir is not defined in the system environment variables.\n"
    "Or the value set is not pointing to the correct QUORDIR.\n"
    "This patch has not completed, you will need to run this patch again after setting the QUORDIR.";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class RunControlTest : public SimTest {
 protected:
  // The site's manager program, so that the back-office job can start it:
  // it starts and ends at once.
  RunControlTest() {
    sim::Program manager;
    manager.behaviour.runFor = 0;
    machine.processes.AddProgram(root + "\\bin\\PelioMgr.exe", manager);
  }
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

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionTest : public RunControlTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, SelectsJobsUsageAndBoxes) {
  const OptionCase& c = GetParam();
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  EXPECT_EQ(RegistryJobRan(), c.registryJob);
  EXPECT_EQ(BackOfficeJobRan(), c.backOfficeJob);
  EXPECT_EQ(Contains(machine.stdoutText, "/? -Shows the command line arguments"), c.usage);
  EXPECT_EQ(machine.messageBoxes.shown.size(), c.boxes);
  EXPECT_EQ(Contains(machine.stdoutText, "\nSuccess"), !c.usage);
  EXPECT_TRUE(OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionTest,
    ::testing::Values(OptionCase{"NoArguments", {}, true, true, false, 0},
                      OptionCase{"RegistryLowerCase", {"/changeregvals", "/s"}, true, false, false, 0},
                      OptionCase{"BackOffice", {"/CHANGEBOHVALS", "/S"}, false, true, false, 0},
                      OptionCase{"Both", {"/CHANGEBOHVALS", "/CHANGEREGVALS", "/S"}, true, true, false, 0},
                      OptionCase{"SilentOnly", {"/S"}, false, false, false, 0},
                      OptionCase{"UnknownIgnored", {"/X", "CHANGEREGVALS", "/CHANGEREGVALSX"}, false, false, false, 0},
                      OptionCase{"UsageWithJob", {"/?", "/CHANGEREGVALS"}, false, false, true, 1},
                      OptionCase{"UsageSilentAfter", {"/CHANGEREGVALS", "/?", "/S"}, false, false, true, 0},
                      OptionCase{"UsageSilentBefore", {"/s", "/?"}, false, false, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunControlTest, UsageTextGoesToConsoleAndBoxVerbatim) {
  RunProgram(machine, {"/?"});
  ASSERT_EQ(machine.messageBoxes.shown.size(), 1u);
  const auto& box = machine.messageBoxes.shown[0];
  EXPECT_EQ(machine.stdoutText, box.text);
  EXPECT_EQ(box.text.substr(0, 41), "\n\n\t/? -Shows the command line arguments\n\n");
  EXPECT_TRUE(Contains(box.text, "\t\t  if it isn't then changes it to INTL in NEWDATA and DATA (TIMEZONE=INTL)\n"));
  EXPECT_EQ(box.text.substr(box.text.size() - 37), "\n\t/S - Don't prompt for any messages\n");
  EXPECT_EQ(box.caption, machine.exePath);
  EXPECT_EQ(box.style, 0x30u);
  EXPECT_FALSE(machine.files.Exists(root + "\\tmp\\debGorvinal.txt"));
}

TEST_F(RunControlTest, SilentRunWithoutJobsLogsOnlySuccess) {
  EXPECT_EQ(RunProgram(machine, {"/S"}), 0);
  EXPECT_EQ(SiteLog(), "\r\nSuccess");
  EXPECT_EQ(machine.stdoutText, "\nTrying to remove debout file..\nMarker file was not found\nSuccess");
}

struct InvalidRootCase {
  const char* name;
  std::map<std::string, std::string> environment;
  std::vector<std::string> args;
  bool silent;
};

void PrintTo(const InvalidRootCase& c, std::ostream* os) { *os << c.name; }

class InvalidRootTest : public RunControlTest, public ::testing::WithParamInterface<InvalidRootCase> {};

// Every way of naming no site, or a folder without data\pelio.ini, ends the
// run with the same message, in a box unless silent, and changes nothing.
TEST_P(InvalidRootTest, EndsWithMessageAndChangesNothing) {
  const InvalidRootCase& c = GetParam();
  machine.environment = c.environment;
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  EXPECT_FALSE(RegistryJobRan());
  EXPECT_FALSE(BackOfficeJobRan());
  ASSERT_EQ(machine.messageBoxes.shown.size(), c.silent ? 0u : 1u);
  if (!c.silent) {
    EXPECT_EQ(machine.messageBoxes.shown[0].text, kInvalidRoot);
    EXPECT_EQ(machine.calls.back().rfind("MessageBoxA", 0), 0u) << "the box comes before the log is written";
  }
  EXPECT_EQ(machine.files.ReadFile("C:\\debBGorvinal.txt").value_or(""),
            "\r\nQuordir is not defined in the system environment variables.\r\n"
            "Or the value set is not pointing to the correct QUORDIR.\r\n"
            "This patch has not completed, you will need to run this patch again after setting the QUORDIR.");
  EXPECT_TRUE(Contains(machine.stdoutText, kInvalidRoot));
  EXPECT_FALSE(Contains(machine.stdoutText, "Success"));
  EXPECT_TRUE(OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Roots, InvalidRootTest,
    ::testing::Values(
        InvalidRootCase{"NoVariable", {}, {"/CHANGEREGVALS"}, false},
        InvalidRootCase{"BlankVariable", {{"QUORDIR", " \t "}}, {"/CHANGEREGVALS", "/S"}, true},
        InvalidRootCase{"WrongFolder", {{"QUORDIR", "C:\\Elsewhere"}}, {}, false},
        InvalidRootCase{
            "OptionOverridesValidVariable", {{"QUORDIR", "C:\\Site"}}, {"/QUORDIR", "C:\\Nope", "/S"}, true},
        InvalidRootCase{"QuordirConsumesS", {{"QUORDIR", "C:\\Site"}}, {"/CHANGEREGVALS", "/QUORDIR", "/S"}, false},
        InvalidRootCase{"QuordirLast", {{"QUORDIR", "C:\\Site"}}, {"/CHANGEREGVALS", "/S", "/QUORDIR"}, true},
        InvalidRootCase{"QuordirEmpty", {{"QUORDIR", "C:\\Site"}}, {"/QUORDIR", "", "/S"}, true},
        InvalidRootCase{"QuordirNotTrimmed", {}, {"/QUORDIR", " C:\\Site", "/S"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunControlTest, TrimsVariableButUsesOptionAsGiven) {
  machine.environment["QUORDIR"] = " \tC:\\Site \r\n";
  RunProgram(machine, {"/CHANGEBOHVALS", "/S"});
  EXPECT_TRUE(Contains(SiteLog(), "\r\nUsing QUORDIR -  C:\\Site\r\n"));

  // An invalid variable is replaced by a valid option.
  machine.environment["QUORDIR"] = "C:\\Nowhere";
  machine.files.WriteFile("D:\\Other Site\\data\\pelio.ini", "");
  machine.stdoutText.clear();
  EXPECT_EQ(RunProgram(machine, {"/QUORDIR", "D:\\Other Site", "/CHANGEBOHVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText, "\nUsing QUORDIR -  D:\\Other Site\n"));
}

TEST_F(RunControlTest, PercentInRootIsPrintedAsItStands) {
  const std::string odd = "C:\\100%s %d %n Site";
  machine.files.WriteFile(odd + "\\data\\pelio.ini", "");
  machine.files.MakeDirectory(odd + "\\tmp");
  machine.environment["QUORDIR"] = odd;
  RunProgram(machine, {"/CHANGEBOHVALS", "/S"});
  const std::string log = machine.files.ReadFile(odd + "\\tmp\\debGorvinal.txt").value_or("");
  EXPECT_EQ(log.rfind("\r\nUsing QUORDIR -  C:\\100%s %d %n Site\r\n", 0), 0u) << log;
  EXPECT_TRUE(Contains(log,
                       "\r\nTrying to start the Pelio Manager.\r\nCould not start Pelio Manager, please start "
                       "the application manually\r\nSuccess"))
      << log;
  EXPECT_EQ(machine.processes.commandLines,
            std::vector<std::string>{"\"C:\\100%s %d %n Site\\bin\\PelioMgr.exe\"  /QUORDIR C:\\100%s %d %n Site"});
}

TEST_F(RunControlTest, MissingTmpFolderGivesConsoleOnlyRun) {
  machine.files.MakeDirectory("C:\\Bare\\data");
  machine.files.WriteFile("C:\\Bare\\data\\pelio.ini", "");
  machine.environment["QUORDIR"] = "C:\\Bare";
  EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS", "/S"}), 0);
  EXPECT_FALSE(machine.files.Exists("C:\\Bare\\tmp"));
  EXPECT_TRUE(Contains(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded\nSuccess"));
  EXPECT_TRUE(OpenHandles().empty());
}

TEST_F(RunControlTest, PrivilegesAreEnabledOnlyAroundTheRegistryJob) {
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  std::vector<std::string> order;
  for (const auto& call : machine.calls) {
    for (const char* name : {"OpenProcessToken", "AdjustTokenPrivileges", "SetDynamicTimeZoneInformation"}) {
      if (call.rfind(name, 0) == 0) {
        order.push_back(call);
      }
    }
    if (call.rfind("RegSetValueExA", 0) == 0 && order.back() != "RegSetValueExA") {
      order.emplace_back("RegSetValueExA");
    }
  }
  const std::vector<std::string> expected = {"OpenProcessToken(0x28)",
                                             "AdjustTokenPrivileges(SeTimeZonePrivilege, 0x2)",
                                             "AdjustTokenPrivileges(SeSystemtimePrivilege, 0x2)",
                                             "RegSetValueExA",
                                             "SetDynamicTimeZoneInformation()",
                                             "AdjustTokenPrivileges(SeTimeZonePrivilege, 0x0)",
                                             "AdjustTokenPrivileges(SeSystemtimePrivilege, 0x0)"};
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(machine.token.IsEnabled("SeTimeZonePrivilege"));
  EXPECT_FALSE(machine.token.IsEnabled("SeSystemtimePrivilege"));
  EXPECT_TRUE(OpenHandles().empty());
}

TEST_F(RunControlTest, PrivilegeFailuresAreSilent) {
  machine.token.Forget("SeTimeZonePrivilege");
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  machine.token.openFails = true;
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  EXPECT_EQ(machine.CallsStartingWith("RegSetValueExA").size(), 14u);
  EXPECT_FALSE(Contains(machine.stdoutText, "rivilege"));
}

TEST_F(RunControlTest, Windows9xUsesBareKeyNamesAndNoToken) {
  machine.version.platformId = 1;
  SeedZones(true);
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  EXPECT_TRUE(machine.CallsStartingWith("OpenProcessToken").empty());
  const auto opens = machine.CallsStartingWith("RegOpenKeyExA");
  ASSERT_EQ(opens.size(), 7u);
  EXPECT_EQ(opens[0],
            "RegOpenKeyExA(HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones\\Alaskan, 0, 0xF003F)");
  EXPECT_EQ(opens[6],
            "RegOpenKeyExA(HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones\\Newfoundland, 0, "
            "0xF003F)");
}

struct PlatformCase {
  win::DWORD platformId;
  bool failExtended;
  bool failAll;
  int expected;
};

TEST(GetOsPlatformTest, ReadsFamilyWithFallbackSize) {
  const PlatformCase cases[] = {
      {2, false, false, 2}, {1, false, false, 1}, {0, false, false, 0}, {3, false, false, 0},
      {2, true, false, 2},  {1, true, false, 1},  {2, false, true, 0},
  };
  for (const auto& c : cases) {
    sim::Machine machine;
    machine.version.platformId = c.platformId;
    machine.version.failExtended = c.failExtended;
    machine.version.failAll = c.failAll;
    EXPECT_EQ(GetOsPlatform(), c.expected) << c.platformId << c.failExtended << c.failAll;
  }
}

TEST_F(RunControlTest, FailedVersionQueryTakesTheNtRoad) {
  machine.version.failAll = true;
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  EXPECT_EQ(machine.CallsStartingWith("OpenProcessToken").size(), 1u);
  EXPECT_TRUE(Contains(machine.CallsStartingWith("RegOpenKeyExA")[0], "Windows NT"));
}

}  // namespace

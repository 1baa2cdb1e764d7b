#include <gtest/gtest.h>

#include "app/run_control.h"
#include "tests/unit/harness.h"

namespace {

const char kInvalidRoot[] =
    "\nQuordir is not defined in the system environment variables.\n"
    "Or the value set is not pointing to the correct QUORDIR.\n"
    "This patch has not completed, you will need to run this patch again after setting the QUORDIR.";

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
  EXPECT_EQ(Contains(machine.stdoutText, "/? -Shows the command line arguments"), c.usage);
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
    EXPECT_EQ(machine.calls.back().rfind("MessageBoxA", 0), 0u) << "the box comes before the log is written";
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
  machine.token.Forget("SeTimeZonePrivilege");
  RunProgram(machine, {"/CHANGEREGVALS", "/S"});
  machine.token.openFails = true;
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
  for (const char* name : kZoneBaseNames) {
    EXPECT_EQ(machine.registry.GetValue(ZoneKey9x(name), "TZI")->data.at(14), 11) << name;  // November
  }
}

}  // namespace

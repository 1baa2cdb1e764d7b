#include <gtest/gtest.h>

#include "app/process_state.h"
#include "app/run_log.h"
#include "tests/unit/harness.h"

namespace {

class RunLogTest : public SiteTest {
 protected:
  const std::string logPath = "C:\\Site\\tmp\\debGorvinal.txt";
};

TEST_F(RunLogTest, ConsoleGetsTextVerbatimAndLogGetsCrLf) {
  OpenRunLog(logPath);
  ASSERT_NE(CurrentRunLog(), nullptr);
  LogMessage("\nfirst\n\nsecond", CurrentRunLog());
  LogMessage("\nconsole only", nullptr);
  LogMessage("\r\nkept\r", CurrentRunLog());
  EXPECT_EQ(machine.stdoutText, "\nfirst\n\nsecond\nconsole only\r\nkept\r");
  EXPECT_EQ(machine.files.ReadFile(logPath).value(), "\r\nfirst\r\n\r\nsecond\r\r\nkept\r");
}

TEST_F(RunLogTest, OpeningTruncatesAnEarlierLogAndSharesIt) {
  machine.files.WriteFile(logPath, "old content that is longer");
  OpenRunLog(logPath);
  LogMessage("\nnew", CurrentRunLog());
  EXPECT_EQ(machine.files.ReadFile(logPath).value(), "\r\nnew");
  // Read and write access, shared for reading and writing, always created anew.
  EXPECT_EQ(machine.CallsStartingWith("CreateFileA")[0], "CreateFileA(" + logPath + ", 0xC0000000, 0x3, 2)");
}

TEST_F(RunLogTest, FormattedValuesAreNeverFormatStrings) {
  const std::string longValue(100000, 'x');
  LogFormatted(nullptr, "\n%s|%d", "%s%d%n%%", -5);
  LogFormatted(nullptr, "\n%s", longValue.c_str());
  EXPECT_EQ(machine.stdoutText, "\n%s%d%n%%|-5\n" + longValue);
  EXPECT_EQ(Process().messageBuffer, "\n" + longValue);
}

TEST_F(RunLogTest, FailedLogWritesLeaveTheConsoleComplete) {
  machine.files.FailWrites(logPath, win::ERROR_DISK_FULL);
  EXPECT_EQ(RunProgram(machine, {"/CHANGEREGVALS", "/S"}), 0);
  EXPECT_TRUE(Contains(machine.stdoutText, "part.. succeeded\nSuccess"));
  EXPECT_EQ(SiteLog(), "");
}

TEST_F(RunLogTest, LogThatCannotBeOpenedMeansConsoleOnly) {
  machine.files.WriteFile(logPath, "old");
  machine.files.HoldOpen(logPath, win::GENERIC_READ, 0);
  EXPECT_EQ(RunProgram(machine, {"/S"}), 0);
  EXPECT_EQ(machine.stdoutText, "\nTrying to remove debout file..\nDebout file could not be removed from " + logPath +
                                    " (error 32)\nSuccess");
  EXPECT_EQ(SiteLog(), "old");
}

struct DeboutCase {
  const char* name;
  bool atDriveRoot;
  bool atSite;
  bool atDriveRootHeld;  // another process holds it open without delete sharing
  std::string console;
  bool driveRootRemains;
};

class DeboutTest : public RunLogTest, public ::testing::WithParamInterface<DeboutCase> {};

TEST_P(DeboutTest, RemovesAtMostOneEarlierLog) {
  const DeboutCase& c = GetParam();
  if (c.atDriveRoot) {
    machine.files.WriteFile("C:\\debGorvinal.txt", "old");
  }
  if (c.atSite) {
    machine.files.WriteFile(logPath, "old");
  }
  if (c.atDriveRootHeld) {
    machine.files.HoldOpen("C:\\debGorvinal.txt", win::GENERIC_READ, win::FILE_SHARE_READ);
  }
  RunProgram(machine, {"/S"});
  EXPECT_EQ(machine.stdoutText, "\nTrying to remove debout file.." + c.console + "\nSuccess");
  EXPECT_EQ(machine.files.Exists("C:\\debGorvinal.txt"), c.driveRootRemains);
  // The new log never holds what was written before it was opened.
  EXPECT_EQ(SiteLog(), "\r\nSuccess");
}

INSTANTIATE_TEST_SUITE_P(
    Removal, DeboutTest,
    ::testing::Values(
        DeboutCase{"Neither", false, false, false, "\nMarker file was not found", false},
        DeboutCase{"DriveRootOnly", true, false, false, "\nDebout file removed from C:\\debGorvinal.txt", false},
        DeboutCase{"SiteOnly", false, true, false, "\nDebout file removed from C:\\Site\\tmp\\debGorvinal.txt", false},
        DeboutCase{"BothRemovesDriveRootOnly", true, true, false, "\nDebout file removed from C:\\debGorvinal.txt",
                   false},
        DeboutCase{"LockedIsReported", true, false, true,
                   "\nDebout file could not be removed from C:\\debGorvinal.txt (error 32)", true}),
    kCaseName);

}  // namespace

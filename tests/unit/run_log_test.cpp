#include <gtest/gtest.h>

#include "app/process_state.h"
#include "app/run_log.h"
#include "tests/unit/harness.h"

namespace {

const char kDriveLog[] = "C:\\debGorvinal.txt";
const char kSiteLog[] = "C:\\Site\\tmp\\debGorvinal.txt";

using RunLogTest = SiteTest;

TEST_F(RunLogTest, ConsoleGetsTextVerbatimAndLogGetsCrLf) {
  OpenRunLog(kSiteLog);
  LogMessage("\nfirst\n\nsecond", CurrentRunLog());
  LogMessage("\nconsole only", nullptr);
  LogMessage("\r\nkept\r", CurrentRunLog());
  EXPECT_EQ(machine.stdoutText, "\nfirst\n\nsecond\nconsole only\r\nkept\r");
  EXPECT_EQ(machine.files.ReadFile(kSiteLog).value(), "\r\nfirst\r\n\r\nsecond\r\r\nkept\r");
}

TEST_F(RunLogTest, FormattedValuesAreNeverFormatStrings) {
  const std::string longValue(100000, 'x');
  LogFormatted(nullptr, "\n%s|%d", "%s%d%n%%", -5);
  LogFormatted(nullptr, "\n%s", longValue.c_str());
  EXPECT_EQ(machine.stdoutText, "\n%s%d%n%%|-5\n" + longValue);
  EXPECT_EQ(Process().messageBuffer, "\n" + longValue);
}

struct DeboutCase {
  const char* name;
  std::vector<const char*> earlier;  // earlier logs
  const char* held;                  // held open by another process without sharing
  std::string console;
  const char* log;  // what the site's log holds at the end
};

class DeboutTest : public RunLogTest, public ::testing::WithParamInterface<DeboutCase> {};

// At most one earlier log is removed, the one at the drive root first; a log
// that cannot be removed is reported with the code and the run goes on.
TEST_P(DeboutTest, RemovesAtMostOneEarlierLog) {
  const DeboutCase& c = GetParam();
  for (const char* path : c.earlier) {
    machine.files.WriteFile(path, "old");
  }
  if (c.held != nullptr) {
    machine.faults = {{"DeleteFileA", win::ERROR_SHARING_VIOLATION, c.held}};
  }
  EXPECT_EQ(RunProgram(machine, {"/S"}), 0);
  EXPECT_EQ(machine.stdoutText, "\nTrying to remove debout file.." + c.console + "\nSuccess");
  EXPECT_EQ(machine.files.Exists(kDriveLog), c.held != nullptr && std::string(c.held) == kDriveLog);
  EXPECT_EQ(SiteLog(), c.log);
}

const std::string kRemoved = "\nDebout file removed from ";
const std::string kNotRemoved = "\nDebout file could not be removed from ";

const DeboutCase kDeboutCases[] = {
    {"Neither", {}, nullptr, "\nMarker file was not found", "\r\nSuccess"},
    {"DriveRootOnly", {kDriveLog}, nullptr, kRemoved + kDriveLog, "\r\nSuccess"},
    {"SiteOnly", {kSiteLog}, nullptr, kRemoved + kSiteLog, "\r\nSuccess"},
    // The site's log is then opened anew, and holds nothing of the earlier one.
    {"BothRemovesDriveRootOnly", {kDriveLog, kSiteLog}, nullptr, kRemoved + kDriveLog, "\r\nSuccess"},
    {"DriveRootLocked", {kDriveLog}, kDriveLog, kNotRemoved + kDriveLog + " (error 32)", "\r\nSuccess"},
};

INSTANTIATE_TEST_SUITE_P(Removal, DeboutTest, ::testing::ValuesIn(kDeboutCases), kCaseName);

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "tests/unit/harness.h"
#include "tzrules/report.h"

namespace {

std::string Report(const std::string& result, const std::string& standardRule, const std::string& daylightRule) {
  return "\nGetTimeZoneInformation returned " + result + "\nRetrieving Standard Time\n" + standardRule +
         "\nRetrieving Daylight Time\n" + daylightRule + "\n";
}

const std::string kNovRule = "First  Sunday of November in the TimeZone - Eastern Standard Time";
const std::string kMarRule = "Second  Sunday of March in the TimeZone - Eastern Daylight Time";
const std::string kNoRule = "  Sunday of  in the TimeZone - ";

// Out-of-range fields give empty words, absolute dates are worded by the
// same rule without year or hour, and a % in a name is printed as it stands.
TEST_F(SiteTest, ReportPrintsTheStatusAndBothRules) {
  const win::SYSTEMTIME nov = {0, 11, 0, 1, 2, 0, 0, 0};
  const win::SYSTEMTIME mar = {0, 3, 0, 2, 2, 0, 0, 0};
  const struct {
    win::DWORD result;
    win::SYSTEMTIME standardDate;
    win::SYSTEMTIME daylightDate;
    const char* standardName;
    std::string expected;
  } cases[] = {{1, nov, mar, "Eastern Standard Time", Report("- TIME_ZONE_ID_STANDARD", kNovRule, kMarRule)},
               {2, nov, mar, "Eastern Standard Time", Report("-TIME_ZONE_ID_DAYLIGHT", kNovRule, kMarRule)},
               {0,
                {},
                {},
                "Arizona %s %d%%",
                Report("- TIME_ZONE_ID_UNKNOWN", kNoRule + "Arizona %s %d%%", kNoRule + "Eastern Daylight Time")},
               {1,
                {0, 3, 7, 1, 2, 0, 0, 0},
                {2026, 13, 2, 17, 3, 0, 0, 0},
                "Fußball-Zeit",
                Report("- TIME_ZONE_ID_STANDARD", "First   of March in the TimeZone - Fußball-Zeit",
                       "  Tuesday of  in the TimeZone - Eastern Daylight Time")}};
  for (const auto& c : cases) {
    machine.stdoutText.clear();
    machine.timeZone.Set(300, c.standardName, "Eastern Daylight Time", "", c.standardDate, c.daylightDate);
    machine.timeZone.result = c.result;
    DisplayTimeZoneInfo();
    EXPECT_EQ(machine.stdoutText, c.expected);
  }
  machine.stdoutText.clear();
  machine.faults = {{"GetTimeZoneInformation", 1359}};
  DisplayTimeZoneInfo();
  EXPECT_EQ(machine.stdoutText, "\nGetTimeZoneInformation returned  TIME_ZONE_ID_INVALID - Error-(1359)");
  EXPECT_EQ(machine.timeZone.applies, 0);
}

TEST_F(SiteTest, NameFillingItsWholeFieldIsCutAtTheField) {
  const std::string full(32, 'N');
  std::fill(std::begin(machine.timeZone.settings.StandardName), std::end(machine.timeZone.settings.StandardName), u'N');
  DisplayTimeZoneInfo();
  EXPECT_TRUE(Contains(machine.stdoutText, "in the TimeZone - " + full + "\nRetrieving Daylight Time"));
}

// The report is printed where the option stands, before any run log is
// opened: on the console only.
TEST_F(SiteTest, DisplayOnlyReportsWhereTheOptionStands) {
  const std::string report = Report("- TIME_ZONE_ID_STANDARD", kNovRule, kMarRule);
  RunProgram(machine, {"/DISPONLY", "/S", "/disponly"});
  EXPECT_EQ(machine.stdoutText,
            report + report + "\nTrying to remove debout file..\nMarker file was not found\nSuccess");
  EXPECT_EQ(SiteLog(), "\r\nSuccess");
  machine.stdoutText.clear();
  RunProgram(machine, {"/?", "/DISPONLY", "/S"});  // before the usage text, though asked for after it
  EXPECT_EQ(machine.stdoutText.rfind(report + "\n\n\t/? -Shows", 0), 0u);
  machine.stdoutText.clear();
  machine.environment.clear();
  RunProgram(machine, {"/DISPONLY", "/S"});  // and before the invalid-root message
  EXPECT_EQ(machine.stdoutText.rfind(report + "\nQuordir is not defined", 0), 0u);
}

}  // namespace

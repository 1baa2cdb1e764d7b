#include <gtest/gtest.h>

#include "tests/unit/harness.h"
#include "tzrules/report.h"

namespace {

using Words = std::vector<std::string>;

TEST(WordTablesTest, GiveWordsInRangeAndEmptyOutside) {
  EXPECT_EQ((Words{OrdinalName(0), OrdinalName(1), OrdinalName(5), OrdinalName(6)}), (Words{"", "First", "Fifth", ""}));
  EXPECT_EQ((Words{DayOfWeekName(0), DayOfWeekName(6), DayOfWeekName(7)}), (Words{"Sunday", "Saturday", ""}));
  EXPECT_EQ((Words{MonthName(0), MonthName(1), MonthName(12), MonthName(13), MonthName(0xFFFF)}),
            (Words{"", "January", "December", "", ""}));
}

std::string Report(const std::string& result, const std::string& standardRule, const std::string& daylightRule) {
  return "\nGetTimeZoneInformation returned " + result + "\nRetrieving Standard Time\n" + standardRule +
         "\nRetrieving Daylight Time\n" + daylightRule + "\n";
}

struct ReportCase {
  const char* name;
  win::DWORD result;
  win::SYSTEMTIME standardDate;
  win::SYSTEMTIME daylightDate;
  const char* standardName;
  std::string expected;
};

class ReportTest : public SiteTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportTest, PrintsStatusAndBothRules) {
  const ReportCase& c = GetParam();
  machine.timeZone.Set(300, c.standardName, "Eastern Daylight Time", "", c.standardDate, c.daylightDate);
  machine.timeZone.result = c.result;
  DisplayTimeZoneInfo();
  EXPECT_EQ(machine.stdoutText, c.expected);
  EXPECT_EQ(machine.timeZone.applies, 0);
}

const win::SYSTEMTIME kNov = {0, 11, 0, 1, 2, 0, 0, 0};
const win::SYSTEMTIME kMar = {0, 3, 0, 2, 2, 0, 0, 0};
const std::string kNovRule = "First  Sunday of November in the TimeZone - Eastern Standard Time";
const std::string kMarRule = "Second  Sunday of March in the TimeZone - Eastern Daylight Time";
const std::string kNoRule = "  Sunday of  in the TimeZone - ";

INSTANTIATE_TEST_SUITE_P(Reports, ReportTest,
                         ::testing::Values(ReportCase{"Standard", 1, kNov, kMar, "Eastern Standard Time",
                                                      Report("- TIME_ZONE_ID_STANDARD", kNovRule, kMarRule)},
                                           ReportCase{"Daylight", 2, kNov, kMar, "Eastern Standard Time",
                                                      Report("-TIME_ZONE_ID_DAYLIGHT", kNovRule, kMarRule)},
                                           ReportCase{"UnknownWithoutDaylightTime",
                                                      0,
                                                      {},
                                                      {},
                                                      "Arizona %s %d%%",
                                                      Report("- TIME_ZONE_ID_UNKNOWN", kNoRule + "Arizona %s %d%%",
                                                             kNoRule + "Eastern Daylight Time")},
                                           // Out-of-range fields give empty words; absolute dates are worded by
                                           // the same rule, without year or hour.
                                           ReportCase{"OddFields",
                                                      1,
                                                      {0, 3, 7, 1, 2, 0, 0, 0},
                                                      {2026, 13, 2, 17, 3, 0, 0, 0},
                                                      "Fußball-Zeit",
                                                      Report("- TIME_ZONE_ID_STANDARD",
                                                             "First   of March in the TimeZone - Fußball-Zeit",
                                                             "  Tuesday of  in the TimeZone - Eastern Daylight Time")}),
                         kCaseName);

TEST_F(SiteTest, InvalidZoneGivesOneLineWithTheCode) {
  machine.timeZone.readError = 1359;
  DisplayTimeZoneInfo();
  EXPECT_EQ(machine.stdoutText, "\nGetTimeZoneInformation returned  TIME_ZONE_ID_INVALID - Error-(1359)");
}

TEST_F(SiteTest, NameFillingItsWholeFieldIsCutAtTheField) {
  const std::string full(32, 'N');
  machine.timeZone.Set(0, full, "D", "", {}, {});
  std::fill(std::begin(machine.timeZone.settings.StandardName), std::end(machine.timeZone.settings.StandardName), u'N');
  DisplayTimeZoneInfo();
  EXPECT_TRUE(Contains(machine.stdoutText, "in the TimeZone - " + full + "\nRetrieving Daylight Time"));
}

struct DisplayOrderCase {
  const char* name;
  std::vector<std::string> args;
  bool validRoot;
  std::vector<const char*> parts;  // in the order they must appear on the console
};

class DisplayOptionTest : public SiteTest, public ::testing::WithParamInterface<DisplayOrderCase> {};

// The report is printed where the option stands, before the run log is
// opened: on the console only.
TEST_P(DisplayOptionTest, ReportsWhereTheOptionStandsAndOnlyOnTheConsole) {
  const DisplayOrderCase& c = GetParam();
  if (!c.validRoot) {
    machine.environment.clear();
  }
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  size_t at = 0;
  for (const char* part : c.parts) {
    at = machine.stdoutText.find(part, at);
    ASSERT_NE(at, std::string::npos) << part;
    ++at;
  }
  EXPECT_FALSE(Contains(SiteLog(), "TIME_ZONE_ID"));
  EXPECT_EQ(machine.timeZone.applies, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Order, DisplayOptionTest,
    ::testing::Values(
        DisplayOrderCase{"Twice",
                         {"/DISPONLY", "/S", "/disponly"},
                         true,
                         {"TIME_ZONE_ID_STANDARD", "Eastern Daylight Time\n", "TIME_ZONE_ID_STANDARD",
                          "Eastern Daylight Time\n\nTrying to remove debout file..", "\nSuccess"}},
        DisplayOrderCase{"AfterUsage", {"/?", "/DISPONLY", "/S"}, true, {"TIME_ZONE_ID_STANDARD", "/? -Shows"}},
        DisplayOrderCase{
            "InvalidRoot", {"/DISPONLY", "/S"}, false, {"TIME_ZONE_ID_STANDARD", "\nQuordir is not defined"}}),
    kCaseName);

}  // namespace

#include <gtest/gtest.h>

#include "app/process_state.h"
#include "tests/unit/harness.h"
#include "tzrules/report.h"

namespace {

TEST(WordTablesTest, GiveWordsInRangeAndEmptyOutside) {
  EXPECT_EQ(OrdinalName(0), "");
  EXPECT_EQ(OrdinalName(1), "First");
  EXPECT_EQ(OrdinalName(5), "Fifth");
  EXPECT_EQ(OrdinalName(6), "");
  EXPECT_EQ(DayOfWeekName(0), "Sunday");
  EXPECT_EQ(DayOfWeekName(6), "Saturday");
  EXPECT_EQ(DayOfWeekName(7), "");
  EXPECT_EQ(MonthName(0), "");
  EXPECT_EQ(MonthName(1), "January");
  EXPECT_EQ(MonthName(12), "December");
  EXPECT_EQ(MonthName(13), "");
  EXPECT_EQ(MonthName(0xFFFF), "");
}

struct ReportCase {
  const char* name;
  win::DWORD result;
  win::SYSTEMTIME standardDate;
  win::SYSTEMTIME daylightDate;
  const char* standardName;
  std::string expected;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ReportTest : public SimTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportTest, PrintsStatusAndBothRules) {
  const ReportCase& c = GetParam();
  ResetProcessState();
  machine.timeZone.Set(300, c.standardName, "Eastern Daylight Time", "", c.standardDate, c.daylightDate);
  machine.timeZone.result = c.result;
  DisplayTimeZoneInfo();
  EXPECT_EQ(machine.stdoutText, c.expected);
  EXPECT_EQ(machine.timeZone.applies, 0);
}

const win::SYSTEMTIME kNovember1st = {0, 11, 0, 1, 2, 0, 0, 0};
const win::SYSTEMTIME kMarch2nd = {0, 3, 0, 2, 2, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Reports, ReportTest,
    ::testing::Values(ReportCase{"Standard", 1, kNovember1st, kMarch2nd, "Eastern Standard Time",
                                 "\nGetTimeZoneInformation returned - TIME_ZONE_ID_STANDARD"
                                 "\nRetrieving Standard Time"
                                 "\nFirst  Sunday of November in the TimeZone - Eastern Standard Time"
                                 "\nRetrieving Daylight Time"
                                 "\nSecond  Sunday of March in the TimeZone - Eastern Daylight Time\n"},
                      ReportCase{"Daylight", 2, kNovember1st, kMarch2nd, "Eastern Standard Time",
                                 "\nGetTimeZoneInformation returned -TIME_ZONE_ID_DAYLIGHT"
                                 "\nRetrieving Standard Time"
                                 "\nFirst  Sunday of November in the TimeZone - Eastern Standard Time"
                                 "\nRetrieving Daylight Time"
                                 "\nSecond  Sunday of March in the TimeZone - Eastern Daylight Time\n"},
                      ReportCase{"UnknownWithoutDaylightTime",
                                 0,
                                 {},
                                 {},
                                 "Arizona %s %d%%",
                                 "\nGetTimeZoneInformation returned - TIME_ZONE_ID_UNKNOWN"
                                 "\nRetrieving Standard Time"
                                 "\n  Sunday of  in the TimeZone - Arizona %s %d%%"
                                 "\nRetrieving Daylight Time"
                                 "\n  Sunday of  in the TimeZone - Eastern Daylight Time\n"},
                      // Out-of-range fields give empty words; absolute dates are worded by
                      // the same rule, without year or hour.
                      ReportCase{"OddFields",
                                 1,
                                 {0, 3, 7, 1, 2, 0, 0, 0},
                                 {2026, 13, 2, 17, 3, 0, 0, 0},
                                 "Fußball-Zeit",
                                 "\nGetTimeZoneInformation returned - TIME_ZONE_ID_STANDARD"
                                 "\nRetrieving Standard Time"
                                 "\nFirst   of March in the TimeZone - Fußball-Zeit"
                                 "\nRetrieving Daylight Time"
                                 "\n  Tuesday of  in the TimeZone - Eastern Daylight Time\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, InvalidZoneGivesOneLineWithTheCode) {
  ResetProcessState();
  machine.timeZone.readError = 1359;
  DisplayTimeZoneInfo();
  EXPECT_EQ(machine.stdoutText, "\nGetTimeZoneInformation returned  TIME_ZONE_ID_INVALID - Error-(1359)");
}

TEST_F(SimTest, NameFillingItsWholeFieldIsCutAtTheField) {
  ResetProcessState();
  const std::string full(32, 'N');
  machine.timeZone.Set(0, full, "D", "", {}, {});
  std::fill(std::begin(machine.timeZone.settings.StandardName), std::end(machine.timeZone.settings.StandardName), u'N');
  DisplayTimeZoneInfo();
  EXPECT_NE(machine.stdoutText.find("in the TimeZone - " + full + "\nRetrieving Daylight Time"), std::string::npos);
}

struct DisplayOrderCase {
  const char* name;
  std::vector<std::string> args;
  bool validRoot;
  std::vector<const char*> parts;  // in the order they must appear on the console
};

void PrintTo(const DisplayOrderCase& c, std::ostream* os) { *os << c.name; }

class DisplayOptionTest : public SimTest, public ::testing::WithParamInterface<DisplayOrderCase> {};

TEST_P(DisplayOptionTest, ReportsWhereTheOptionStandsAndOnlyOnTheConsole) {
  const DisplayOrderCase& c = GetParam();
  if (!c.validRoot) {
    machine.environment.clear();
  }
  EXPECT_EQ(RunProgram(machine, c.args), 0);
  size_t at = 0;
  for (const char* part : c.parts) {
    const size_t found = machine.stdoutText.find(part, at);
    ASSERT_NE(found, std::string::npos) << part;
    at = found + 1;
  }
  EXPECT_EQ(SiteLog().find("TIME_ZONE_ID"), std::string::npos);
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
        DisplayOrderCase{"BeforeUsage", {"/DISPONLY", "/?", "/S"}, true, {"TIME_ZONE_ID_STANDARD", "/? -Shows"}},
        DisplayOrderCase{"AfterUsage", {"/?", "/DISPONLY", "/S"}, true, {"TIME_ZONE_ID_STANDARD", "/? -Shows"}},
        DisplayOrderCase{
            "InvalidRoot", {"/DISPONLY", "/S"}, false, {"TIME_ZONE_ID_STANDARD", "\nQuordir is not defined"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

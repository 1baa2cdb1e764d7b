#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "app/process_state.h"
#include "tests/unit/harness.h"
#include "tzrules/active_zone.h"

namespace {

constexpr win::SYSTEMTIME kNovember1st = {0, 11, 0, 1, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kMarch2nd = {0, 3, 0, 2, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kOctoberLast = {0, 10, 0, 5, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kAprilFirst = {0, 4, 0, 1, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kNoDate = {};
constexpr win::SYSTEMTIME kEuropeOctober = {0, 10, 0, 5, 3, 0, 0, 0};
constexpr win::SYSTEMTIME kEuropeMarch = {0, 3, 0, 5, 2, 0, 0, 0};

const char kLeftUnchanged[] =
    "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left unchanged.";

bool SameDate(const win::SYSTEMTIME& a, const win::SYSTEMTIME& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool SameSettings(const win::DYNAMIC_TIME_ZONE_INFORMATION& a, const win::DYNAMIC_TIME_ZONE_INFORMATION& b) {
  return a.Bias == b.Bias && a.StandardBias == b.StandardBias && a.DaylightBias == b.DaylightBias &&
         SameDate(a.StandardDate, b.StandardDate) && SameDate(a.DaylightDate, b.DaylightDate) &&
         std::equal(std::begin(a.StandardName), std::end(a.StandardName), std::begin(b.StandardName)) &&
         std::equal(std::begin(a.DaylightName), std::end(a.DaylightName), std::begin(b.DaylightName)) &&
         std::equal(std::begin(a.TimeZoneKeyName), std::end(a.TimeZoneKeyName), std::begin(b.TimeZoneKeyName)) &&
         a.DynamicDaylightTimeDisabled == b.DynamicDaylightTimeDisabled;
}

enum class Road { Dynamic, Xp };

struct ZoneCase {
  const char* name;
  Road road;
  win::LONG bias;
  const char* standardName;
  const char* keyName;  // what the dynamic read reports; XP has none
  win::SYSTEMTIME standardDate;
  win::SYSTEMTIME daylightDate;
  bool dynamicDisabled;
  bool updated;
};

void PrintTo(const ZoneCase& c, std::ostream* os) { *os << c.name; }

class ActiveZoneTest : public SimTest, public ::testing::WithParamInterface<ZoneCase> {
 protected:
  ActiveZoneTest() {
    ResetProcessState();
    // The registry job has enabled the privileges by the time the update runs.
    machine.token.privileges["SeTimeZonePrivilege"].enabled = true;
    machine.token.privileges["SeSystemtimePrivilege"].enabled = true;
  }
  void UseXp() {
    machine.version.major = 5;
    machine.modules.RemoveExport("kernel32.dll", "GetDynamicTimeZoneInformation");
    machine.modules.RemoveExport("kernel32.dll", "SetDynamicTimeZoneInformation");
  }
};

TEST_P(ActiveZoneTest, ChangesOnlyUsCanadaZonesThatKeepDaylightTime) {
  const ZoneCase& c = GetParam();
  if (c.road == Road::Xp) {
    UseXp();
  }
  machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "Std", "Hora estándar del Este");
  machine.timeZone.Set(c.bias, c.standardName, "Daylight Name", c.keyName, c.standardDate, c.daylightDate);
  machine.timeZone.settings.DynamicDaylightTimeDisabled = c.dynamicDisabled ? 1 : 0;
  const win::DYNAMIC_TIME_ZONE_INFORMATION before = machine.timeZone.settings;

  EXPECT_EQ(UpdateCurrentTimeZoneInfo(), c.updated);

  const win::DYNAMIC_TIME_ZONE_INFORMATION& after = machine.timeZone.settings;
  if (c.updated) {
    EXPECT_EQ(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded");
    EXPECT_TRUE(SameDate(after.StandardDate, kNovember1st));
    EXPECT_TRUE(SameDate(after.DaylightDate, kMarch2nd));
    EXPECT_EQ(after.Bias, before.Bias);
    EXPECT_EQ(after.StandardBias, before.StandardBias);
    EXPECT_EQ(after.DaylightBias, before.DaylightBias);
    EXPECT_EQ(machine.timeZone.StandardName(), c.standardName);
    EXPECT_EQ(machine.timeZone.DaylightName(), "Daylight Name");
    EXPECT_EQ(machine.timeZone.KeyName(), c.keyName);
  } else {
    EXPECT_EQ(machine.stdoutText, kLeftUnchanged);
    EXPECT_TRUE(SameSettings(after, before));
    EXPECT_EQ(machine.timeZone.applies, 0);
  }
  EXPECT_TRUE(OpenHandles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ActiveZoneTest,
    ::testing::Values(ZoneCase{"EasternOldRules", Road::Dynamic, 300, "Eastern Standard Time", "Eastern Standard Time",
                               kOctoberLast, kAprilFirst, false, true},
                      ZoneCase{"NewfoundlandGetsTwoOClock",
                               Road::Dynamic,
                               210,
                               "Newfoundland Standard Time",
                               "Newfoundland Standard Time",
                               {0, 10, 0, 5, 0, 1, 0, 0},
                               {0, 4, 0, 1, 0, 1, 0, 0},
                               false,
                               true},
                      ZoneCase{"KeyNameInOtherCase", Road::Dynamic, 480, "PST", "pacific standard time", kOctoberLast,
                               kAprilFirst, false, true},
                      ZoneCase{"XpByLocalizedName", Road::Xp, 300, "Hora estándar del Este", "", kOctoberLast,
                               kAprilFirst, false, true},
                      ZoneCase{"XpAlaskaByStoredName", Road::Xp, 540, "Alaskan Standard Time", "", kOctoberLast,
                               kAprilFirst, false, true},
                      ZoneCase{"Arizona", Road::Dynamic, 420, "US Mountain Standard Time", "US Mountain Standard Time",
                               kNoDate, kNoDate, false, false},
                      ZoneCase{"Saskatchewan", Road::Dynamic, 360, "Canada Central Standard Time",
                               "Canada Central Standard Time", kNoDate, kNoDate, false, false},
                      ZoneCase{"Europe", Road::Dynamic, -60, "W. Europe Standard Time", "W. Europe Standard Time",
                               kEuropeOctober, kEuropeMarch, false, false},
                      ZoneCase{"Utc", Road::Dynamic, 0, "Coordinated Universal Time", "UTC", kNoDate, kNoDate, false,
                               false},
                      ZoneCase{"EasternWithAutomaticAdjustmentOff", Road::Dynamic, 300, "Eastern Standard Time",
                               "Eastern Standard Time", kNoDate, kNoDate, true, false},
                      ZoneCase{"EasternNamedButDatesOff", Road::Dynamic, 300, "Eastern Standard Time",
                               "Eastern Standard Time", kOctoberLast, kAprilFirst, true, false},
                      ZoneCase{"XpUnknownName", Road::Xp, -60, "Romance Standard Time", "", kEuropeOctober,
                               kEuropeMarch, false, false},
                      // A key name decides alone: the standard name is not consulted.
                      ZoneCase{"KeyNameWinsOverStandardName", Road::Dynamic, -60, "Eastern Standard Time",
                               "W. Europe Standard Time", kEuropeOctober, kEuropeMarch, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

class ActiveZoneApplyTest : public ActiveZoneTest {};

TEST_F(ActiveZoneApplyTest, DynamicRoadKeepsKeyNameAndDynamicData) {
  machine.timeZone.Set(300, "Eastern Standard Time", "Eastern Daylight Time", "Eastern Standard Time", kOctoberLast,
                       kAprilFirst);
  EXPECT_TRUE(UpdateCurrentTimeZoneInfo());
  EXPECT_EQ(machine.CallsStartingWith("SetDynamicTimeZoneInformation").size(), 1u);
  EXPECT_TRUE(machine.CallsStartingWith("SetTimeZoneInformation").empty());
  EXPECT_EQ(machine.timeZone.KeyName(), "Eastern Standard Time");
}

// Wine exports the dynamic read but not the dynamic apply: the zone is named
// by the read and applied with the plain call.
TEST_F(ActiveZoneApplyTest, ReadWithoutDynamicApplyUsesThePlainApply) {
  machine.modules.RemoveExport("kernel32.dll", "SetDynamicTimeZoneInformation");
  machine.timeZone.Set(300, "EST", "EDT", "Eastern Standard Time", kOctoberLast, kAprilFirst);
  EXPECT_TRUE(UpdateCurrentTimeZoneInfo());
  EXPECT_EQ(machine.CallsStartingWith("SetTimeZoneInformation").size(), 1u);
  EXPECT_TRUE(SameDate(machine.timeZone.settings.StandardDate, kNovember1st));
}

struct RefusalCase {
  const char* name;
  int majorVersion;
  const char* enabledPrivilege;
  win::DWORD applyError;
  const char* message;
};

TEST_F(ActiveZoneApplyTest, RefusedApplyIsReportedWithTheCode) {
  const RefusalCase cases[] = {
      // Vista and later want the time-zone privilege, XP the system-time one.
      {"VistaWithoutTimeZonePrivilege", 6, "SeSystemtimePrivilege", 0, "\nSetTimeZoneInformation failed (1314) "},
      {"XpWithoutSystemTimePrivilege", 5, "SeTimeZonePrivilege", 0, "\nSetTimeZoneInformation failed (1314) "},
      {"RefusedWhateverThePrivileges", 6, "SeTimeZonePrivilege", 5, "\nSetTimeZoneInformation failed (5) "},
  };
  for (const auto& c : cases) {
    machine.version.major = c.majorVersion;
    machine.token.privileges["SeTimeZonePrivilege"].enabled = false;
    machine.token.privileges["SeSystemtimePrivilege"].enabled = false;
    machine.token.privileges[c.enabledPrivilege].enabled = true;
    machine.timeZone.applyError = c.applyError;
    machine.timeZone.Set(300, "Eastern Standard Time", "EDT", "Eastern Standard Time", kOctoberLast, kAprilFirst);
    machine.stdoutText.clear();
    EXPECT_FALSE(UpdateCurrentTimeZoneInfo()) << c.name;
    EXPECT_EQ(machine.stdoutText, c.message) << c.name;
    EXPECT_TRUE(SameDate(machine.timeZone.settings.StandardDate, kOctoberLast)) << c.name;
  }
}

TEST_F(ActiveZoneApplyTest, UnreadableZoneIsNotOverwritten) {
  machine.timeZone.readError = 1359;
  EXPECT_FALSE(UpdateCurrentTimeZoneInfo());
  EXPECT_EQ(machine.stdoutText, "\nGetTimeZoneInformation failed (1359) ");
  EXPECT_EQ(machine.timeZone.applies, 0);
}

TEST_F(ActiveZoneApplyTest, SecondUpdateGivesTheSameSettings) {
  machine.timeZone.Set(360, "Central Standard Time", "Central Daylight Time", "Central Standard Time", kOctoberLast,
                       kAprilFirst);
  UpdateCurrentTimeZoneInfo();
  const win::DYNAMIC_TIME_ZONE_INFORMATION once = machine.timeZone.settings;
  UpdateCurrentTimeZoneInfo();
  EXPECT_TRUE(SameSettings(machine.timeZone.settings, once));
  EXPECT_EQ(machine.timeZone.applies, 2);
}

}  // namespace

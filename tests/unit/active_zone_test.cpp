#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "tests/unit/harness.h"
#include "tzrules/active_zone.h"

namespace {

constexpr win::SYSTEMTIME kNov = {0, 11, 0, 1, 2, 0, 0, 0};  // the new rules
constexpr win::SYSTEMTIME kMar = {0, 3, 0, 2, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kOct = {0, 10, 0, 5, 2, 0, 0, 0};  // the old rules
constexpr win::SYSTEMTIME kApr = {0, 4, 0, 1, 2, 0, 0, 0};
constexpr win::SYSTEMTIME kNone = {};
constexpr win::SYSTEMTIME kEuOct = {0, 10, 0, 5, 3, 0, 0, 0};
constexpr win::SYSTEMTIME kEuMar = {0, 3, 0, 5, 2, 0, 0, 0};

bool Same(const win::SYSTEMTIME& a, const win::SYSTEMTIME& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every field, padding left out.
bool Same(const win::DYNAMIC_TIME_ZONE_INFORMATION& a, const win::DYNAMIC_TIME_ZONE_INFORMATION& b) {
  return std::memcmp(&a, &b, offsetof(win::DYNAMIC_TIME_ZONE_INFORMATION, DynamicDaylightTimeDisabled) + 1) == 0;
}

// Dynamic: Vista and later. Xp: neither dynamic call. Wine: the dynamic read
// without the dynamic apply, so the plain apply is used.
enum class Road { Dynamic, Xp, Wine };

class ActiveZoneTest : public SiteTest {
 protected:
  // The registry job has enabled the privileges by the time the update runs.
  ActiveZoneTest() {
    machine.token.privileges["SeTimeZonePrivilege"].enabled = true;
    machine.token.privileges["SeSystemtimePrivilege"].enabled = true;
  }
  void Use(Road road) {
    if (road == Road::Xp) {
      machine.version.major = 5;
      machine.modules.RemoveExport("kernel32.dll", "GetDynamicTimeZoneInformation");
    }
    if (road != Road::Dynamic) {
      machine.modules.RemoveExport("kernel32.dll", "SetDynamicTimeZoneInformation");
    }
  }
};

struct ZoneCase {
  const char* name;
  Road road;
  win::LONG bias;
  const char* standardName;
  const char* keyName;  // "" where the platform gives none
  win::SYSTEMTIME standardDate;
  win::SYSTEMTIME daylightDate;
  bool dynamicDisabled;
  bool updated;
};

class ZoneTest : public ActiveZoneTest, public ::testing::WithParamInterface<ZoneCase> {};

TEST_P(ZoneTest, ChangesOnlyUsCanadaZonesThatKeepDaylightTime) {
  const ZoneCase& c = GetParam();
  Use(c.road);
  machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "Std", "Hora estándar del Este");
  machine.timeZone.Set(c.bias, c.standardName, "Daylight Name", c.keyName, c.standardDate, c.daylightDate);
  machine.timeZone.settings.DynamicDaylightTimeDisabled = c.dynamicDisabled ? 1 : 0;
  const win::DYNAMIC_TIME_ZONE_INFORMATION before = machine.timeZone.settings;

  EXPECT_EQ(UpdateCurrentTimeZoneInfo(), c.updated);

  const win::DYNAMIC_TIME_ZONE_INFORMATION& after = machine.timeZone.settings;
  if (!c.updated) {
    EXPECT_EQ(machine.stdoutText,
              "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left "
              "unchanged.");
    EXPECT_TRUE(Same(after, before));
    EXPECT_EQ(machine.timeZone.applies, 0);
    return;
  }
  EXPECT_EQ(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded");
  // New dates; biases and names kept. The dynamic apply keeps the machine on
  // its named zone, the plain apply cuts it loose, as on Windows.
  win::DYNAMIC_TIME_ZONE_INFORMATION expected = before;
  expected.StandardDate = kNov;
  expected.DaylightDate = kMar;
  if (c.road != Road::Dynamic) {
    std::fill(std::begin(expected.TimeZoneKeyName), std::end(expected.TimeZoneKeyName), u'\0');
  }
  EXPECT_TRUE(Same(after, expected));
}

constexpr win::SYSTEMTIME kNfOct = {0, 10, 0, 5, 0, 1, 0, 0};  // Newfoundland's old rules: 00:01
constexpr win::SYSTEMTIME kNfApr = {0, 4, 0, 1, 0, 1, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneTest,
    ::testing::Values(
        ZoneCase{"Eastern", Road::Dynamic, 300, "Eastern Standard Time", "Eastern Standard Time", kOct, kApr, false,
                 true},
        ZoneCase{"NewfoundlandAtTwo", Road::Dynamic, 210, "Newfoundland Standard Time", "Newfoundland Standard Time",
                 kNfOct, kNfApr, false, true},
        ZoneCase{"KeyNameInOtherCase", Road::Dynamic, 480, "PST", "pacific standard time", kOct, kApr, false, true},
        ZoneCase{"XpByLocalizedName", Road::Xp, 300, "Hora estándar del Este", "", kOct, kApr, false, true},
        ZoneCase{"WineReadPlainApply", Road::Wine, 300, "EST", "Eastern Standard Time", kOct, kApr, false, true},
        ZoneCase{"Arizona", Road::Dynamic, 420, "US Mountain Standard Time", "US Mountain Standard Time", kNone, kNone,
                 false, false},
        ZoneCase{"Europe", Road::Dynamic, -60, "W. Europe Standard Time", "W. Europe Standard Time", kEuOct, kEuMar,
                 false, false},
        ZoneCase{"Utc", Road::Dynamic, 0, "Coordinated Universal Time", "UTC", kNone, kNone, false, false},
        ZoneCase{"AutomaticAdjustmentOff", Road::Dynamic, 300, "Eastern Standard Time", "Eastern Standard Time", kOct,
                 kApr, true, false},
        ZoneCase{"XpUnknownName", Road::Xp, -60, "Romance Standard Time", "", kEuOct, kEuMar, false, false},
        // A key name decides alone: the standard name is not consulted.
        ZoneCase{"KeyNameWinsOverStandardName", Road::Dynamic, -60, "Eastern Standard Time", "W. Europe Standard Time",
                 kEuOct, kEuMar, false, false}),
    kCaseName);

TEST_F(ActiveZoneTest, RefusedApplyIsReportedWithTheCode) {
  const struct {
    const char* name;
    win::DWORD majorVersion;
    const char* enabledPrivilege;
    win::DWORD applyError;
    int code;
  } cases[] = {
      // Vista and later want the time-zone privilege, XP the system-time one.
      {"VistaWithoutTimeZonePrivilege", 6, "SeSystemtimePrivilege", 0, 1314},
      {"XpWithoutSystemTimePrivilege", 5, "SeTimeZonePrivilege", 0, 1314},
      {"RefusedWhateverThePrivileges", 6, "SeTimeZonePrivilege", 5, 5},
  };
  for (const auto& c : cases) {
    machine.version.major = c.majorVersion;
    machine.token.privileges["SeTimeZonePrivilege"].enabled = false;
    machine.token.privileges["SeSystemtimePrivilege"].enabled = false;
    machine.token.privileges[c.enabledPrivilege].enabled = true;
    machine.timeZone.applyError = c.applyError;
    machine.timeZone.Set(300, "Eastern Standard Time", "EDT", "Eastern Standard Time", kOct, kApr);
    machine.stdoutText.clear();
    EXPECT_FALSE(UpdateCurrentTimeZoneInfo()) << c.name;
    EXPECT_EQ(machine.stdoutText, "\nSetTimeZoneInformation failed (" + std::to_string(c.code) + ") ") << c.name;
    EXPECT_TRUE(Same(machine.timeZone.settings.StandardDate, kOct)) << c.name;
  }
}

TEST_F(ActiveZoneTest, UnreadableZoneIsNotOverwritten) {
  machine.timeZone.readError = 1359;
  EXPECT_FALSE(UpdateCurrentTimeZoneInfo());
  EXPECT_EQ(machine.stdoutText, "\nGetTimeZoneInformation failed (1359) ");
  EXPECT_EQ(machine.timeZone.applies, 0);
}

TEST_F(ActiveZoneTest, SecondUpdateGivesTheSameSettings) {
  machine.timeZone.Set(360, "Central Standard Time", "Central Daylight Time", "Central Standard Time", kOct, kApr);
  UpdateCurrentTimeZoneInfo();
  const win::DYNAMIC_TIME_ZONE_INFORMATION once = machine.timeZone.settings;
  UpdateCurrentTimeZoneInfo();
  EXPECT_TRUE(Same(machine.timeZone.settings, once));
  EXPECT_EQ(machine.timeZone.applies, 2);
}

}  // namespace

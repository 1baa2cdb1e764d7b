#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>

#include "tests/unit/harness.h"
#include "tzrules/active_zone.h"

namespace {

// Rules as {standard date, daylight date}: the new ones, the older ones (for
// Newfoundland at 00:01), Europe's, and none.
using Rules = win::SYSTEMTIME[2];
constexpr Rules kNew = {{0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0}};
constexpr Rules kOld = {{0, 10, 0, 5, 2, 0, 0, 0}, {0, 4, 0, 1, 2, 0, 0, 0}};
constexpr Rules kOldNf = {{0, 10, 0, 5, 0, 1, 0, 0}, {0, 4, 0, 1, 0, 1, 0, 0}};
constexpr Rules kEurope = {{0, 10, 0, 5, 3, 0, 0, 0}, {0, 3, 0, 5, 2, 0, 0, 0}};
constexpr Rules kNone = {};

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
  void SetZone(const char* standardName, const char* keyName, const Rules& rules) {
    machine.timeZone.Set(300, standardName, "Daylight Name", keyName, rules[0], rules[1]);
  }
};

struct ZoneCase {
  const char* name;
  const char* standardName;
  const char* keyName;  // "" where the platform gives none
  const Rules& rules;
  Road road;
  bool automaticAdjustment;
  bool updated;
};

class ZoneTest : public ActiveZoneTest, public ::testing::WithParamInterface<ZoneCase> {};

TEST_P(ZoneTest, ChangesOnlyUsCanadaZonesThatKeepDaylightTime) {
  const ZoneCase& c = GetParam();
  if (c.road == Road::Xp) {
    machine.version.major = 5;
    machine.modules.RemoveExport("kernel32.dll", "GetDynamicTimeZoneInformation");
  }
  if (c.road != Road::Dynamic) {
    machine.modules.RemoveExport("kernel32.dll", "SetDynamicTimeZoneInformation");
  }
  machine.registry.SetString(NtZoneKey("Eastern Standard Time"), "Std", "Hora estándar del Este");
  SetZone(c.standardName, c.keyName, c.rules);
  machine.timeZone.settings.DynamicDaylightTimeDisabled = c.automaticAdjustment ? 0 : 1;
  const win::DYNAMIC_TIME_ZONE_INFORMATION before = machine.timeZone.settings;

  EXPECT_EQ(UpdateCurrentTimeZoneInfo(), c.updated);

  if (!c.updated) {
    EXPECT_EQ(machine.stdoutText,
              "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left "
              "unchanged.");
    EXPECT_TRUE(Same(machine.timeZone.settings, before));
    EXPECT_EQ(machine.timeZone.applies, 0);
    return;
  }
  EXPECT_EQ(machine.stdoutText, "\nSetting TimeZoneInfo part.. succeeded");
  // New dates, at 02:00 for every zone; biases and names kept. The dynamic
  // apply keeps the machine on its named zone, the plain apply cuts it loose.
  win::DYNAMIC_TIME_ZONE_INFORMATION expected = before;
  expected.StandardDate = kNew[0];
  expected.DaylightDate = kNew[1];
  if (c.road != Road::Dynamic) {
    std::fill(std::begin(expected.TimeZoneKeyName), std::end(expected.TimeZoneKeyName), u'\0');
  }
  EXPECT_TRUE(Same(machine.timeZone.settings, expected));
  EXPECT_TRUE(UpdateCurrentTimeZoneInfo());  // a second update changes nothing more
  EXPECT_TRUE(Same(machine.timeZone.settings, expected));
}

const ZoneCase kZoneCases[] = {
    {"Eastern", "Eastern Standard Time", "Eastern Standard Time", kOld, Road::Dynamic, true, true},
    {"Newfoundland", "Newfoundland Standard Time", "Newfoundland Standard Time", kOldNf, Road::Dynamic, true, true},
    {"KeyNameInOtherCase", "PST", "pacific standard time", kOld, Road::Dynamic, true, true},
    {"XpByLocalizedName", "Hora estándar del Este", "", kOld, Road::Xp, true, true},
    // The plain apply clears the key name: a second update finds the zone by its standard name.
    {"WineReadPlainApply", "Hora estándar del Este", "Eastern Standard Time", kOld, Road::Wine, true, true},
    {"Arizona", "US Mountain Standard Time", "US Mountain Standard Time", kNone, Road::Dynamic, true, false},
    {"Europe", "W. Europe Standard Time", "W. Europe Standard Time", kEurope, Road::Dynamic, true, false},
    {"Utc", "Coordinated Universal Time", "UTC", kNone, Road::Dynamic, true, false},
    {"AutomaticAdjustmentOff", "Eastern Standard Time", "Eastern Standard Time", kOld, Road::Dynamic, false, false},
    {"XpUnknownName", "Romance Standard Time", "", kEurope, Road::Xp, true, false},
    // A key name decides alone: the standard name is not consulted.
    {"KeyNameDecides", "Eastern Standard Time", "W. Europe Standard Time", kEurope, Road::Dynamic, true, false},
};

INSTANTIATE_TEST_SUITE_P(Zones, ZoneTest, ::testing::ValuesIn(kZoneCases), kCaseName);

}  // namespace

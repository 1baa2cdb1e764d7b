// The seven US/Canada time zones with the daylight-saving rules the patch
// installs: daylight time from the second Sunday of March to the first
// Sunday of November.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/win.h"

constexpr int kZoneCount = 7;

// A zone's rule record as the registry stores it in the "TZI" value.
struct TziRecord {
  win::LONG bias;
  win::LONG standardBias;
  win::LONG daylightBias;
  win::SYSTEMTIME standardDate;  // standard time begins
  win::SYSTEMTIME daylightDate;  // daylight time begins
};
constexpr size_t kTziSize = 44;

// The 44 bytes of the "TZI" value: every field little-endian, no gaps.
std::array<uint8_t, kTziSize> TziBytes(const TziRecord& record);

// The zone's base name ("Eastern") for index 0 to 6 (west to east), else "".
std::string GetZoneName(int index);

// The record the patch installs for the zone at index 0 to 6.
const TziRecord& ZoneRecord(int index);

// The first year whose rule the zone table knows: 2007, when the US and
// Canada moved daylight time to March and November.
constexpr int kFirstRuleYear = 2007;

// The first year of the rule the patch writes for zone index (2007, or 2012
// for Newfoundland), and the rule the zone followed in a year from 2007 on.
int ZoneRecordFirstYear(int index);
const TziRecord& ZoneRecordOfYear(int index, int year);

// The time-zone database key (under HKEY_LOCAL_MACHINE, with a final
// backslash) and a zone's key name in it: "Eastern Standard Time", or
// "Eastern" alone on Windows 9x.
std::string TimeZonesKeyPrefix(bool isWindows9x);
std::string ZoneKeyName(int index, bool isWindows9x);

// A zone name as the system gives it (UTF-16, at most capacity units, ended
// by a zero unless it fills them all) in the ANSI code page; none, with the
// system's error, where it cannot be converted.
std::optional<std::string> NarrowZoneName(const win::WCHAR* name, size_t capacity);

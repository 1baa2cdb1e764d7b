#include "tzrules/zone_table.h"

#include <algorithm>
#include <iterator>

namespace {

// A yearly rule: the occurrence-th Sunday of month at hour:minute local time.
constexpr win::SYSTEMTIME Sunday(win::WORD month, win::WORD occurrence, win::WORD hour, win::WORD minute) {
  return win::SYSTEMTIME{0, month, 0, occurrence, hour, minute, 0, 0};
}

constexpr TziRecord Zone(win::LONG bias, win::WORD hour, win::WORD minute) {
  return TziRecord{bias, 0, -60, Sunday(11, 1, hour, minute), Sunday(3, 2, hour, minute)};
}

struct ZoneEntry {
  const char* name;
  TziRecord record;
};

// West to east, the order in which the zones are written. Every zone changes
// at 02:00 local time, Newfoundland too: it changed at 00:01 from 2007 to
// 2010 and has changed at 02:00 since 2011, and an up-to-date Windows holds
// that rule.
constexpr ZoneEntry kZones[kZoneCount] = {
    {"Alaskan", Zone(540, 2, 0)},      {"Pacific", Zone(480, 2, 0)}, {"Mountain", Zone(420, 2, 0)},
    {"Central", Zone(360, 2, 0)},      {"Eastern", Zone(300, 2, 0)}, {"Atlantic", Zone(240, 2, 0)},
    {"Newfoundland", Zone(210, 2, 0)},
};

constexpr int kNewfoundland = 6;

// The rules of the years since 2007, when the US and Canada moved daylight
// time to March and November, where a zone's rule changed again since: each
// holds from its first year to the next one's, and a zone's last one is its
// rule in kZones. Newfoundland changed at 00:01 from 2007 to 2010; in 2011
// daylight time began at 00:01 and ended at 02:00; since 2012 both changes
// fall at 02:00. The other zones have kept the rule of kZones since 2007.
struct YearRule {
  int zone;
  int firstYear;
  TziRecord record;
};
constexpr YearRule kYearRules[] = {
    {kNewfoundland, 2007, Zone(210, 0, 1)},
    {kNewfoundland, 2011, TziRecord{210, 0, -60, Sunday(11, 1, 2, 0), Sunday(3, 2, 0, 1)}},
    {kNewfoundland, 2012, Zone(210, 2, 0)},
};

constexpr bool SameDate(const win::SYSTEMTIME& a, const win::SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek && a.wDay == b.wDay &&
         a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

constexpr bool SameRecord(const TziRecord& a, const TziRecord& b) {
  return a.bias == b.bias && a.standardBias == b.standardBias && a.daylightBias == b.daylightBias &&
         SameDate(a.standardDate, b.standardDate) && SameDate(a.daylightDate, b.daylightDate);
}

// Each zone's last year rule is the rule the patch writes.
constexpr bool YearRulesEndInTodaysRule() {
  for (size_t i = 0; i < std::size(kYearRules); ++i) {
    const YearRule& rule = kYearRules[i];
    const bool last = i + 1 == std::size(kYearRules) || kYearRules[i + 1].zone != rule.zone;
    if (last && !SameRecord(rule.record, kZones[rule.zone].record)) {
      return false;
    }
  }
  return true;
}
static_assert(YearRulesEndInTodaysRule(), "a zone's year rules must end in its rule of today");

void Put32(uint8_t* out, win::LONG value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(bits >> (8 * i));
  }
}

void PutDate(uint8_t* out, const win::SYSTEMTIME& date) {
  const win::WORD fields[8] = {date.wYear, date.wMonth,  date.wDayOfWeek, date.wDay,
                               date.wHour, date.wMinute, date.wSecond,    date.wMilliseconds};
  for (size_t i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<uint8_t>(fields[i]);
    out[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
  }
}

}  // namespace

std::array<uint8_t, kTziSize> TziBytes(const TziRecord& record) {
  std::array<uint8_t, kTziSize> bytes{};
  Put32(bytes.data(), record.bias);
  Put32(&bytes[4], record.standardBias);
  Put32(&bytes[8], record.daylightBias);
  PutDate(&bytes[12], record.standardDate);
  PutDate(&bytes[28], record.daylightDate);
  return bytes;
}

std::string TimeZonesKeyPrefix(bool isWindows9x) {
  return isWindows9x ? "Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones\\"
                     : "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\";
}

std::string ZoneKeyName(int index, bool isWindows9x) {
  return GetZoneName(index) + (isWindows9x ? "" : " Standard Time");
}

std::optional<std::string> NarrowZoneName(const win::WCHAR* name, size_t capacity) {
  // A name that fills its field has no terminating zero: convert only the
  // units that are there, never beyond the field.
  std::u16string wide(name, std::find(name, name + capacity, u'\0'));
  if (wide.empty()) {
    return "";
  }
  const int size = win::WideCharToMultiByte(win::CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(std::max(size, 1)), '\0');
  if (size <= 0 ||
      win::WideCharToMultiByte(win::CP_ACP, 0, wide.c_str(), -1, narrow.data(), size, nullptr, nullptr) != size) {
    return std::nullopt;
  }
  narrow.resize(static_cast<size_t>(size) - 1);
  return narrow;
}

std::string GetZoneName(int index) { return index >= 0 && index < kZoneCount ? kZones[index].name : ""; }

const TziRecord& ZoneRecord(int index) { return kZones[index].record; }

int ZoneRecordFirstYear(int index) {
  int first = kFirstRuleYear;
  for (const YearRule& rule : kYearRules) {
    if (rule.zone == index) {
      first = rule.firstYear;
    }
  }
  return first;
}

const TziRecord& ZoneRecordOfYear(int index, int year) {
  const TziRecord* record = &kZones[index].record;
  for (const YearRule& rule : kYearRules) {
    if (rule.zone == index && rule.firstYear <= year) {
      record = &rule.record;
    }
  }
  return *record;
}

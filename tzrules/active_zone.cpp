#include "tzrules/active_zone.h"

#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>

#include "app/os.h"
#include "app/run_log.h"
#include "app/text.h"
#include "platform/unique.h"
#include "tzrules/zone_table.h"

namespace {

constexpr win::SYSTEMTIME kStandardDate = {0, 11, 0, 1, 2, 0, 0, 0};  // first Sunday of November
constexpr win::SYSTEMTIME kDaylightDate = {0, 3, 0, 2, 2, 0, 0, 0};   // second Sunday of March

// The "Std" value of a zone key: the standard-time name that the system
// reports for that zone, in the system's language.
std::string StoredStandardName(const std::string& keyPath) {
  win::UniqueHkey key;
  if (win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, win::KEY_QUERY_VALUE, key.put()) != 0) {
    key.release();
    return "";
  }
  char name[256] = {};
  win::DWORD size = sizeof name - 1;
  win::DWORD type = 0;
  if (win::RegQueryValueExA(key.get(), "Std", nullptr, &type, reinterpret_cast<win::BYTE*>(name), &size) != 0 ||
      type != win::REG_SZ) {
    return "";
  }
  return {name, strnlen(name, size)};
}

// True when the active zone is one of the seven US/Canada zones. Key names
// are not translated, so they are the sure test where the system gives one;
// otherwise the standard name is compared with each zone's stored name.
bool IsUsCanadaZone(const std::string& keyName, const std::string& standardName) {
  const bool isWindows9x = GetOsPlatform() == 1;
  for (int index = 0; index < kZoneCount; ++index) {
    const std::string zoneKey = ZoneKeyName(index, isWindows9x);
    if (!keyName.empty()) {
      if (EqualsIgnoringCase(keyName, zoneKey)) {
        return true;
      }
    } else if (!standardName.empty() &&
               EqualsIgnoringCase(standardName, StoredStandardName(TimeZonesKeyPrefix(isWindows9x) + zoneKey))) {
      return true;
    }
  }
  return false;
}

bool ObservesDaylightTime(const win::DYNAMIC_TIME_ZONE_INFORMATION& zone) {
  return zone.StandardDate.wMonth != 0 && zone.DaylightDate.wMonth != 0 && zone.DynamicDaylightTimeDisabled == 0;
}

// The dynamic record begins with the plain one, field for field.
static_assert(offsetof(win::DYNAMIC_TIME_ZONE_INFORMATION, DaylightBias) ==
              offsetof(win::TIME_ZONE_INFORMATION, DaylightBias));

win::DWORD ReadActiveZone(win::PFN_GetDynamicTimeZoneInformation getDynamic, win::DYNAMIC_TIME_ZONE_INFORMATION& zone) {
  if (getDynamic != nullptr) {
    return getDynamic(&zone);
  }
  win::TIME_ZONE_INFORMATION plain{};
  const win::DWORD result = win::GetTimeZoneInformation(&plain);
  std::memcpy(&zone, &plain, sizeof plain);
  return result;
}

bool ApplyPlain(const win::DYNAMIC_TIME_ZONE_INFORMATION& zone) {
  win::TIME_ZONE_INFORMATION plain{};
  std::memcpy(&plain, &zone, sizeof plain);
  return win::SetTimeZoneInformation(&plain) != 0;
}

}  // namespace

bool UpdateCurrentTimeZoneInfo() {
  // Vista and later keep the active zone's key name and dynamic
  // daylight-saving data; reading and applying through the dynamic pair
  // keeps the machine on its named zone. Older systems lack the pair.
  const win::HMODULE kernel32 = win::GetModuleHandleA("kernel32.dll");
  const auto getDynamic = Bind<win::PFN_GetDynamicTimeZoneInformation>(kernel32, "GetDynamicTimeZoneInformation");
  const auto setDynamic = Bind<win::PFN_SetDynamicTimeZoneInformation>(kernel32, "SetDynamicTimeZoneInformation");

  win::DYNAMIC_TIME_ZONE_INFORMATION active{};
  // A zone whose names cannot be read is not known either.
  const bool read = ReadActiveZone(getDynamic, active) != win::TIME_ZONE_ID_INVALID;
  const auto keyName = read ? NarrowZoneName(active.TimeZoneKeyName, std::size(active.TimeZoneKeyName)) : std::nullopt;
  const auto standardName =
      keyName ? NarrowZoneName(active.StandardName, std::size(active.StandardName)) : std::nullopt;
  if (!standardName) {
    LogFormatted(CurrentRunLog(), "\nGetTimeZoneInformation failed (%d) ", static_cast<int>(win::GetLastError()));
    return false;
  }
  if (!IsUsCanadaZone(*keyName, *standardName) || !ObservesDaylightTime(active)) {
    LogMessage(
        "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left unchanged.",
        CurrentRunLog());
    return false;
  }

  win::DYNAMIC_TIME_ZONE_INFORMATION updated{};
  updated.Bias = active.Bias;
  std::memcpy(updated.StandardName, active.StandardName, sizeof updated.StandardName);
  updated.StandardBias = active.StandardBias;
  std::memcpy(updated.DaylightName, active.DaylightName, sizeof updated.DaylightName);
  updated.DaylightBias = active.DaylightBias;
  updated.StandardDate = kStandardDate;
  updated.DaylightDate = kDaylightDate;

  bool applied = false;
  if (getDynamic != nullptr && setDynamic != nullptr) {
    std::memcpy(updated.TimeZoneKeyName, active.TimeZoneKeyName, sizeof updated.TimeZoneKeyName);
    updated.DynamicDaylightTimeDisabled = active.DynamicDaylightTimeDisabled;
    applied = setDynamic(&updated) != 0;
  } else {
    applied = ApplyPlain(updated);
  }
  if (!applied) {
    LogFormatted(CurrentRunLog(), "\nSetTimeZoneInformation failed (%d) ", static_cast<int>(win::GetLastError()));
    return false;
  }
  LogMessage("\nSetting TimeZoneInfo part.. succeeded", CurrentRunLog());
  return true;
}

// The simulated machine's active time zone, read and applied through
// GetTimeZoneInformation / SetTimeZoneInformation and, where the simulated
// kernel32 exports them (Vista and later), the dynamic pair.
#pragma once

#include <string>

#include "platform/win.h"

namespace sim {

struct ActiveTimeZone {
  // All that Windows keeps of the active zone, the key name included.
  win::DYNAMIC_TIME_ZONE_INFORMATION settings{};
  // What the read calls return: standard, daylight or unknown time.
  win::DWORD result = win::TIME_ZONE_ID_STANDARD;
  int applies = 0;  // accepted applies, either call

  // Sets the active zone, an hour ahead in daylight time. Dates are yearly
  // rules: month, Sunday occurrence, hour.
  void Set(win::LONG bias, const std::string& standardName, const std::string& daylightName, const std::string& keyName,
           win::SYSTEMTIME standardDate, win::SYSTEMTIME daylightDate);
};

// Entry points of the simulated kernel32.
win::DWORD WINAPI SimGetDynamicTimeZoneInformation(win::DYNAMIC_TIME_ZONE_INFORMATION* info);
win::BOOL WINAPI SimSetDynamicTimeZoneInformation(const win::DYNAMIC_TIME_ZONE_INFORMATION* info);

}  // namespace sim

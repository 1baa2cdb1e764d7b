#include "platform/sim/timezone.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {
namespace {

template <size_t N>
void PutName(win::WCHAR (&field)[N], const std::string& name) {
  std::fill(std::begin(field), std::end(field), u'\0');
  const std::u16string wide = Widen(name);
  std::copy_n(wide.begin(), std::min(wide.size(), N - 1), field);
}

template <size_t N>
std::string GetName(const win::WCHAR (&field)[N]) {
  const auto* end = std::find(std::begin(field), std::end(field), u'\0');
  return Narrow(std::u16string(std::begin(field), end));
}

// Windows XP, 2000 and 2003 guard the time zone with the system-time
// privilege; Vista and later with the time-zone privilege.
bool MayApply(Machine& m) {
  const char* needed = m.version.major >= 6 ? "SeTimeZonePrivilege" : "SeSystemtimePrivilege";
  if (!m.token.IsEnabled(needed)) {
    m.lastError = win::ERROR_PRIVILEGE_NOT_HELD;
    return false;
  }
  return true;
}

win::DWORD Read(const char* call, void* out, size_t size) {
  Machine& m = PlatformCall(call);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::TIME_ZONE_ID_INVALID);
  }
  std::memcpy(out, &m.timeZone.settings, size);
  return m.timeZone.result;
}

}  // namespace

void ActiveTimeZone::Set(win::LONG bias, const std::string& standardName, const std::string& daylightName,
                         const std::string& keyName, win::SYSTEMTIME standardDate, win::SYSTEMTIME daylightDate,
                         win::LONG daylightBias) {
  settings = {};
  settings.Bias = bias;
  PutName(settings.StandardName, standardName);
  PutName(settings.DaylightName, daylightName);
  PutName(settings.TimeZoneKeyName, keyName);
  settings.StandardDate = standardDate;
  settings.DaylightDate = daylightDate;
  settings.DaylightBias = daylightBias;
}

std::string ActiveTimeZone::StandardName() const { return GetName(settings.StandardName); }
std::string ActiveTimeZone::DaylightName() const { return GetName(settings.DaylightName); }
std::string ActiveTimeZone::KeyName() const { return GetName(settings.TimeZoneKeyName); }

win::DWORD WINAPI SimGetDynamicTimeZoneInformation(win::DYNAMIC_TIME_ZONE_INFORMATION* info) {
  return Read("GetDynamicTimeZoneInformation", info, sizeof *info);
}

win::BOOL WINAPI SimSetDynamicTimeZoneInformation(const win::DYNAMIC_TIME_ZONE_INFORMATION* info) {
  Machine& m = PlatformCall("SetDynamicTimeZoneInformation");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!MayApply(m)) {
    return win::FALSE;
  }
  m.timeZone.settings = *info;
  ++m.timeZone.applies;
  return win::TRUE;
}

}  // namespace sim

namespace win {

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
  return sim::Read("GetTimeZoneInformation", info, sizeof *info);
}

BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* info) {
  sim::Machine& m = sim::PlatformCall("SetTimeZoneInformation");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!sim::MayApply(m)) {
    return FALSE;
  }
  // Where the dynamic data exists (Vista and later), the old call cuts the
  // machine loose from its named zone: the key name is cleared.
  std::memcpy(&m.timeZone.settings, info, sizeof *info);
  std::fill(std::begin(m.timeZone.settings.TimeZoneKeyName), std::end(m.timeZone.settings.TimeZoneKeyName), u'\0');
  ++m.timeZone.applies;
  return TRUE;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* narrow, int narrowSize,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  sim::Machine& m = sim::PlatformCall("WideCharToMultiByte");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, 0);
  }
  if (codePage != CP_ACP || flags != 0 || wide == nullptr || narrowSize < 0 || defaultChar != nullptr ||
      usedDefaultChar != nullptr) {
    m.lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::u16string text = wideLength < 0 ? std::u16string(wide) : std::u16string(wide, static_cast<size_t>(wideLength));
  if (wideLength < 0) {
    text.push_back(u'\0');  // the terminating zero is converted and counted too
  }
  const std::string converted = sim::Narrow(text);
  const auto needed = static_cast<int>(converted.size());
  if (narrowSize == 0) {
    return needed;
  }
  if (needed > narrowSize) {
    m.lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(converted.begin(), converted.end(), narrow);
  return needed;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* wide, int wideSize) {
  sim::Machine& m = sim::PlatformCall("MultiByteToWideChar");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, 0);
  }
  if (codePage != CP_ACP || flags != 0 || narrow == nullptr || wideSize < 0) {
    m.lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  // With a length of -1 the terminating zero is converted and counted too.
  const std::string text = narrowLength < 0 ? std::string(narrow, std::strlen(narrow) + 1)
                                            : std::string(narrow, static_cast<size_t>(narrowLength));
  const std::u16string converted = sim::Widen(text);
  const auto needed = static_cast<int>(converted.size());
  if (wideSize == 0) {
    return needed;
  }
  if (needed > wideSize) {
    m.lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(converted.begin(), converted.end(), wide);
  return needed;
}

}  // namespace win

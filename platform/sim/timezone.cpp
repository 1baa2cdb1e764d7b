#include "platform/sim/timezone.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {
namespace {

template <size_t N>
void PutName(win::WCHAR (&field)[N], const std::string& name) {
  const std::u16string wide = Widen(name);
  std::copy_n(wide.begin(), std::min(wide.size(), N - 1), field);
}

win::DWORD Read(const char* call, void* out, size_t size) {
  Machine& m = PlatformCall(call);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::TIME_ZONE_ID_INVALID);
  }
  std::memcpy(out, &m.timeZone.settings, size);
  return m.timeZone.result;
}

// Windows XP, 2000 and 2003 guard the time zone with the system-time
// privilege; Vista and later with the time-zone privilege. Where the dynamic
// data exists (Vista and later), the old call cuts the machine loose from its
// named zone: the key name is cleared, and the dynamic call sets it again.
win::BOOL Apply(const char* call, const void* info, size_t size) {
  Machine& m = PlatformCall(call);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!m.token.IsEnabled(m.version.major >= 6 ? "SeTimeZonePrivilege" : "SeSystemtimePrivilege")) {
    return m.Fail(win::ERROR_PRIVILEGE_NOT_HELD);
  }
  std::fill(std::begin(m.timeZone.settings.TimeZoneKeyName), std::end(m.timeZone.settings.TimeZoneKeyName), u'\0');
  std::memcpy(&m.timeZone.settings, info, size);
  ++m.timeZone.applies;
  return win::TRUE;
}

// WideCharToMultiByte and MultiByteToWideChar, for the whole of a
// zero-terminated text (the zero converted and counted too) in the ANSI code
// page, as the patch asks for them: other arguments, and a buffer too small,
// are refused.
template <typename From, typename To>
int Convert(const char* call, bool otherArguments, const From* text, int length, To* out, int size,
            std::basic_string<To> (*convert)(std::basic_string_view<From>)) {
  Machine& m = PlatformCall(call);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, 0);
  }
  const std::basic_string<To> converted =
      text == nullptr ? std::basic_string<To>() : convert(std::basic_string<From>(text) + From{});
  const auto needed = static_cast<int>(converted.size());
  if (otherArguments || text == nullptr || length != -1 || size < 0 || (size > 0 && needed > size)) {
    return m.Fail(size > 0 && needed > size ? win::ERROR_INSUFFICIENT_BUFFER : win::ERROR_INVALID_PARAMETER, 0);
  }
  std::copy_n(converted.begin(), size > 0 ? needed : 0, out);
  return needed;
}

}  // namespace

void ActiveTimeZone::Set(win::LONG bias, const std::string& standardName, const std::string& daylightName,
                         const std::string& keyName, win::SYSTEMTIME standardDate, win::SYSTEMTIME daylightDate) {
  settings = {};
  settings.Bias = bias;
  PutName(settings.StandardName, standardName);
  PutName(settings.DaylightName, daylightName);
  PutName(settings.TimeZoneKeyName, keyName);
  settings.StandardDate = standardDate;
  settings.DaylightDate = daylightDate;
  settings.DaylightBias = -60;
}

win::DWORD WINAPI SimGetDynamicTimeZoneInformation(win::DYNAMIC_TIME_ZONE_INFORMATION* info) {
  return Read("GetDynamicTimeZoneInformation", info, sizeof *info);
}

win::BOOL WINAPI SimSetDynamicTimeZoneInformation(const win::DYNAMIC_TIME_ZONE_INFORMATION* info) {
  return Apply("SetDynamicTimeZoneInformation", info, sizeof *info);
}

}  // namespace sim

namespace win {

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
  return sim::Read("GetTimeZoneInformation", info, sizeof *info);
}

BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* info) {
  return sim::Apply("SetTimeZoneInformation", info, sizeof *info);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* narrow, int narrowSize,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  const bool other = codePage != CP_ACP || flags != 0 || defaultChar != nullptr || usedDefaultChar != nullptr;
  return sim::Convert("WideCharToMultiByte", other, wide, wideLength, narrow, narrowSize, &sim::Narrow);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* wide, int wideSize) {
  const bool other = codePage != CP_ACP || flags != 0;
  return sim::Convert("MultiByteToWideChar", other, narrow, narrowLength, wide, wideSize, &sim::Widen);
}

}  // namespace win

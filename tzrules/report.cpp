#include "tzrules/report.h"

#include <iterator>

#include "app/run_log.h"
#include "platform/win.h"
#include "tzrules/zone_table.h"

namespace {

template <size_t N>
std::string Word(const char* const (&words)[N], unsigned value) {
  return value < N ? words[value] : "";
}

// "First  Sunday of November": ordinal, two blanks, weekday, " of ", month.
std::string RuleText(const win::SYSTEMTIME& date) {
  return OrdinalName(date.wDay) + "  " + DayOfWeekName(date.wDayOfWeek) + " of " + MonthName(date.wMonth);
}

}  // namespace

std::string OrdinalName(unsigned day) {
  static const char* const kWords[] = {"", "First", "Second", "Third", "Fourth", "Fifth"};
  return Word(kWords, day);
}

std::string DayOfWeekName(unsigned weekday) {
  static const char* const kWords[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  return Word(kWords, weekday);
}

std::string MonthName(unsigned month) {
  static const char* const kWords[] = {"",     "January", "February",  "March",   "April",    "May",     "June",
                                       "July", "August",  "September", "October", "November", "December"};
  return Word(kWords, month);
}

void DisplayTimeZoneInfo() {
  win::TIME_ZONE_INFORMATION zone{};
  const win::DWORD result = win::GetTimeZoneInformation(&zone);
  switch (result) {
    case win::TIME_ZONE_ID_UNKNOWN:
      LogMessage("\nGetTimeZoneInformation returned - TIME_ZONE_ID_UNKNOWN", CurrentRunLog());
      break;
    case win::TIME_ZONE_ID_STANDARD:
      LogMessage("\nGetTimeZoneInformation returned - TIME_ZONE_ID_STANDARD", CurrentRunLog());
      break;
    case win::TIME_ZONE_ID_DAYLIGHT:
      LogMessage("\nGetTimeZoneInformation returned -TIME_ZONE_ID_DAYLIGHT", CurrentRunLog());
      break;
    default:
      LogFormatted(CurrentRunLog(), "\nGetTimeZoneInformation returned  TIME_ZONE_ID_INVALID - Error-(%d)",
                   static_cast<int>(win::GetLastError()));
      return;
  }
  const std::string standardName = NarrowZoneName(zone.StandardName, std::size(zone.StandardName)).value_or("");
  const std::string daylightName = NarrowZoneName(zone.DaylightName, std::size(zone.DaylightName)).value_or("");
  LogMessage("\nRetrieving Standard Time", CurrentRunLog());
  LogFormatted(CurrentRunLog(), "\n%s in the TimeZone - %s", RuleText(zone.StandardDate).c_str(), standardName.c_str());
  LogMessage("\nRetrieving Daylight Time", CurrentRunLog());
  LogFormatted(CurrentRunLog(), "\n%s in the TimeZone - %s\n", RuleText(zone.DaylightDate).c_str(),
               daylightName.c_str());
}

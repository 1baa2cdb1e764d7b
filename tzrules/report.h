// The active time zone's rules in words, for /DISPONLY.
#pragma once

#include <string>

// Words for the fields of a yearly transition date; "" outside their range.
std::string OrdinalName(unsigned day);        // wDay 1..5: "First".."Fifth"
std::string DayOfWeekName(unsigned weekday);  // wDayOfWeek 0..6: "Sunday".."Saturday"
std::string MonthName(unsigned month);        // wMonth 1..12: "January".."December"

// Prints whether standard or daylight time is in effect and both transition
// rules with the zone's names. Changes nothing.
void DisplayTimeZoneInfo();

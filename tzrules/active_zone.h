// Makes the new daylight-saving rules take effect at once for the machine's
// active time zone.
#pragma once

// Re-applies the active time zone with the new transition dates (first
// Sunday of November and second Sunday of March, 02:00), keeping its biases,
// names and, where the system has them, its key name and dynamic data. Only
// a US/Canada zone that observes daylight saving time is changed. True when
// the system accepted the new settings.
bool UpdateCurrentTimeZoneInfo();

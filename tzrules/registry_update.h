// Writes the US/Canada rule records into the registry's time-zone database.
#pragma once

#include <string>

#include "platform/win.h"

// Writes the record of zone index into the "TZI" value of the key at keyPath
// (under HKEY_LOCAL_MACHINE) and flushes the key to disk (a failed flush is
// reported on its own). Returns the write's Windows error code, 0 for success.
win::LONG SetTimeZones(const std::string& keyPath, int index);

// Writes all seven zones under keyPrefix ("...\\Time Zones\\"). The key names
// carry " Standard Time" except on Windows 9x. One zone's failure does not
// stop the others. True when every zone was written.
bool SetTimeZonesForLocalMachine(const std::string& keyPrefix, bool isWindows9x);

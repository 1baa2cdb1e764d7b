#include "tzrules/registry_update.h"

#include <algorithm>
#include <array>
#include <string>

#include "app/run_log.h"
#include "platform/unique.h"
#include "tzrules/zone_table.h"

win::LONG SetTimeZones(const std::string& keyPath, int index) {
  win::UniqueHkey key;
  const win::LONG opened =
      win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, win::KEY_ALL_ACCESS, key.put());
  if (opened != 0) {
    key.release();  // nothing was opened
    LogFormatted(CurrentRunLog(), "\nSetTimeZones() for - %s, failed, RegOpenKeyEx() returned %d", keyPath.c_str(),
                 static_cast<int>(opened));
    return opened;
  }
  const auto bytes = TziBytes(ZoneRecord(index));
  const win::LONG written =
      win::RegSetValueExA(key.get(), "TZI", 0, win::REG_BINARY, bytes.data(), static_cast<win::DWORD>(bytes.size()));
  if (written != 0) {
    LogFormatted(CurrentRunLog(), "\nSetTimeZones() for - %s, RegSetValueEx() failed and returned %d", keyPath.c_str(),
                 static_cast<int>(written));
    return written;
  }
  // On disk before the run says "Success", so that a power cut loses nothing.
  const win::LONG flushed = win::RegFlushKey(key.get());
  if (flushed != 0) {
    LogFormatted(CurrentRunLog(), "\nCould not flush %s to disk (error %d)", keyPath.c_str(),
                 static_cast<int>(flushed));
  }
  return written;
}

namespace {

// Years of four digits, from 1987 (the rule before 2007 began then): a
// LastEntry outside them is not what Windows or an update wrote.
constexpr win::DWORD kEarliestLastEntry = 1987;
constexpr win::DWORD kLatestLastEntry = 9998;

win::LONG SetYear(win::HKEY key, win::DWORD year, const uint8_t* record) {
  return win::RegSetValueExA(key, std::to_string(year).c_str(), 0, win::REG_BINARY, record,
                             static_cast<win::DWORD>(kTziSize));
}

// Where the zone's "Dynamic DST" subkey (Vista and later) ends in another rule
// than the one the patch writes, Windows would bring that rule back at the
// next start or year change. The years after LastEntry are added, each with
// its own rule, up to the first year of today's rule (at least one year), and
// LastEntry is moved there last, so that a run cut off before that leaves the
// subkey as it was for Windows; no entry up to LastEntry is ever changed.
// Years after LastEntry before 2007 keep LastEntry's rule, which Windows
// gives them today. Gives 0, or the Windows error code of what failed
// (ERROR_INVALID_DATA for a LastEntry or year entry that is not one).
win::LONG UpdateDynamicDst(const std::string& keyPath, int index) {
  win::UniqueHkey key;
  const win::LONG opened = win::RegOpenKeyExA(win::HKEY_LOCAL_MACHINE, (keyPath + "\\Dynamic DST").c_str(), 0,
                                              win::KEY_QUERY_VALUE | win::KEY_SET_VALUE, key.put());
  if (opened != 0) {
    key.release();  // nothing was opened
    // No subkey: Windows before Vista, or a zone without yearly rules.
    return opened == static_cast<win::LONG>(win::ERROR_FILE_NOT_FOUND) ? 0 : opened;
  }
  win::DWORD last = 0;
  win::DWORD type = 0;
  win::DWORD size = sizeof last;
  win::LONG result =
      win::RegQueryValueExA(key.get(), "LastEntry", nullptr, &type, reinterpret_cast<win::BYTE*>(&last), &size);
  if (result != 0) {
    return result == static_cast<win::LONG>(win::ERROR_MORE_DATA) ? static_cast<win::LONG>(win::ERROR_INVALID_DATA)
                                                                  : result;
  }
  if (type != win::REG_DWORD || size != sizeof last || last < kEarliestLastEntry || last > kLatestLastEntry) {
    return static_cast<win::LONG>(win::ERROR_INVALID_DATA);
  }
  std::array<uint8_t, kTziSize + 1> lastRecord{};  // one byte more shows a longer value
  size = static_cast<win::DWORD>(lastRecord.size());
  result = win::RegQueryValueExA(key.get(), std::to_string(last).c_str(), nullptr, &type, lastRecord.data(), &size);
  if (result != 0) {
    return result == static_cast<win::LONG>(win::ERROR_MORE_DATA) ? static_cast<win::LONG>(win::ERROR_INVALID_DATA)
                                                                  : result;
  }
  if (type != win::REG_BINARY || size != kTziSize) {
    return static_cast<win::LONG>(win::ERROR_INVALID_DATA);
  }
  const auto today = TziBytes(ZoneRecord(index));
  if (std::equal(today.begin(), today.end(), lastRecord.begin())) {
    return 0;
  }
  const auto until = std::max(static_cast<win::DWORD>(ZoneRecordFirstYear(index)), last + 1);
  for (win::DWORD year = last + 1; year <= until; ++year) {
    const auto rule = TziBytes(ZoneRecordOfYear(index, static_cast<int>(year)));
    result = SetYear(key.get(), year, year < static_cast<win::DWORD>(kFirstRuleYear) ? lastRecord.data() : rule.data());
    if (result != 0) {
      return result;
    }
  }
  result = win::RegSetValueExA(key.get(), "LastEntry", 0, win::REG_DWORD, reinterpret_cast<const win::BYTE*>(&until),
                               sizeof until);
  if (result != 0) {
    return result;
  }
  return win::RegFlushKey(key.get());
}

}  // namespace

bool SetTimeZonesForLocalMachine(const std::string& keyPrefix, bool isWindows9x) {
  bool succeeded = true;
  for (int index = 0; index < kZoneCount; ++index) {
    const std::string keyName = ZoneKeyName(index, isWindows9x);
    const win::LONG result = SetTimeZones(keyPrefix + keyName, index);
    if (result != 0) {
      LogFormatted(CurrentRunLog(), "\nSetTimeZonesForLocalMachine() -%s , SetTimeZones returned %d", keyName.c_str(),
                   static_cast<int>(result));
      succeeded = false;
    }
    const win::LONG dynamic = isWindows9x ? 0 : UpdateDynamicDst(keyPrefix + keyName, index);
    if (dynamic != 0) {
      LogFormatted(CurrentRunLog(), "\nDynamic DST of %s could not be updated (error %d)", keyName.c_str(),
                   static_cast<int>(dynamic));
      succeeded = false;
    }
  }
  if (succeeded) {
    LogMessage("\nSetting TimeZones for US/Canada part.. succeeded\n", CurrentRunLog());
  }
  return succeeded;
}

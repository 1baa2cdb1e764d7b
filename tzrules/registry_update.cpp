#include "tzrules/registry_update.h"

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
  }
  if (succeeded) {
    LogMessage("\nSetting TimeZones for US/Canada part.. succeeded\n", CurrentRunLog());
  }
  return succeeded;
}

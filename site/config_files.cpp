#include "site/config_files.h"

#include "app/run_log.h"
#include "app/text.h"
#include "platform/win.h"

namespace {

bool Exists(const std::string& path) { return win::GetFileAttributesA(path.c_str()) != win::INVALID_FILE_ATTRIBUTES; }

}  // namespace

void RemoveTimezoneIni(const std::string& root) {
  LogMessage("\nRemoving Timezone.ini.. if exists", CurrentRunLog());
  for (const char* relative : {"\\newdata\\timezone.ini", "\\data\\timezone.ini"}) {
    const std::string path = root + relative;
    if (Exists(path) && !win::DeleteFileA(path.c_str())) {
      LogFormatted(CurrentRunLog(), "\nTimezone.ini could not be removed: %s (error %d)", path.c_str(),
                   static_cast<int>(win::GetLastError()));
    }
  }
}

bool ModifyPelioIni(const std::string& root) {
  LogMessage("\nModifying Pelio.ini.", CurrentRunLog());
  bool allDone = true;
  for (const char* relative : {"\\data\\pelio.ini", "\\newdata\\pelio.ini"}) {
    const std::string path = root + relative;
    if (!Exists(path)) {
      LogFormatted(CurrentRunLog(), "\nPelio.ini- File Not Found: %s", path.c_str());
      allDone = false;
      continue;
    }
    // At most 29 characters and a zero: a longer value is read cut short and
    // so never counts as already set.
    char value[30] = {};
    win::GetPrivateProfileStringA("QUORTECH", "TIMEZONE", "", value, sizeof value, path.c_str());
    if (EqualsIgnoringCase(value, "INTL")) {
      continue;
    }
    if (!win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", path.c_str())) {
      LogFormatted(CurrentRunLog(), "\nPelio.ini- Unable to update: %s (error %d)", path.c_str(),
                   static_cast<int>(win::GetLastError()));
      allDone = false;
    }
  }
  return allDone;
}

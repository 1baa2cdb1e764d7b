#include "site/config_files.h"

#include "app/file_spot.h"
#include "app/os.h"
#include "app/run_log.h"
#include "app/text.h"
#include "platform/win.h"

namespace {

// Makes what was written to the pelio.ini at spot reach the disk, so that a
// power cut after "Success" loses nothing. On the NT family the file is
// flushed through a handle of its own, which must name the very file that
// was looked at before the write (nothing can hold the name during the
// write: the profile call opens the file for itself alone). Windows 9x keeps
// profile files in a cache, which a call with no section writes to disk;
// that call returns zero by design, so only an error code that it sets
// tells of a flush that could not be done.
bool FlushPelioIni(FileSpot& spot) {
  const char* path = spot.path().c_str();
  if (GetOsPlatform() == 1) {
    win::SetLastError(0);
    if (!win::WritePrivateProfileStringA(nullptr, nullptr, nullptr, path) && win::GetLastError() != 0) {
      LogFormatted(CurrentRunLog(), "\nCould not flush %s to disk (error %d)", path,
                   static_cast<int>(win::GetLastError()));
      return false;
    }
    return true;
  }
  const win::UniqueFile file(win::CreateFileA(path, win::GENERIC_WRITE, win::FILE_SHARE_READ | win::FILE_SHARE_WRITE,
                                              nullptr, win::OPEN_EXISTING, OpenNameFlags(), nullptr));
  if (!file || !win::FlushFileBuffers(file.get())) {
    LogFormatted(CurrentRunLog(), "\nCould not flush %s to disk (error %d)", path,
                 static_cast<int>(win::GetLastError()));
    return false;
  }
  if (!spot.IsPlainFile(file.get(), true)) {
    spot.ReportLeftAlone(CurrentRunLog());
    return false;
  }
  return true;
}

}  // namespace

void RemoveTimezoneIni(const std::string& root) {
  LogMessage("\nRemoving Timezone.ini.. if exists", CurrentRunLog());
  for (const char* relative : {kNewdataTimezoneIni, kDataTimezoneIni}) {
    // The folder is held while the file goes. Deleting a name never
    // follows a link at its end, and removes one name of a hard-linked file,
    // but a planted name is not the site's file: it is left alone.
    const FileSpot spot(root + relative);
    if (spot.found() == Found::LeftAlone) {
      spot.ReportLeftAlone(CurrentRunLog());
    } else if (spot.found() != Found::Nothing && !win::DeleteFileA(spot.path().c_str())) {
      LogFormatted(CurrentRunLog(), "\nTimezone.ini could not be removed: %s (error %d)", spot.path().c_str(),
                   static_cast<int>(win::GetLastError()));
    }
  }
}

bool ModifyPelioIni(const std::string& root) {
  LogMessage("\nModifying Pelio.ini.", CurrentRunLog());
  bool allDone = true;
  for (const char* relative : {kDataPelioIni, kNewdataPelioIni}) {
    FileSpot spot(root + relative);  // holds data or newdata until the file is written and flushed
    const char* path = spot.path().c_str();
    if (spot.found() == Found::Nothing) {
      LogFormatted(CurrentRunLog(), "\nPelio.ini- File Not Found: %s", path);
      allDone = false;
      continue;
    }
    if (spot.found() == Found::LeftAlone) {
      spot.ReportLeftAlone(CurrentRunLog());
      allDone = false;
      continue;
    }
    // At most 29 characters and a zero: a longer value is read cut short and
    // so never counts as already set.
    char value[30] = {};
    win::GetPrivateProfileStringA("QUORTECH", "TIMEZONE", "", value, sizeof value, path);
    if (EqualsIgnoringCase(value, "INTL")) {
      continue;
    }
    if (!win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", path)) {
      LogFormatted(CurrentRunLog(), "\nPelio.ini- Unable to update: %s (error %d)", path,
                   static_cast<int>(win::GetLastError()));
      allDone = false;
    } else if (!FlushPelioIni(spot)) {
      allDone = false;
    }
  }
  return allDone;
}

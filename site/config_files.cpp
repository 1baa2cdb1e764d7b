#include "site/config_files.h"

#include <optional>

#include "app/file_spot.h"
#include "app/os.h"
#include "app/private_copy.h"
#include "app/run_log.h"
#include "app/text.h"
#include "platform/win.h"

namespace {

void ReportNotUpdated(const char* path, win::DWORD error) {
  LogFormatted(CurrentRunLog(), "\nPelio.ini- Unable to update: %s (error %d)", path, static_cast<int>(error));
}

void ReportNotFlushed(const char* path, win::DWORD error) {
  LogFormatted(CurrentRunLog(), "\nCould not flush %s to disk (error %d)", path, static_cast<int>(error));
}

bool HoldsIntl(const char* path) {
  // At most 29 characters and a zero: a longer value is read cut short and
  // so never counts as already set.
  char value[30] = {};
  win::GetPrivateProfileStringA("QUORTECH", "TIMEZONE", "", value, sizeof value, path);
  return EqualsIgnoringCase(value, "INTL");
}

// Windows 9x has neither links nor accounts: the profile calls change the
// file by name. It keeps profile files in a cache, which a call with no
// section writes to disk; that call returns zero by design, so only an
// error code that it sets tells of a flush that could not be done.
bool ChangeByName(const char* path) {
  if (HoldsIntl(path)) {
    return true;
  }
  if (!win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", path)) {
    ReportNotUpdated(path, win::GetLastError());
    return false;
  }
  win::SetLastError(0);
  if (!win::WritePrivateProfileStringA(nullptr, nullptr, nullptr, path) && win::GetLastError() != 0) {
    ReportNotFlushed(path, win::GetLastError());
    return false;
  }
  return true;
}

// Writes after over the file's bytes and ends the file there. Where that
// fails, the bytes before are put back as far as the disk lets, so that a
// refused write does not leave the file half-written.
bool Rewrite(win::HANDLE file, const std::string& before, const std::string& after) {
  const auto writeFromStart = [file](const std::string& bytes) {
    return win::SetFilePointer(file, 0, nullptr, win::FILE_BEGIN) != win::INVALID_SET_FILE_POINTER &&
           WriteAll(file, bytes) && win::SetEndOfFile(file);
  };
  if (writeFromStart(after)) {
    return true;
  }
  const win::DWORD error = win::GetLastError();
  (void)writeFromStart(before);
  win::SetLastError(error);
  return false;
}

// On the NT family the file is opened once, shared for reading only, so that
// nobody can rename, delete or rewrite it until the change is over, and
// checked by that handle to be the plain file that was looked at. Windows'
// own profile calls decide the new bytes on a private copy (they work only
// by name, and a name in the site may be swapped for a link at any moment);
// the bytes are written back through the handle and flushed to disk, so that
// a power cut after "Success" loses nothing.
bool ChangeThroughHandle(FileSpot& spot, const PrivateFolder& folder) {
  const char* path = spot.path().c_str();
  const win::UniqueFile file(win::CreateFileA(path, win::GENERIC_READ | win::GENERIC_WRITE, win::FILE_SHARE_READ,
                                              nullptr, win::OPEN_EXISTING, OpenNameFlags(), nullptr));
  if (!file) {
    ReportNotUpdated(path, win::GetLastError());
    return false;
  }
  if (!spot.IsPlainFile(file.get(), true)) {
    LogMessage(spot.LeftAloneLine(), CurrentRunLog());
    return false;
  }
  std::string before;
  if (!ReadToEnd(file.get(), before)) {
    ReportNotUpdated(path, win::GetLastError());
    return false;
  }
  // Named by its folder, so that the copy of one file is never in the way
  // of the other's.
  const size_t end = spot.path().rfind('\\');
  const size_t begin = spot.path().rfind('\\', end - 1);
  const std::string name = spot.path().substr(begin + 1, end - begin - 1) + ".ini";
  const PrivateCopy copy(folder, before, name.c_str());
  if (copy.error() != 0) {
    ReportNotUpdated(path, copy.error());
    return false;
  }
  if (HoldsIntl(copy.path())) {
    return true;
  }
  std::string after;
  if (!win::WritePrivateProfileStringA("QUORTECH", "TIMEZONE", "INTL", copy.path()) || !copy.Read(after) ||
      !Rewrite(file.get(), before, after)) {
    ReportNotUpdated(path, win::GetLastError());
    return false;
  }
  if (!win::FlushFileBuffers(file.get())) {
    ReportNotFlushed(path, win::GetLastError());
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
      LogMessage(spot.LeftAloneLine(), CurrentRunLog());
    } else if (spot.found() != Found::Nothing && !win::DeleteFileA(spot.path().c_str())) {
      LogFormatted(CurrentRunLog(), "\nTimezone.ini could not be removed: %s (error %d)", spot.path().c_str(),
                   static_cast<int>(win::GetLastError()));
    }
  }
}

bool ModifyPelioIni(const std::string& root) {
  LogMessage("\nModifying Pelio.ini.", CurrentRunLog());
  bool allDone = true;
  std::optional<PrivateFolder> folder;  // made for the first file that needs it
  for (const char* relative : {kDataPelioIni, kNewdataPelioIni}) {
    FileSpot spot(root + relative);  // holds data or newdata until the file is changed
    const char* path = spot.path().c_str();
    if (spot.found() == Found::Nothing) {
      LogFormatted(CurrentRunLog(), "\nPelio.ini- File Not Found: %s", path);
      allDone = false;
      continue;
    }
    if (spot.found() == Found::LeftAlone) {
      LogMessage(spot.LeftAloneLine(), CurrentRunLog());
      allDone = false;
      continue;
    }
    if (spot.found() == Found::Folder) {
      ReportNotUpdated(path, win::ERROR_ACCESS_DENIED);  // as the profile calls refuse a folder
      allDone = false;
    } else if (GetOsPlatform() == 1) {
      allDone = ChangeByName(path) && allDone;
    } else {
      if (!folder) {
        folder.emplace();
      }
      allDone = ChangeThroughHandle(spot, *folder) && allDone;
    }
  }
  return allDone;
}

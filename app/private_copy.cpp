#include "app/private_copy.h"

#include <cstdio>

#include "app/file_spot.h"
#include "app/os.h"
#include "app/run_log.h"

namespace {

// Full access for SYSTEM and Administrators, to the folder and all in it;
// protected: nothing inherited from the folder it is made in.
constexpr char kPrivateSecurity[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Names taken by others are passed over, up to this many.
constexpr int kFolderNames = 16;
constexpr win::DWORD kChunk = 64 * 1024;

// Never 0, which would read as done.
win::DWORD ErrorOf(win::DWORD error) { return error == 0 ? win::ERROR_ACCESS_DENIED : error; }

// Only SYSTEM and Administrators can reach what is left: it harms nothing,
// but it is said, so that it can be removed.
void ReportLeftBehind(const std::string& path) {
  LogFormatted(CurrentRunLog(), "\nThe patch could not remove its own %s (error %d); it may be deleted.", path.c_str(),
               static_cast<int>(win::GetLastError()));
}

}  // namespace

bool ReadToEnd(win::HANDLE file, std::string& bytes) {
  // A file read returns fewer bytes than asked for only at its end.
  win::DWORD read = kChunk;
  while (read == kChunk) {
    const size_t at = bytes.size();
    bytes.resize(at + kChunk);
    read = 0;
    const bool ok = win::ReadFile(file, &bytes[at], kChunk, &read, nullptr);
    bytes.resize(at + read);
    if (!ok) {
      return false;
    }
  }
  return true;
}

bool WriteAll(win::HANDLE file, const std::string& bytes) {
  win::DWORD written = 0;
  if (bytes.size() > 0xFFFFFFFFu ||
      (win::WriteFile(file, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr) &&
       written != bytes.size())) {
    win::SetLastError(win::ERROR_DISK_FULL);  // what a short write of a file means
    return false;
  }
  return written == bytes.size();
}

// A new folder in the system's folder for temporary files: for SYSTEM the
// Windows folder's Temp, where users may make names but neither remove nor
// enter those of others; for an administrator, the one of their profile.
// A name that is taken is passed over. The folder is then held, and checked
// by that handle to be a real folder that an administrator owns: the one
// made, not one put in its place.
PrivateFolder::PrivateFolder() {
  SecurityAttributes security(kPrivateSecurity);
  char temp[261] = {};
  const win::DWORD length = win::GetTempPathA(sizeof temp, temp);
  if (security.error() != 0 || length == 0 || length >= sizeof temp) {
    Fail(security.error() != 0 ? security.error() : length == 0 ? win::GetLastError() : win::ERROR_INSUFFICIENT_BUFFER);
    return;
  }
  char stamp[16];
  (void)std::snprintf(stamp, sizeof stamp, "%08X", static_cast<unsigned>(win::GetTickCount()));
  for (int n = 0; n < kFolderNames && path_.empty(); ++n) {
    const std::string path = std::string(temp, length) + "dstpatch." + stamp + "." + std::to_string(n);
    if (win::CreateDirectoryA(path.c_str(), security.get())) {
      path_ = path;
    } else if (win::GetLastError() != win::ERROR_ALREADY_EXISTS) {
      Fail(win::GetLastError());
      return;
    }
  }
  if (path_.empty()) {
    Fail(win::ERROR_ALREADY_EXISTS);
    return;
  }
  held_.reset(HoldFolder(path_));
  if (!held_) {
    Fail(win::GetLastError());
  } else if (const win::DWORD error = NotAnAdministratorsFolder(held_.get(), path_)) {
    held_.reset();
    Fail(error == win::ERROR_ACCESS_DENIED ? win::ERROR_ALREADY_EXISTS : error);  // not the folder made
    if (error == win::ERROR_ACCESS_DENIED) {
      path_.clear();  // neither used nor removed
    }
  }
}

PrivateFolder::~PrivateFolder() {
  if (!path_.empty()) {
    held_.reset();  // the folder can go only once nothing holds it
    if (!win::RemoveDirectoryA(path_.c_str())) {
      ReportLeftBehind(path_);
    }
  }
}

bool PrivateFolder::Fail(win::DWORD error) {
  error_ = ErrorOf(error);
  return false;
}

PrivateCopy::PrivateCopy(const PrivateFolder& folder, const std::string& bytes, const char* name)
    : path_(folder.path() + "\\" + name), error_(folder.error()) {
  if (error_ != 0) {
    return;
  }
  const win::UniqueFile copy(win::CreateFileA(path_.c_str(), win::GENERIC_WRITE, 0, nullptr, win::CREATE_NEW,
                                              win::FILE_ATTRIBUTE_NORMAL, nullptr));
  made_ = static_cast<bool>(copy);
  if (!copy || !WriteAll(copy.get(), bytes)) {
    error_ = ErrorOf(win::GetLastError());
  }
}

PrivateCopy::~PrivateCopy() {
  if (made_ && !win::DeleteFileA(path_.c_str())) {
    ReportLeftBehind(path_);
  }
}

bool PrivateCopy::Read(std::string& bytes) const {
  const win::UniqueFile copy(win::CreateFileA(path_.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ, nullptr,
                                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr));
  return copy && ReadToEnd(copy.get(), bytes);
}

#include "app/run_log.h"

#include <cstdarg>
#include <cstdio>

#include "app/file_spot.h"
#include "app/process_state.h"

win::DWORD RunLog::Append(std::string_view text) {
  if (broken_) {
    return 0;
  }
  std::string bytes;
  bytes.reserve(text.size() + text.size() / 16 + 2);
  for (char c : text) {
    if (c == '\n') {
      bytes += '\r';
    }
    bytes += c;
  }
  // Messages are short; a message beyond 4 GiB is cut rather than wrapped.
  const auto size = static_cast<win::DWORD>(bytes.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : bytes.size());
  win::DWORD written = 0;
  if (!win::WriteFile(file_.get(), bytes.data(), size, &written, nullptr)) {
    broken_ = true;
    return win::GetLastError();
  }
  if (written != size) {
    broken_ = true;
    return win::ERROR_DISK_FULL;  // what a short write of a file means
  }
  return 0;
}

void LogMessage(const std::string& text, RunLog* log) {
  win::WriteStdout(text);
  if (log == nullptr) {
    return;
  }
  if (const win::DWORD error = log->Append(text)) {
    char notice[160];
    (void)std::snprintf(notice, sizeof notice,
                        "\nThe run log could not be written (error %d): only this console has the run's lines from "
                        "here on.",
                        static_cast<int>(error));
    win::WriteStdout(notice);
  }
}

void LogFormatted(RunLog* log, const char* format, ...) {
  std::string& buffer = Process().messageBuffer;
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length < 0) {
    buffer.clear();
  } else {
    // Sized by the first pass, so no value is ever cut or overruns.
    buffer.assign(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    (void)std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    buffer.resize(static_cast<size_t>(length));
  }
  LogMessage(std::string(buffer), log);
}

RunLog* CurrentRunLog() {
  auto& log = Process().runLog;
  return log ? &*log : nullptr;
}

namespace {

constexpr win::DWORD kLogAccess = win::GENERIC_READ | win::GENERIC_WRITE;
constexpr win::DWORD kLogSharing = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;

// The run log at spot, made anew: a plain file there is removed and the log
// created so that it cannot open an existing file (a link or a hard link
// planted meanwhile). One that will not go (another program has it open) is
// emptied instead, once its handle shows it is still a plain file (else the
// spot is left alone, and OpenRunLog does not use the file).
win::UniqueFile MakeRunLog(FileSpot& spot, win::DWORD& error) {
  if (spot.found() == Found::PlainFile) {
    win::DeleteFileA(spot.path().c_str());
  }
  win::UniqueFile file(win::CreateFileA(spot.path().c_str(), kLogAccess, kLogSharing, nullptr, win::CREATE_NEW,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr));
  error = file ? 0 : win::GetLastError();
  if (!file && spot.found() == Found::PlainFile && error == win::ERROR_FILE_EXISTS) {
    file.reset(win::CreateFileA(spot.path().c_str(), kLogAccess, kLogSharing, nullptr, win::OPEN_EXISTING,
                                OpenNameFlags(), nullptr));
    error = file ? 0 : win::GetLastError();
    if (file && spot.IsPlainFile(file.get(), true) && !win::SetEndOfFile(file.get())) {
      error = win::GetLastError();
      file.reset();
    }
  }
  return file;
}

}  // namespace

void OpenRunLog(const std::string& path) {
  Process().runLog.reset();
  FileSpot spot(path);  // holds the log's folder until the log is open
  if (spot.found() == Found::Folder) {
    return;  // not the patch's file: no log, and no failure either
  }
  win::UniqueFile file;
  win::DWORD error = 0;
  if (spot.found() != Found::LeftAlone) {
    file = MakeRunLog(spot, error);
  }
  // The handle written through is checked, not only the name.
  if (file && !spot.IsPlainFile(file.get())) {
    file.reset();
  }
  if (spot.found() == Found::LeftAlone) {
    LogMessage(spot.LeftAloneLine(), nullptr);
    return;
  }
  if (file) {
    Process().runLog.emplace(std::move(file));
  } else if (error != 0) {
    LogFormatted(nullptr, "\nThe run log could not be made at %s (error %d): only this console has the run's lines.",
                 path.c_str(), static_cast<int>(error));
  }
}

void CloseLogAndExit(unsigned status) {
  Process().runLog.reset();
  win::ExitProcess(status);
}

namespace {

// Deletes path and says so; a file that will not go is reported with the
// system's reason instead of being claimed as removed.
bool DeleteDeboutFile(const std::string& path) {
  if (!win::DeleteFileA(path.c_str())) {
    const auto error = static_cast<int>(win::GetLastError());
    LogFormatted(CurrentRunLog(), "\nDebout file could not be removed from %s (error %d)", path.c_str(), error);
    return false;
  }
  LogFormatted(CurrentRunLog(), "\nDebout file removed from %s", path.c_str());
  return true;
}

}  // namespace

bool RemoveDeboutFile(const std::string& root) {
  // A folder of that name is not a run log: passed over as if not there.
  const FileSpot rootFile(kOldRunLog);
  if (rootFile.found() == Found::PlainFile) {
    return DeleteDeboutFile(rootFile.path());
  }
  if (rootFile.found() == Found::LeftAlone) {
    LogMessage(rootFile.LeftAloneLine(), CurrentRunLog());
  }
  const FileSpot siteFile(root + kSiteRunLog);
  if (siteFile.found() == Found::PlainFile) {
    return DeleteDeboutFile(siteFile.path());
  }
  // A planted one is reported once, where the new log is to be opened; one
  // that cannot be looked at now is not removed, which is said at once.
  if (siteFile.found() == Found::LeftAlone && siteFile.Unreadable()) {
    LogMessage(siteFile.LeftAloneLine(), CurrentRunLog());
  }
  if (siteFile.found() != Found::LeftAlone && rootFile.found() != Found::LeftAlone) {
    LogMessage("\nMarker file was not found", CurrentRunLog());
  }
  return false;
}

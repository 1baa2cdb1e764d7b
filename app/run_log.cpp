#include "app/run_log.h"

#include <cstdarg>
#include <cstdio>

#include "app/process_state.h"

void RunLog::Append(std::string_view text) {
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
  win::WriteFile(file_.get(), bytes.data(), size, &written, nullptr);
}

void LogMessage(const std::string& text, RunLog* log) {
  win::WriteStdout(text);
  if (log != nullptr) {
    log->Append(text);
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

void OpenRunLog(const std::string& path) {
  win::UniqueFile file(win::CreateFileA(path.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                        win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr, win::CREATE_ALWAYS,
                                        win::FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file) {
    Process().runLog.emplace(std::move(file));
  } else {
    Process().runLog.reset();
  }
}

void CloseLogAndExit(unsigned status) {
  Process().runLog.reset();
  win::ExitProcess(status);
}

namespace {

bool FileExists(const std::string& path) {
  return win::GetFileAttributesA(path.c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

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
  const std::string rootFile = "C:\\debGorvinal.txt";
  if (FileExists(rootFile)) {
    return DeleteDeboutFile(rootFile);
  }
  const std::string siteFile = root + "\\tmp\\debGorvinal.txt";
  if (FileExists(siteFile)) {
    return DeleteDeboutFile(siteFile);
  }
  LogMessage("\nMarker file was not found", CurrentRunLog());
  return false;
}

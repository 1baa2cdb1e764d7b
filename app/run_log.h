// The run log and the message writer. Every message of the program goes
// through LogMessage: it is printed on standard output and, when a run log is
// given, appended to that log, with each line feed stored as CR LF.
#pragma once

#include <string>
#include <string_view>

#include "platform/unique.h"

// An open run log file. Each message is written through at once, so the log
// is complete up to the last message even if the run is cut short.
class RunLog {
 public:
  explicit RunLog(win::UniqueFile file) : file_(std::move(file)) {}
  // Appends text with each "\n" stored as "\r\n". A failed write is not
  // reported: the console has already shown the message.
  void Append(std::string_view text);

 private:
  win::UniqueFile file_;
};

// Prints text verbatim on standard output, then appends it to log unless log
// is null (a console-only message).
void LogMessage(const std::string& text, RunLog* log);

// Formats a message with the printf rules into the process-wide message
// buffer and writes a copy of it with LogMessage. Values are never read as
// format strings, so a "%" in them is printed as it stands.
void LogFormatted(RunLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The current run log, or null when none is open.
RunLog* CurrentRunLog();

// Creates the run log at path (truncating an old one) and makes it the
// current run log; when it cannot be opened there is none.
void OpenRunLog(const std::string& path);

// Closes the current run log, if any, and ends the process with status.
[[noreturn]] void CloseLogAndExit(unsigned status);

// Deletes the run log of an earlier run: "C:\debGorvinal.txt" if it exists,
// else the one under the site root. True when a file was deleted.
bool RemoveDeboutFile(const std::string& root);

// The run log and the message writer. Every message of the program goes
// through LogMessage: it is printed on standard output and, when a run log is
// given, appended to that log, with each line feed stored as CR LF.
#pragma once

#include <string>
#include <string_view>

#include "platform/unique.h"

// The run log: under the site root (kSiteRunLog is appended to the root),
// or, when the site root is not valid, at the root of C:. A log at the old
// place, "C:\debGorvinal.txt", is removed when found.
inline constexpr char kSiteRunLog[] = "\\tmp\\debGorvinal.txt";
inline constexpr char kInvalidRootRunLog[] = "C:\\debBGorvinal.txt";
inline constexpr char kOldRunLog[] = "C:\\debGorvinal.txt";

// An open run log file. Each message is written through at once, so the log
// is complete up to the last message even if the run is cut short.
class RunLog {
 public:
  explicit RunLog(win::UniqueFile file) : file_(std::move(file)) {}
  // Appends text with each "\n" stored as "\r\n". 0, or the error of the
  // first write that failed: the log then takes no more, so that it never
  // holds a run with lines missing in between.
  win::DWORD Append(std::string_view text);

 private:
  win::UniqueFile file_;
  bool broken_ = false;
};

// Prints text verbatim on standard output, then appends it to log unless log
// is null (a console-only message). A log that cannot be written is said so
// on the console, once.
void LogMessage(const std::string& text, RunLog* log);

// Formats a message with the printf rules into the process-wide message
// buffer and writes a copy of it with LogMessage. Values are never read as
// format strings, so a "%" in them is printed as it stands.
void LogFormatted(RunLog* log, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The current run log, or null when none is open.
RunLog* CurrentRunLog();

// Makes the run log at path anew (an old one is removed first) and makes it
// the current run log; when it cannot be opened there is none. A planted
// link, hard link or linked folder there is left alone, and said so on the
// console; a folder of that name is passed over in silence.
void OpenRunLog(const std::string& path);

// Closes the current run log, if any, and ends the process with status.
[[noreturn]] void CloseLogAndExit(unsigned status);

// Deletes the run log of an earlier run: "C:\debGorvinal.txt" if it exists,
// else the one under the site root. True when a file was deleted.
bool RemoveDeboutFile(const std::string& root);

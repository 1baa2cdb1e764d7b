// Message formatting with fuzzed values: whatever a value holds ("%", very
// long text, bytes above 0x7F, zero bytes), the message shows it as it
// stands, cut at its first zero byte as a C string is, on the console and in
// the run log, and the message buffer never overflows.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/process_state.h"
#include "app/run_log.h"
#include "platform/sim/machine.h"

namespace {

// Messages of the program whose placeholders take a path or name and, in
// some, a code; a format without "%d" leaves the number unused.
const char* const kFormats[] = {
    "\nUsing QUORDIR -  %s",
    "\nSetTimeZones() for - %s, failed, RegOpenKeyEx() returned %d",
    "\nSetTimeZonesForLocalMachine() -%s , SetTimeZones returned %d",
    "\nPelio.ini- File Not Found: %s",
    "\nTimezone.ini could not be removed: %s (error %d)",
};

std::string Expected(const char* format, const std::string& value, int number) {
  std::string text;
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      text += value;
      ++p;
    } else if (p[0] == '%' && p[1] == 'd') {
      text += std::to_string(number);
      ++p;
    } else {
      text += *p;
    }
  }
  return text;
}

std::string WithCrLf(const std::string& text) {
  std::string stored;
  for (char c : text) {
    if (c == '\n') {
      stored += '\r';
    }
    stored += c;
  }
  return stored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) {
    return 0;
  }
  const char* format = kFormats[data[0] % std::size(kFormats)];
  const int number = static_cast<int>(static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                                      static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24);
  const std::string raw(reinterpret_cast<const char*>(data + 5), size - 5);
  const std::string value = raw.substr(0, raw.find('\0'));

  sim::Machine machine;
  machine.files.MakeDirectory("C:\\Site\\tmp");
  ResetProcessState();
  OpenRunLog("C:\\Site\\tmp\\debGorvinal.txt");
  LogFormatted(CurrentRunLog(), format, raw.c_str(), number);
  const std::string expected = Expected(format, value, number);
  ResetProcessState();  // closes the run log
  if (machine.stdoutText != expected ||
      machine.files.ReadFile("C:\\Site\\tmp\\debGorvinal.txt") != WithCrLf(expected)) {
    std::abort();
  }
  return 0;
}

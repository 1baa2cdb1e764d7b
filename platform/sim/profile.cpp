// The simulated machine's profile (INI) calls, for the one entry that the
// patch reads and writes: a "[section]" line opens a section; a line of it
// with an "=" is an entry whose key and value are trimmed of blanks; names
// match without regard to case. A write changes only the entry's value, or
// adds the entry in its section, or the section at the file's end, in CR LF
// lines; every other byte stays as it was, as on Windows. (Wine
// rewrites the whole file in a form of its own; the real calls' bytes are
// those the end-to-end tests see.) Windows 9x keeps written files in a cache
// until a call with no section flushes it.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {
namespace {

using sim::Str;

std::string_view Trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  return begin == std::string_view::npos ? std::string_view()
                                         : text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

// Where the entry's value stands in text (from after its "=" to the line's
// end) or, where there is none, where a new entry goes: after the section's
// line; npos where there is no such section.
struct Place {
  bool entry = false;
  size_t begin = std::string::npos;
  size_t end = std::string::npos;
};

Place Find(const std::string& text, std::string_view section, std::string_view key) {
  Place place;
  bool inSection = false;
  for (size_t at = 0; at < text.size();) {
    const size_t feed = text.find('\n', at);
    const size_t next = feed == std::string::npos ? text.size() : feed + 1;
    const size_t end = feed == std::string::npos ? text.size() : feed > at && text[feed - 1] == '\r' ? feed - 1 : feed;
    const std::string_view line = Trim(std::string_view(text).substr(at, end - at));
    const size_t equals = line.find('=');
    if (!line.empty() && line.front() == '[') {
      inSection = sim::EqualsNoCase(Trim(line.substr(1, line.find(']') - 1)), section);
      place.begin = inSection && place.begin == std::string::npos ? next : place.begin;
    } else if (inSection && equals != std::string_view::npos && sim::EqualsNoCase(Trim(line.substr(0, equals)), key)) {
      return {true, text.find('=', at) + 1, end};
    }
    at = next;
  }
  return place;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer, DWORD size,
                               const char* path) {
  sim::Machine& m = sim::PlatformCall("GetPrivateProfileStringA", Str(path));
  std::string value(Trim(defaultValue == nullptr ? "" : defaultValue));  // Windows trims the default too
  const auto error = m.PlantedError();
  const std::optional<std::string> text = m.files.ReadFile(Str(path));
  const Place at = text ? Find(*text, section, key) : Place{};
  if (error) {
    m.lastError = *error;  // the default is given, as for a file that cannot be read
  } else if (!at.entry) {
    m.lastError = ERROR_FILE_NOT_FOUND;
  } else {
    value = Trim(std::string_view(*text).substr(at.begin, at.end - at.begin));
  }
  return sim::CopyOut(value, buffer, size);
}

// Sets the entry's value, or adds the entry (and the section where there is
// none); a call with no section (on Windows 9x the flush) returns zero, as
// documented.
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path) {
  sim::Machine& m = sim::PlatformCall("WritePrivateProfileStringA", (section == nullptr ? "flush " : "") + Str(path));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);  // 112: the disk is full; on Windows 9x only a flush meets the disk
  }
  const sim::FileSystem::Resolved r = m.files.Resolve(Str(path));
  if (r.error != 0) {
    return m.Fail(r.error);
  }
  if (section == nullptr) {
    m.files.MarkFlushed(r.key);
    return FALSE;
  }
  std::string text = m.files.ReadFile(Str(path)).value_or("");  // a missing file is created, as Windows does
  const Place at = Find(text, section, key);
  if (at.entry) {
    text.replace(at.begin, at.end - at.begin, value);
  } else {
    std::string entry = std::string(key) + "=" + value + "\r\n";
    if (at.begin == std::string::npos) {
      entry = "[" + std::string(section) + "]\r\n" + entry;
    }
    const size_t where = std::min(at.begin, text.size());
    text.insert(where, where > 0 && text[where - 1] != '\n' ? "\r\n" + entry : entry);  // after a line without its end
  }
  m.files.WriteFile(Str(path), text);
  m.files.MarkWritten(r.key);
  return TRUE;
}

}  // namespace win

// The simulated machine's profile (INI) calls, with the rules of Windows'
// own profile code for the one-entry reads and writes the patch makes:
//  - a line whose first non-blank character is "[" and that holds a "]"
//    opens a section named by the text between them, blanks trimmed;
//  - any other non-blank line of a section with an "=" is an entry; its key
//    is the text before the first "=" and its value the text after it, both
//    with blanks and tabs trimmed (a comment line is just an entry that no
//    one asks for, as on Windows);
//  - section and key names match without regard to case; with duplicate
//    sections only the first is searched;
//  - a read removes one pair of enclosing quotes (" or ') from the value;
//  - a write changes only the bytes it has to: the value of an existing
//    entry, or a new entry after the section's last non-blank line, or a new
//    section at the end of the file. Every other byte, line ends included,
//    stays as it was. New lines end in CR LF whatever the file uses.
// Wine differs on writes: it rewrites the whole file in a normalised form.
// Windows keeps untouched lines as they are, and so does this simulation.
// Windows 9x keeps written files in a cache until a call with no section
// flushes it.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {
namespace {

sim::Machine& M() { return sim::Machine::Current(); }

using sim::Str;

struct Line {
  size_t begin;  // first byte of the line
  size_t end;    // end of the text, before CR LF or LF
  size_t next;   // first byte of the following line (after the line end)
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t feed = text.find('\n', pos);
    if (feed == std::string::npos) {
      lines.push_back({pos, text.size(), text.size()});
      break;
    }
    const size_t end = feed > pos && text[feed - 1] == '\r' ? feed - 1 : feed;
    lines.push_back({pos, end, feed + 1});
    pos = feed + 1;
  }
  return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  const size_t close = line.find(']');
  if (line.empty() || line.front() != '[' || close == std::string_view::npos) {
    return std::nullopt;
  }
  return Trim(line.substr(1, close - 1));
}

// Where a section and one of its keys stand in a file, by line index.
struct Location {
  std::optional<size_t> section;    // the section's header line
  std::optional<size_t> entry;      // the key's line
  std::optional<size_t> lastEntry;  // the section's last non-blank line
};

Location Find(const std::string& text, const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location found;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
    if (auto name = SectionName(line)) {
      if (found.section) {
        break;
      }
      if (sim::EqualsNoCase(*name, section)) {
        found.section = i;
      }
      continue;
    }
    if (!found.section || Trim(line).empty()) {
      continue;
    }
    found.lastEntry = i;
    const size_t equals = line.find('=');
    if (!found.entry && equals != std::string_view::npos && sim::EqualsNoCase(Trim(line.substr(0, equals)), key)) {
      found.entry = i;
    }
  }
  return found;
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The file's bytes, opened for reading as the profile code opens it; the
// Windows error code when it cannot be.
std::optional<std::string> ReadProfileFile(const char* path, DWORD* error) {
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  struct stat st {};
  if (r.error != 0) {
    *error = r.error;
  } else if (stat(r.host.c_str(), &st) != 0) {
    *error = ERROR_FILE_NOT_FOUND;
  } else if (S_ISDIR(st.st_mode)) {
    *error = ERROR_ACCESS_DENIED;
  } else if (fs.ShareConflict(r.key, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    *error = ERROR_SHARING_VIOLATION;
  } else {
    std::ifstream in(r.host, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  return std::nullopt;
}

// The file's text with key set to value in section.
std::string WithEntry(std::string text, std::string_view section, std::string_view key, std::string_view value) {
  const std::vector<Line> lines = SplitLines(text);
  const Location at = Find(text, lines, section, key);
  if (at.entry) {
    const Line& line = lines[*at.entry];
    const size_t valueBegin = text.find('=', line.begin) + 1;
    return text.replace(valueBegin, line.end - valueBegin, value);
  }
  std::string entry = std::string(key) + "=" + std::string(value) + "\r\n";
  if (at.section) {
    const Line& after = lines[at.lastEntry.value_or(*at.section)];
    if (after.next == after.end) {
      entry.insert(0, "\r\n");  // that line was the last one and had no line end
    }
    return text.insert(after.next, entry);
  }
  if (!text.empty() && text.back() != '\n') {
    text += "\r\n";
  }
  return text + "[" + std::string(section) + "]\r\n" + entry;
}

}  // namespace

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer, DWORD size,
                               const char* path) {
  sim::Machine& m = sim::PlatformCall("GetPrivateProfileStringA", Str(path));
  if (const auto error = m.PlantedError()) {
    m.lastError = *error;  // the default is given, as for a file that cannot be read
    return sim::CopyOut(std::string(Trim(defaultValue == nullptr ? "" : defaultValue)), buffer, size);
  }
  // Windows drops trailing blanks of the default.
  std::string value(Trim(defaultValue == nullptr ? "" : defaultValue));
  if (section == nullptr || key == nullptr) {
    M().lastError = ERROR_INVALID_PARAMETER;  // listings of names are not simulated
    return sim::CopyOut("", buffer, size);
  }
  DWORD error = 0;
  if (auto text = ReadProfileFile(path, &error)) {
    const std::vector<Line> lines = SplitLines(*text);
    const Location at = Find(*text, lines, section, key);
    if (at.entry) {
      const Line& line = lines[*at.entry];
      const std::string_view whole(text->data() + line.begin, line.end - line.begin);
      value = Unquote(Trim(whole.substr(whole.find('=') + 1)));
    } else {
      M().lastError = ERROR_FILE_NOT_FOUND;
    }
  } else {
    M().lastError = error;
  }
  return sim::CopyOut(value, buffer, size);
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path) {
  const bool flush = section == nullptr && key == nullptr && value == nullptr;
  sim::Machine& m = sim::PlatformCall("WritePrivateProfileStringA", (flush ? "flush " : "") + Str(path));
  auto fail = [&m](DWORD code) { return m.Fail(code); };
  if (const auto error = m.PlantedError()) {
    return fail(*error);  // 112: the disk is full; on Windows 9x only a flush meets the disk
  }
  sim::FileSystem& fs = M().files;
  const sim::FileSystem::Resolved r = fs.Resolve(Str(path));
  const bool windows9x = M().version.platformId == VER_PLATFORM_WIN32_WINDOWS;
  if (flush && windows9x) {
    // Windows 9x writes its cached copy of the file out and returns zero, as
    // documented for a flush, whether or not it could; one that could not
    // leaves the error code of what failed.
    bool exists = false;
    if (r.error != 0) {
      return fail(r.error);
    }
    if (const DWORD error = fs.WriteOpenError(r, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &exists)) {
      return fail(error);
    }
    if (!exists) {
      return fail(ERROR_FILE_NOT_FOUND);
    }
    fs.MarkFlushed(r.key);
    return FALSE;
  }
  if (section == nullptr || key == nullptr || value == nullptr) {
    return fail(ERROR_INVALID_PARAMETER);  // deleting entries and sections is not simulated
  }
  if (r.error != 0) {
    return fail(r.error);
  }
  bool exists = false;
  if (const DWORD error =
          fs.WriteOpenError(r, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &exists)) {
    return fail(error);
  }
  std::string text;
  if (exists) {
    std::ifstream in(r.host, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
  }
  // A missing file is created, as Windows does.
  const std::string updated = WithEntry(text, section, key, value);
  std::ofstream out(r.host, std::ios::binary | std::ios::trunc);
  out.write(updated.data(), static_cast<std::streamsize>(updated.size()));
  if (!out) {
    return fail(ERROR_ACCESS_DENIED);
  }
  fs.MarkWritten(r.key);
  return TRUE;
}

}  // namespace win

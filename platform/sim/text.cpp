#include "platform/sim/text.h"

#include <algorithm>
#include <cstring>

namespace sim {

std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return ToLowerAscii(a) == ToLowerAscii(b); }

std::u16string Widen(std::string_view narrow) {
  std::u16string wide;
  for (char c : narrow) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
  return wide;
}

std::string Narrow(std::u16string_view wide) {
  std::string narrow;
  for (char16_t c : wide) {
    narrow.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  }
  return narrow;
}

win::DWORD CopyOut(const std::string& text, char* buffer, win::DWORD size) {
  if (buffer == nullptr || size == 0) {
    return 0;
  }
  const win::DWORD n = std::min<win::DWORD>(static_cast<win::DWORD>(text.size()), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

std::string Str(const char* text) { return text == nullptr ? "(null)" : text; }

}  // namespace sim

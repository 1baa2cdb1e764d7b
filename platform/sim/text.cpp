#include "platform/sim/text.h"

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

}  // namespace sim

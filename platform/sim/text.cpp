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
  const win::DWORD n = std::min<win::DWORD>(static_cast<win::DWORD>(text.size()), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return n;
}

std::string Str(const char* text) { return text == nullptr ? "(null)" : text; }

// "S-1-5-32-544" as Windows stores it; empty when the text is not "S-" and numbers.
std::vector<uint8_t> SidBytes(std::string_view text) {
  std::vector<uint64_t> numbers;
  if (text.substr(0, 2) != "S-") {
    return {};
  }
  text.remove_prefix(2);
  while (!text.empty()) {
    const size_t dash = text.find('-');
    numbers.push_back(std::stoull(std::string(text.substr(0, dash))));
    text.remove_prefix(dash == std::string_view::npos ? text.size() : dash + 1);
  }
  std::vector<uint8_t> sid = {static_cast<uint8_t>(numbers[0]), static_cast<uint8_t>(numbers.size() - 2)};
  for (int shift = 40; shift >= 0; shift -= 8) {
    sid.push_back(static_cast<uint8_t>(numbers[1] >> shift));  // the authority, big-endian
  }
  for (size_t i = 2; i < numbers.size(); ++i) {
    for (int shift = 0; shift < 32; shift += 8) {
      sid.push_back(static_cast<uint8_t>(numbers[i] >> shift));
    }
  }
  return sid;
}

// The text of a SID that Windows stores as bytes.
std::string SidText(const uint8_t* sid) {
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) {
    authority = authority << 8 | sid[i];
  }
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    const uint8_t* part = sid + 8 + 4 * static_cast<size_t>(i);
    text += "-" + std::to_string(part[0] | part[1] << 8 | part[2] << 16 | static_cast<uint32_t>(part[3]) << 24);
  }
  return text;
}

}  // namespace sim

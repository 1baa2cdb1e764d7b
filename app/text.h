// Text comparison shared by the run's operations.
#pragma once

#include <string_view>

// True when a and b are equal as whole strings, the letters A-Z matching
// a-z. Every other byte must be equal: the texts are in the ANSI code page,
// whose other letters fold differently from one code page to the next, and
// the words compared (options, INTL, file and zone names) are ASCII.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) {
      return false;
    }
  }
  return true;
}

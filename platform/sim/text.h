// Small text helpers of the simulated machine.
#pragma once

#include <string>
#include <string_view>

#include "platform/win.h"

namespace sim {

// ASCII letters folded, every other byte compared as it is: how Windows
// compares the ASCII names that the simulation deals with.
std::string ToLowerAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Latin-1 <-> UTF-16, the simulated machine's ANSI code page. Characters
// above U+00FF become '?', as Windows substitutes its default character.
std::u16string Widen(std::string_view narrow);
std::string Narrow(std::u16string_view wide);

// Copies text into a caller's buffer as the A functions do: cut to the
// buffer, always zero-terminated. Returns the characters copied.
win::DWORD CopyOut(const std::string& text, char* buffer, win::DWORD size);

// A string argument as the call record shows it: "(null)" for none.
std::string Str(const char* text);

}  // namespace sim

// Small text helpers of the simulated machine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// buffer of at least one character, always zero-terminated. Returns the
// characters copied.
win::DWORD CopyOut(const std::string& text, char* buffer, win::DWORD size);

// A string argument as the call record shows it: "(null)" for none.
std::string Str(const char* text);

// A SID between its text ("S-1-5-32-544") and the bytes Windows stores:
// revision, count of sub-authorities, a 48-bit big-endian authority, the
// 32-bit sub-authorities. Empty bytes for a text that is no SID.
std::vector<uint8_t> SidBytes(std::string_view text);
std::string SidText(const uint8_t* sid);

}  // namespace sim

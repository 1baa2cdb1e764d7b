// Small text helpers of the simulated machine.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// ASCII letters folded, every other byte compared as it is: how Windows
// compares the ASCII names that the simulation deals with.
std::string ToLowerAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);

// Latin-1 <-> UTF-16, the simulated machine's ANSI code page. Characters
// above U+00FF become '?', as Windows substitutes its default character.
std::u16string Widen(std::string_view narrow);
std::string Narrow(std::u16string_view wide);

}  // namespace sim

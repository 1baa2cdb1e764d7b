#include "platform/sim/machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {
Machine* current = nullptr;
}  // namespace

Token::Token() {
  // LUIDs as Windows assigns them.
  privileges["SeSystemtimePrivilege"] = Privilege{{12, 0}};
  privileges["SeShutdownPrivilege"] = Privilege{{19, 0}};
  privileges["SeTimeZonePrivilege"] = Privilege{{34, 0}};
}

bool Token::IsEnabled(const std::string& name) const {
  auto it = privileges.find(name);
  return it != privileges.end() && it->second.held && it->second.enabled;
}

Machine::Machine() : previous_(current) {
  current = this;
  RegisterSimExports(modules);
  // A machine in the US Eastern zone, with the rules in force since 2007.
  timeZone.Set(300, "Eastern Standard Time", "Eastern Daylight Time", "Eastern Standard Time",
               win::SYSTEMTIME{0, 11, 0, 1, 2, 0, 0, 0}, win::SYSTEMTIME{0, 3, 0, 2, 2, 0, 0, 0});
}

Machine::~Machine() { current = previous_; }

Machine& Machine::Current() {
  if (current == nullptr) {
    (void)std::fprintf(stderr, "a win:: call was made without a simulated machine\n");
    std::abort();
  }
  return *current;
}

std::vector<std::string> Machine::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const auto& call : calls) {
    if (call.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(call);
    }
  }
  return found;
}

std::string Hex(unsigned long long value) {
  char text[24];
  (void)std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}

}  // namespace sim

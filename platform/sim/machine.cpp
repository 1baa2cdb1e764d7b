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

void Machine::EnterCall() {
  if (killed_) {
    return;
  }
  if (killAtCall && platformCalls == *killAtCall) {
    killed_ = true;
    throw ProcessKilled{};
  }
  ++platformCalls;
}

void Machine::EndKilledProcess() {
  killed_ = true;  // the clean-up is the system's, not calls of the program
  mutexes.EndProcess();
  for (const uintptr_t value : handles.Values()) {
    auto* handle = reinterpret_cast<win::HANDLE>(value);
    HandleKind kind{};
    handles.KindOf(value, &kind);
    switch (kind) {
      case HandleKind::Key:
        win::RegCloseKey(static_cast<win::HKEY>(handle));
        break;
      case HandleKind::ScManager:
      case HandleKind::Service:
        win::CloseServiceHandle(static_cast<win::SC_HANDLE>(handle));
        break;
      default:
        win::CloseHandle(handle);
        break;
    }
  }
  modules.UnloadAll();
  heap.FreeAll();
  for (auto& [name, privilege] : token.privileges) {
    privilege.enabled = false;  // the next process gets a token of its own
  }
  killAtCall.reset();
  killed_ = false;
}

std::string Hex(unsigned long long value) {
  char text[24];
  (void)std::snprintf(text, sizeof text, "0x%llX", value);
  return text;
}

}  // namespace sim

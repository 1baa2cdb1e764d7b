#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <thread>

#include "platform/sim/text.h"

namespace sim {
namespace {
Machine* current = nullptr;
}  // namespace

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
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
               [&](const std::string& call) { return call.compare(0, prefix.size(), prefix) == 0; });
  return found;
}

void Machine::EnterCall(std::string_view call, std::string_view object) {
  if (killed_) {
    faultKey_.clear();  // the system's own clean-up: neither the program's call nor failed
    return;
  }
  if (beforeCall) {
    beforeCall(platformCalls);
  }
  if (killAtCall && platformCalls == *killAtCall && run_) {
    killed_ = true;
    run_->set_value(std::nullopt);
    std::promise<void>().get_future().wait();  // a killed process runs no more code
  }
  ++platformCalls;
  calls.push_back(std::string(call) + "(" + std::string(object) + ")");
  faultKey_ = ToLowerAscii(call) + "\n" + ToLowerAscii(object);
}

std::optional<win::DWORD> Machine::PlantedError() {
  if (faultKey_.empty()) {
    return std::nullopt;
  }
  failable.push_back(calls.size() - 1);
  const std::string name = faultKey_.substr(0, faultKey_.find('\n'));
  const size_t onObject = counts_[faultKey_]++;
  const size_t ofName = counts_[name]++;
  for (const sim::Fault& fault : faults) {
    const bool anyObject = fault.object.empty();
    if (ToLowerAscii(fault.call) == name && (anyObject || faultKey_ == name + "\n" + ToLowerAscii(fault.object)) &&
        (!fault.occurrence || *fault.occurrence == (anyObject ? ofName : onObject))) {
      return fault.error;
    }
  }
  return std::nullopt;
}

std::optional<win::UINT> Machine::RunKillable(const std::function<win::UINT()>& program) {
  run_ = std::make_shared<std::promise<std::optional<win::UINT>>>();
  std::future<std::optional<win::UINT>> result = run_->get_future();
  // The thread keeps the promise alive: it outlives the machine when it was killed.
  std::thread([run = run_, program] { run->set_value(program()); }).detach();
  const std::optional<win::UINT> code = result.get();
  run_.reset();
  return code;
}

void Machine::EndKilledProcess() {
  // killed_ stays set while the system cleans up: its calls are not the program's.
  mutexes.AbandonOwned();
  for (const uintptr_t value : handles.Values()) {
    auto* handle = reinterpret_cast<win::HANDLE>(value);
    HandleKind kind{};
    handles.KindOf(value, &kind);
    if (kind == HandleKind::Key) {
      win::RegCloseKey(static_cast<win::HKEY>(handle));
    } else if (kind == HandleKind::ScManager || kind == HandleKind::Service) {
      win::CloseServiceHandle(static_cast<win::SC_HANDLE>(handle));
    } else {
      win::CloseHandle(handle);
    }
  }
  for (auto& [name, module] : modules.all) {
    module.loads = 0;
  }
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

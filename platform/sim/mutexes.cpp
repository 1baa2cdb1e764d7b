#include "platform/sim/mutexes.h"

#include "platform/sim/machine.h"

namespace sim {
namespace {

Machine& M() { return Machine::Current(); }

}  // namespace

void Mutexes::HeldByAnotherProcess(const std::string& name, bool otherAccount) {
  NamedMutex& m = named[name];
  m.otherOpen = true;
  m.otherHolds = true;
  m.otherAccount = otherAccount;
}

void Mutexes::AbandonedByAnotherProcess(const std::string& name) {
  NamedMutex& m = named[name];
  m.otherOpen = true;
  m.otherHolds = false;
  m.abandoned = true;
}

bool Mutexes::Free(const std::string& name) const {
  auto it = named.find(name);
  return it == named.end() || (it->second.owned == 0 && !it->second.otherHolds);
}

win::HANDLE Mutexes::Create(const char* name, bool initialOwner) {
  const std::string text = name == nullptr ? "" : name;
  M().Record("CreateMutexA(" + std::to_string(initialOwner) + ", " + text + ")");
  auto fail = [](win::DWORD code) -> win::HANDLE {
    M().lastError = code;
    return nullptr;
  };
  if (name == nullptr || initialOwner) {
    return fail(win::ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  if (createError != 0) {
    return fail(createError);
  }
  if (!globalNamespace && text.find('\\') != std::string::npos) {
    return fail(win::ERROR_PATH_NOT_FOUND);
  }
  auto it = named.find(text);
  const bool exists = it != named.end();
  if (exists && it->second.otherAccount) {
    return fail(win::ERROR_ACCESS_DENIED);  // opening asks for all access
  }
  NamedMutex& m = named[text];
  ++m.handles;
  auto* handle = M().handles.Add<win::HANDLE>(HandleKind::Mutex, text);
  open_[reinterpret_cast<uintptr_t>(handle)] = text;
  M().lastError = exists ? win::ERROR_ALREADY_EXISTS : 0;
  return handle;
}

win::DWORD Mutexes::Wait(win::HANDLE mutex, win::DWORD milliseconds) {
  NamedMutex& m = named[open_.at(reinterpret_cast<uintptr_t>(mutex))];
  if (m.owned > 0) {
    ++m.owned;
    return win::WAIT_OBJECT_0;
  }
  if (m.otherHolds) {
    if (milliseconds == win::INFINITE) {
      M().lastError = win::ERROR_INVALID_PARAMETER;  // nobody would ever release it: a real run would hang
      return win::WAIT_FAILED;
    }
    M().clock.ticks += milliseconds;
    return win::WAIT_TIMEOUT;
  }
  m.owned = 1;
  if (m.abandoned) {
    m.abandoned = false;
    return win::WAIT_ABANDONED;
  }
  return win::WAIT_OBJECT_0;
}

bool Mutexes::Release(win::HANDLE mutex) {
  M().Record("ReleaseMutex");
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  if (it == open_.end()) {
    M().lastError = win::ERROR_INVALID_HANDLE;
    return false;
  }
  NamedMutex& m = named[it->second];
  if (m.owned == 0) {
    M().lastError = win::ERROR_NOT_OWNER;
    return false;
  }
  --m.owned;
  return true;
}

bool Mutexes::Close(win::HANDLE mutex) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  if (it == open_.end()) {
    return false;
  }
  auto m = named.find(it->second);
  open_.erase(it);
  // The name goes with the last handle of any process, owned or not.
  if (--m->second.handles == 0 && !m->second.otherOpen) {
    named.erase(m);
  }
  return true;
}

void Mutexes::AbandonOwned() {
  for (auto& [name, m] : named) {
    if (m.owned > 0) {
      m.owned = 0;
      m.abandoned = true;
    }
  }
}

}  // namespace sim

namespace win {

HANDLE CreateMutexA(void* security, BOOL initialOwner, const char* name) {
  sim::Machine& m = sim::PlatformCall();
  if (security != nullptr) {
    m.lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return m.mutexes.Create(name, initialOwner != FALSE);
}

BOOL ReleaseMutex(HANDLE mutex) { return sim::PlatformCall().mutexes.Release(mutex) ? TRUE : FALSE; }

}  // namespace win

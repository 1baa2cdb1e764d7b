#include "platform/sim/mutexes.h"

#include <array>
#include <cstring>
#include <string_view>

#include "platform/sim/machine.h"

namespace sim {
namespace {

Machine& M() { return Machine::Current(); }

// A security descriptor as the simulated system hands it out, on the
// process heap: its owner, as a string and as the SID's bytes.
struct Descriptor {
  static constexpr uint32_t kMagic = 0x53445343;
  uint32_t magic = kMagic;
  std::array<uint8_t, 68> sid{};  // revision, count, authority, sub-authorities
  char owner[80] = {};
  char sddl[160] = {};
};

// "S-1-5-32-544" as Windows stores it; empty when the text is not a SID.
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
  if (numbers.size() < 2 || numbers.size() > 17) {
    return {};
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

Descriptor* NewDescriptor(const std::string& owner) {
  auto* d = new (M().heap.Alloc(sizeof(Descriptor))) Descriptor;
  const std::vector<uint8_t> sid = SidBytes(owner);  // none for a descriptor without an owner
  if (!sid.empty()) {
    std::memcpy(d->sid.data(), sid.data(), std::min(sid.size(), d->sid.size()));
  }
  std::strncpy(d->owner, owner.c_str(), sizeof d->owner - 1);
  return d;
}

const Descriptor* DescriptorAt(const void* memory) {
  const auto* d = static_cast<const Descriptor*>(memory);
  return d != nullptr && d->magic == Descriptor::kMagic ? d : nullptr;
}

win::BOOL WINAPI SimConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, win::DWORD revision,
                                                                         void** descriptor, win::DWORD* size) {
  PlatformCall();
  const std::string sddl = text == nullptr ? "" : text;
  M().Record("ConvertStringSecurityDescriptorToSecurityDescriptorA(" + sddl + ")");
  // The owner part, "O:BA", "O:SY" or "O:S-1-...", up to the next part.
  std::string owner;
  if (sddl.compare(0, 2, "O:") == 0) {
    owner = sddl.substr(2, sddl.find(':', 2) == std::string::npos ? std::string::npos : sddl.find(':', 2) - 3);
  }
  owner = owner == "BA" ? kAdministratorsSid : owner == "SY" ? kSystemSid : owner;
  if (revision != win::SDDL_REVISION_1 || descriptor == nullptr || (!owner.empty() && SidBytes(owner).empty())) {
    M().lastError = 1338;  // ERROR_INVALID_SECURITY_DESCR
    return win::FALSE;
  }
  Descriptor* made = NewDescriptor(owner);
  std::strncpy(made->sddl, sddl.c_str(), sizeof made->sddl - 1);
  *descriptor = made;
  if (size != nullptr) {
    *size = sizeof(Descriptor);
  }
  return win::TRUE;
}

win::DWORD WINAPI SimGetSecurityInfo(win::HANDLE object, int objectType, win::DWORD what, void** owner, void** group,
                                     void** dacl, void** sacl, void** descriptor) {
  PlatformCall();
  M().Record("GetSecurityInfo(" + std::to_string(objectType) + ", " + Hex(what) + ")");
  const bool file = M().handles.Is(object, HandleKind::File);
  if (!M().handles.Is(object, HandleKind::Mutex) && !file) {
    return win::ERROR_INVALID_HANDLE;
  }
  if (objectType != (file ? win::SE_FILE_OBJECT : win::SE_KERNEL_OBJECT) || what != win::OWNER_SECURITY_INFORMATION ||
      owner == nullptr || group != nullptr || dacl != nullptr || sacl != nullptr || descriptor == nullptr) {
    return win::ERROR_INVALID_PARAMETER;  // the simulation knows only what the patch asks for
  }
  Descriptor* d = NewDescriptor(file ? M().files.OwnerOf(object) : M().mutexes.OwnerOf(object));
  *owner = d->sid.data();
  *descriptor = d;
  return 0;
}

}  // namespace

bool ReadDescriptor(const void* descriptor, std::string& owner, std::string& sddl) {
  const Descriptor* d = DescriptorAt(descriptor);
  if (d == nullptr) {
    return false;
  }
  owner = d->owner;
  sddl = d->sddl;
  return true;
}

void RegisterSecurityExports(Modules& modules) {
  modules.Export("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                 reinterpret_cast<win::FARPROC>(&SimConvertStringSecurityDescriptorToSecurityDescriptorA));
  modules.Export("advapi32.dll", "GetSecurityInfo", reinterpret_cast<win::FARPROC>(&SimGetSecurityInfo));
}

void Mutexes::MadeByUser(const std::string& name, bool holds, bool shutsAdministratorsOut) {
  NamedMutex& m = named[name];
  m.otherOpen = true;
  m.otherHolds = holds;
  m.shutsUsOut = shutsAdministratorsOut;
  m.owner = kClerkSid;
}

std::string Mutexes::OwnerOf(win::HANDLE mutex) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  return it == open_.end() ? "" : named.at(it->second).owner;
}

void Mutexes::HeldByAnotherProcess(const std::string& name, const std::string& owner) {
  NamedMutex& m = named[name];
  m.otherOpen = true;
  m.otherHolds = true;
  m.owner = owner;
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

win::HANDLE Mutexes::Create(const char* name, bool initialOwner, const std::string& owner) {
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
  if (exists && it->second.shutsUsOut) {
    return fail(win::ERROR_ACCESS_DENIED);  // opening asks for all access
  }
  NamedMutex& m = named[text];
  if (!exists) {
    m.owner = owner;  // an existing one keeps its own security
  }
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
  std::string owner = sim::kAdministratorsSid;
  if (security != nullptr) {
    const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(security);
    const sim::Descriptor* descriptor = sim::DescriptorAt(attributes->lpSecurityDescriptor);
    if (attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || descriptor == nullptr) {
      m.lastError = ERROR_INVALID_PARAMETER;
      return nullptr;
    }
    owner = descriptor->owner;
  }
  return m.mutexes.Create(name, initialOwner != FALSE, owner);
}

BOOL ReleaseMutex(HANDLE mutex) { return sim::PlatformCall().mutexes.Release(mutex) ? TRUE : FALSE; }

}  // namespace win

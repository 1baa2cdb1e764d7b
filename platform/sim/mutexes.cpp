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
  const std::string sddl = text == nullptr ? "" : text;
  Machine& m = PlatformCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", sddl);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
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
  Machine& m = PlatformCall("GetSecurityInfo", M().handles.LabelOf(object));
  if (const auto error = m.PlantedError()) {
    return *error;
  }
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

// A boundary descriptor: user memory of the process, on its heap.
struct Boundary {
  static constexpr uint32_t kMagic = 0x424E4442;
  uint32_t magic = kMagic;
  int count = 0;
  char sids[4][80] = {};
};

Boundary* BoundaryAt(win::HANDLE handle) {
  auto* b = static_cast<Boundary*>(handle);
  return b != nullptr && b->magic == Boundary::kMagic ? b : nullptr;
}

std::vector<std::string> SidsOf(const Boundary& b) { return {b.sids, b.sids + b.count}; }

win::HANDLE WINAPI SimCreateBoundaryDescriptorW(const win::WCHAR* name, win::DWORD flags) {
  Machine& m = PlatformCall("CreateBoundaryDescriptorW");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  if (name == nullptr || flags != 0) {
    M().lastError = win::ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return new (M().heap.Alloc(sizeof(Boundary))) Boundary;
}

win::BOOL WINAPI SimAddSIDToBoundaryDescriptor(win::HANDLE* boundary, void* sid) {
  Boundary* b = boundary == nullptr ? nullptr : BoundaryAt(*boundary);
  const std::string text = sid == nullptr ? "" : SidText(static_cast<const uint8_t*>(sid));
  Machine& m = PlatformCall("AddSIDToBoundaryDescriptor", text);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (b == nullptr || sid == nullptr || b->count == 4) {
    M().lastError = win::ERROR_INVALID_PARAMETER;
    return win::FALSE;
  }
  std::strncpy(b->sids[b->count++], text.c_str(), sizeof b->sids[0] - 1);
  return win::TRUE;
}

void WINAPI SimDeleteBoundaryDescriptor(win::HANDLE boundary) {
  PlatformCall("DeleteBoundaryDescriptor");
  if (BoundaryAt(boundary) != nullptr) {
    M().heap.Free(boundary);
  }
}

// Only a process whose token holds each SID of the boundary may make it.
win::HANDLE WINAPI SimCreatePrivateNamespaceA(win::SECURITY_ATTRIBUTES* security, void* boundary, const char* alias) {
  Machine& m = PlatformCall("CreatePrivateNamespaceA", Str(alias));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  const Boundary* b = BoundaryAt(boundary);
  if (b == nullptr || alias == nullptr ||
      (security != nullptr && DescriptorAt(security->lpSecurityDescriptor) == nullptr)) {
    M().lastError = win::ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  for (const std::string& sid : SidsOf(*b)) {
    if (!(sid == kAdministratorsSid && M().token.administrators) && sid != M().token.user) {
      M().lastError = win::ERROR_ACCESS_DENIED;
      return nullptr;
    }
  }
  return M().mutexes.CreateNamespace(Mutexes::NamespaceKey(alias, SidsOf(*b)));
}

win::HANDLE WINAPI SimOpenPrivateNamespaceA(void* boundary, const char* alias) {
  Machine& m = PlatformCall("OpenPrivateNamespaceA", Str(alias));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  const Boundary* b = BoundaryAt(boundary);
  if (b == nullptr || alias == nullptr) {
    M().lastError = win::ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return M().mutexes.OpenNamespace(Mutexes::NamespaceKey(alias, SidsOf(*b)));
}

win::BOOLEAN WINAPI SimClosePrivateNamespace(win::HANDLE handle, win::DWORD flags) {
  PlatformCall("ClosePrivateNamespace", std::to_string(flags));
  if (!M().handles.Is(handle, HandleKind::Namespace) || flags > 1) {
    M().lastError = win::ERROR_INVALID_HANDLE;
    return 0;
  }
  M().handles.Remove(handle, HandleKind::Namespace);
  M().mutexes.CloseNamespace(handle);
  return 1;
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
  modules.Export("kernel32.dll", "CreateBoundaryDescriptorW",
                 reinterpret_cast<win::FARPROC>(&SimCreateBoundaryDescriptorW));
  modules.Export("kernel32.dll", "AddSIDToBoundaryDescriptor",
                 reinterpret_cast<win::FARPROC>(&SimAddSIDToBoundaryDescriptor));
  modules.Export("kernel32.dll", "DeleteBoundaryDescriptor",
                 reinterpret_cast<win::FARPROC>(&SimDeleteBoundaryDescriptor));
  modules.Export("kernel32.dll", "CreatePrivateNamespaceA",
                 reinterpret_cast<win::FARPROC>(&SimCreatePrivateNamespaceA));
  modules.Export("kernel32.dll", "OpenPrivateNamespaceA", reinterpret_cast<win::FARPROC>(&SimOpenPrivateNamespaceA));
  modules.Export("kernel32.dll", "ClosePrivateNamespace", reinterpret_cast<win::FARPROC>(&SimClosePrivateNamespace));
  modules.Export("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                 reinterpret_cast<win::FARPROC>(&SimConvertStringSecurityDescriptorToSecurityDescriptorA));
  modules.Export("advapi32.dll", "GetSecurityInfo", reinterpret_cast<win::FARPROC>(&SimGetSecurityInfo));
}

std::string Mutexes::NamespaceKey(const std::string& alias, const std::vector<std::string>& boundary) {
  std::string key = alias + "{";
  for (const std::string& sid : boundary) {
    key += (key.back() == '{' ? "" : ",") + sid;
  }
  return key + "}";
}

std::string Mutexes::NamespaceOfAnotherProcess(const std::string& alias, const std::vector<std::string>& boundary) {
  std::string key = NamespaceKey(alias, boundary);
  namespaces[key].otherOpen = true;
  return key;
}

win::HANDLE Mutexes::CreateNamespace(const std::string& key) {
  auto it = namespaces.find(key);
  if (it != namespaces.end() && (it->second.ours || it->second.otherOpen)) {
    M().lastError = win::ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  namespaces[key].ours = true;
  auto* handle = M().handles.Add<win::HANDLE>(HandleKind::Namespace, key);
  namespaces_[reinterpret_cast<uintptr_t>(handle)] = key;
  made_[key] = reinterpret_cast<uintptr_t>(handle);
  M().lastError = 0;
  return handle;
}

win::HANDLE Mutexes::OpenNamespace(const std::string& key) {
  auto it = namespaces.find(key);
  if (it == namespaces.end() || !(it->second.ours || it->second.otherOpen)) {
    M().lastError = win::ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  auto* handle = M().handles.Add<win::HANDLE>(HandleKind::Namespace, key);
  namespaces_[reinterpret_cast<uintptr_t>(handle)] = key;
  M().lastError = 0;
  return handle;
}

bool Mutexes::CloseNamespace(win::HANDLE handle) {
  auto it = namespaces_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == namespaces_.end()) {
    return false;
  }
  auto made = made_.find(it->second);
  if (made != made_.end() && made->second == it->first) {
    namespaces[it->second].ours = false;
    made_.erase(made);
  }
  namespaces_.erase(it);
  return true;
}

std::string Mutexes::Resolve(const std::string& name) const {
  const size_t slash = name.find('\\');
  if (slash != std::string::npos) {
    const std::string prefix = name.substr(0, slash) + "{";
    for (const auto& [value, key] : namespaces_) {
      if (key.compare(0, prefix.size(), prefix) == 0) {
        return key + name.substr(slash);
      }
    }
  }
  return name;
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
  const std::string text = Resolve(name == nullptr ? "" : name);
  const bool inNamespace = text != (name == nullptr ? "" : name);
  auto fail = [](win::DWORD code) -> win::HANDLE {
    M().lastError = code;
    return nullptr;
  };
  if (name == nullptr || initialOwner) {
    return fail(win::ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  if (!globalNamespace && !inNamespace && text.find('\\') != std::string::npos) {
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
  sim::Machine& m = sim::PlatformCall("CreateMutexA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HANDLE{nullptr});
  }
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

BOOL ReleaseMutex(HANDLE mutex) { return sim::PlatformCall("ReleaseMutex").mutexes.Release(mutex) ? TRUE : FALSE; }

}  // namespace win

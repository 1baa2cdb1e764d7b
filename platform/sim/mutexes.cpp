#include "platform/sim/mutexes.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/sim/machine.h"

namespace sim {
namespace {

Machine& M() { return Machine::Current(); }

// A security descriptor or a boundary descriptor as the simulated system
// hands it out, on the process heap: a SID (the descriptor's owner, the
// boundary's one SID) as text and as its bytes, and a descriptor's SDDL.
struct Descriptor {
  uint32_t magic;
  char sid[80];
  std::array<uint8_t, 68> sidBytes;  // revision, count, authority, sub-authorities
  char sddl[160];
};
constexpr uint32_t kSecurity = 0x53445343;
constexpr uint32_t kBoundary = 0x424E4442;

Descriptor* NewDescriptor(uint32_t magic, const std::string& sid, const std::string& sddl = "") {
  auto* d = new (M().heap.Alloc(sizeof(Descriptor))) Descriptor{magic, {}, {}, {}};
  const std::vector<uint8_t> bytes = SidBytes(sid);  // none for no SID
  std::copy_n(bytes.begin(), std::min(bytes.size(), d->sidBytes.size()), d->sidBytes.begin());
  std::strncpy(d->sid, sid.c_str(), sizeof d->sid - 1);
  std::strncpy(d->sddl, sddl.c_str(), sizeof d->sddl - 1);
  return d;
}

Descriptor* DescriptorAt(const void* memory, uint32_t magic) {
  auto* d = static_cast<Descriptor*>(const_cast<void*>(memory));
  return d != nullptr && d->magic == magic ? d : nullptr;
}

win::BOOL WINAPI SimConvertStringSecurityDescriptorToSecurityDescriptorA(const char* text, win::DWORD revision,
                                                                         void** descriptor, win::DWORD* size) {
  const std::string sddl = Str(text);
  Machine& m = PlatformCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", sddl);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  // The owner part, "O:BA", "O:SY" or "O:S-1-...", up to the next part's letter.
  std::string owner = sddl.compare(0, 2, "O:") == 0 ? sddl.substr(2, sddl.find(':', 2) - 3) : "";
  owner = owner == "BA" ? kAdministratorsSid : owner == "SY" ? kSystemSid : owner;
  if (revision != win::SDDL_REVISION_1 || descriptor == nullptr || (!owner.empty() && SidBytes(owner).empty())) {
    return m.Fail(1338);  // ERROR_INVALID_SECURITY_DESCR
  }
  *descriptor = NewDescriptor(kSecurity, owner, sddl);
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
  const bool file = m.handles.Is(object, HandleKind::File);
  if (!m.handles.Is(object, HandleKind::Mutex) && !file) {
    return win::ERROR_INVALID_HANDLE;
  }
  if (objectType != (file ? win::SE_FILE_OBJECT : win::SE_KERNEL_OBJECT) || what != win::OWNER_SECURITY_INFORMATION ||
      owner == nullptr || group != nullptr || dacl != nullptr || sacl != nullptr || descriptor == nullptr) {
    return win::ERROR_INVALID_PARAMETER;  // the simulation knows only what the patch asks for
  }
  Descriptor* d = NewDescriptor(kSecurity, file ? m.files.OwnerOf(object) : m.mutexes.OwnerOf(object));
  *owner = d->sidBytes.data();
  *descriptor = d;
  return 0;
}

// The patch's boundary holds one SID: the boundary of a namespace that
// another process made may hold none.
win::HANDLE WINAPI SimCreateBoundaryDescriptorW(const win::WCHAR* name, win::DWORD flags) {
  Machine& m = PlatformCall("CreateBoundaryDescriptorW");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  if (name == nullptr || flags != 0) {
    return m.Fail(win::ERROR_INVALID_PARAMETER, win::HANDLE{nullptr});
  }
  return NewDescriptor(kBoundary, "");
}

win::BOOL WINAPI SimAddSIDToBoundaryDescriptor(win::HANDLE* boundary, void* sid) {
  Descriptor* b = boundary == nullptr ? nullptr : DescriptorAt(*boundary, kBoundary);
  const std::string text = sid == nullptr ? "" : SidText(static_cast<const uint8_t*>(sid));
  Machine& m = PlatformCall("AddSIDToBoundaryDescriptor", text);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (b == nullptr || text.empty() || b->sid[0] != '\0') {
    return m.Fail(win::ERROR_INVALID_PARAMETER);
  }
  std::strncpy(b->sid, text.c_str(), sizeof b->sid - 1);
  return win::TRUE;
}

void WINAPI SimDeleteBoundaryDescriptor(win::HANDLE boundary) {
  PlatformCall("DeleteBoundaryDescriptor");
  if (DescriptorAt(boundary, kBoundary) != nullptr) {
    M().heap.Free(boundary);
  }
}

// Only a process whose token holds the boundary's SID may make the namespace.
win::HANDLE OpenNamespace(bool create, win::SECURITY_ATTRIBUTES* security, void* boundary, const char* alias) {
  Machine& m = PlatformCall(create ? "CreatePrivateNamespaceA" : "OpenPrivateNamespaceA", Str(alias));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  const Descriptor* b = DescriptorAt(boundary, kBoundary);
  if (b == nullptr || alias == nullptr ||
      (security != nullptr && DescriptorAt(security->lpSecurityDescriptor, kSecurity) == nullptr)) {
    return m.Fail(win::ERROR_INVALID_PARAMETER, win::HANDLE{nullptr});
  }
  const std::string sid = b->sid;
  if (create && !sid.empty() && !(sid == kAdministratorsSid && m.token.administrators) && sid != m.token.user) {
    return m.Fail(win::ERROR_ACCESS_DENIED, win::HANDLE{nullptr});
  }
  return m.mutexes.OpenNamespace(std::string(alias) + "{" + sid + "}", create);
}

win::HANDLE WINAPI SimCreatePrivateNamespaceA(win::SECURITY_ATTRIBUTES* security, void* boundary, const char* alias) {
  return OpenNamespace(true, security, boundary, alias);
}

win::HANDLE WINAPI SimOpenPrivateNamespaceA(void* boundary, const char* alias) {
  return OpenNamespace(false, nullptr, boundary, alias);
}

// Flags 0: closed, and not destroyed under another run that has it open.
win::BOOLEAN WINAPI SimClosePrivateNamespace(win::HANDLE handle, win::DWORD flags) {
  Machine& m = PlatformCall("ClosePrivateNamespace", std::to_string(flags));
  if (flags != 0 || !m.handles.Remove(handle, HandleKind::Namespace)) {
    return m.Fail(flags != 0 ? win::ERROR_INVALID_PARAMETER : win::ERROR_INVALID_HANDLE, 0);
  }
  m.mutexes.CloseNamespace(handle);
  return 1;
}

}  // namespace

bool ReadDescriptor(const void* descriptor, std::string& owner, std::string& sddl) {
  const Descriptor* d = DescriptorAt(descriptor, kSecurity);
  if (d == nullptr) {
    return false;
  }
  owner = d->sid;
  sddl = d->sddl;
  return true;
}

void RegisterSecurityExports(Modules& modules) {
  modules.Export("kernel32.dll", "CreateBoundaryDescriptorW", &SimCreateBoundaryDescriptorW);
  modules.Export("kernel32.dll", "AddSIDToBoundaryDescriptor", &SimAddSIDToBoundaryDescriptor);
  modules.Export("kernel32.dll", "DeleteBoundaryDescriptor", &SimDeleteBoundaryDescriptor);
  modules.Export("kernel32.dll", "CreatePrivateNamespaceA", &SimCreatePrivateNamespaceA);
  modules.Export("kernel32.dll", "OpenPrivateNamespaceA", &SimOpenPrivateNamespaceA);
  modules.Export("kernel32.dll", "ClosePrivateNamespace", &SimClosePrivateNamespace);
  modules.Export("advapi32.dll", "ConvertStringSecurityDescriptorToSecurityDescriptorA",
                 &SimConvertStringSecurityDescriptorToSecurityDescriptorA);
  modules.Export("advapi32.dll", "GetSecurityInfo", &SimGetSecurityInfo);
}

win::HANDLE Mutexes::OpenNamespace(const std::string& key, bool create) {
  PrivateNamespace& ns = namespaces[key];
  if ((ns.maker != 0 || ns.otherOpen) == create) {
    return M().Fail(create ? win::ERROR_ALREADY_EXISTS : win::ERROR_FILE_NOT_FOUND, win::HANDLE{nullptr});
  }
  auto* handle = M().handles.Add<win::HANDLE>(HandleKind::Namespace, key);
  namespaces_[reinterpret_cast<uintptr_t>(handle)] = key;
  ns.maker = create ? reinterpret_cast<uintptr_t>(handle) : ns.maker;
  M().lastError = 0;
  return handle;
}

void Mutexes::CloseNamespace(win::HANDLE handle) {
  auto it = namespaces_.find(reinterpret_cast<uintptr_t>(handle));
  if (it != namespaces_.end()) {
    PrivateNamespace& ns = namespaces[it->second];
    ns.maker = ns.maker == it->first ? 0 : ns.maker;
    namespaces_.erase(it);
  }
}

std::string Mutexes::OwnerOf(win::HANDLE mutex) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  return it == open_.end() ? "" : named.at(it->second).owner;
}

win::HANDLE Mutexes::Create(const std::string& name, const std::string& owner) {
  // A name "alias\name" lies in the private namespace of that alias that this process has open.
  const size_t slash = name.find('\\');
  std::string key = name;
  for (const auto& [value, space] : namespaces_) {
    if (slash != std::string::npos && name.substr(0, slash) == space.substr(0, space.find('{'))) {
      key = space + name.substr(slash);
    }
  }
  if (!globalNamespace && key == name && slash != std::string::npos) {
    return M().Fail(win::ERROR_PATH_NOT_FOUND, win::HANDLE{nullptr});
  }
  auto it = named.find(key);
  const bool exists = it != named.end();
  if (exists && it->second.shutsUsOut) {
    return M().Fail(win::ERROR_ACCESS_DENIED, win::HANDLE{nullptr});  // opening asks for all access
  }
  NamedMutex& m = named[key];
  m.owner = exists ? m.owner : owner;  // an existing one keeps its own security
  ++m.handles;
  auto* handle = M().handles.Add<win::HANDLE>(HandleKind::Mutex, key);
  open_[reinterpret_cast<uintptr_t>(handle)] = key;
  M().lastError = exists ? win::ERROR_ALREADY_EXISTS : 0;
  return handle;
}

win::DWORD Mutexes::Wait(win::HANDLE mutex, win::DWORD milliseconds) {
  NamedMutex& m = named[open_.at(reinterpret_cast<uintptr_t>(mutex))];
  if (m.otherHolds) {
    if (milliseconds == win::INFINITE) {
      return M().Fail(win::ERROR_INVALID_PARAMETER, win::WAIT_FAILED);  // never released: a real run would hang
    }
    M().clock.ticks += milliseconds;
    return win::WAIT_TIMEOUT;
  }
  ++m.owned;
  return std::exchange(m.abandoned, false) ? win::WAIT_ABANDONED : win::WAIT_OBJECT_0;
}

bool Mutexes::Release(win::HANDLE mutex) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  if (it == open_.end() || named[it->second].owned == 0) {
    return M().Fail(it == open_.end() ? win::ERROR_INVALID_HANDLE : win::ERROR_NOT_OWNER, false);
  }
  --named[it->second].owned;
  return true;
}

void Mutexes::Close(win::HANDLE mutex) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(mutex));
  if (it == open_.end()) {
    return;
  }
  auto m = named.find(it->second);
  open_.erase(it);
  // The name goes with the last handle of any process, owned or not.
  if (--m->second.handles == 0 && !m->second.otherOpen) {
    named.erase(m);
  }
}

void Mutexes::AbandonOwned() {
  for (auto& [name, m] : named) {
    m.abandoned = m.abandoned || m.owned > 0;
    m.owned = 0;
  }
}

}  // namespace sim

namespace win {

HANDLE CreateMutexA(void* security, BOOL initialOwner, const char* name) {
  sim::Machine& m = sim::PlatformCall("CreateMutexA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HANDLE{nullptr});
  }
  const auto* attributes = static_cast<const SECURITY_ATTRIBUTES*>(security);
  const sim::Descriptor* descriptor =
      attributes == nullptr ? nullptr : sim::DescriptorAt(attributes->lpSecurityDescriptor, sim::kSecurity);
  if (name == nullptr || initialOwner != FALSE ||
      (attributes != nullptr && (attributes->nLength != sizeof(SECURITY_ATTRIBUTES) || descriptor == nullptr))) {
    return m.Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});  // the simulation knows only what the patch asks for
  }
  return m.mutexes.Create(name, descriptor == nullptr ? sim::kAdministratorsSid : descriptor->sid);
}

BOOL ReleaseMutex(HANDLE mutex) { return sim::PlatformCall("ReleaseMutex").mutexes.Release(mutex) ? TRUE : FALSE; }

}  // namespace win

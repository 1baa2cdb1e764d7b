#include "platform/sim/mutexes.h"

#include <array>
#include <cstring>
#include <utility>

#include "platform/sim/machine.h"

namespace sim {
namespace {

Machine& M() { return Machine::Current(); }

uintptr_t Value(const void* handle) { return reinterpret_cast<uintptr_t>(handle); }

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
  if (revision != win::SDDL_REVISION_1 || size != nullptr || (!owner.empty() && SidBytes(owner).empty())) {
    return m.Fail(1338);  // ERROR_INVALID_SECURITY_DESCR
  }
  *descriptor = NewDescriptor(kSecurity, owner, sddl);
  return win::TRUE;
}

// The owner of a file, or of a mutex ("" for any other handle).
win::DWORD WINAPI SimGetSecurityInfo(win::HANDLE object, int objectType, win::DWORD what, void** owner, void** group,
                                     void** dacl, void** sacl, void** descriptor) {
  Machine& m = PlatformCall("GetSecurityInfo", M().handles.LabelOf(object));
  if (const auto error = m.PlantedError()) {
    return *error;
  }
  const bool file = m.handles.Is(object, HandleKind::File);
  if (objectType != (file ? win::SE_FILE_OBJECT : win::SE_KERNEL_OBJECT) || what != win::OWNER_SECURITY_INFORMATION ||
      owner == nullptr || group != nullptr || dacl != nullptr || sacl != nullptr || descriptor == nullptr) {
    return win::ERROR_INVALID_PARAMETER;  // the simulation knows only what the patch asks for
  }
  const bool mutex = m.handles.Is(object, HandleKind::Mutex);
  Descriptor* d = NewDescriptor(kSecurity, file    ? m.files.OwnerOf(object)
                                           : mutex ? m.mutexes.named[m.mutexes.open.at(Value(object))].owner
                                                   : "");
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
  const std::string text = SidText(static_cast<const uint8_t*>(sid));
  Machine& m = PlatformCall("AddSIDToBoundaryDescriptor", text);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  Descriptor* b = DescriptorAt(*boundary, kBoundary);
  if (b == nullptr) {
    return m.Fail(win::ERROR_INVALID_PARAMETER);
  }
  std::strncpy(b->sid, text.c_str(), sizeof b->sid - 1);
  return win::TRUE;
}

void WINAPI SimDeleteBoundaryDescriptor(win::HANDLE boundary) {
  PlatformCall("DeleteBoundaryDescriptor");
  M().heap.Free(boundary);
}

// A namespace is known by its alias and its boundary's SID together. Only a
// process whose token holds the boundary's SID may make it.
win::HANDLE OpenNamespace(bool create, win::SECURITY_ATTRIBUTES* security, void* boundary, const char* alias) {
  Machine& m = PlatformCall(create ? "CreatePrivateNamespaceA" : "OpenPrivateNamespaceA", Str(alias));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, win::HANDLE{nullptr});
  }
  const Descriptor* b = DescriptorAt(boundary, kBoundary);
  if (b == nullptr || (security != nullptr && DescriptorAt(security->lpSecurityDescriptor, kSecurity) == nullptr)) {
    return m.Fail(win::ERROR_INVALID_PARAMETER, win::HANDLE{nullptr});
  }
  const std::string sid = b->sid;
  if (create && !sid.empty() && !(sid == kAdministratorsSid && m.token.administrators) && sid != m.token.user) {
    return m.Fail(win::ERROR_ACCESS_DENIED, win::HANDLE{nullptr});
  }
  const std::string key = std::string(alias) + "{" + sid + "}";
  PrivateNamespace& ns = m.mutexes.namespaces[key];
  if ((ns.maker != 0 || ns.otherOpen) == create) {
    return m.Fail(create ? win::ERROR_ALREADY_EXISTS : win::ERROR_FILE_NOT_FOUND, win::HANDLE{nullptr});
  }
  auto* handle = m.handles.Add<win::HANDLE>(HandleKind::Namespace, key);
  m.mutexes.open[Value(handle)] = key;
  ns.maker = create ? Value(handle) : ns.maker;
  m.lastError = 0;
  return handle;
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

void Mutexes::CloseNamespace(win::HANDLE handle) {
  PrivateNamespace& ns = namespaces[open.extract(Value(handle)).mapped()];
  ns.maker = ns.maker == Value(handle) ? 0 : ns.maker;
}

win::DWORD Mutexes::Wait(win::HANDLE mutex, win::DWORD milliseconds) {
  NamedMutex& m = named[open.at(Value(mutex))];
  if (m.otherHolds) {
    // Never released: a real run would hang.
    return milliseconds == win::INFINITE ? M().Fail(win::ERROR_INVALID_PARAMETER, win::WAIT_FAILED) : win::WAIT_TIMEOUT;
  }
  ++m.owned;
  return std::exchange(m.abandoned, false) ? win::WAIT_ABANDONED : win::WAIT_OBJECT_0;
}

void Mutexes::Close(win::HANDLE mutex) {
  const std::string name = open.extract(Value(mutex)).mapped();
  // The name goes with the last handle of any process, owned or not.
  if (--named[name].handles == 0 && !named[name].otherOpen) {
    named.erase(name);
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

// A name "alias\name" lies in the private namespace of that alias that this process has open.
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
  const std::string text = name;
  const size_t slash = text.find('\\');
  std::string key = text;
  for (const auto& [value, space] : m.mutexes.open) {
    if (slash != std::string::npos && m.mutexes.namespaces.count(space) != 0 &&
        text.substr(0, slash) == space.substr(0, space.find('{'))) {
      key = space + text.substr(slash);
    }
  }
  if (!m.mutexes.globalNamespace && key == text && slash != std::string::npos) {
    return m.Fail(ERROR_PATH_NOT_FOUND, HANDLE{nullptr});
  }
  const bool exists = m.mutexes.named.count(key) != 0;
  sim::NamedMutex& mutex = m.mutexes.named[key];
  if (exists && mutex.shutsUsOut) {
    return m.Fail(ERROR_ACCESS_DENIED, HANDLE{nullptr});  // opening asks for all access
  }
  // An existing one keeps its own security; a new one gets the descriptor's
  // owner, else the token's default (Administrators, for an administrator's or SYSTEM's run).
  mutex.owner = exists ? mutex.owner : descriptor == nullptr ? sim::kAdministratorsSid : descriptor->sid;
  ++mutex.handles;
  auto* handle = m.handles.Add<HANDLE>(sim::HandleKind::Mutex, key);
  m.mutexes.open[sim::Value(handle)] = key;
  m.lastError = exists ? ERROR_ALREADY_EXISTS : 0;
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  sim::Machine& m = sim::PlatformCall("ReleaseMutex");
  if (!m.handles.Is(mutex, sim::HandleKind::Mutex)) {
    return m.Fail(ERROR_INVALID_HANDLE);
  }
  sim::NamedMutex& named = m.mutexes.named[m.mutexes.open.at(sim::Value(mutex))];
  if (named.owned == 0) {
    return m.Fail(ERROR_NOT_OWNER);
  }
  --named.owned;
  return TRUE;
}

}  // namespace win

#include "app/run_guard.h"

#include <cstring>

#include "app/os.h"
#include "app/process_state.h"
#include "platform/unique.h"

namespace {

// The name without its "Global\" prefix.
constexpr const char* kPlainName = kRunGuardName + sizeof "Global\\" - 1;

// Errors that mean the system has no "Global\" namespace, so that the name
// reads as a path into a folder that does not exist.
bool NoGlobalNamespace(win::DWORD error) {
  return error == win::ERROR_PATH_NOT_FOUND || error == win::ERROR_INVALID_NAME || error == win::ERROR_BAD_PATHNAME;
}

// Takes ownership of the guard, when nobody else holds it.
RunGuard WaitForGuard(win::UniqueHandle mutex, win::DWORD& error) {
  if (!mutex) {
    error = win::GetLastError();
    return RunGuard::NotAvailable;
  }
  switch (win::WaitForSingleObject(mutex.get(), 0)) {
    case win::WAIT_OBJECT_0:
    case win::WAIT_ABANDONED:  // its owner died: the machine is ours now
      Process().runGuard.reset(mutex.release());
      return RunGuard::Taken;
    case win::WAIT_TIMEOUT:
      return RunGuard::OtherRun;
    default:
      error = win::GetLastError();
      return RunGuard::NotAvailable;
  }
}

// The guard's security: owner Administrators, full access for SYSTEM and
// Administrators, nobody else (none on NT 4: the guard then has the default
// security, as before).
constexpr char kGuardSecurity[] = "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

// Whether a mutex that was there before this run was made by a run of this
// patch: its owner is Administrators or SYSTEM. Where the owner cannot be
// read (NT 4, a failed query) it counts as one, as every guard did before.
bool MadeByThisPatch(win::HANDLE mutex) {
  const auto getSecurityInfo = Bind<win::PFN_GetSecurityInfo>(win::GetModuleHandleA("advapi32.dll"), "GetSecurityInfo");
  if (getSecurityInfo == nullptr) {
    return true;
  }
  void* owner = nullptr;
  void* descriptor = nullptr;
  if (getSecurityInfo(mutex, win::SE_KERNEL_OBJECT, win::OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != 0) {
    return true;
  }
  const bool ours = IsAdministratorsSid(owner) || IsSystemSid(owner);
  win::LocalFree(descriptor);
  return ours;
}

// The private namespace of the guard, where Windows has private namespaces
// (Vista and later): its boundary is the Administrators group, so that only
// a process whose token holds that group (an elevated administrator,
// SYSTEM) can make it, and security opens it to SYSTEM and Administrators
// only, so that no one else can make or hold a name in it. The first run
// makes it and the others open it. None where the system has no such
// namespaces or it cannot be had: the guard is then made as on older Windows.
win::UniqueNamespace GuardNamespace(win::SECURITY_ATTRIBUTES* security) {
  const win::HMODULE kernel32 = win::GetModuleHandleA("kernel32.dll");
  const auto createBoundary = Bind<win::PFN_CreateBoundaryDescriptorW>(kernel32, "CreateBoundaryDescriptorW");
  const auto addSid = Bind<win::PFN_AddSIDToBoundaryDescriptor>(kernel32, "AddSIDToBoundaryDescriptor");
  const auto deleteBoundary = Bind<win::PFN_DeleteBoundaryDescriptor>(kernel32, "DeleteBoundaryDescriptor");
  const auto create = Bind<win::PFN_CreatePrivateNamespaceA>(kernel32, "CreatePrivateNamespaceA");
  const auto open = Bind<win::PFN_OpenPrivateNamespaceA>(kernel32, "OpenPrivateNamespaceA");
  const auto close = Bind<win::PFN_ClosePrivateNamespace>(kernel32, "ClosePrivateNamespace");
  if (createBoundary == nullptr || addSid == nullptr || deleteBoundary == nullptr || create == nullptr ||
      open == nullptr || close == nullptr || security == nullptr) {
    return {};
  }
  win::HANDLE boundary = createBoundary(u"dstpatch", 0);
  if (boundary == nullptr) {
    return {};
  }
  win::BYTE administrators[sizeof kAdministratorsSid];
  std::memcpy(administrators, kAdministratorsSid, sizeof administrators);
  win::UniqueNamespace found;
  if (addSid(&boundary, administrators)) {
    // One that its maker closes between the two calls is made again.
    for (int attempt = 0; attempt < 2 && !found; ++attempt) {
      win::HANDLE handle = create(security, boundary, kNamespaceName);
      if (handle == nullptr && win::GetLastError() != win::ERROR_ALREADY_EXISTS) {
        break;
      }
      if (handle == nullptr) {
        handle = open(boundary, kNamespaceName);
      }
      found = win::UniqueNamespace(handle, close);
    }
  }
  deleteBoundary(boundary);
  return found;
}

}  // namespace

RunGuard TakeRunGuard(bool isWindows9x, win::DWORD& error, const char*& name) {
  name = isWindows9x ? kPlainName : kRunGuardName;
  if (isWindows9x) {  // no security on Windows 9x
    return WaitForGuard(win::UniqueHandle(win::CreateMutexA(nullptr, win::FALSE, name)), error);
  }
  SecurityAttributes security(kGuardSecurity);
  win::UniqueNamespace privateNamespace = GuardNamespace(security.get());
  if (privateNamespace) {
    name = kPrivateGuardName;
  }
  win::UniqueHandle mutex(win::CreateMutexA(security.get(), win::FALSE, name));
  if (!mutex && !privateNamespace && NoGlobalNamespace(win::GetLastError())) {
    name = kPlainName;
    mutex.reset(win::CreateMutexA(security.get(), win::FALSE, name));
  }
  if (!mutex) {
    error = win::GetLastError();
    // The name is taken by an object that shuts administrators out: a run
    // of this patch lets SYSTEM and Administrators in, so this is not one.
    return error == win::ERROR_ACCESS_DENIED ? RunGuard::NotOurs : RunGuard::NotAvailable;
  }
  if (win::GetLastError() == win::ERROR_ALREADY_EXISTS && !MadeByThisPatch(mutex.get())) {
    return RunGuard::NotOurs;
  }
  const RunGuard guard = WaitForGuard(std::move(mutex), error);
  if (guard == RunGuard::Taken) {
    Process().guardNamespace = std::move(privateNamespace);
  }
  return guard;
}

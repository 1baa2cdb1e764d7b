// The simulated machine's named mutexes: this process's handles and
// ownership, and what other processes (another run of the patch, one that
// died) do with the same name, so that a test can set up a machine on which
// another run holds the guard.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/win.h"

namespace sim {

// Security identifiers as Windows writes them.
inline constexpr char kAdministratorsSid[] = "S-1-5-32-544";
inline constexpr char kSystemSid[] = "S-1-5-18";
inline constexpr char kClerkSid[] = "S-1-5-21-1004336348-1177238915-682003330-1001";  // an ordinary user

struct NamedMutex {
  int handles = 0;                         // open handles of this process
  int owned = 0;                           // this process's ownership count
  bool otherOpen = false;                  // another process has it open, which keeps it in being
  bool otherHolds = false;                 // another process owns it
  bool abandoned = false;                  // its owner ended without releasing it
  bool shutsUsOut = false;                 // its security denies this run all access: opening it fails with 5
  std::string owner = kAdministratorsSid;  // its owner, as GetSecurityInfo reports it
};

// A private namespace (Vista and later), known by its name and the SID of
// its boundary together: names in it are apart from all others.
struct PrivateNamespace {
  uintptr_t maker = 0;     // this process's handle that made it, which keeps it open to others
  bool otherOpen = false;  // made by another process, which keeps it
};

struct Mutexes {
  // --- Set-up and inspection by tests ---
  // False on Windows 9x and NT 4 without Terminal Services: no "Global\"
  // namespace, and a name with a backslash fails with 3, as a path whose
  // folder does not exist.
  bool globalNamespace = true;
  // Another run of the patch (of the account that owner names) owns the
  // mutex and keeps it open.
  void HeldByAnotherProcess(const std::string& name, const std::string& owner = kAdministratorsSid) {
    named[name] = NamedMutex{0, 0, true, true, false, false, owner};
  }
  // Its owner died without releasing it; another process still has it open.
  void AbandonedByAnotherProcess(const std::string& name) { named[name] = NamedMutex{0, 0, true, false, true}; }
  // An ordinary user made it first (with default security, or shutting
  // administrators out), and may hold it.
  void MadeByUser(const std::string& name, bool holds, bool shutsAdministratorsOut) {
    named[name] = NamedMutex{0, 0, true, holds, false, shutsAdministratorsOut, kClerkSid};
  }
  std::map<std::string, NamedMutex> named;  // names compared with letter case, as Windows does
  // Private namespaces by key: the alias and the boundary's SID, "alias{SID}".
  // A mutex in one is named by the key, a backslash and its own name.
  std::map<std::string, PrivateNamespace> namespaces;
  // Another process made the namespace and keeps it; gives its key.
  std::string NamespaceOfAnotherProcess(const std::string& alias, const std::string& boundarySid) {
    namespaces[alias + "{" + boundarySid + "}"].otherOpen = true;
    return alias + "{" + boundarySid + "}";
  }

  // This process's mutex and namespace handles: the mutex's name, the namespace's key.
  std::map<uintptr_t, std::string> open;
  win::DWORD Wait(win::HANDLE mutex, win::DWORD milliseconds);
  // CloseHandle of a mutex handle.
  void Close(win::HANDLE mutex);
  // ClosePrivateNamespace, or CloseHandle at the process's end. The
  // namespace's maker closing it ends it for OpenPrivateNamespaceA.
  void CloseNamespace(win::HANDLE handle);
  // The end of this process: what it owns is abandoned (its handles are
  // closed as all others are).
  void AbandonOwned();
};

class Modules;
// ConvertStringSecurityDescriptorToSecurityDescriptorA and GetSecurityInfo
// of advapi32 and the private namespace calls of kernel32, as far as the run
// guard and the file checks use them.
void RegisterSecurityExports(Modules& modules);
// The owner ("" for none) and the SDDL text of a descriptor that
// ConvertStringSecurityDescriptorToSecurityDescriptorA made; false for
// anything else.
bool ReadDescriptor(const void* descriptor, std::string& owner, std::string& sddl);

}  // namespace sim

// What the run's parts ask of Windows beyond the platform seam: which family
// of Windows runs the program, and a message box with the program's caption.
// The run sequence, the time-zone rules and the site maintenance all use them.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/unique.h"
#include "platform/win.h"

// Platform family: 1 the Windows 9x family, 2 the NT family, 0 otherwise
// (including a failed version query, which then takes the NT road).
int GetOsPlatform();

// The entry point name of module, bound at run time; null when the module
// or the entry is missing (a Windows older than the entry).
template <typename Pfn>
Pfn Bind(win::HMODULE module, const char* name) {
  return module == nullptr ? nullptr : reinterpret_cast<Pfn>(win::GetProcAddress(module, name));
}

// Takes the current folder out of the library search path and, where the
// system can, limits it to the system folder, so that no library planted
// beside the program or in its working folder is ever loaded. Made before
// any other call of the run; a Windows without the calls keeps its search.
void RestrictLibrarySearch();

// Loads name, the file name of a system library that is not one of the
// libraries that every Windows maps from its own copy (kernel32, ntdll,
// advapi32), by its full path in the system folder, and the libraries it
// needs from there too: never from the program's folder, which a Windows
// without SetDefaultDllDirectories (XP, Vista, 7 without its update) searches
// first for a name alone. Null when it cannot be loaded.
win::UniqueModule LoadSystemLibrary(const char* name);

// False when the process's window station is one that nobody sees (a
// service, the machine account on Vista and later, a remote shell): a box
// there would wait for ever. True when it is visible or cannot be told.
bool WindowStationVisible();

// The Administrators group, S-1-5-32-544, as Windows stores a SID: revision
// 1, the count of sub-authorities, the authority (5, NT) in six bytes, then
// each sub-authority in four.
inline constexpr win::BYTE kAdministratorsSid[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

// Whether sid (a SID as Windows stores it; null gives false) is the machine
// account, SYSTEM (S-1-5-18), or the Administrators group.
bool IsSystemSid(const void* sid);
bool IsAdministratorsSid(const void* sid);
// Whether sid is TrustedInstaller, the owner of Windows' own files (S-1-5-80-
// 956008885-3418522649-1831038044-1853292631-2271478464), or the account
// this process runs as.
bool IsTrustedInstallerSid(const void* sid);
bool IsOwnAccountSid(const void* sid);

// The SID (its bytes) of the account of token, and of this process's own;
// empty where it cannot be read.
std::string TokenAccount(win::HANDLE token);
std::string OwnAccount();

// The security attributes that an SDDL text describes, built by advapi32
// (Windows 2000 and later) and given back with LocalFree. get() is null
// where the system has no call to build them (NT 4): the object then has
// the security it inherits. error() is the code where the call refused.
class SecurityAttributes {
 public:
  explicit SecurityAttributes(const char* sddl);
  ~SecurityAttributes() { win::LocalFree(attributes_.lpSecurityDescriptor); }
  SecurityAttributes(const SecurityAttributes&) = delete;
  SecurityAttributes& operator=(const SecurityAttributes&) = delete;
  win::SECURITY_ATTRIBUTES* get() { return attributes_.lpSecurityDescriptor == nullptr ? nullptr : &attributes_; }
  [[nodiscard]] win::DWORD error() const { return error_; }

 private:
  win::SECURITY_ATTRIBUTES attributes_{sizeof(win::SECURITY_ATTRIBUTES), nullptr, win::FALSE};
  win::DWORD error_ = 0;
};

// Shows text in a message box: no owner, the program's path as caption, the
// exclamation icon. Returns the answer. Callers test the silent flag.
int ShowMessageBox(const std::string& text, win::UINT buttons);

// Enables the named privileges of the process token for as long as it lives,
// and disables them again when it goes. A privilege that the system does
// not know or the token does not hold is passed over without a word: the
// calls that need it then fail and report on their own.
class EnabledPrivileges {
 public:
  explicit EnabledPrivileges(std::initializer_list<const char*> names);
  ~EnabledPrivileges();
  EnabledPrivileges(const EnabledPrivileges&) = delete;
  EnabledPrivileges& operator=(const EnabledPrivileges&) = delete;

 private:
  void Adjust(win::TOKEN_PRIVILEGES& privilege, win::DWORD attributes);

  win::UniqueHandle token_;
  std::vector<win::TOKEN_PRIVILEGES> enabled_;
};

#include "app/os.h"

#include <cstring>

int GetOsPlatform() {
  win::OSVERSIONINFOEXA info{};
  info.dwOSVersionInfoSize = win::kOsVersionInfoExSize;
  if (!win::GetVersionExA(&info)) {
    info.dwOSVersionInfoSize = win::kOsVersionInfoSize;
    if (!win::GetVersionExA(&info)) {
      return 0;
    }
  }
  if (info.dwPlatformId == win::VER_PLATFORM_WIN32_WINDOWS) {
    return 1;
  }
  return info.dwPlatformId == win::VER_PLATFORM_WIN32_NT ? 2 : 0;
}

void RestrictLibrarySearch() {
  const win::HMODULE kernel32 = win::GetModuleHandleA("kernel32.dll");
  if (const auto setDllDirectory = Bind<win::PFN_SetDllDirectoryA>(kernel32, "SetDllDirectoryA")) {
    setDllDirectory("");  // XP SP1 and later: the current folder is no longer searched
  }
  if (const auto setDefault = Bind<win::PFN_SetDefaultDllDirectories>(kernel32, "SetDefaultDllDirectories")) {
    setDefault(win::LOAD_LIBRARY_SEARCH_SYSTEM32);  // 8 and later, 7 with its update: system32 only
  }
}

win::UniqueModule LoadSystemLibrary(const char* name) {
  char folder[260];
  const win::UINT length = win::GetSystemDirectoryA(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) {
    return {};
  }
  const std::string path = std::string(folder, length) + "\\" + name;
  return win::UniqueModule(win::LoadLibraryExA(path.c_str(), nullptr, win::LOAD_WITH_ALTERED_SEARCH_PATH));
}

namespace {

template <size_t N>
bool SidIs(const void* sid, const win::BYTE (&known)[N]) {
  if (sid == nullptr) {
    return false;
  }
  const auto* bytes = static_cast<const win::BYTE*>(sid);
  return 8 + 4 * static_cast<size_t>(bytes[1]) == N && std::memcmp(bytes, known, N) == 0;
}

}  // namespace

bool IsSystemSid(const void* sid) {
  static constexpr win::BYTE kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  return SidIs(sid, kSystem);
}

bool IsAdministratorsSid(const void* sid) { return SidIs(sid, kAdministratorsSid); }

bool IsTrustedInstallerSid(const void* sid) {
  static constexpr win::BYTE kTrustedInstaller[] = {1,    6,    0,    0,    0,    0,    0,    5,    0x50, 0,    0,
                                                    0,    0xB5, 0x89, 0xFB, 0x38, 0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C,
                                                    0x23, 0x6D, 0x57, 0,    0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87};
  return SidIs(sid, kTrustedInstaller);
}

std::string TokenAccount(win::HANDLE token) {
  alignas(win::TOKEN_USER) win::BYTE buffer[sizeof(win::TOKEN_USER) + 68];  // 68: the longest SID
  win::DWORD size = 0;
  if (!win::GetTokenInformation(token, win::TokenUser, buffer, sizeof buffer, &size)) {
    return "";
  }
  win::TOKEN_USER user{};
  std::memcpy(&user, buffer, sizeof user);
  const auto* sid = static_cast<const char*>(user.User.Sid);
  return {sid, 8 + 4 * static_cast<size_t>(static_cast<win::BYTE>(sid[1]))};
}

std::string OwnAccount() {
  win::UniqueHandle token;
  return win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, token.put()) ? TokenAccount(token.get())
                                                                                        : "";
}

bool IsOwnAccountSid(const void* sid) {
  const std::string own = OwnAccount();
  return sid != nullptr && !own.empty() && static_cast<const win::BYTE*>(sid)[1] == static_cast<win::BYTE>(own[1]) &&
         std::memcmp(sid, own.data(), own.size()) == 0;
}

SecurityAttributes::SecurityAttributes(const char* sddl) {
  const auto convert = Bind<win::PFN_ConvertStringSecurityDescriptorToSecurityDescriptorA>(
      win::GetModuleHandleA("advapi32.dll"), "ConvertStringSecurityDescriptorToSecurityDescriptorA");
  if (convert != nullptr && !convert(sddl, win::SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr)) {
    error_ = win::GetLastError();
    attributes_.lpSecurityDescriptor = nullptr;
  }
}

bool WindowStationVisible() {
  const win::HANDLE station = win::GetProcessWindowStation();
  win::USEROBJECTFLAGS flags{};
  win::DWORD needed = 0;
  if (station == nullptr || !win::GetUserObjectInformationA(station, win::UOI_FLAGS, &flags, sizeof flags, &needed)) {
    return true;  // Windows 9x has no window stations; a box there is seen
  }
  return (flags.dwFlags & win::WSF_VISIBLE) != 0;
}

int ShowMessageBox(const std::string& text, win::UINT buttons) {
  char caption[1024] = {};
  win::GetModuleFileNameA(nullptr, caption, sizeof caption);
  return win::MessageBoxA(nullptr, text.c_str(), caption, buttons | win::MB_ICONEXCLAMATION);
}

EnabledPrivileges::EnabledPrivileges(std::initializer_list<const char*> names) {
  win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_ADJUST_PRIVILEGES | win::TOKEN_QUERY, token_.put());
  if (!token_) {
    return;
  }
  for (const char* name : names) {
    win::TOKEN_PRIVILEGES privilege{};
    if (win::LookupPrivilegeValueA(nullptr, name, &privilege.Privileges[0].Luid)) {
      privilege.PrivilegeCount = 1;
      Adjust(privilege, win::SE_PRIVILEGE_ENABLED);
      enabled_.push_back(privilege);
    }
  }
}

EnabledPrivileges::~EnabledPrivileges() {
  for (auto& privilege : enabled_) {
    Adjust(privilege, 0);
  }
}

void EnabledPrivileges::Adjust(win::TOKEN_PRIVILEGES& privilege, win::DWORD attributes) {
  privilege.Privileges[0].Attributes = attributes;
  win::AdjustTokenPrivileges(token_.get(), win::FALSE, &privilege, 0, nullptr, nullptr);
}

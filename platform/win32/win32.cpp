// The real Windows behind platform/win.h: each call forwards to the Win32
// API. The seam's records have the Windows layouts (checked below), so
// pointers pass through unchanged.
//
// platform/win.h must come before <windows.h>: it declares constants under
// names that <windows.h> defines as macros.
#include "platform/win.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace win {
namespace {

static_assert(sizeof(::SYSTEMTIME) == sizeof(win::SYSTEMTIME), "SYSTEMTIME layout");
static_assert(sizeof(::TIME_ZONE_INFORMATION) == sizeof(win::TIME_ZONE_INFORMATION), "TZI layout");
static_assert(offsetof(::TIME_ZONE_INFORMATION, DaylightBias) == offsetof(win::TIME_ZONE_INFORMATION, DaylightBias),
              "TZI layout");
static_assert(sizeof(::DYNAMIC_TIME_ZONE_INFORMATION) == sizeof(win::DYNAMIC_TIME_ZONE_INFORMATION),
              "DYNAMIC_TIME_ZONE_INFORMATION layout");
static_assert(sizeof(::OSVERSIONINFOEXA) == sizeof(win::OSVERSIONINFOEXA), "OSVERSIONINFOEXA layout");
static_assert(sizeof(::TOKEN_PRIVILEGES) == sizeof(win::TOKEN_PRIVILEGES), "TOKEN_PRIVILEGES layout");
static_assert(sizeof(::SERVICE_STATUS) == sizeof(win::SERVICE_STATUS), "SERVICE_STATUS layout");
static_assert(sizeof(::SERVICE_STATUS_PROCESS) == sizeof(win::SERVICE_STATUS_PROCESS), "SERVICE_STATUS_PROCESS");
// The fields the service waits read, where QueryServiceStatusEx puts them.
#define DSTPATCH_SAME_FIELD(field)                                                                         \
  static_assert(offsetof(::SERVICE_STATUS_PROCESS, field) == offsetof(win::SERVICE_STATUS_PROCESS, field), \
                "SERVICE_STATUS_PROCESS::" #field)
DSTPATCH_SAME_FIELD(dwCurrentState);
DSTPATCH_SAME_FIELD(dwWin32ExitCode);
DSTPATCH_SAME_FIELD(dwServiceSpecificExitCode);
DSTPATCH_SAME_FIELD(dwCheckPoint);
DSTPATCH_SAME_FIELD(dwWaitHint);
#undef DSTPATCH_SAME_FIELD
static_assert(sizeof(::STARTUPINFOA) == sizeof(win::STARTUPINFOA), "STARTUPINFOA layout");
static_assert(sizeof(::STARTUPINFOW) == sizeof(win::STARTUPINFOW), "STARTUPINFOW layout");
static_assert(offsetof(::STARTUPINFOA, lpDesktop) == offsetof(win::STARTUPINFOA, lpDesktop), "STARTUPINFOA layout");
static_assert(sizeof(::TOKEN_USER) == sizeof(win::TOKEN_USER), "TOKEN_USER layout");
static_assert(sizeof(::BY_HANDLE_FILE_INFORMATION) == sizeof(win::BY_HANDLE_FILE_INFORMATION), "file information");
static_assert(offsetof(::BY_HANDLE_FILE_INFORMATION, nNumberOfLinks) ==
                  offsetof(win::BY_HANDLE_FILE_INFORMATION, nNumberOfLinks),
              "file information");
static_assert(sizeof(::SECURITY_ATTRIBUTES) == sizeof(win::SECURITY_ATTRIBUTES), "SECURITY_ATTRIBUTES layout");
static_assert(sizeof(::USEROBJECTFLAGS) == sizeof(win::USEROBJECTFLAGS), "USEROBJECTFLAGS layout");
static_assert(sizeof(::PROCESS_INFORMATION) == sizeof(win::PROCESS_INFORMATION), "PROCESS_INFORMATION layout");
static_assert(sizeof(::DWORD) == sizeof(win::DWORD) && sizeof(::LONG) == sizeof(win::LONG), "scalar sizes");
static_assert(sizeof(::WCHAR) == sizeof(win::WCHAR), "UTF-16 units");

template <typename To, typename From>
To As(From from) {
  return reinterpret_cast<To>(from);
}

// The entry NAME of user32.dll, which is loaded when first needed (a message
// box, the manager application's windows) rather than when the process
// starts: loading it prepares the process for windows, which costs a run
// that shows none, such as a silent registry run, more than its own work.
// Once loaded it stays for the rest of the process, as an import would.
// Null, with the system's last error, when the library or entry is missing.
// Loaded by its full path in the system folder, never from the program's
// folder, which a Windows without SetDefaultDllDirectories searches first.
template <typename Function>
Function User32Entry(const char* name) {
  ::HMODULE user32 = ::GetModuleHandleA("user32.dll");
  if (user32 == nullptr) {
    char path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH - sizeof "\\user32.dll");
    if (length > 0 && length < MAX_PATH - sizeof "\\user32.dll") {
      std::memcpy(path + length, "\\user32.dll", sizeof "\\user32.dll");
      user32 = ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  return user32 == nullptr ? nullptr : reinterpret_cast<Function>(As<FARPROC>(::GetProcAddress(user32, name)));
}

}  // namespace

// --- Process, version, environment, console ---

BOOL GetVersionExA(OSVERSIONINFOEXA* info) { return ::GetVersionExA(As<::OSVERSIONINFOA*>(info)); }

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  return ::GetEnvironmentVariableA(name, buffer, size);
}

void WriteStdout(std::string_view text) {
  // stdout is in text mode: the C runtime turns each "\n" into "\r\n".
  // Redirected to a file or pipe it is fully buffered, so each message is
  // flushed at once: a run that hangs or is killed leaves every line it
  // wrote, as its run log does.
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
  (void)std::fflush(stdout);
}

void ExitProcess(UINT exitCode) {
  // The C runtime's exit flushes standard output before the process ends.
  std::exit(static_cast<int>(exitCode));
}

DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD code) { ::SetLastError(code); }

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  return ::GetModuleFileNameA(As<::HMODULE>(module), buffer, size);
}

DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }
UINT GetSystemDirectoryA(char* buffer, UINT size) { return ::GetSystemDirectoryA(buffer, size); }

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  const auto messageBox = User32Entry<decltype(&::MessageBoxA)>("MessageBoxA");
  return messageBox == nullptr ? 0 : messageBox(As<::HWND>(owner), text, caption, type);
}

HANDLE GetProcessWindowStation() {
  const auto station = User32Entry<decltype(&::GetProcessWindowStation)>("GetProcessWindowStation");
  return station == nullptr ? nullptr : static_cast<HANDLE>(station());
}

BOOL GetUserObjectInformationA(HANDLE object, int index, void* info, DWORD length, DWORD* needed) {
  const auto information = User32Entry<decltype(&::GetUserObjectInformationA)>("GetUserObjectInformationA");
  return information == nullptr ? FALSE : information(object, index, info, length, As<::LPDWORD>(needed));
}

void* LocalFree(void* memory) { return ::LocalFree(memory); }

// --- Token privileges ---

HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  return ::OpenProcessToken(process, access, token);
}

BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid) {
  return ::LookupPrivilegeValueA(systemName, name, As<::PLUID>(luid));
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  return ::AdjustTokenPrivileges(token, disableAll, As<::PTOKEN_PRIVILEGES>(newState), bufferLength,
                                 As<::PTOKEN_PRIVILEGES>(previousState), As<::PDWORD>(returnLength));
}

BOOL DuplicateTokenEx(HANDLE token, DWORD access, void* tokenAttributes, int impersonationLevel, int tokenType,
                      HANDLE* newToken) {
  return ::DuplicateTokenEx(token, access, static_cast<::LPSECURITY_ATTRIBUTES>(tokenAttributes),
                            static_cast<::SECURITY_IMPERSONATION_LEVEL>(impersonationLevel),
                            static_cast<::TOKEN_TYPE>(tokenType), newToken);
}

BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, DWORD length, DWORD* returnLength) {
  return ::GetTokenInformation(token, static_cast<::TOKEN_INFORMATION_CLASS>(infoClass), info, length,
                               As<::PDWORD>(returnLength));
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

// --- Files ---

DWORD GetFileAttributesA(const char* path) { return ::GetFileAttributesA(path); }

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile) {
  return ::CreateFileA(path, access, shareMode, static_cast<::LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                       templateFile);
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped) {
  return ::WriteFile(file, data, size, As<::LPDWORD>(written), static_cast<::LPOVERLAPPED>(overlapped));
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return ::GetFileInformationByHandle(file, As<::LPBY_HANDLE_FILE_INFORMATION>(info));
}

BOOL SetEndOfFile(HANDLE file) { return ::SetEndOfFile(file); }
BOOL FlushFileBuffers(HANDLE file) { return ::FlushFileBuffers(file); }

BOOL DeleteFileA(const char* path) { return ::DeleteFileA(path); }

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped) {
  return ::ReadFile(file, buffer, size, As<::LPDWORD>(read), static_cast<::LPOVERLAPPED>(overlapped));
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  return ::SetFilePointer(file, distance, As<::PLONG>(distanceHigh), method);
}

BOOL CreateDirectoryA(const char* path, void* security) {
  return ::CreateDirectoryA(path, static_cast<::LPSECURITY_ATTRIBUTES>(security));
}

BOOL RemoveDirectoryA(const char* path) { return ::RemoveDirectoryA(path); }

DWORD GetTempPathA(DWORD size, char* buffer) { return ::GetTempPathA(size, buffer); }

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer, DWORD size,
                               const char* path) {
  return ::GetPrivateProfileStringA(section, key, defaultValue, buffer, size, path);
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path) {
  return ::WritePrivateProfileStringA(section, key, value, path);
}

// --- Registry ---

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) {
  return ::RegOpenKeyExA(As<::HKEY>(root), subKey, options, access, As<::PHKEY>(result));
}

LONG RegOpenKeyA(HKEY root, const char* subKey, HKEY* result) {
  return ::RegOpenKeyA(As<::HKEY>(root), subKey, As<::PHKEY>(result));
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
  return ::RegSetValueExA(As<::HKEY>(key), name, reserved, type, data, size);
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size) {
  return ::RegQueryValueExA(As<::HKEY>(key), name, As<::LPDWORD>(reserved), As<::LPDWORD>(type), data,
                            As<::LPDWORD>(size));
}

LONG RegCloseKey(HKEY key) { return ::RegCloseKey(As<::HKEY>(key)); }

LONG RegFlushKey(HKEY key) { return ::RegFlushKey(As<::HKEY>(key)); }

// --- Time zone ---

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
  return ::GetTimeZoneInformation(As<::LPTIME_ZONE_INFORMATION>(info));
}

BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* info) {
  return ::SetTimeZoneInformation(As<const ::TIME_ZONE_INFORMATION*>(info));
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* narrow, int narrowSize,
                        const char* defaultChar, BOOL* usedDefaultChar) {
  return ::WideCharToMultiByte(codePage, flags, As<const wchar_t*>(wide), wideLength, narrow, narrowSize, defaultChar,
                               usedDefaultChar);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* wide, int wideSize) {
  return ::MultiByteToWideChar(codePage, flags, narrow, narrowLength, As<wchar_t*>(wide), wideSize);
}

// --- Modules ---

HMODULE LoadLibraryA(const char* name) { return As<HMODULE>(::LoadLibraryA(name)); }
HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags) {
  return As<HMODULE>(::LoadLibraryExA(name, reserved, flags));
}
HMODULE GetModuleHandleA(const char* name) { return As<HMODULE>(::GetModuleHandleA(name)); }

FARPROC GetProcAddress(HMODULE module, const char* name) {
  return As<FARPROC>(::GetProcAddress(As<::HMODULE>(module), name));
}

BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(As<::HMODULE>(module)); }

// --- Service control manager ---

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) {
  return As<SC_HANDLE>(::OpenSCManagerA(machine, database, access));
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  return As<SC_HANDLE>(::OpenServiceA(As<::SC_HANDLE>(manager), name, access));
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  return ::ControlService(As<::SC_HANDLE>(service), control, As<::LPSERVICE_STATUS>(status));
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  return ::StartServiceA(As<::SC_HANDLE>(service), argc, argv);
}

BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(As<::SC_HANDLE>(handle)); }

// --- Clock ---

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

// --- Named mutexes ---

HANDLE CreateMutexA(void* security, BOOL initialOwner, const char* name) {
  return ::CreateMutexA(static_cast<::LPSECURITY_ATTRIBUTES>(security), initialOwner, name);
}

BOOL ReleaseMutex(HANDLE mutex) { return ::ReleaseMutex(mutex); }

// --- Processes and windows ---

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
  return ::OpenProcess(access, inheritHandle, processId);
}

BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) {
  const auto enumWindows = User32Entry<decltype(&::EnumWindows)>("EnumWindows");
  return enumWindows == nullptr ? FALSE : enumWindows(As<::WNDENUMPROC>(callback), param);
}

HWND GetShellWindow() {
  const auto shellWindow = User32Entry<decltype(&::GetShellWindow)>("GetShellWindow");
  return shellWindow == nullptr ? nullptr : As<HWND>(shellWindow());
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
  const auto threadProcessId = User32Entry<decltype(&::GetWindowThreadProcessId)>("GetWindowThreadProcessId");
  return threadProcessId == nullptr ? 0 : threadProcessId(As<::HWND>(window), As<::LPDWORD>(processId));
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto postMessage = User32Entry<decltype(&::PostMessageA)>("PostMessageA");
  return postMessage == nullptr ? FALSE : postMessage(As<::HWND>(window), message, wParam, lParam);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) { return ::WaitForSingleObject(handle, milliseconds); }

BOOL TerminateProcess(HANDLE process, UINT exitCode) { return ::TerminateProcess(process, exitCode); }

BOOL CreateProcessA(const char* application, char* commandLine, void* processSecurity, void* threadSecurity,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const char* currentDirectory,
                    STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo) {
  return ::CreateProcessA(application, commandLine, static_cast<::LPSECURITY_ATTRIBUTES>(processSecurity),
                          static_cast<::LPSECURITY_ATTRIBUTES>(threadSecurity), inheritHandles, creationFlags,
                          environment, currentDirectory, As<::LPSTARTUPINFOA>(startupInfo),
                          As<::LPPROCESS_INFORMATION>(processInfo));
}

BOOL CreateProcessAsUserA(HANDLE token, const char* application, char* commandLine, void* processSecurity,
                          void* threadSecurity, BOOL inheritHandles, DWORD creationFlags, void* environment,
                          const char* currentDirectory, STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo) {
  return ::CreateProcessAsUserA(token, application, commandLine, static_cast<::LPSECURITY_ATTRIBUTES>(processSecurity),
                                static_cast<::LPSECURITY_ATTRIBUTES>(threadSecurity), inheritHandles, creationFlags,
                                environment, currentDirectory, As<::LPSTARTUPINFOA>(startupInfo),
                                As<::LPPROCESS_INFORMATION>(processInfo));
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return ::GetExitCodeProcess(process, As<::LPDWORD>(exitCode));
}

}  // namespace win

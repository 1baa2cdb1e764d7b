// The Windows seam: every operating-system call the patch makes, under its
// Windows name, with the Windows types and constants it needs.
//
// Two implementations exist and exactly one is linked into a program:
//   platform/win32/  forwards each call to the real Win32 API;
//   platform/sim/    answers each call from a simulated Windows machine.
// Logic code includes this header and never <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(_WIN32)
#define WINAPI __stdcall
#else
#define WINAPI
#endif

namespace win {

// ---------------------------------------------------------------------------
// Scalar and handle types (same sizes and representations as on Windows).
using BOOL = int;
using BOOLEAN = uint8_t;
using BYTE = uint8_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = unsigned int;
using WCHAR = char16_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using NTSTATUS = LONG;
using REGSAM = DWORD;
using HANDLE = void*;
struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
// "void (*)()" is the one function pointer type that converts to and from
// every other without a cast-function-type warning.
using FARPROC = void (*)();

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ---------------------------------------------------------------------------
// Records, laid out as Windows lays them out for the build's bitness.

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};

struct DYNAMIC_TIME_ZONE_INFORMATION {
  LONG Bias;
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
  WCHAR TimeZoneKeyName[128];
  BOOLEAN DynamicDaylightTimeDisabled;
};

struct OSVERSIONINFOEXA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
constexpr DWORD kOsVersionInfoExSize = 156;  // sizeof(OSVERSIONINFOEXA)
constexpr DWORD kOsVersionInfoSize = 148;    // sizeof(OSVERSIONINFOA)

struct LUID {
  DWORD LowPart;
  LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[1];
};

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
struct SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
};

struct PROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  char szExeFile[260];
};

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  WCHAR* Buffer;
};

// The leading part of the system's process record, as far as the patch reads it.
struct SYSTEM_PROCESS_INFORMATION {
  DWORD NextEntryOffset;
  DWORD NumberOfThreads;
  int64_t WorkingSetPrivateSize;
  DWORD HardFaultCount;
  DWORD NumberOfThreadsHighWatermark;
  uint64_t CycleTime;
  int64_t CreateTime;
  int64_t UserTime;
  int64_t KernelTime;
  UNICODE_STRING ImageName;
  LONG BasePriority;
  HANDLE UniqueProcessId;
};

struct STARTUPINFOA {
  DWORD cb;
  char* lpReserved;
  char* lpDesktop;
  char* lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};

// STARTUPINFOA with UTF-16 strings, for CreateProcessWithTokenW.
struct STARTUPINFOW {
  DWORD cb;
  WCHAR* lpReserved;
  WCHAR* lpDesktop;
  WCHAR* lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};

// What GetTokenInformation(TokenUser) gives: the account's SID, which
// follows the record in the caller's buffer.
struct SID_AND_ATTRIBUTES {
  void* Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

struct USEROBJECTFLAGS {
  BOOL fInherit;
  BOOL fReserved;
  DWORD dwFlags;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

#if INTPTR_MAX == INT32_MAX
static_assert(sizeof(PROCESSENTRY32) == 296, "32-bit PROCESSENTRY32");
static_assert(sizeof(STARTUPINFOA) == 68, "32-bit STARTUPINFOA");
static_assert(sizeof(STARTUPINFOW) == 68, "32-bit STARTUPINFOW");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) + offsetof(UNICODE_STRING, Buffer) == 60,
              "32-bit ImageName.Buffer");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 68, "32-bit UniqueProcessId");
#else
static_assert(sizeof(PROCESSENTRY32) == 304, "64-bit PROCESSENTRY32");
static_assert(sizeof(STARTUPINFOA) == 104, "64-bit STARTUPINFOA");
static_assert(sizeof(STARTUPINFOW) == 104, "64-bit STARTUPINFOW");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, ImageName) + offsetof(UNICODE_STRING, Buffer) == 64,
              "64-bit ImageName.Buffer");
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 80, "64-bit UniqueProcessId");
#endif
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME");
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "BY_HANDLE_FILE_INFORMATION");
static_assert(sizeof(USEROBJECTFLAGS) == 12, "USEROBJECTFLAGS");
static_assert(sizeof(TIME_ZONE_INFORMATION) == 172, "TIME_ZONE_INFORMATION");
static_assert(sizeof(DYNAMIC_TIME_ZONE_INFORMATION) == 432, "DYNAMIC_TIME_ZONE_INFORMATION");
static_assert(sizeof(OSVERSIONINFOEXA) == kOsVersionInfoExSize, "OSVERSIONINFOEXA");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES");
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "SERVICE_STATUS_PROCESS");

// ---------------------------------------------------------------------------
// Constants.

// Error codes (GetLastError and registry results).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr DWORD ERROR_NO_SUCH_PRIVILEGE = 1313;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_NO_TOKEN = 1008;
constexpr DWORD ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION = 1459;
constexpr DWORD ERROR_TIMEOUT = 1460;

// Version query.
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// Tokens and their privileges.
constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ADJUST_PRIVILEGES = 0x0020;
constexpr DWORD SE_PRIVILEGE_ENABLED = 0x0002;
constexpr int SecurityImpersonation = 2;     // SECURITY_IMPERSONATION_LEVEL
constexpr int TokenPrimary = 1;              // TOKEN_TYPE
constexpr int TokenUser = 1;                 // TOKEN_INFORMATION_CLASS
constexpr int TokenElevationType = 18;       // TOKEN_INFORMATION_CLASS, Vista and later
constexpr DWORD TokenElevationTypeFull = 2;  // TOKEN_ELEVATION_TYPE: the elevated half of an administrator

// Message boxes.
constexpr UINT MB_OK = 0x0000;
constexpr UINT MB_YESNO = 0x0004;
constexpr UINT MB_ICONEXCLAMATION = 0x0030;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Files.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
// Opens a folder (needed for any handle on one), and opens a link itself
// rather than what it points to.
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// Registry.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Time zones.
constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

// Security descriptors and objects.
constexpr DWORD SDDL_REVISION_1 = 1;
constexpr int SE_FILE_OBJECT = 1;
constexpr int SE_KERNEL_OBJECT = 6;
constexpr DWORD OWNER_SECURITY_INFORMATION = 0x1;

// Window stations.
constexpr int UOI_FLAGS = 1;
constexpr DWORD WSF_VISIBLE = 0x1;

// Library search.
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;
// A library named by its full path: the libraries it needs are looked for
// in its own folder first, not in the program's.
constexpr DWORD LOAD_WITH_ALTERED_SEARCH_PATH = 0x8;

// Character conversion.
constexpr UINT CP_ACP = 0;

// Service control manager.
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;
constexpr DWORD SC_STATUS_PROCESS_INFO = 0;

// Processes and windows.
constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
constexpr DWORD SystemProcessInformation = 5;
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004U);
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr UINT WM_CLOSE = 0x0010;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD STILL_ACTIVE = 259;

// Handles whose values Windows fixes. They are pointers, so they cannot be
// constexpr; the values are those of the Windows headers for either bitness.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000U)));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001U)));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002U)));

// ---------------------------------------------------------------------------
// Entry points that are bound at run time with GetProcAddress.
using PFN_QueryServiceStatusEx = BOOL(WINAPI*)(SC_HANDLE service, DWORD infoLevel, BYTE* buffer, DWORD bufferSize,
                                               DWORD* bytesNeeded);
using PFN_CreateToolhelp32Snapshot = HANDLE(WINAPI*)(DWORD flags, DWORD processId);
using PFN_Process32First = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32* entry);
using PFN_Process32Next = BOOL(WINAPI*)(HANDLE snapshot, PROCESSENTRY32* entry);
using PFN_ZwQuerySystemInformation = NTSTATUS(WINAPI*)(DWORD infoClass, void* buffer, DWORD bufferSize,
                                                       DWORD* returnLength);
using PFN_GetProcessHeap = HANDLE(WINAPI*)();
using PFN_HeapAlloc = void*(WINAPI*)(HANDLE heap, DWORD flags, SIZE_T bytes);
using PFN_HeapFree = BOOL(WINAPI*)(HANDLE heap, DWORD flags, void* block);
using PFN_GetDynamicTimeZoneInformation = DWORD(WINAPI*)(DYNAMIC_TIME_ZONE_INFORMATION* info);
using PFN_SetDynamicTimeZoneInformation = BOOL(WINAPI*)(const DYNAMIC_TIME_ZONE_INFORMATION* info);
using PFN_ConvertStringSecurityDescriptorToSecurityDescriptorA = BOOL(WINAPI*)(const char* text, DWORD revision,
                                                                               void** descriptor, DWORD* size);
using PFN_GetSecurityInfo = DWORD(WINAPI*)(HANDLE object, int objectType, DWORD what, void** owner, void** group,
                                           void** dacl, void** sacl, void** descriptor);
using PFN_SetDllDirectoryA = BOOL(WINAPI*)(const char* path);
using PFN_SetDefaultDllDirectories = BOOL(WINAPI*)(DWORD flags);
// advapi32, Windows Server 2003, XP x64 and Vista and later.
using PFN_CreateProcessWithTokenW = BOOL(WINAPI*)(HANDLE token, DWORD logonFlags, const WCHAR* application,
                                                  WCHAR* commandLine, DWORD creationFlags, void* environment,
                                                  const WCHAR* currentDirectory, STARTUPINFOW* startupInfo,
                                                  PROCESS_INFORMATION* processInfo);
// userenv (Windows 2000 and later): an account's environment, UTF-16.
using PFN_CreateEnvironmentBlock = BOOL(WINAPI*)(void** environment, HANDLE token, BOOL inherit);
using PFN_DestroyEnvironmentBlock = BOOL(WINAPI*)(void* environment);
// kernel32: the session of a process (Windows 2000 and later), the path of
// its program file (Vista and later), the session at the console (XP and
// later). wtsapi32 (XP and later): the token of a session's user, for SYSTEM.
using PFN_ProcessIdToSessionId = BOOL(WINAPI*)(DWORD processId, DWORD* session);
using PFN_QueryFullProcessImageNameA = BOOL(WINAPI*)(HANDLE process, DWORD flags, char* path, DWORD* size);
using PFN_WTSGetActiveConsoleSessionId = DWORD(WINAPI*)();
using PFN_WTSQueryUserToken = BOOL(WINAPI*)(DWORD session, HANDLE* token);
// kernel32, Vista and later: private object namespaces, which only a
// process whose token holds every SID of the boundary can create.
using PFN_CreateBoundaryDescriptorW = HANDLE(WINAPI*)(const WCHAR* name, DWORD flags);
using PFN_AddSIDToBoundaryDescriptor = BOOL(WINAPI*)(HANDLE* boundary, void* sid);
using PFN_DeleteBoundaryDescriptor = void(WINAPI*)(HANDLE boundary);
using PFN_CreatePrivateNamespaceA = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES* security, void* boundary, const char* alias);
using PFN_OpenPrivateNamespaceA = HANDLE(WINAPI*)(void* boundary, const char* alias);
using PFN_ClosePrivateNamespace = BOOLEAN(WINAPI*)(HANDLE privateNamespace, DWORD flags);
using WNDENUMPROC = BOOL(WINAPI*)(HWND window, LPARAM param);

// ---------------------------------------------------------------------------
// Calls.

// Process, version, environment, console.
BOOL GetVersionExA(OSVERSIONINFOEXA* info);
DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size);
// Standard output of the process in text mode: each "\n" reaches a pipe or
// file as "\r\n", as the C runtime's printf writes it. Each text is written
// through before the call returns.
void WriteStdout(std::string_view text);
[[noreturn]] void ExitProcess(UINT exitCode);
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);
DWORD GetCurrentProcessId();
// The system folder ("C:\Windows\system32"): its length, or the size
// needed when it does not fit (0 on failure).
UINT GetSystemDirectoryA(char* buffer, UINT size);
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);
// The window station of the process, and one of its attributes (UOI_FLAGS:
// whether the user sees it).
HANDLE GetProcessWindowStation();
BOOL GetUserObjectInformationA(HANDLE object, int index, void* info, DWORD length, DWORD* needed);
// Memory that the system allocated for the caller (security descriptors).
void* LocalFree(void* memory);

// Token privileges.
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
BOOL DuplicateTokenEx(HANDLE token, DWORD access, void* tokenAttributes, int impersonationLevel, int tokenType,
                      HANDLE* newToken);
BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, DWORD length, DWORD* returnLength);
BOOL CloseHandle(HANDLE handle);

// Files and profile (INI) files.
DWORD GetFileAttributesA(const char* path);
HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
BOOL SetEndOfFile(HANDLE file);
// Writes what the system holds of the file to disk before it returns.
BOOL FlushFileBuffers(HANDLE file);
BOOL DeleteFileA(const char* path);
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read, void* overlapped);
// Moves the file position; FILE_BEGIN counts from the start.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
// security: a SECURITY_ATTRIBUTES, or null for the folder's inherited security.
BOOL CreateDirectoryA(const char* path, void* security);
BOOL RemoveDirectoryA(const char* path);
// The folder for temporary files, with a backslash at its end; the length.
DWORD GetTempPathA(DWORD size, char* buffer);
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue, char* buffer, DWORD size,
                               const char* path);
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* path);

// Registry. Results are Windows error codes, 0 for success.
LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegOpenKeyA(HKEY root, const char* subKey, HKEY* result);
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegCloseKey(HKEY key);
// Writes what the key (and its subkeys) holds to disk before it returns.
LONG RegFlushKey(HKEY key);

// Active time zone. The dynamic pair (Vista and later) is bound at run time
// from kernel32 through GetModuleHandleA and GetProcAddress.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info);
BOOL SetTimeZoneInformation(const TIME_ZONE_INFORMATION* info);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideLength, char* narrow, int narrowSize,
                        const char* defaultChar, BOOL* usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* narrow, int narrowLength, WCHAR* wide, int wideSize);

// Modules.
HMODULE LoadLibraryA(const char* name);
HMODULE LoadLibraryExA(const char* name, HANDLE reserved, DWORD flags);
HMODULE GetModuleHandleA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// Service control manager (QueryServiceStatusEx is bound at run time).
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access);
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access);
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Clock.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

// Named mutexes (the machine-wide guard of a run). WaitForSingleObject,
// below, takes ownership; CloseHandle closes.
HANDLE CreateMutexA(void* security, BOOL initialOwner, const char* name);
BOOL ReleaseMutex(HANDLE mutex);

// Processes and windows (the process list is read through entry points
// bound at run time).
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
BOOL EnumWindows(WNDENUMPROC callback, LPARAM param);
// The desktop's shell window (the taskbar's process), or null where no
// shell runs on it.
HWND GetShellWindow();
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL CreateProcessA(const char* application, char* commandLine, void* processSecurity, void* threadSecurity,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const char* currentDirectory,
                    STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo);
// The process runs under token, a primary token (CreateProcessWithTokenW,
// bound at run time, is the other way to start one under a token).
BOOL CreateProcessAsUserA(HANDLE token, const char* application, char* commandLine, void* processSecurity,
                          void* threadSecurity, BOOL inheritHandles, DWORD creationFlags, void* environment,
                          const char* currentDirectory, STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo);
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

}  // namespace win

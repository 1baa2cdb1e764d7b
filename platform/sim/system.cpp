// The simulated machine's answers to the version, environment, console,
// window-station, handle and clock calls (the token calls are in tokens.cpp).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {
namespace {

sim::Machine& M() { return sim::Machine::Current(); }

BOOL Fail(DWORD code) {
  M().lastError = code;
  return FALSE;
}

using sim::Str;

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
  sim::PlatformCall();
  const sim::Version& v = M().version;
  M().Record("GetVersionExA(" + std::to_string(info->dwOSVersionInfoSize) + ")");
  const DWORD size = info->dwOSVersionInfoSize;
  if (v.failAll || (size == kOsVersionInfoExSize && v.failExtended) ||
      (size != kOsVersionInfoExSize && size != kOsVersionInfoSize)) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = v.platformId;
  return TRUE;
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  sim::PlatformCall();
  for (const auto& [key, value] : M().environment) {
    if (sim::EqualsNoCase(key, name)) {
      if (value.size() + 1 > size) {
        return static_cast<DWORD>(value.size() + 1);
      }
      return sim::CopyOut(value, buffer, size);
    }
  }
  M().lastError = 203;  // ERROR_ENVVAR_NOT_FOUND
  return 0;
}

void WriteStdout(std::string_view text) {
  sim::PlatformCall();
  M().stdoutWriteStarts.push_back(M().stdoutText.size());
  M().stdoutText.append(text);
}

void ExitProcess(UINT exitCode) {
  sim::PlatformCall();
  M().exitCode = exitCode;
  throw sim::ProcessExit{exitCode};
}

DWORD GetLastError() {
  sim::PlatformCall();
  return M().lastError;
}
void SetLastError(DWORD code) {
  sim::PlatformCall();
  M().lastError = code;
}

DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size) {
  sim::PlatformCall();
  if (module != nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return sim::CopyOut(M().exePath, buffer, size);
}

DWORD GetCurrentProcessId() {
  sim::PlatformCall();
  return sim::Machine::kProcessId;
}

// The length, or the size needed (with the zero) when the buffer is too small.
UINT GetSystemDirectoryA(char* buffer, UINT size) {
  sim::PlatformCall();
  const std::string& folder = M().systemDirectory;
  if (buffer == nullptr || size <= folder.size()) {
    return static_cast<UINT>(folder.size() + 1);
  }
  return sim::CopyOut(folder, buffer, size);
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  sim::PlatformCall();
  sim::MessageBoxes& boxes = M().messageBoxes;
  boxes.shown.push_back({Str(text), Str(caption), type});
  M().Record("MessageBoxA(" + sim::Hex(reinterpret_cast<uintptr_t>(owner)) + ", " + sim::Hex(type) + ")");
  if (!boxes.answers.empty()) {
    const int answer = boxes.answers.front();
    boxes.answers.pop_front();
    return answer;
  }
  return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}

HANDLE GetProcessWindowStation() {
  sim::PlatformCall();
  M().Record("GetProcessWindowStation");
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x2C));
}

BOOL GetUserObjectInformationA(HANDLE object, int index, void* info, DWORD length, DWORD* needed) {
  sim::PlatformCall();
  M().Record("GetUserObjectInformationA(" + std::to_string(index) + ")");
  if (M().windowStation.queryFails || object != reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x2C))) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (index != UOI_FLAGS) {
    return Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  if (needed != nullptr) {
    *needed = sizeof(USEROBJECTFLAGS);
  }
  if (length < sizeof(USEROBJECTFLAGS) || info == nullptr) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  USEROBJECTFLAGS flags{};
  flags.dwFlags = M().windowStation.visible ? WSF_VISIBLE : 0;
  std::memcpy(info, &flags, sizeof flags);
  return TRUE;
}

// Memory the system handed out (a security descriptor) comes from the
// process heap here, so that a test sees a block that was not given back.
void* LocalFree(void* memory) {
  sim::PlatformCall();
  if (memory != nullptr && !M().heap.Free(memory)) {
    M().lastError = ERROR_INVALID_HANDLE;
    return memory;
  }
  return nullptr;
}

// --- Current process (its token is in tokens.cpp) ---

HANDLE GetCurrentProcess() {
  sim::PlatformCall();
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

// --- Clock ---

DWORD GetTickCount() {
  sim::PlatformCall();
  return M().clock.ticks;
}

void Sleep(DWORD milliseconds) {
  sim::PlatformCall();
  M().clock.sleeps.push_back(milliseconds);
  M().clock.ticks += milliseconds;
}

}  // namespace win

// The simulated machine's answers to the version, environment, console,
// window-station, handle and clock calls (the token calls are in tokens.cpp).
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {

using sim::Str;

// The object of a query is the size of its record: 156 for the extended
// one, which NT 4 before SP6 refuses.
BOOL GetVersionExA(OSVERSIONINFOEXA* info) {
  const DWORD size = info->dwOSVersionInfoSize;
  sim::Machine& m = sim::PlatformCall("GetVersionExA", std::to_string(size));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (size != kOsVersionInfoExSize && size != kOsVersionInfoSize) {
    return m.Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  info->dwMajorVersion = m.version.major;
  info->dwMinorVersion = m.version.minor;
  info->dwPlatformId = m.version.platformId;
  return TRUE;
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  sim::Machine& m = sim::PlatformCall("GetEnvironmentVariableA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, DWORD{0});
  }
  for (const auto& [key, value] : m.environment) {
    if (sim::EqualsNoCase(key, name)) {  // the size it needs, where the buffer is too small
      return value.size() + 1 > size ? static_cast<DWORD>(value.size() + 1) : sim::CopyOut(value, buffer, size);
    }
  }
  return m.Fail(203, DWORD{0});  // ERROR_ENVVAR_NOT_FOUND
}

void WriteStdout(std::string_view text) {
  sim::Machine& m = sim::PlatformCall("WriteStdout");
  m.stdoutWriteStarts.push_back(m.stdoutText.size());
  m.stdoutText.append(text);
}

void ExitProcess(UINT exitCode) {
  sim::PlatformCall("ExitProcess");
  throw sim::ProcessExit{exitCode};
}

DWORD GetLastError() { return sim::PlatformCall("GetLastError").lastError; }
void SetLastError(DWORD code) { sim::PlatformCall("SetLastError").lastError = code; }

// The program's own file (the simulation knows no other module's).
DWORD GetModuleFileNameA(HMODULE, char* buffer, DWORD size) {
  sim::Machine& m = sim::PlatformCall("GetModuleFileNameA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, DWORD{0});
  }
  return sim::CopyOut(m.exePath, buffer, size);
}

DWORD GetCurrentProcessId() {
  sim::PlatformCall("GetCurrentProcessId");
  return sim::Machine::kProcessId;
}

// The length copied (the patch's buffer holds any system folder of the tests).
UINT GetSystemDirectoryA(char* buffer, UINT size) {
  sim::Machine& m = sim::PlatformCall("GetSystemDirectoryA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, UINT{0});
  }
  return sim::CopyOut(m.systemDirectory, buffer, size);
}

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type) {
  sim::Machine& m = sim::PlatformCall("MessageBoxA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, 0);
  }
  sim::MessageBoxes& boxes = m.messageBoxes;
  boxes.shown.push_back({Str(text), Str(caption), type, owner});
  if (!boxes.answers.empty()) {
    const int answer = boxes.answers.front();
    boxes.answers.pop_front();
    return answer;
  }
  return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}

HANDLE GetProcessWindowStation() {
  sim::Machine& m = sim::PlatformCall("GetProcessWindowStation");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HANDLE{nullptr});
  }
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x2C));
}

// The flags of the process's window station (UOI_FLAGS, all the patch asks).
BOOL GetUserObjectInformationA(HANDLE, int, void* info, DWORD length, DWORD*) {
  sim::Machine& m = sim::PlatformCall("GetUserObjectInformationA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (length < sizeof(USEROBJECTFLAGS)) {
    return m.Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  const USEROBJECTFLAGS flags{FALSE, FALSE, m.windowStation.visible ? WSF_VISIBLE : 0};
  std::memcpy(info, &flags, sizeof flags);
  return TRUE;
}

// Memory the system handed out (a security descriptor) comes from the
// process heap here, so that a test sees a block that was not given back.
void* LocalFree(void* memory) {
  sim::PlatformCall("LocalFree").heap.Free(memory);
  return nullptr;
}

// --- Current process (its token is in tokens.cpp) ---

HANDLE GetCurrentProcess() {
  sim::PlatformCall("GetCurrentProcess");
  return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

// --- Clock ---

DWORD GetTickCount() { return sim::PlatformCall("GetTickCount").clock.ticks; }

void Sleep(DWORD milliseconds) {
  sim::Machine& m = sim::PlatformCall("Sleep", std::to_string(milliseconds));
  m.clock.sleeps.push_back(milliseconds);
  m.clock.ticks += milliseconds;
}

}  // namespace win

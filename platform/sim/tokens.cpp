// The simulated machine's access tokens: the process token and its
// privileges, the tokens of other processes, and the calls that start a
// process under a token or make an environment for one.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {
namespace {

constexpr DWORD kProcessQueryLimitedInformation = 0x1000;
constexpr DWORD kStartAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY;
constexpr DWORD kBadTokenType = 1349;   // ERROR_BAD_TOKEN_TYPE
constexpr int kTokenImpersonation = 2;  // TOKEN_TYPE
constexpr int kSecurityDelegation = 3;  // the highest SECURITY_IMPERSONATION_LEVEL
constexpr DWORD kTokenAllAccess = 0xF01FF;

sim::Machine& M() { return sim::Machine::Current(); }

BOOL Fail(DWORD code) {
  M().lastError = code;
  return FALSE;
}

using sim::Str;

HANDLE CurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

HANDLE AddToken(const sim::Token::Opened& token, const std::string& label) {
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::Token, label + " " + sim::Hex(token.access));
  M().token.opened[reinterpret_cast<uintptr_t>(handle)] = token;
  return handle;
}

// The open token behind handle with all of the access in need; sets the
// last error and gives null otherwise.
const sim::Token::Opened* OpenedToken(HANDLE handle, DWORD need) {
  auto it = M().token.opened.find(reinterpret_cast<uintptr_t>(handle));
  if (!M().handles.Is(handle, sim::HandleKind::Token) || it == M().token.opened.end()) {
    M().lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((it->second.access & need) != need) {
    M().lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return &it->second;
}

// A token that a process may be started under: primary, opened for what
// starting needs.
const sim::Token::Opened* StartToken(HANDLE handle) {
  const sim::Token::Opened* token = OpenedToken(handle, kStartAccess);
  if (token != nullptr && !token->primary) {
    M().lastError = kBadTokenType;
    return nullptr;
  }
  return token;
}

// The calls that start a process under a token know only what the patch
// asks of them; the rest is refused as a mistake.
bool PlainStart(void* processSecurity, void* threadSecurity, BOOL inheritHandles, const void* currentDirectory,
                const void* startupInfo, const PROCESS_INFORMATION* processInfo) {
  return processSecurity == nullptr && threadSecurity == nullptr && !inheritHandles && currentDirectory == nullptr &&
         startupInfo != nullptr && processInfo != nullptr;
}

// --- Entry points bound at run time ---

// Started through the secondary logon service, which puts the process in
// the caller's session, whatever session the token names, and gives it the
// account's own environment when none is passed.
BOOL WINAPI SimCreateProcessWithTokenW(HANDLE token, DWORD logonFlags, const WCHAR* application, WCHAR* commandLine,
                                       DWORD creationFlags, void* environment, const WCHAR* currentDirectory,
                                       STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : sim::Narrow(commandLine);
  sim::Machine& m = sim::PlatformCall("CreateProcessWithTokenW", line);
  m.processes.commandLines.push_back(line);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);  // 1058: the secondary logon service is disabled
  }
  const sim::Token::Opened* opened = StartToken(token);
  if (opened == nullptr) {
    return FALSE;
  }
  if (!M().token.IsEnabled("SeImpersonatePrivilege")) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD);
  }
  if (logonFlags != 0 || application != nullptr || creationFlags != 0 || environment != nullptr ||
      !PlainStart(nullptr, nullptr, FALSE, currentDirectory, startupInfo, processInfo) ||
      startupInfo->cb != sizeof(STARTUPINFOW)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const sim::Token::Opened account = *opened;
  sim::Process* p = sim::StartProcess(nullptr, line, processInfo);
  if (p == nullptr) {
    return FALSE;
  }
  p->user = account.user;
  p->elevationType = account.elevationType;
  p->session = M().token.session;
  p->startedBy = "CreateProcessWithTokenW";
  p->environment = account.user;
  return TRUE;
}

// The token of the user logged on in a session (here: of the first
// explorer.exe there), for SYSTEM holding the TCB privilege only.
BOOL WINAPI SimWTSQueryUserToken(DWORD session, HANDLE* token) {
  sim::Machine& m = sim::PlatformCall("WTSQueryUserToken", std::to_string(session));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (token == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (M().token.user != sim::kSystemSid || !M().token.IsEnabled("SeTcbPrivilege")) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD);
  }
  for (const sim::Process* p : M().processes.Named("explorer.exe")) {
    if (p->running && p->session == session) {
      *token = AddToken({p->user, p->session, true, kTokenAllAccess, p->elevationType},
                        "user of " + std::to_string(session));
      return TRUE;
    }
  }
  return Fail(ERROR_NO_TOKEN);
}

BOOL WINAPI SimCreateEnvironmentBlock(void** environment, HANDLE token, BOOL inherit) {
  sim::Machine& m = sim::PlatformCall("CreateEnvironmentBlock");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (inherit) {
    return m.Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE);
  if (opened == nullptr) {
    return FALSE;
  }
  if (environment == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // From the process heap, so that a block not given back shows.
  *environment = M().heap.Alloc(64);
  M().token.environments[*environment] = opened->user;
  return TRUE;
}

BOOL WINAPI SimDestroyEnvironmentBlock(void* environment) {
  sim::PlatformCall("DestroyEnvironmentBlock");
  if (M().token.environments.erase(environment) == 0 || !M().heap.Free(environment)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

}  // namespace

// --- Calls ---

// The process's own token (GetCurrentProcess), or that of a process opened
// for querying it.
// The object is "self" for the process's own token, else the id of the
// process whose token it is.
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  auto it = M().processes.opened.find(reinterpret_cast<uintptr_t>(process));
  const bool own = process == CurrentProcess();
  const bool known = M().handles.Is(process, sim::HandleKind::Process) && it != M().processes.opened.end();
  sim::Machine& m = sim::PlatformCall("OpenProcessToken", own ? "self" : known ? std::to_string(it->second.id) : "?");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (token == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (own) {
    *token = AddToken({M().token.user, M().token.session, true, access, M().token.elevationType}, "process token");
    return TRUE;
  }
  if (!known) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  const sim::Process* p = M().processes.Find(it->second.id);
  if ((it->second.access & (PROCESS_QUERY_INFORMATION | kProcessQueryLimitedInformation)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  *token = AddToken({p->user, p->session, true, access, p->elevationType}, "token of " + std::to_string(p->id));
  return TRUE;
}

BOOL DuplicateTokenEx(HANDLE token, DWORD access, void* tokenAttributes, int impersonationLevel, int tokenType,
                      HANDLE* newToken) {
  sim::Machine& m = sim::PlatformCall("DuplicateTokenEx");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_DUPLICATE);
  if (opened == nullptr) {
    return FALSE;
  }
  if (tokenAttributes != nullptr || newToken == nullptr || impersonationLevel < 0 ||
      impersonationLevel > kSecurityDelegation || (tokenType != TokenPrimary && tokenType != kTokenImpersonation)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *newToken =
      AddToken({opened->user, opened->session, tokenType == TokenPrimary, access, opened->elevationType}, "duplicate");
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, DWORD length, DWORD* returnLength) {
  sim::Machine& m = sim::PlatformCall("GetTokenInformation", std::to_string(infoClass));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_QUERY);
  if (opened == nullptr) {
    return FALSE;
  }
  if (infoClass == TokenElevationType && returnLength != nullptr) {
    if (M().version.major < 6) {
      return Fail(ERROR_INVALID_PARAMETER);  // a class that Windows before Vista does not know
    }
    *returnLength = sizeof(DWORD);
    if (length < sizeof(DWORD) || info == nullptr) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(info, &opened->elevationType, sizeof(DWORD));
    return TRUE;
  }
  if (infoClass != TokenUser || returnLength == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  const std::vector<BYTE> sid = sim::SidBytes(opened->user);
  *returnLength = static_cast<DWORD>(sizeof(TOKEN_USER) + sid.size());
  if (length < *returnLength || info == nullptr) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  auto* bytes = static_cast<BYTE*>(info);
  std::memcpy(bytes + sizeof(TOKEN_USER), sid.data(), sid.size());
  TOKEN_USER user{};
  user.User.Sid = bytes + sizeof(TOKEN_USER);
  std::memcpy(bytes, &user, sizeof user);
  return TRUE;
}

// In the token's session and with the environment given (a Unicode block
// from CreateEnvironmentBlock), else the caller's. The caller needs
// SeAssignPrimaryTokenPrivilege, which only services' accounts hold.
BOOL CreateProcessAsUserA(HANDLE token, const char* application, char* commandLine, void* processSecurity,
                          void* threadSecurity, BOOL inheritHandles, DWORD creationFlags, void* environment,
                          const char* currentDirectory, STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : commandLine;
  sim::Machine& m = sim::PlatformCall("CreateProcessAsUserA", line);
  m.processes.commandLines.push_back(line);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Token::Opened* opened = StartToken(token);
  if (opened == nullptr) {
    return FALSE;
  }
  if (!M().token.IsEnabled("SeAssignPrimaryTokenPrivilege")) {
    return Fail(ERROR_PRIVILEGE_NOT_HELD);
  }
  const auto block = M().token.environments.find(environment);
  if (!PlainStart(processSecurity, threadSecurity, inheritHandles, currentDirectory, startupInfo, processInfo) ||
      creationFlags != (environment == nullptr ? 0 : CREATE_UNICODE_ENVIRONMENT) ||
      (environment != nullptr && block == M().token.environments.end())) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const sim::Token::Opened account = *opened;
  sim::Process* p = sim::StartProcess(application, line, processInfo);
  if (p == nullptr) {
    return FALSE;
  }
  p->user = account.user;
  p->elevationType = account.elevationType;
  p->session = account.session;
  p->startedBy = "CreateProcessAsUserA";
  p->environment = environment == nullptr ? "" : block->second;
  p->desktop = Str(startupInfo->lpDesktop);
  return TRUE;
}

BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid) {
  sim::Machine& m = sim::PlatformCall("LookupPrivilegeValueA", Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  auto it = M().token.privileges.find(Str(name));
  if (systemName != nullptr || it == M().token.privileges.end()) {
    return Fail(ERROR_NO_SUCH_PRIVILEGE);
  }
  *luid = it->second.luid;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength) {
  const LUID_AND_ATTRIBUTES* first = newState == nullptr ? nullptr : &newState->Privileges[0];
  std::string privilege = "?";
  for (const auto& [name, known] : M().token.privileges) {
    if (first != nullptr && known.luid.LowPart == first->Luid.LowPart && known.luid.HighPart == first->Luid.HighPart) {
      privilege = name + (first->Attributes & SE_PRIVILEGE_ENABLED ? " on" : " off");
    }
  }
  sim::Machine& m = sim::PlatformCall("AdjustTokenPrivileges", privilege);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!M().handles.Is(token, sim::HandleKind::Token)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (disableAll || newState == nullptr || bufferLength != 0 || previousState != nullptr || returnLength != nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  bool allAssigned = true;
  for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = newState->Privileges[i];
    auto match = std::find_if(M().token.privileges.begin(), M().token.privileges.end(), [&](const auto& p) {
      return p.second.luid.LowPart == entry.Luid.LowPart && p.second.luid.HighPart == entry.Luid.HighPart;
    });
    if (match == M().token.privileges.end() || !match->second.held) {
      allAssigned = false;
      continue;
    }
    match->second.enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  // Windows reports success even when the token lacks a privilege, and says
  // so only through the last error.
  M().lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  return TRUE;
}

}  // namespace win

namespace sim {

void RegisterTokenExports(Modules& modules) {
  modules.Export("advapi32.dll", "CreateProcessWithTokenW",
                 reinterpret_cast<win::FARPROC>(&win::SimCreateProcessWithTokenW));
  modules.Export("wtsapi32.dll", "WTSQueryUserToken", reinterpret_cast<win::FARPROC>(&win::SimWTSQueryUserToken));
  modules.Export("userenv.dll", "CreateEnvironmentBlock",
                 reinterpret_cast<win::FARPROC>(&win::SimCreateEnvironmentBlock));
  modules.Export("userenv.dll", "DestroyEnvironmentBlock",
                 reinterpret_cast<win::FARPROC>(&win::SimDestroyEnvironmentBlock));
}

}  // namespace sim

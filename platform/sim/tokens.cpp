// The simulated machine's access tokens: the process token and its
// privileges, the tokens of other processes, and the calls that start a
// process under a token or make an environment for one.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"
#include "platform/win.h"

namespace win {
namespace {

constexpr DWORD kStartAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY;
constexpr DWORD kTokenAllAccess = 0xF01FF;

sim::Machine& M() { return sim::Machine::Current(); }

HANDLE AddToken(const sim::Token::Opened& token, const std::string& label) {
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::Token, label + " " + sim::Hex(token.access));
  M().token.opened[reinterpret_cast<uintptr_t>(handle)] = token;
  return handle;
}

// The token behind an open token handle with all of the access in need,
// once the call is recorded; null, with the last error set (a planted
// fault's first), otherwise.
const sim::Token::Opened* OpenedToken(HANDLE handle, DWORD need) {
  if (const auto error = M().PlantedError()) {
    return M().Fail<const sim::Token::Opened*>(*error, nullptr);
  }
  return sim::OpenedRecord(M().token.opened, handle, sim::HandleKind::Token, need);
}

// The token that a process may be started under: primary, opened for what
// starting needs, by a caller whose privilege is enabled; null, with the
// last error set, otherwise.
const sim::Token::Opened* StartToken(HANDLE handle, const char* privilege) {
  const sim::Token::Opened* token = OpenedToken(handle, kStartAccess);
  if (token != nullptr && !token->primary) {
    return M().Fail<const sim::Token::Opened*>(1349, nullptr);  // ERROR_BAD_TOKEN_TYPE
  }
  if (token != nullptr && !M().token.IsEnabled(privilege)) {
    return M().Fail<const sim::Token::Opened*>(ERROR_PRIVILEGE_NOT_HELD, nullptr);
  }
  return token;
}

// --- Entry points bound at run time ---

// Started through the secondary logon service, which puts the process in
// the caller's session, whatever session the token names, and gives it the
// account's own environment when none is passed.
BOOL WINAPI SimCreateProcessWithTokenW(HANDLE token, DWORD, const WCHAR*, WCHAR* commandLine, DWORD, void*,
                                       const WCHAR*, STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : sim::Narrow(commandLine);
  sim::Machine& m = sim::PlatformCall("CreateProcessWithTokenW", line);
  m.processes.commandLines.push_back(line);
  // A planted 1058: the secondary logon service is disabled.
  const sim::Token::Opened* account = StartToken(token, "SeImpersonatePrivilege");
  if (account == nullptr) {
    return FALSE;
  }
  if (startupInfo->cb != sizeof(STARTUPINFOW)) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  sim::Process* p = sim::StartProcess("CreateProcessWithTokenW", nullptr, line, account->user, m.token.session,
                                      account->elevationType, processInfo);
  if (p == nullptr) {
    return FALSE;
  }
  p->environment = account->user;
  return TRUE;
}

// The token of the user logged on in a session (here: of the first
// explorer.exe there), for SYSTEM holding the TCB privilege only.
BOOL WINAPI SimWTSQueryUserToken(DWORD session, HANDLE* token) {
  sim::Machine& m = sim::PlatformCall("WTSQueryUserToken", std::to_string(session));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (m.token.user != sim::kSystemSid || !m.token.IsEnabled("SeTcbPrivilege")) {
    return m.Fail(ERROR_PRIVILEGE_NOT_HELD);
  }
  for (const sim::Process& p : m.processes.list) {
    if (p.running && p.session == session && sim::EqualsNoCase(p.image, "explorer.exe")) {
      *token =
          AddToken({p.user, p.session, true, kTokenAllAccess, p.elevationType}, "user of " + std::to_string(session));
      return TRUE;
    }
  }
  return m.Fail(ERROR_NO_TOKEN);
}

BOOL WINAPI SimCreateEnvironmentBlock(void** environment, HANDLE token, BOOL) {
  sim::Machine& m = sim::PlatformCall("CreateEnvironmentBlock");
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE);
  if (opened == nullptr) {
    return FALSE;
  }
  // From the process heap, so that a block not given back shows.
  *environment = m.heap.Alloc(64);
  m.token.environments[*environment] = opened->user;
  return TRUE;
}

// The patch does not read the result: a block not given back shows in the heap.
BOOL WINAPI SimDestroyEnvironmentBlock(void* environment) {
  sim::Machine& m = sim::PlatformCall("DestroyEnvironmentBlock");
  m.token.environments.erase(environment);
  return m.heap.Free(environment) ? TRUE : m.Fail(ERROR_INVALID_PARAMETER);
}

}  // namespace

// --- Calls ---

// The process's own token (GetCurrentProcess), or that of a process opened
// for querying it.
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  sim::Machine& m = sim::PlatformCall("OpenProcessToken", sim::ProcessIdOf(process));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (process == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
    *token = AddToken({m.token.user, m.token.session, true, access, m.token.elevationType}, "process token");
    return TRUE;
  }
  const auto* opened =
      sim::OpenedRecord(m.processes.opened, process, sim::HandleKind::Process, PROCESS_QUERY_LIMITED_INFORMATION);
  if (opened == nullptr) {
    return FALSE;
  }
  const sim::Process* p = m.processes.Find(opened->id);
  *token = AddToken({p->user, p->session, true, access, p->elevationType}, "token of " + std::to_string(p->id));
  return TRUE;
}

BOOL DuplicateTokenEx(HANDLE token, DWORD access, void*, int, int tokenType, HANDLE* newToken) {
  sim::PlatformCall("DuplicateTokenEx");
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_DUPLICATE);
  if (opened == nullptr) {
    return FALSE;
  }
  *newToken =
      AddToken({opened->user, opened->session, tokenType == TokenPrimary, access, opened->elevationType}, "duplicate");
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, int infoClass, void* info, DWORD length, DWORD* returnLength) {
  sim::Machine& m = sim::PlatformCall("GetTokenInformation", std::to_string(infoClass));
  const sim::Token::Opened* opened = OpenedToken(token, TOKEN_QUERY);
  if (opened == nullptr) {
    return FALSE;
  }
  std::vector<BYTE> answer(sizeof(DWORD));
  if (infoClass == TokenElevationType && m.version.major >= 6) {
    std::memcpy(answer.data(), &opened->elevationType, sizeof(DWORD));
  } else if (infoClass == TokenUser) {
    const TOKEN_USER user{{static_cast<BYTE*>(info) + sizeof(TOKEN_USER), 0}};  // the SID follows the record
    const std::vector<BYTE> sid = sim::SidBytes(opened->user);
    answer.assign(reinterpret_cast<const BYTE*>(&user), reinterpret_cast<const BYTE*>(&user + 1));
    answer.insert(answer.end(), sid.begin(), sid.end());
  } else {
    return m.Fail(ERROR_INVALID_PARAMETER);  // elevation before Vista, or a class that the patch never asks for
  }
  *returnLength = static_cast<DWORD>(answer.size());
  if (length < answer.size()) {
    return m.Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(info, answer.data(), answer.size());
  return TRUE;
}

// In the token's session and with the environment given (a Unicode block
// from CreateEnvironmentBlock), else the caller's. The caller needs
// SeAssignPrimaryTokenPrivilege, which only services' accounts hold.
BOOL CreateProcessAsUserA(HANDLE token, const char* application, char* commandLine, void*, void*, BOOL inheritHandles,
                          DWORD creationFlags, void* environment, const char*, STARTUPINFOA* startupInfo,
                          PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : commandLine;
  sim::Machine& m = sim::PlatformCall("CreateProcessAsUserA", line);
  m.processes.commandLines.push_back(line);
  const sim::Token::Opened* account = StartToken(token, "SeAssignPrimaryTokenPrivilege");
  if (account == nullptr) {
    return FALSE;
  }
  const auto block = m.token.environments.find(environment);
  if (inheritHandles || creationFlags != (environment == nullptr ? 0 : CREATE_UNICODE_ENVIRONMENT) ||
      (environment != nullptr && block == m.token.environments.end())) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  sim::Process* p = sim::StartProcess("CreateProcessAsUserA", application, line, account->user, account->session,
                                      account->elevationType, processInfo);
  if (p == nullptr) {
    return FALSE;
  }
  p->environment = environment == nullptr ? "" : block->second;
  p->desktop = sim::Str(startupInfo->lpDesktop);
  return TRUE;
}

BOOL LookupPrivilegeValueA(const char*, const char* name, LUID* luid) {
  sim::Machine& m = sim::PlatformCall("LookupPrivilegeValueA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  auto it = m.token.privileges.find(sim::Str(name));
  if (it == m.token.privileges.end()) {
    return m.Fail(ERROR_NO_SUCH_PRIVILEGE);
  }
  *luid = it->second.luid;
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL, TOKEN_PRIVILEGES* newState, DWORD, TOKEN_PRIVILEGES*, DWORD*) {
  auto& known = M().token.privileges;
  const LUID_AND_ATTRIBUTES& first = newState->Privileges[0];
  const auto named = std::find_if(known.begin(), known.end(), [&first](const auto& p) {
    return p.second.luid.LowPart == first.Luid.LowPart && p.second.luid.HighPart == first.Luid.HighPart;
  });
  sim::Machine& m = sim::PlatformCall(
      "AdjustTokenPrivileges",
      named == known.end() ? "?" : named->first + (first.Attributes & SE_PRIVILEGE_ENABLED ? " on" : " off"));
  if (OpenedToken(token, TOKEN_ADJUST_PRIVILEGES) == nullptr) {
    return FALSE;
  }
  // TOKEN_PRIVILEGES holds one entry: a count beyond it has Windows read
  // past the caller's record.
  if (newState->PrivilegeCount != 1) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  const bool allAssigned = named != known.end() && named->second.held;
  if (allAssigned) {
    named->second.enabled = (first.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  // Windows reports success even when the token lacks a privilege, and says
  // so only through the last error.
  m.lastError = allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  return TRUE;
}

}  // namespace win

namespace sim {

void RegisterTokenExports(Modules& modules) {
  modules.Export("advapi32.dll", "CreateProcessWithTokenW", &win::SimCreateProcessWithTokenW);
  modules.Export("wtsapi32.dll", "WTSQueryUserToken", &win::SimWTSQueryUserToken);
  modules.Export("userenv.dll", "CreateEnvironmentBlock", &win::SimCreateEnvironmentBlock);
  modules.Export("userenv.dll", "DestroyEnvironmentBlock", &win::SimDestroyEnvironmentBlock);
}

}  // namespace sim

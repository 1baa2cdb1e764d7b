#include "site/process_start.h"

#include <cstring>
#include <optional>

#include "app/os.h"
#include "app/text.h"
#include "site/process_finder.h"

namespace {

// What starting a process under a token needs of it (CreateEnvironmentBlock
// also impersonates it).
constexpr win::DWORD kStartAccess =
    win::TOKEN_ASSIGN_PRIMARY | win::TOKEN_DUPLICATE | win::TOKEN_QUERY | win::TOKEN_IMPERSONATE;

win::UniqueHandle PrimaryTokenOf(win::HANDLE process) {
  win::UniqueHandle token;
  win::UniqueHandle primary;
  if (!win::OpenProcessToken(process, win::TOKEN_DUPLICATE | win::TOKEN_QUERY, token.put()) ||
      !win::DuplicateTokenEx(token.get(), kStartAccess, nullptr, win::SecurityImpersonation, win::TokenPrimary,
                             primary.put())) {
    return {};
  }
  return primary;
}

// A path as Windows reads it: each run of backslashes after the first
// character as one ("C:\Site\\bin", from a root that ends in a backslash).
std::string OneBackslashEach(std::string_view path) {
  std::string kept;
  for (size_t i = 0; i < path.size(); ++i) {
    if (i < 2 || path[i] != '\\' || path[i - 1] != '\\') {
      kept += path[i];
    }
  }
  return kept;
}

// Whether the open process runs the program file at path.
bool Runs(win::HANDLE process, const std::string& path) {
  const auto query =
      Bind<win::PFN_QueryFullProcessImageNameA>(win::GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA");
  char image[1024];
  win::DWORD size = sizeof image;
  return query != nullptr && query(process, 0, image, &size) && size < sizeof image &&
         EqualsIgnoringCase(OneBackslashEach(std::string_view(image, size)), OneBackslashEach(path));
}

// A token's account (its SID's bytes) and whether it is an administrator's
// elevated half; nothing where the token cannot be read.
struct Account {
  std::string sid;
  std::optional<bool> elevated;  // none before Vista, which has no elevation
};

std::optional<Account> AccountOf(win::HANDLE token) {
  Account account{TokenAccount(token), {}};
  win::DWORD type = 0;
  win::DWORD size = 0;
  if (account.sid.empty()) {
    return std::nullopt;
  }
  if (win::GetTokenInformation(token, win::TokenElevationType, &type, sizeof type, &size)) {
    account.elevated = type == win::TokenElevationTypeFull;
  }
  return account;
}

win::UniqueHandle OwnToken() {
  win::UniqueHandle own;
  win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, own.put());
  return own;
}

bool RunsAsSystem() {
  const std::string own = OwnAccount();
  return !own.empty() && IsSystemSid(own.data());
}

// Whether this process's own token may stand in for token: the same
// account, and not more elevated (before Vista, the same account is enough).
bool OwnTokenWillDo(win::HANDLE token) {
  const win::UniqueHandle own = OwnToken();
  const std::optional<Account> mine = own ? AccountOf(own.get()) : std::nullopt;
  const std::optional<Account> theirs = AccountOf(token);
  if (!mine || !theirs || mine->sid != theirs->sid) {
    return false;
  }
  return !mine->elevated.value_or(false) || theirs->elevated.value_or(false);
}

// The token of the user at the console, for a run as SYSTEM; error gets why
// there is none (1008, ERROR_NO_TOKEN: nobody is logged on there).
win::UniqueHandle ConsoleUserToken(win::DWORD& error) {
  const auto consoleSession = Bind<win::PFN_WTSGetActiveConsoleSessionId>(win::GetModuleHandleA("kernel32.dll"),
                                                                          "WTSGetActiveConsoleSessionId");
  const win::UniqueModule wtsapi = LoadSystemLibrary("wtsapi32.dll");
  const auto queryUserToken = Bind<win::PFN_WTSQueryUserToken>(wtsapi.get(), "WTSQueryUserToken");
  if (consoleSession == nullptr || queryUserToken == nullptr) {
    error = win::ERROR_PROC_NOT_FOUND;  // Windows 2000
    return {};
  }
  const EnabledPrivileges tcb{"SeTcbPrivilege"};
  win::UniqueHandle token;
  if (!queryUserToken(consoleSession(), token.put())) {
    error = win::GetLastError();
  }
  return token;
}

// The primary token of process processId when it runs in session; error
// gets why there is none where a call failed.
win::UniqueHandle TokenInSession(const Sessions& sessions, win::DWORD processId, std::optional<win::DWORD> session,
                                 win::DWORD& error) {
  const std::optional<win::DWORD> its = sessions.Of(processId);
  if (!its) {
    error = win::GetLastError();
  }
  if (!session || its != session) {
    return {};
  }
  win::UniqueHandle token = TakeProcessToken(processId);
  if (!token) {
    error = win::GetLastError();
  }
  return token;
}

// The environment of a token's account, as its logon made it; given back
// when the owner goes. Null when userenv.dll cannot give it: a process
// started with none gets this one's environment.
class EnvironmentBlock {
 public:
  explicit EnvironmentBlock(win::HANDLE token) : userenv_(LoadSystemLibrary("userenv.dll")) {
    const auto create = Bind<win::PFN_CreateEnvironmentBlock>(userenv_.get(), "CreateEnvironmentBlock");
    destroy_ = Bind<win::PFN_DestroyEnvironmentBlock>(userenv_.get(), "DestroyEnvironmentBlock");
    if (create == nullptr || destroy_ == nullptr || !create(&block_, token, win::FALSE)) {
      block_ = nullptr;
    }
  }
  EnvironmentBlock(const EnvironmentBlock&) = delete;
  EnvironmentBlock& operator=(const EnvironmentBlock&) = delete;
  ~EnvironmentBlock() {
    if (block_ != nullptr) {
      destroy_(block_);
    }
  }
  [[nodiscard]] void* get() const { return block_; }

 private:
  win::UniqueModule userenv_;  // first in, so freed after the block
  win::PFN_DestroyEnvironmentBlock destroy_ = nullptr;
  void* block_ = nullptr;
};

// A service's process runs on a window station that no user sees: the
// started process is put on the interactive desktop of its session.
// Each of the starts gives 0 once the process is created, else the error of
// the call that failed (taken before the privileges are given back).
win::DWORD StartAsUser(win::HANDLE token, std::string& commandLine, win::PROCESS_INFORMATION& info) {
  const EnabledPrivileges assign{"SeAssignPrimaryTokenPrivilege", "SeIncreaseQuotaPrivilege"};
  const EnvironmentBlock environment(token);
  char desktop[] = "winsta0\\default";
  win::STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  return win::CreateProcessAsUserA(token, nullptr, commandLine.data(), nullptr, nullptr, win::FALSE,
                                   environment.get() == nullptr ? 0 : win::CREATE_UNICODE_ENVIRONMENT,
                                   environment.get(), nullptr, &startup, &info)
             ? 0
             : win::GetLastError();
}

// Without an environment block the system gives the process its account's.
win::DWORD StartWithToken(win::HANDLE token, const std::string& commandLine, win::PROCESS_INFORMATION& info) {
  const auto createWithToken =
      Bind<win::PFN_CreateProcessWithTokenW>(win::GetModuleHandleA("advapi32.dll"), "CreateProcessWithTokenW");
  if (createWithToken == nullptr) {
    return win::ERROR_PROC_NOT_FOUND;  // Windows 2000 and XP
  }
  const int size = win::MultiByteToWideChar(win::CP_ACP, 0, commandLine.c_str(), -1, nullptr, 0);
  std::u16string wide(static_cast<size_t>(size > 0 ? size : 0), u'\0');
  if (size <= 0 || win::MultiByteToWideChar(win::CP_ACP, 0, commandLine.c_str(), -1, wide.data(), size) != size) {
    return win::GetLastError();
  }
  const EnabledPrivileges impersonate{"SeImpersonatePrivilege"};
  win::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return createWithToken(token, 0, nullptr, wide.data(), 0, nullptr, nullptr, &startup, &info) ? 0
                                                                                               : win::GetLastError();
}

win::DWORD StartAsThisProcess(std::string& commandLine, win::PROCESS_INFORMATION& info) {
  win::STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return win::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                             &info)
             ? 0
             : win::GetLastError();
}

}  // namespace

win::UniqueHandle TakeProcessToken(win::DWORD processId, const std::string& program) {
  const win::UniqueHandle process(win::OpenProcess(win::PROCESS_QUERY_INFORMATION, win::FALSE, processId));
  if (!process || (!program.empty() && !Runs(process.get(), program))) {
    return {};
  }
  return PrimaryTokenOf(process.get());
}

win::UniqueHandle TakeSessionUserToken(win::DWORD& error) {
  error = 0;
  if (RunsAsSystem()) {
    return ConsoleUserToken(error);
  }
  // The debug privilege opens the process of another account (a clerk's
  // shell while an administrator runs the patch on the clerk's desktop).
  const EnabledPrivileges debug{"SeDebugPrivilege"};
  const Sessions sessions;
  const std::optional<win::DWORD> session = sessions.Of(win::GetCurrentProcessId());
  if (!session) {
    error = win::GetLastError();
    return {};
  }
  win::DWORD shellOwner = 0;
  const win::HWND shell = win::GetShellWindow();
  if (shell != nullptr && win::GetWindowThreadProcessId(shell, &shellOwner) != 0) {
    if (win::UniqueHandle token = TokenInSession(sessions, shellOwner, session, error)) {
      return token;
    }
  }
  win::UniqueHandle token;
  ProcessFinder finder;
  finder.ForEachProcess("explorer.exe", [&](win::DWORD processId) {
    token = TokenInSession(sessions, processId, session, error);
    return token.valid();
  });
  if (finder.ListError() != 0) {
    error = finder.ListError();
  }
  return token;
}

// The command line is taken by value: CreateProcessA wants a buffer that it
// may write to.
// cppcheck-suppress passedByValue
win::BOOL StartProcessAndWait(std::string commandLine, win::DWORD timeout, win::HANDLE token) {
  win::PROCESS_INFORMATION info{};
  win::DWORD error = 0;
  if (token == nullptr) {
    error = StartAsThisProcess(commandLine, info);
  } else if (RunsAsSystem()) {
    error = StartAsUser(token, commandLine, info);
  } else {
    error = StartWithToken(token, commandLine, info);
    if (error != 0 && OwnTokenWillDo(token)) {
      info = {};
      error = StartAsThisProcess(commandLine, info);
    }
  }
  if (error != 0) {
    win::SetLastError(error);
    return win::FALSE;
  }
  // Declared in this order so that the thread handle is closed first. A
  // manager that was created is started, whatever its exit status says: a
  // failed read of it does not make a second one worth starting by hand.
  const win::UniqueHandle process(info.hProcess);
  const win::UniqueHandle thread(info.hThread);
  win::WaitForSingleObject(process.get(), timeout);
  win::DWORD exitCode = 0;
  win::GetExitCodeProcess(process.get(), &exitCode);
  return win::TRUE;
}

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

// The token of the user at the console, for a run as SYSTEM.
win::UniqueHandle ConsoleUserToken() {
  const auto consoleSession = Bind<win::PFN_WTSGetActiveConsoleSessionId>(win::GetModuleHandleA("kernel32.dll"),
                                                                          "WTSGetActiveConsoleSessionId");
  const win::UniqueModule wtsapi = LoadSystemLibrary("wtsapi32.dll");
  const auto queryUserToken = Bind<win::PFN_WTSQueryUserToken>(wtsapi.get(), "WTSQueryUserToken");
  if (consoleSession == nullptr || queryUserToken == nullptr) {
    return {};
  }
  const EnabledPrivileges tcb{"SeTcbPrivilege"};
  win::UniqueHandle token;
  if (!queryUserToken(consoleSession(), token.put())) {
    return {};
  }
  return token;
}

// The primary token of process processId when it runs in session.
win::UniqueHandle TokenInSession(win::DWORD processId, std::optional<win::DWORD> session) {
  if (!session || SessionOf(processId) != session) {
    return {};
  }
  return TakeProcessToken(processId);
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
bool StartAsUser(win::HANDLE token, std::string& commandLine, win::PROCESS_INFORMATION& info) {
  const EnabledPrivileges assign{"SeAssignPrimaryTokenPrivilege", "SeIncreaseQuotaPrivilege"};
  const EnvironmentBlock environment(token);
  char desktop[] = "winsta0\\default";
  win::STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  return win::CreateProcessAsUserA(token, nullptr, commandLine.data(), nullptr, nullptr, win::FALSE,
                                   environment.get() == nullptr ? 0 : win::CREATE_UNICODE_ENVIRONMENT,
                                   environment.get(), nullptr, &startup, &info) != win::FALSE;
}

// Without an environment block the system gives the process its account's.
bool StartWithToken(win::HANDLE token, const std::string& commandLine, win::PROCESS_INFORMATION& info) {
  const auto createWithToken =
      Bind<win::PFN_CreateProcessWithTokenW>(win::GetModuleHandleA("advapi32.dll"), "CreateProcessWithTokenW");
  const int size = win::MultiByteToWideChar(win::CP_ACP, 0, commandLine.c_str(), -1, nullptr, 0);
  if (createWithToken == nullptr || size <= 0) {
    return false;
  }
  std::u16string wide(static_cast<size_t>(size), u'\0');
  if (win::MultiByteToWideChar(win::CP_ACP, 0, commandLine.c_str(), -1, wide.data(), size) != size) {
    return false;
  }
  const EnabledPrivileges impersonate{"SeImpersonatePrivilege"};
  win::STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return createWithToken(token, 0, nullptr, wide.data(), 0, nullptr, nullptr, &startup, &info) != win::FALSE;
}

bool StartAsThisProcess(std::string& commandLine, win::PROCESS_INFORMATION& info) {
  win::STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return win::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                             &info) != win::FALSE;
}

}  // namespace

win::UniqueHandle TakeProcessToken(win::DWORD processId, const std::string& program) {
  const win::UniqueHandle process(win::OpenProcess(win::PROCESS_QUERY_INFORMATION, win::FALSE, processId));
  if (!process || (!program.empty() && !Runs(process.get(), program))) {
    return {};
  }
  return PrimaryTokenOf(process.get());
}

win::UniqueHandle TakeSessionUserToken() {
  if (RunsAsSystem()) {
    return ConsoleUserToken();
  }
  // The debug privilege opens the process of another account (a clerk's
  // shell while an administrator runs the patch on the clerk's desktop).
  const EnabledPrivileges debug{"SeDebugPrivilege"};
  const std::optional<win::DWORD> session = SessionOf(win::GetCurrentProcessId());
  win::DWORD shellOwner = 0;
  const win::HWND shell = win::GetShellWindow();
  if (shell != nullptr && win::GetWindowThreadProcessId(shell, &shellOwner) != 0) {
    if (win::UniqueHandle token = TokenInSession(shellOwner, session)) {
      return token;
    }
  }
  win::UniqueHandle token;
  ProcessFinder finder;
  finder.ForEachProcess("explorer.exe", [&](win::DWORD processId) {
    token = TokenInSession(processId, session);
    return token.valid();
  });
  return token;
}

// The command line is taken by value: CreateProcessA wants a buffer that it
// may write to.
// cppcheck-suppress passedByValue
win::BOOL StartProcessAndWait(std::string commandLine, win::DWORD timeout, win::HANDLE token) {
  win::PROCESS_INFORMATION info{};
  bool started = false;
  if (token == nullptr) {
    started = StartAsThisProcess(commandLine, info);
  } else if (RunsAsSystem()) {
    started = StartAsUser(token, commandLine, info);
  } else {
    started = StartWithToken(token, commandLine, info);
    if (!started && OwnTokenWillDo(token)) {
      info = {};
      started = StartAsThisProcess(commandLine, info);
    }
  }
  if (!started) {
    return win::FALSE;
  }
  // Declared in this order so that the thread handle is closed first.
  const win::UniqueHandle process(info.hProcess);
  const win::UniqueHandle thread(info.hThread);
  win::WaitForSingleObject(process.get(), timeout);
  win::DWORD exitCode = 0;
  return win::GetExitCodeProcess(process.get(), &exitCode);
}

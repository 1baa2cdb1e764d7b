#include "site/process_finder.h"

#include <cstring>
#include <string>

#include "app/os.h"
#include "app/text.h"

namespace {

constexpr win::DWORD kOpenAccess = win::SYNCHRONIZE | win::PROCESS_TERMINATE;
constexpr win::DWORD kCloseWait = 5000;
constexpr win::DWORD kFirstQuerySize = 0x8000;
// What starting a process under a token needs of it (CreateEnvironmentBlock
// also impersonates it).
constexpr win::DWORD kStartAccess =
    win::TOKEN_ASSIGN_PRIMARY | win::TOKEN_DUPLICATE | win::TOKEN_QUERY | win::TOKEN_IMPERSONATE;

// A block of the process heap, given back when the owner goes.
class HeapBlock {
 public:
  HeapBlock(win::HANDLE heap, win::PFN_HeapFree heapFree, void* block)
      : heap_(heap), heapFree_(heapFree), block_(block) {}
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  ~HeapBlock() {
    if (block_ != nullptr) {
      heapFree_(heap_, 0, block_);
    }
  }
  [[nodiscard]] void* get() const { return block_; }

 private:
  win::HANDLE heap_;
  win::PFN_HeapFree heapFree_;
  void* block_;
};

}  // namespace

ProcessFinder::ProcessFinder() {
  kernel32_.reset(win::LoadLibraryA("Kernel32"));
  if (!kernel32_) {
    return;
  }
  createToolhelp32Snapshot_ = Bind<win::PFN_CreateToolhelp32Snapshot>(kernel32_.get(), "CreateToolhelp32Snapshot");
  process32First_ = Bind<win::PFN_Process32First>(kernel32_.get(), "Process32First");
  process32Next_ = Bind<win::PFN_Process32Next>(kernel32_.get(), "Process32Next");
  if (SnapshotUsable()) {
    return;
  }
  ntdll_.reset(win::LoadLibraryA("ntdll.dll"));
  if (!ntdll_) {
    return;
  }
  zwQuerySystemInformation_ = Bind<win::PFN_ZwQuerySystemInformation>(ntdll_.get(), "ZwQuerySystemInformation");
  getProcessHeap_ = Bind<win::PFN_GetProcessHeap>(kernel32_.get(), "GetProcessHeap");
  heapAlloc_ = Bind<win::PFN_HeapAlloc>(kernel32_.get(), "HeapAlloc");
  heapFree_ = Bind<win::PFN_HeapFree>(kernel32_.get(), "HeapFree");
}

bool ProcessFinder::SnapshotUsable() const {
  return createToolhelp32Snapshot_ != nullptr && process32First_ != nullptr && process32Next_ != nullptr;
}

bool ProcessFinder::SystemQueryUsable() const {
  return zwQuerySystemInformation_ != nullptr && getProcessHeap_ != nullptr && heapAlloc_ != nullptr &&
         heapFree_ != nullptr;
}

win::UniqueHandle ProcessFinder::FindProcess(const char* name, win::DWORD& processId) {
  openError_ = 0;
  if (!kernel32_) {
    return {};
  }
  if (SnapshotUsable()) {
    return FindProcessBySnapshot(name, processId);
  }
  if (SystemQueryUsable()) {
    return FindProcessBySystemQuery(name, processId);
  }
  return {};
}

win::UniqueHandle ProcessFinder::Open(win::DWORD processId) {
  win::UniqueHandle process(win::OpenProcess(kOpenAccess, win::TRUE, processId));
  if (!process) {
    openError_ = win::GetLastError();
  }
  return process;
}

win::UniqueHandle ProcessFinder::FindProcessBySnapshot(const char* name, win::DWORD& processId) {
  win::PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  win::UniqueFile snapshot(createToolhelp32Snapshot_(win::TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    return {};
  }
  for (win::BOOL more = process32First_(snapshot.get(), &entry); more; more = process32Next_(snapshot.get(), &entry)) {
    entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
    const char* slash = std::strrchr(entry.szExeFile, '\\');
    if (EqualsIgnoringCase(slash == nullptr ? entry.szExeFile : slash + 1, name)) {
      processId = entry.th32ProcessID;
      return Open(processId);
    }
  }
  return {};
}

win::UniqueHandle ProcessFinder::FindProcessBySystemQuery(const char* name, win::DWORD& processId) {
  const win::HANDLE heap = getProcessHeap_();
  win::DWORD size = kFirstQuerySize;
  for (;;) {
    const HeapBlock block(heap, heapFree_, heapAlloc_(heap, 0, size));
    if (block.get() == nullptr) {
      return {};
    }
    const win::NTSTATUS status = zwQuerySystemInformation_(win::SystemProcessInformation, block.get(), size, nullptr);
    if (status == win::STATUS_INFO_LENGTH_MISMATCH) {
      // The block goes before the next, larger one is taken. A size that
      // cannot double any more would wrap to 0 and ask for ever.
      if (size > 0x7FFFFFFFU) {
        return {};
      }
      size *= 2;
      continue;
    }
    if (status < 0) {
      return {};
    }
    // Records lie end to end; a record's offset to the next is never trusted
    // to stay inside the block. Each record is copied out before it is read:
    // Windows starts records on 8 bytes, but Wine packs them without
    // alignment.
    const auto* base = static_cast<const win::BYTE*>(block.get());
    for (win::DWORD offset = 0; offset <= size - sizeof(win::SYSTEM_PROCESS_INFORMATION);) {
      win::SYSTEM_PROCESS_INFORMATION record;
      std::memcpy(&record, base + offset, sizeof record);
      char image[260];
      bool converted = true;
      if (record.ImageName.Buffer == nullptr) {
        std::memcpy(image, "Idle", sizeof "Idle");
      } else {
        converted = win::WideCharToMultiByte(win::CP_ACP, 0, record.ImageName.Buffer, -1, image, sizeof image, nullptr,
                                             nullptr) > 0;
      }
      if (converted && EqualsIgnoringCase(image, name)) {
        processId = static_cast<win::DWORD>(reinterpret_cast<uintptr_t>(record.UniqueProcessId));
        return Open(processId);
      }
      if (record.NextEntryOffset == 0 || record.NextEntryOffset > size - offset) {
        break;
      }
      offset += record.NextEntryOffset;
    }
    return {};
  }
}

win::BOOL WINAPI ProcessFinder::CloseProcessWindowsProc(win::HWND window, win::LPARAM param) {
  win::DWORD owner = 0;
  win::GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<win::DWORD>(param)) {
    win::PostMessageA(window, win::WM_CLOSE, 0, 0);
  }
  return win::TRUE;
}

win::DWORD ProcessFinder::CloseProcess(win::HANDLE process, win::DWORD processId) {
  win::EnumWindows(&CloseProcessWindowsProc, static_cast<win::LPARAM>(processId));
  if (win::WaitForSingleObject(process, kCloseWait) == win::WAIT_OBJECT_0) {
    return 0;
  }
  if (!win::TerminateProcess(process, 0)) {
    const win::DWORD error = win::GetLastError();
    // Windows refuses to terminate a process that has just ended by itself.
    return win::WaitForSingleObject(process, 0) == win::WAIT_OBJECT_0 ? 0 : error;
  }
  switch (win::WaitForSingleObject(process, kTerminateWait)) {
    case win::WAIT_OBJECT_0:
      return 0;
    case win::WAIT_TIMEOUT:
      return win::WAIT_TIMEOUT;
    default:
      return win::GetLastError();
  }
}

void ProcessFinder::ReleaseLibraries() {
  createToolhelp32Snapshot_ = nullptr;
  process32First_ = nullptr;
  process32Next_ = nullptr;
  zwQuerySystemInformation_ = nullptr;
  getProcessHeap_ = nullptr;
  heapAlloc_ = nullptr;
  heapFree_ = nullptr;
  kernel32_.reset();
  ntdll_.reset();
}

win::UniqueHandle TakePrimaryToken(win::DWORD processId) {
  const win::UniqueHandle process(win::OpenProcess(win::PROCESS_QUERY_INFORMATION, win::FALSE, processId));
  win::UniqueHandle token;
  win::UniqueHandle primary;
  if (!process || !win::OpenProcessToken(process.get(), win::TOKEN_DUPLICATE | win::TOKEN_QUERY, token.put()) ||
      !win::DuplicateTokenEx(token.get(), kStartAccess, nullptr, win::SecurityImpersonation, win::TokenPrimary,
                             primary.put())) {
    return {};
  }
  return primary;
}

namespace {

bool RunsAsSystem() {
  win::UniqueHandle own;
  alignas(win::TOKEN_USER) win::BYTE buffer[sizeof(win::TOKEN_USER) + 68];  // 68: the longest SID
  win::DWORD size = 0;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), win::TOKEN_QUERY, own.put()) ||
      !win::GetTokenInformation(own.get(), win::TokenUser, buffer, sizeof buffer, &size)) {
    return false;
  }
  win::TOKEN_USER user{};
  std::memcpy(&user, buffer, sizeof user);
  return IsSystemSid(user.User.Sid);
}

// The environment of a token's account, as its logon made it; given back
// when the owner goes. Null when userenv.dll cannot give it: a process
// started with none gets this one's environment.
class EnvironmentBlock {
 public:
  explicit EnvironmentBlock(win::HANDLE token) : userenv_(win::LoadLibraryA("userenv.dll")) {
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

}  // namespace

// The command line is taken by value: CreateProcessA wants a buffer that it
// may write to.
// cppcheck-suppress passedByValue
win::BOOL StartProcessAndWait(std::string commandLine, win::DWORD timeout, win::HANDLE token) {
  win::PROCESS_INFORMATION info{};
  bool started = false;
  if (token != nullptr) {
    started = RunsAsSystem() ? StartAsUser(token, commandLine, info) : StartWithToken(token, commandLine, info);
  }
  if (!started) {
    win::STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    info = {};
    if (!win::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, win::FALSE, 0, nullptr, nullptr, &startup,
                             &info)) {
      return win::FALSE;
    }
  }
  // Declared in this order so that the thread handle is closed first.
  const win::UniqueHandle process(info.hProcess);
  const win::UniqueHandle thread(info.hThread);
  win::WaitForSingleObject(process.get(), timeout);
  win::DWORD exitCode = 0;
  return win::GetExitCodeProcess(process.get(), &exitCode);
}

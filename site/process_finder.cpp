#include "site/process_finder.h"

#include <cstring>
#include <optional>
#include <string>

#include "app/os.h"
#include "app/text.h"

namespace {

constexpr win::DWORD kOpenAccess = win::SYNCHRONIZE | win::PROCESS_TERMINATE;
constexpr win::DWORD kCloseWait = 5000;
constexpr win::DWORD kFirstQuerySize = 0x8000;
constexpr win::DWORD kNoMoreFiles = 18;  // ERROR_NO_MORE_FILES

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
    unbound_ = win::GetLastError();
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
    unbound_ = win::GetLastError();
    return;
  }
  zwQuerySystemInformation_ = Bind<win::PFN_ZwQuerySystemInformation>(ntdll_.get(), "ZwQuerySystemInformation");
  getProcessHeap_ = Bind<win::PFN_GetProcessHeap>(kernel32_.get(), "GetProcessHeap");
  heapAlloc_ = Bind<win::PFN_HeapAlloc>(kernel32_.get(), "HeapAlloc");
  heapFree_ = Bind<win::PFN_HeapFree>(kernel32_.get(), "HeapFree");
  if (!SystemQueryUsable()) {
    unbound_ = win::ERROR_PROC_NOT_FOUND;
  }
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
  listError_ = 0;
  win::UniqueHandle process;
  ForEachProcess(name, [&](win::DWORD id) {
    processId = id;
    process = Open(id);
    return true;  // only the first one counts, even when it cannot be opened
  });
  return process;
}

void ProcessFinder::ForEachProcess(const char* name, const std::function<bool(win::DWORD)>& found) {
  listError_ = 0;
  if (kernel32_ && SnapshotUsable()) {
    EachBySnapshot(name, found);
  } else if (kernel32_ && SystemQueryUsable()) {
    EachBySystemQuery(name, found);
  } else {
    listError_ = unbound_ != 0 ? unbound_ : win::ERROR_PROC_NOT_FOUND;
  }
}

win::UniqueHandle ProcessFinder::Open(win::DWORD processId) {
  win::UniqueHandle process(win::OpenProcess(kOpenAccess, win::TRUE, processId));
  if (!process) {
    openError_ = win::GetLastError();
  }
  return process;
}

void ProcessFinder::EachBySnapshot(const char* name, const std::function<bool(win::DWORD)>& found) {
  win::PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  win::UniqueFile snapshot(createToolhelp32Snapshot_(win::TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    listError_ = win::GetLastError();
    return;
  }
  for (win::BOOL more = process32First_(snapshot.get(), &entry); more; more = process32Next_(snapshot.get(), &entry)) {
    entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
    const char* slash = std::strrchr(entry.szExeFile, '\\');
    if (EqualsIgnoringCase(slash == nullptr ? entry.szExeFile : slash + 1, name) && found(entry.th32ProcessID)) {
      return;
    }
  }
  // The walk ends with "no more files"; anything else cut it short.
  if (const win::DWORD error = win::GetLastError(); error != kNoMoreFiles) {
    listError_ = error;
  }
}

void ProcessFinder::EachBySystemQuery(const char* name, const std::function<bool(win::DWORD)>& found) {
  const win::HANDLE heap = getProcessHeap_();
  win::DWORD size = kFirstQuerySize;
  for (;;) {
    const HeapBlock block(heap, heapFree_, heapAlloc_(heap, 0, size));
    if (block.get() == nullptr) {
      listError_ = win::ERROR_NOT_ENOUGH_MEMORY;
      return;
    }
    const win::NTSTATUS status = zwQuerySystemInformation_(win::SystemProcessInformation, block.get(), size, nullptr);
    if (status == win::STATUS_INFO_LENGTH_MISMATCH) {
      // The block goes before the next, larger one is taken. A size that
      // cannot double any more would wrap to 0 and ask for ever.
      if (size > 0x7FFFFFFFU) {
        listError_ = win::ERROR_NOT_ENOUGH_MEMORY;
        return;
      }
      size *= 2;
      continue;
    }
    if (status < 0) {
      listError_ = static_cast<win::DWORD>(status);
      return;
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
      if (converted && EqualsIgnoringCase(image, name) &&
          found(static_cast<win::DWORD>(reinterpret_cast<uintptr_t>(record.UniqueProcessId)))) {
        return;
      }
      if (record.NextEntryOffset == 0 || record.NextEntryOffset > size - offset) {
        break;
      }
      offset += record.NextEntryOffset;
    }
    return;
  }
}

win::BOOL WINAPI ProcessFinder::CloseProcessWindowsProc(win::HWND window, win::LPARAM param) {
  auto* request = reinterpret_cast<CloseRequest*>(param);
  win::DWORD owner = 0;
  win::GetWindowThreadProcessId(window, &owner);
  if (owner == request->processId && !win::PostMessageA(window, win::WM_CLOSE, 0, 0)) {
    request->error = win::GetLastError();
  }
  return win::TRUE;
}

win::DWORD ProcessFinder::CloseProcess(win::HANDLE process, win::DWORD processId) {
  // A manager that could not be asked to close is not terminated, with its
  // user's unsaved work.
  CloseRequest request{processId, 0};
  if (!win::EnumWindows(&CloseProcessWindowsProc, reinterpret_cast<win::LPARAM>(&request))) {
    return win::GetLastError();
  }
  if (request.error != 0) {
    return request.error;
  }
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

Sessions::Sessions()
    : sessionOf_(Bind<win::PFN_ProcessIdToSessionId>(win::GetModuleHandleA("kernel32.dll"), "ProcessIdToSessionId")) {}

std::optional<win::DWORD> Sessions::Of(win::DWORD processId) const {
  win::DWORD session = 0;
  if (sessionOf_ != nullptr && !sessionOf_(processId, &session)) {
    return std::nullopt;
  }
  return session;  // NT 4 without Terminal Services: one session, 0
}

win::DWORD CloseRequestsReach(win::DWORD processId) {
  if (!WindowStationVisible()) {
    return win::ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION;
  }
  const Sessions sessions;
  const std::optional<win::DWORD> own = sessions.Of(win::GetCurrentProcessId());
  if (!own) {
    return win::GetLastError();
  }
  const std::optional<win::DWORD> theirs = sessions.Of(processId);
  if (!theirs) {
    return win::GetLastError();
  }
  return *own == *theirs ? 0 : win::ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION;
}

// The simulated processes and windows, the process heap, and the Windows
// calls and bound entry points that answer from them.
#include "platform/sim/processes.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {
namespace {

// True once the clock has reached tick, with GetTickCount's wrap-around.
bool Reached(win::DWORD now, win::DWORD tick) { return now - tick < 0x80000000U; }

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Processes::Processes() {
  // Every Windows machine runs the system process; the idle process (id 0)
  // is not in the list but is reported by both ways of listing.
  Process& p = Add("System");
  p.id = kSystemProcessId;
  p.user = kSystemSid;
  p.session = 0;
}

Process& Processes::Add(std::string_view image, const Behaviour& behaviour) {
  Process& p = list_.emplace_back();
  p.id = nextId_;
  nextId_ += 4;
  p.image = std::string(image);
  p.behaviour = behaviour;
  for (int i = 0; i < behaviour.windows; ++i) {
    p.windows.push_back(reinterpret_cast<win::HWND>(nextWindow_));
    nextWindow_ += 0x20;
  }
  return p;
}

// Program files are known by the canonical form of their path, so that any
// spelling Windows accepts for the same file ("C:\\Site\\\\bin\\x.exe",
// other letter case) finds it.
std::string Processes::ProgramKey(const std::string& path) {
  const FileSystem::Resolved r = Machine::Current().files.Resolve(path);
  return r.error == 0 ? r.key : ToLowerAscii(path);
}

void Processes::AddProgram(std::string_view path, const Program& program) {
  programs_[ProgramKey(std::string(path))] = ProgramFile{std::string(path), program};
}

Process* Processes::Find(win::DWORD id) {
  for (Process& p : list_) {
    if (p.id == id) {
      return &p;
    }
  }
  return nullptr;
}

std::vector<const Process*> Processes::Named(std::string_view image) const {
  std::vector<const Process*> found;
  for (const Process& p : list_) {
    if (EqualsNoCase(p.image, image)) {
      found.push_back(&p);
    }
  }
  return found;
}

void Processes::Advance(win::DWORD now) {
  for (Process& p : list_) {
    if (p.running && p.endsAt && Reached(now, *p.endsAt)) {
      End(p, p.behaviour.exitCode);
    }
  }
}

std::optional<win::DWORD> Processes::EndOf(win::DWORD id) const {
  for (const Process& p : list_) {
    if (p.id == id && p.running) {
      return p.endsAt;
    }
  }
  return std::nullopt;
}

void Processes::End(Process& process, win::DWORD exitCode) {
  process.running = false;
  process.exitCode = exitCode;
  process.endsAt.reset();
  process.windows.clear();
}

Process& Processes::Start(const std::string& path, const std::string& commandLine, const Behaviour& behaviour,
                          win::DWORD now) {
  Process& p = Add(LastComponent(path), behaviour);
  p.path = path;
  p.commandLine = commandLine;
  if (behaviour.runFor) {
    p.endsAt = now + *behaviour.runFor;
  }
  return p;
}

const Program* Processes::FindProgram(const std::string& path) const {
  auto it = programs_.find(ProgramKey(path));
  return it == programs_.end() ? nullptr : &it->second.program;
}

std::string Processes::ProgramPath(const std::string& path) const {
  auto it = programs_.find(ProgramKey(path));
  return it == programs_.end() ? path : it->second.path;
}

Process* Processes::OwnerOf(win::HWND window) {
  for (Process& p : list_) {
    if (p.running && std::find(p.windows.begin(), p.windows.end(), window) != p.windows.end()) {
      return &p;
    }
  }
  return nullptr;
}

std::vector<win::HWND> Processes::Windows() const {
  std::vector<win::HWND> all;
  for (const Process& p : list_) {
    if (p.running) {
      all.insert(all.end(), p.windows.begin(), p.windows.end());
    }
  }
  std::sort(all.begin(), all.end());
  return all;
}

std::vector<std::pair<win::DWORD, std::string>> Processes::Running() const {
  std::vector<std::pair<win::DWORD, std::string>> running;
  for (const Process& p : list_) {
    if (p.running) {
      running.emplace_back(p.id, p.image);
    }
  }
  return running;
}

win::HANDLE Heap::Handle() { return reinterpret_cast<win::HANDLE>(static_cast<uintptr_t>(0x00150000)); }

void* Heap::Alloc(win::SIZE_T bytes) {
  Block block{std::make_unique<std::byte[]>(std::max<win::SIZE_T>(bytes, 1)), bytes};
  void* address = block.data.get();
  blocks_.emplace(address, std::move(block));
  return address;
}

std::optional<win::SIZE_T> Heap::SizeOf(void* block) const {
  auto it = blocks_.find(block);
  return it == blocks_.end() ? std::nullopt : std::optional<win::SIZE_T>(it->second.size);
}

std::optional<win::SIZE_T> Heap::Free(void* block) {
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    return std::nullopt;
  }
  const win::SIZE_T size = it->second.size;
  blocks_.erase(it);
  return size;
}

}  // namespace sim

namespace win {
namespace {

constexpr DWORD kProcessAllAccess = 0x001FFFFF;
constexpr DWORD kProcessQueryInformation = 0x0400;
constexpr DWORD kProcessQueryLimitedInformation = 0x1000;

sim::Machine& M() { return sim::Machine::Current(); }
sim::Processes& P() { return M().processes; }

BOOL Fail(DWORD code) {
  M().lastError = code;
  return FALSE;
}

// The process behind an open process or thread handle with all of the
// access in need; sets the last error and gives null otherwise.
sim::Process* Opened(HANDLE handle, DWORD need) {
  P().Advance(M().clock.ticks);
  auto it = P().opened.find(reinterpret_cast<uintptr_t>(handle));
  if (it == P().opened.end() ||
      !(M().handles.Is(handle, sim::HandleKind::Process) || M().handles.Is(handle, sim::HandleKind::Thread))) {
    M().lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((it->second.access & need) != need) {
    M().lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return P().Find(it->second.id);
}

std::string IdOf(HANDLE handle) {
  auto it = P().opened.find(reinterpret_cast<uintptr_t>(handle));
  return it == P().opened.end() ? sim::Hex(reinterpret_cast<uintptr_t>(handle)) : std::to_string(it->second.id);
}

HANDLE AddProcessHandle(const sim::Process& p, DWORD access) {
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::Process, std::to_string(p.id) + " " + p.image);
  P().opened[reinterpret_cast<uintptr_t>(handle)] = {p.id, access};
  return handle;
}

// The program that CreateProcessA runs for a command line without an
// application name: its quoted first token, else the text up to the first
// blank or tab. (Windows goes on to try longer prefixes of an unquoted path
// with blanks, which the patch never leaves to it.)
std::string ProgramOf(const std::string& commandLine) {
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t close = commandLine.find('"', 1);
    return commandLine.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return commandLine.substr(0, commandLine.find_first_of(" \t"));
}

// --- Entry points bound at run time ---

HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD flags, DWORD processId) {
  sim::Machine& m = sim::PlatformCall("CreateToolhelp32Snapshot");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, INVALID_HANDLE_VALUE);
  }
  P().Advance(M().clock.ticks);
  if (processId != 0) {
    return m.Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);  // the simulation lists all processes only
  }
  if (flags != TH32CS_SNAPPROCESS) {
    M().lastError = ERROR_INVALID_PARAMETER;  // the simulation lists processes only
    return INVALID_HANDLE_VALUE;
  }
  sim::Processes::Snapshot snapshot;
  snapshot.entries.emplace_back(0, "[System Process]");
  for (const auto& entry : P().Running()) {
    snapshot.entries.push_back(entry);
  }
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::Snapshot, "processes");
  P().snapshots[reinterpret_cast<uintptr_t>(handle)] = std::move(snapshot);
  return handle;
}

BOOL NextEntry(HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
  auto it = P().snapshots.find(reinterpret_cast<uintptr_t>(snapshot));
  if (it == P().snapshots.end() || !M().handles.Is(snapshot, sim::HandleKind::Snapshot)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
    return Fail(24);  // ERROR_BAD_LENGTH
  }
  sim::Processes::Snapshot& s = it->second;
  if (first) {
    s.next = 0;
  }
  if (s.next >= s.entries.size()) {
    return Fail(18);  // ERROR_NO_MORE_FILES
  }
  const auto& [id, image] = s.entries[s.next++];
  const DWORD size = entry->dwSize;
  std::memset(entry, 0, sizeof(PROCESSENTRY32));
  entry->dwSize = size;
  entry->th32ProcessID = id;
  entry->cntThreads = 1;
  entry->pcPriClassBase = 8;
  const size_t n = std::min(image.size(), sizeof entry->szExeFile - 1);
  std::memcpy(entry->szExeFile, image.data(), n);
  return TRUE;
}

BOOL WINAPI SimProcess32First(HANDLE snapshot, PROCESSENTRY32* entry) {
  sim::Machine& m = sim::PlatformCall("Process32First");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return NextEntry(snapshot, entry, true);
}

BOOL WINAPI SimProcess32Next(HANDLE snapshot, PROCESSENTRY32* entry) {
  sim::Machine& m = sim::PlatformCall("Process32Next");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return NextEntry(snapshot, entry, false);
}

// The system process records: for each process the fixed record, one thread
// record, and the UTF-16 image name, each record starting on 8 bytes, as
// Windows lays them out; the idle process first, without a name. (Wine 8
// lists neither the idle nor the System process and packs its records
// without alignment.)
NTSTATUS WINAPI SimZwQuerySystemInformation(DWORD infoClass, void* buffer, DWORD bufferSize, DWORD* returnLength) {
  sim::Machine& m = sim::PlatformCall("ZwQuerySystemInformation", std::to_string(bufferSize));
  if (const auto error = m.PlantedError()) {
    return static_cast<NTSTATUS>(*error);  // an NTSTATUS
  }
  P().Advance(M().clock.ticks);
  if (infoClass != SystemProcessInformation) {
    return static_cast<NTSTATUS>(0xC0000003U);  // STATUS_INVALID_INFO_CLASS
  }
  constexpr size_t kRecordSize = sizeof(void*) == 8 ? 256 : 184;
  constexpr size_t kThreadSize = sizeof(void*) == 8 ? 80 : 64;
  struct Layout {
    DWORD id;
    std::u16string name;
    bool idle;
    size_t offset;
    size_t size;
  };
  std::vector<Layout> records;
  records.push_back({0, u"", true, 0, 0});
  for (const auto& [id, image] : P().Running()) {
    records.push_back({id, sim::Widen(image), false, 0, 0});
  }
  size_t total = 0;
  for (Layout& r : records) {
    r.offset = total;
    const size_t nameBytes = r.idle ? 0 : 2 * (r.name.size() + 1);
    r.size = (kRecordSize + kThreadSize + nameBytes + 7) / 8 * 8;
    total += r.size;
  }
  const DWORD needed = std::max(static_cast<DWORD>(total), P().queryNeededSize);
  if (returnLength != nullptr) {
    *returnLength = needed;
  }
  if (buffer == nullptr || bufferSize < needed) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  auto* base = static_cast<BYTE*>(buffer);
  std::memset(base, 0, total);
  for (size_t i = 0; i < records.size(); ++i) {
    const Layout& r = records[i];
    SYSTEM_PROCESS_INFORMATION info{};
    info.NextEntryOffset = i + 1 == records.size() ? 0 : static_cast<DWORD>(r.size);
    info.NumberOfThreads = 1;
    info.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(r.id));
    if (!r.idle) {
      BYTE* name = base + r.offset + kRecordSize + kThreadSize;
      std::memcpy(name, r.name.c_str(), 2 * (r.name.size() + 1));
      info.ImageName.Length = static_cast<USHORT>(2 * r.name.size());
      info.ImageName.MaximumLength = static_cast<USHORT>(2 * (r.name.size() + 1));
      info.ImageName.Buffer = reinterpret_cast<WCHAR*>(name);
    }
    std::memcpy(base + r.offset, &info, sizeof info);
  }
  return STATUS_SUCCESS;
}

BOOL WINAPI SimProcessIdToSessionId(DWORD processId, DWORD* session) {
  sim::Machine& m = sim::PlatformCall("ProcessIdToSessionId", std::to_string(processId));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Process* p = P().Find(processId);
  if (session == nullptr || (processId != sim::Machine::kProcessId && (p == nullptr || !p->running))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *session = p == nullptr ? M().token.session : p->session;
  return TRUE;
}

// The full path of the process's program file (Vista and later).
BOOL WINAPI SimQueryFullProcessImageNameA(HANDLE process, DWORD flags, char* path, DWORD* size) {
  sim::Machine& m = sim::PlatformCall("QueryFullProcessImageNameA", IdOf(process));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Process* p = Opened(process, 0);
  if (p == nullptr) {
    return FALSE;
  }
  if ((P().opened[reinterpret_cast<uintptr_t>(process)].access &
       (kProcessQueryInformation | kProcessQueryLimitedInformation)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  const std::string& image = p->path.empty() ? p->image : p->path;
  if (flags != 0 || path == nullptr || size == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (*size <= image.size()) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  *size = sim::CopyOut(image, path, *size);
  return TRUE;
}

DWORD WINAPI SimWTSGetActiveConsoleSessionId() {
  return sim::PlatformCall("WTSGetActiveConsoleSessionId").consoleSession;
}

HANDLE WINAPI SimGetProcessHeap() {
  sim::PlatformCall("GetProcessHeap");
  return sim::Heap::Handle();
}

// HeapAlloc sets no last error: its failure is the null block.
void* WINAPI SimHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  sim::Machine& m = sim::PlatformCall("HeapAlloc", std::to_string(bytes));
  if (m.PlantedError()) {
    return nullptr;
  }
  if (heap != sim::Heap::Handle() || flags != 0) {
    return nullptr;  // the simulation knows only the process heap and flags 0
  }
  return M().heap.Alloc(bytes);
}

BOOL WINAPI SimHeapFree(HANDLE heap, DWORD flags, void* block) {
  const std::optional<SIZE_T> size = M().heap.SizeOf(block);
  sim::Machine& m = sim::PlatformCall("HeapFree", size ? std::to_string(*size) : "?");
  if (heap != sim::Heap::Handle() || flags != 0 || !size) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  m.heap.Free(block);
  return TRUE;
}

}  // namespace

// --- Calls ---

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
  sim::Machine& m = sim::PlatformCall("OpenProcess", std::to_string(processId));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HANDLE{nullptr});
  }
  (void)inheritHandle;
  P().Advance(M().clock.ticks);
  sim::Process* p = P().Find(processId);
  if (p == nullptr || !p->running) {
    M().lastError = ERROR_INVALID_PARAMETER;  // also the idle process, id 0
    return nullptr;
  }
  // The System process and one of another account without the debug
  // privilege are not opened for what the patch asks.
  if (p->id == sim::kSystemProcessId || (p->behaviour.otherAccount && !M().token.IsEnabled("SeDebugPrivilege"))) {
    M().lastError = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return AddProcessHandle(*p, access);
}

BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) {
  sim::Machine& m = sim::PlatformCall("EnumWindows");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  P().Advance(M().clock.ticks);
  // The list is taken first: windows that close meanwhile are still visited.
  for (HWND window : P().Windows()) {
    if (!callback(window, param)) {
      return FALSE;
    }
  }
  return TRUE;
}

// The shell window of the desktop of the caller's session, where a shell runs there.
HWND GetShellWindow() {
  sim::Machine& m = sim::PlatformCall("GetShellWindow");
  if (m.PlantedError()) {
    return nullptr;  // no shell, as Windows gives it: without a last error
  }
  for (const auto& [id, image] : P().Running()) {
    const sim::Process* p = P().Find(id);
    if (p->shell && !p->windows.empty() && p->session == M().token.session) {
      return p->windows.front();
    }
  }
  return nullptr;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
  sim::Machine& m = sim::PlatformCall("GetWindowThreadProcessId");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, DWORD{0});
  }
  const sim::Process* p = P().OwnerOf(window);
  if (p == nullptr) {
    M().lastError = ERROR_INVALID_WINDOW_HANDLE;
    return 0;
  }
  if (processId != nullptr) {
    *processId = p->id;
  }
  return p->id + 1;  // its thread
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  sim::Machine& m = sim::PlatformCall("PostMessageA", sim::Hex(message));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (wParam != 0 || lParam != 0) {
    return m.Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  sim::Process* p = P().OwnerOf(window);
  if (p == nullptr) {
    return Fail(ERROR_INVALID_WINDOW_HANDLE);
  }
  if (message == WM_CLOSE) {
    ++p->closeRequests;
    const DWORD now = M().clock.ticks;
    using OnClose = sim::Behaviour::OnClose;
    if (p->behaviour.onClose != OnClose::Ignore) {
      const DWORD delay = p->behaviour.onClose == OnClose::EndAtOnce ? 0 : p->behaviour.closeDelay;
      if (!p->endsAt || *p->endsAt - now > delay) {
        p->endsAt = now + delay;
      }
    }
  }
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  sim::Machine& m = sim::PlatformCall("TerminateProcess", IdOf(process));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!M().handles.Is(process, sim::HandleKind::Process)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  sim::Process* p = Opened(process, PROCESS_TERMINATE);
  if (p == nullptr) {
    return FALSE;
  }
  // Windows refuses to terminate a process that has already ended.
  if (!p->running) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  p->terminated = true;
  if (!p->behaviour.terminateHangs) {
    P().End(*p, exitCode);
  }
  return TRUE;
}

BOOL CreateProcessA(const char* application, char* commandLine, void* processSecurity, void* threadSecurity,
                    BOOL inheritHandles, DWORD creationFlags, void* environment, const char* currentDirectory,
                    STARTUPINFOA* startupInfo, PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : commandLine;
  sim::Machine& m = sim::PlatformCall("CreateProcessA", line);
  P().commandLines.push_back(line);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (processSecurity != nullptr || threadSecurity != nullptr || inheritHandles || creationFlags != 0 ||
      environment != nullptr || currentDirectory != nullptr || startupInfo == nullptr || processInfo == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  sim::Process* p = sim::StartProcess(application, line, processInfo);
  if (p == nullptr) {
    return FALSE;
  }
  p->user = M().token.user;
  p->session = M().token.session;
  p->elevationType = M().token.elevationType;
  p->startedBy = "CreateProcessA";
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  sim::Machine& m = sim::PlatformCall("GetExitCodeProcess", IdOf(process));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!M().handles.Is(process, sim::HandleKind::Process)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  sim::Process* p = Opened(process, 0);
  if (p == nullptr) {
    return FALSE;
  }
  const DWORD access = P().opened[reinterpret_cast<uintptr_t>(process)].access;
  if ((access & (kProcessQueryInformation | kProcessQueryLimitedInformation)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (exitCode == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *exitCode = p->running ? STILL_ACTIVE : p->exitCode;
  return TRUE;
}

}  // namespace win

namespace sim {

void RegisterProcessExports(Modules& modules) {
  modules.Export("kernel32.dll", "CreateToolhelp32Snapshot",
                 reinterpret_cast<win::FARPROC>(&win::SimCreateToolhelp32Snapshot));
  modules.Export("kernel32.dll", "Process32First", reinterpret_cast<win::FARPROC>(&win::SimProcess32First));
  modules.Export("kernel32.dll", "Process32Next", reinterpret_cast<win::FARPROC>(&win::SimProcess32Next));
  modules.Export("kernel32.dll", "GetProcessHeap", reinterpret_cast<win::FARPROC>(&win::SimGetProcessHeap));
  modules.Export("kernel32.dll", "HeapAlloc", reinterpret_cast<win::FARPROC>(&win::SimHeapAlloc));
  modules.Export("kernel32.dll", "HeapFree", reinterpret_cast<win::FARPROC>(&win::SimHeapFree));
  modules.Export("ntdll.dll", "ZwQuerySystemInformation",
                 reinterpret_cast<win::FARPROC>(&win::SimZwQuerySystemInformation));
  modules.Export("kernel32.dll", "ProcessIdToSessionId", reinterpret_cast<win::FARPROC>(&win::SimProcessIdToSessionId));
  modules.Export("kernel32.dll", "QueryFullProcessImageNameA",
                 reinterpret_cast<win::FARPROC>(&win::SimQueryFullProcessImageNameA));
  modules.Export("kernel32.dll", "WTSGetActiveConsoleSessionId",
                 reinterpret_cast<win::FARPROC>(&win::SimWTSGetActiveConsoleSessionId));
}

win::DWORD WaitForProcess(win::HANDLE handle, win::DWORD milliseconds) {
  Machine& m = Machine::Current();
  Process* p = win::Opened(handle, win::SYNCHRONIZE);
  if (p == nullptr) {
    return win::WAIT_FAILED;
  }
  if (!p->running) {
    return win::WAIT_OBJECT_0;
  }
  win::DWORD& now = m.clock.ticks;
  if (p->endsAt && *p->endsAt - now <= milliseconds) {
    now = *p->endsAt;
    m.processes.Advance(now);
    return win::WAIT_OBJECT_0;
  }
  if (milliseconds == win::INFINITE) {
    // Nothing will ever end it: a real program would hang here.
    m.lastError = win::ERROR_INVALID_PARAMETER;
    return win::WAIT_FAILED;
  }
  now += milliseconds;
  m.processes.Advance(now);
  return win::WAIT_TIMEOUT;
}

Process* StartProcess(const char* application, const std::string& commandLine, win::PROCESS_INFORMATION* info) {
  Machine& m = Machine::Current();
  const std::string path = application != nullptr ? application : win::ProgramOf(commandLine);
  const Program* program = m.processes.FindProgram(path);
  if (program == nullptr) {
    m.lastError = win::ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  Process& p = m.processes.Start(m.processes.ProgramPath(path), commandLine, program->behaviour, m.clock.ticks);
  info->hProcess = win::AddProcessHandle(p, win::kProcessAllAccess);
  info->hThread = m.handles.Add<win::HANDLE>(HandleKind::Thread, std::to_string(p.id) + " " + p.image);
  m.processes.opened[reinterpret_cast<uintptr_t>(info->hThread)] = {p.id, win::kProcessAllAccess};
  info->dwProcessId = p.id;
  info->dwThreadId = p.id + 1;
  return &p;
}

void ForgetProcessHandle(uintptr_t value) {
  Processes& p = Machine::Current().processes;
  p.opened.erase(value);
  p.snapshots.erase(value);
}

}  // namespace sim

// The simulated processes and windows, the process heap, and the Windows
// calls and bound entry points that answer from them.
#include "platform/sim/processes.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

Process& Processes::Add(std::string_view image, const Behaviour& behaviour) {
  Process& p = list.emplace_back();
  p.id = static_cast<win::DWORD>(996 + 4 * list.size());
  p.image = std::string(image);
  p.behaviour = behaviour;
  return p;
}

Process* Processes::Find(win::DWORD id) {
  auto it = std::find_if(list.begin(), list.end(), [id](const Process& p) { return p.id == id; });
  return it == list.end() ? nullptr : &*it;
}

std::vector<const Process*> Processes::Named(std::string_view image) const {
  std::vector<const Process*> found;
  for (const Process& p : list) {
    if (EqualsNoCase(p.image, image)) {
      found.push_back(&p);
    }
  }
  return found;
}

void Processes::End(Process& process, win::DWORD exitCode) {
  process.running = false;
  process.exitCode = exitCode;
}

void Processes::Advance(win::DWORD now) {
  for (Process& p : list) {
    // Reached once the clock is past the tick, with GetTickCount's wrap-around.
    if (p.running && p.endsAt && now - *p.endsAt < 0x80000000U) {
      End(p, p.behaviour.exitCode);
    }
  }
}

void* Heap::Alloc(win::SIZE_T bytes) {
  std::vector<std::byte> block(std::max<win::SIZE_T>(bytes, 1));
  void* address = block.data();
  return blocks.emplace(address, std::move(block)).first->first;
}

}  // namespace sim

namespace win {
namespace {

constexpr DWORD kProcessAllAccess = 0x001FFFFF;
const HANDLE kHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00150000));

sim::Machine& M() { return sim::Machine::Current(); }
sim::Processes& P() { return M().processes; }

// The process behind an open process handle with all of the access in need,
// once call has been recorded with its id; null, with the last error set,
// otherwise.
sim::Process* ProcessCall(const char* call, HANDLE handle, DWORD need) {
  sim::Machine& m = sim::PlatformCall(call, sim::ProcessIdOf(handle));
  if (const auto error = m.PlantedError()) {
    return m.Fail<sim::Process*>(*error, nullptr);
  }
  P().Advance(m.clock.ticks);
  const sim::Processes::Opened* opened = sim::OpenedRecord(P().opened, handle, sim::HandleKind::Process, need);
  return opened == nullptr ? nullptr : P().Find(opened->id);
}

HANDLE AddProcessHandle(const sim::Process& p, DWORD access) {
  auto* handle = M().handles.Add<HANDLE>(sim::HandleKind::Process, std::to_string(p.id) + " " + p.image);
  // Since Vista, the right to query a process grants the limited query too.
  const DWORD limited = (access & PROCESS_QUERY_INFORMATION) != 0 ? PROCESS_QUERY_LIMITED_INFORMATION : 0;
  P().opened[reinterpret_cast<uintptr_t>(handle)] = {p.id, access | limited};
  return handle;
}

// The process owning a top-level window that is still there, once call has
// been recorded; null, with the last error set, otherwise.
sim::Process* WindowCall(const char* call, const std::string& object, HWND window) {
  sim::Machine& m = sim::PlatformCall(call, object);
  if (const auto error = m.PlantedError()) {
    return m.Fail<sim::Process*>(*error, nullptr);
  }
  const auto value = reinterpret_cast<uintptr_t>(window);
  sim::Process* p = P().Find(static_cast<DWORD>(value / 16));
  if (p == nullptr || !p->running || value % 16 == 0 || value % 16 > static_cast<uintptr_t>(p->behaviour.windows)) {
    return m.Fail<sim::Process*>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  }
  return p;
}

// The running processes as both ways of listing give them: the idle process
// (id 0, not in the list) first, named idle.
std::vector<std::pair<DWORD, std::string>> Listed(const char* idle) {
  P().Advance(M().clock.ticks);
  std::vector<std::pair<DWORD, std::string>> listed = {{0, idle}};
  for (const sim::Process& p : P().list) {
    if (p.running) {
      listed.emplace_back(p.id, p.image);
    }
  }
  return listed;
}

// The program that CreateProcessA runs for a command line without an
// application name: its quoted first token, else the text up to the first
// blank or tab. (Windows goes on to try longer prefixes of an unquoted path
// with blanks, which the patch never leaves to it.)
std::string ProgramOf(const std::string& commandLine) {
  return commandLine.rfind('"', 0) == 0 ? commandLine.substr(1, commandLine.find('"', 1) - 1)
                                        : commandLine.substr(0, commandLine.find_first_of(" \t"));
}

// --- Entry points bound at run time ---

// A snapshot of the processes (TH32CS_SNAPPROCESS, the only kind the patch takes).
HANDLE WINAPI SimCreateToolhelp32Snapshot(DWORD, DWORD) {
  sim::Machine& m = sim::PlatformCall("CreateToolhelp32Snapshot");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, INVALID_HANDLE_VALUE);
  }
  auto* handle = m.handles.Add<HANDLE>(sim::HandleKind::Snapshot, "processes");
  P().snapshots[reinterpret_cast<uintptr_t>(handle)] = {Listed("[System Process]")};
  return handle;
}

BOOL NextEntry(const char* call, HANDLE snapshot, PROCESSENTRY32* entry, bool first) {
  sim::Machine& m = sim::PlatformCall(call);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (!m.handles.Is(snapshot, sim::HandleKind::Snapshot)) {
    return m.Fail(ERROR_INVALID_HANDLE);
  }
  if (entry->dwSize < sizeof(PROCESSENTRY32)) {
    return m.Fail(24);  // ERROR_BAD_LENGTH
  }
  sim::Processes::Snapshot& s = P().snapshots[reinterpret_cast<uintptr_t>(snapshot)];
  s.next = first ? 0 : s.next;
  if (s.next >= s.entries.size()) {
    return m.Fail(18);  // ERROR_NO_MORE_FILES
  }
  const auto& [id, image] = s.entries[s.next++];
  entry->th32ProcessID = id;
  sim::CopyOut(image, entry->szExeFile, sizeof entry->szExeFile);
  return TRUE;
}

BOOL WINAPI SimProcess32First(HANDLE snapshot, PROCESSENTRY32* entry) {
  return NextEntry("Process32First", snapshot, entry, true);
}

BOOL WINAPI SimProcess32Next(HANDLE snapshot, PROCESSENTRY32* entry) {
  return NextEntry("Process32Next", snapshot, entry, false);
}

// The system process records: for each process the fixed record, one thread
// record, and the UTF-16 image name, each record starting on 8 bytes, as
// Windows lays them out for the build's bitness; the idle process first,
// without a name. (Wine 8 lists neither the idle nor the System process and
// packs its records without alignment.)
NTSTATUS WINAPI SimZwQuerySystemInformation(DWORD, void* buffer, DWORD bufferSize, DWORD*) {
  sim::Machine& m = sim::PlatformCall("ZwQuerySystemInformation", std::to_string(bufferSize));
  if (const auto error = m.PlantedError()) {
    return static_cast<NTSTATUS>(*error);  // an NTSTATUS
  }
  constexpr size_t kFixed = sizeof(void*) == 8 ? 256 + 80 : 184 + 64;  // the record and its thread's
  std::vector<BYTE> records;
  size_t last = 0;
  for (const auto& [id, image] : Listed("")) {
    const std::u16string name = sim::Widen(image);
    last = records.size();
    // With the name and its zero, if any, up to the next 8 bytes.
    records.resize(last + kFixed + (name.empty() ? 0 : (name.size() + 4) / 4 * 8));
    SYSTEM_PROCESS_INFORMATION info{};
    info.NextEntryOffset = static_cast<DWORD>(records.size() - last);
    info.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id));
    if (!name.empty()) {
      std::memcpy(&records[last + kFixed], name.c_str(), 2 * (name.size() + 1));
      info.ImageName.Length = static_cast<USHORT>(2 * name.size());
      info.ImageName.MaximumLength = static_cast<USHORT>(info.ImageName.Length + 2);
      info.ImageName.Buffer = reinterpret_cast<WCHAR*>(reinterpret_cast<uintptr_t>(buffer) + last + kFixed);
    }
    std::memcpy(&records[last], &info, sizeof info);
  }
  std::memset(&records[last], 0, sizeof(DWORD));  // the last record's NextEntryOffset
  if (buffer == nullptr || bufferSize < std::max<size_t>(records.size(), P().queryNeededSize)) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  std::memcpy(buffer, records.data(), records.size());
  return STATUS_SUCCESS;
}

BOOL WINAPI SimProcessIdToSessionId(DWORD processId, DWORD* session) {
  sim::Machine& m = sim::PlatformCall("ProcessIdToSessionId", std::to_string(processId));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  const sim::Process* p = P().Find(processId);
  if (processId != sim::Machine::kProcessId && (p == nullptr || !p->running)) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  *session = p == nullptr ? m.token.session : p->session;
  return TRUE;
}

// The full path of the process's program file, in its Win32 form (flags 0;
// Vista and later).
BOOL WINAPI SimQueryFullProcessImageNameA(HANDLE process, DWORD, char* path, DWORD* size) {
  const sim::Process* p = ProcessCall("QueryFullProcessImageNameA", process, PROCESS_QUERY_LIMITED_INFORMATION);
  if (p == nullptr) {
    return FALSE;
  }
  *size = sim::CopyOut(p->path.empty() ? p->image : p->path, path, *size);
  return TRUE;
}

DWORD WINAPI SimWTSGetActiveConsoleSessionId() {
  return sim::PlatformCall("WTSGetActiveConsoleSessionId").consoleSession;
}

HANDLE WINAPI SimGetProcessHeap() {
  sim::PlatformCall("GetProcessHeap");
  return kHeap;
}

// HeapAlloc sets no last error: its failure is the null block.
void* WINAPI SimHeapAlloc(HANDLE, DWORD, SIZE_T bytes) {
  sim::Machine& m = sim::PlatformCall("HeapAlloc", std::to_string(bytes));
  return m.PlantedError() ? nullptr : m.heap.Alloc(bytes);
}

BOOL WINAPI SimHeapFree(HANDLE, DWORD, void* block) {
  const auto it = M().heap.blocks.find(block);
  sim::Machine& m =
      sim::PlatformCall("HeapFree", it == M().heap.blocks.end() ? "?" : std::to_string(it->second.size()));
  return m.heap.Free(block) ? TRUE : m.Fail(ERROR_INVALID_PARAMETER);
}

}  // namespace

// --- Calls ---

HANDLE OpenProcess(DWORD access, BOOL, DWORD processId) {
  sim::Machine& m = sim::PlatformCall("OpenProcess", std::to_string(processId));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, HANDLE{nullptr});
  }
  P().Advance(m.clock.ticks);
  sim::Process* p = P().Find(processId);
  if (p == nullptr || !p->running) {
    return m.Fail(ERROR_INVALID_PARAMETER, HANDLE{nullptr});  // also the idle process, id 0
  }
  // One of another account is not opened without the debug privilege.
  if (p->behaviour.otherAccount && !m.token.IsEnabled("SeDebugPrivilege")) {
    return m.Fail(ERROR_ACCESS_DENIED, HANDLE{nullptr});
  }
  return AddProcessHandle(*p, access);
}

BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) {
  sim::Machine& m = sim::PlatformCall("EnumWindows");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  P().Advance(m.clock.ticks);
  // The list is taken first: windows that close meanwhile are still visited.
  std::vector<HWND> windows;
  for (const sim::Process& p : P().list) {
    for (int i = 0; p.running && i < p.behaviour.windows; ++i) {
      windows.push_back(p.Window(i));
    }
  }
  return std::all_of(windows.begin(), windows.end(), [&](HWND window) { return callback(window, param) != FALSE; });
}

// The shell window of the desktop of the caller's session, where a shell runs there.
HWND GetShellWindow() {
  sim::Machine& m = sim::PlatformCall("GetShellWindow");
  if (m.PlantedError()) {
    return nullptr;  // no shell, as Windows gives it: without a last error
  }
  for (const sim::Process& p : P().list) {
    if (p.running && p.shell && p.behaviour.windows > 0 && p.session == m.token.session) {
      return p.Window(0);
    }
  }
  return nullptr;
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
  const sim::Process* p = WindowCall("GetWindowThreadProcessId", "", window);
  if (p == nullptr) {
    return 0;
  }
  *processId = p->id;
  return p->id + 1;  // its thread
}

BOOL PostMessageA(HWND window, UINT message, WPARAM, LPARAM) {
  sim::Process* p = WindowCall("PostMessageA", sim::Hex(message), window);
  if (p == nullptr) {
    return FALSE;
  }
  if (message != WM_CLOSE) {
    return TRUE;
  }
  ++p->closeRequests;
  using OnClose = sim::Behaviour::OnClose;
  const DWORD now = M().clock.ticks;
  const DWORD delay = p->behaviour.onClose == OnClose::EndAtOnce ? 0 : p->behaviour.closeDelay;
  if (p->behaviour.onClose != OnClose::Ignore && (!p->endsAt || *p->endsAt - now > delay)) {
    p->endsAt = now + delay;
  }
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  sim::Process* p = ProcessCall("TerminateProcess", process, PROCESS_TERMINATE);
  if (p == nullptr) {
    return FALSE;
  }
  p->terminated = true;
  if (!p->behaviour.terminateHangs) {
    P().End(*p, exitCode);
  }
  return TRUE;
}

// In this process's session and under its token, with its environment.
BOOL CreateProcessA(const char* application, char* commandLine, void*, void*, BOOL inheritHandles, DWORD, void*,
                    const char*, STARTUPINFOA*, PROCESS_INFORMATION* processInfo) {
  const std::string line = commandLine == nullptr ? "" : commandLine;
  sim::Machine& m = sim::PlatformCall("CreateProcessA", line);
  P().commandLines.push_back(line);
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  if (inheritHandles) {
    return m.Fail(ERROR_INVALID_PARAMETER);  // the simulation knows only what the patch asks for
  }
  return sim::StartProcess("CreateProcessA", application, line, m.token.user, m.token.session, m.token.elevationType,
                           processInfo) != nullptr;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  const sim::Process* p = ProcessCall("GetExitCodeProcess", process, PROCESS_QUERY_LIMITED_INFORMATION);
  if (p == nullptr) {
    return FALSE;
  }
  *exitCode = p->running ? STILL_ACTIVE : p->exitCode;
  return TRUE;
}

}  // namespace win

namespace sim {

void RegisterProcessExports(Modules& modules) {
  modules.Export("kernel32.dll", "CreateToolhelp32Snapshot", &win::SimCreateToolhelp32Snapshot);
  modules.Export("kernel32.dll", "Process32First", &win::SimProcess32First);
  modules.Export("kernel32.dll", "Process32Next", &win::SimProcess32Next);
  modules.Export("kernel32.dll", "GetProcessHeap", &win::SimGetProcessHeap);
  modules.Export("kernel32.dll", "HeapAlloc", &win::SimHeapAlloc);
  modules.Export("kernel32.dll", "HeapFree", &win::SimHeapFree);
  modules.Export("ntdll.dll", "ZwQuerySystemInformation", &win::SimZwQuerySystemInformation);
  modules.Export("kernel32.dll", "ProcessIdToSessionId", &win::SimProcessIdToSessionId);
  modules.Export("kernel32.dll", "QueryFullProcessImageNameA", &win::SimQueryFullProcessImageNameA);
  modules.Export("kernel32.dll", "WTSGetActiveConsoleSessionId", &win::SimWTSGetActiveConsoleSessionId);
}

win::DWORD WaitForProcess(win::HANDLE handle, win::DWORD milliseconds) {
  Machine& m = Machine::Current();
  m.processes.Advance(m.clock.ticks);
  const Processes::Opened* opened = OpenedRecord(m.processes.opened, handle, HandleKind::Process, win::SYNCHRONIZE);
  Process* p = opened == nullptr ? nullptr : m.processes.Find(opened->id);
  if (p == nullptr) {
    return win::WAIT_FAILED;
  }
  if (!p->running) {
    return win::WAIT_OBJECT_0;
  }
  win::DWORD& now = m.clock.ticks;
  const bool ends = p->endsAt && *p->endsAt - now <= milliseconds;
  if (!ends && milliseconds == win::INFINITE) {
    // Nothing will ever end it: a real program would hang here.
    return m.Fail(win::ERROR_INVALID_PARAMETER, win::WAIT_FAILED);
  }
  now = ends ? *p->endsAt : now + milliseconds;
  m.processes.Advance(now);
  return ends ? win::WAIT_OBJECT_0 : win::WAIT_TIMEOUT;
}

bool HasAccess(win::HANDLE handle, HandleKind kind, const win::DWORD* access, win::DWORD need) {
  Machine& m = Machine::Current();
  const bool open = access != nullptr && m.handles.Is(handle, kind);
  if (!open || (*access & need) != need) {
    m.lastError = open ? win::ERROR_ACCESS_DENIED : win::ERROR_INVALID_HANDLE;
    return false;
  }
  return true;
}

std::string ProcessIdOf(win::HANDLE handle) {
  if (handle == reinterpret_cast<win::HANDLE>(static_cast<intptr_t>(-1))) {
    return "self";
  }
  const auto& opened = Machine::Current().processes.opened;
  const auto it = opened.find(reinterpret_cast<uintptr_t>(handle));
  return it == opened.end() ? "?" : std::to_string(it->second.id);
}

Process* StartProcess(const char* call, const char* application, const std::string& commandLine,
                      const std::string& user, win::DWORD session, win::DWORD elevationType,
                      win::PROCESS_INFORMATION* info) {
  Machine& m = Machine::Current();
  // Programs are known by their host path, whatever spelling names them.
  const auto host = [&m](const std::string& path) { return m.files.Resolve(path).host; };
  const std::string wanted = host(application != nullptr ? application : win::ProgramOf(commandLine));
  auto file = std::find_if(m.processes.programs.begin(), m.processes.programs.end(),
                           [&](const auto& program) { return host(program.first) == wanted; });
  if (file == m.processes.programs.end()) {
    return m.Fail<Process*>(win::ERROR_FILE_NOT_FOUND, nullptr);
  }
  const std::string& path = file->first;
  Process& p = m.processes.Add(path.substr(path.rfind('\\') + 1), file->second);
  p.path = path;
  p.commandLine = commandLine;
  p.endsAt = p.behaviour.runFor ? std::optional<win::DWORD>(m.clock.ticks + *p.behaviour.runFor) : std::nullopt;
  p.user = user;
  p.session = session;
  p.elevationType = elevationType;
  p.startedBy = call;
  info->hProcess = win::AddProcessHandle(p, win::kProcessAllAccess);
  info->hThread = m.handles.Add<win::HANDLE>(HandleKind::Thread, std::to_string(p.id) + " " + p.image);
  info->dwProcessId = p.id;
  info->dwThreadId = p.id + 1;
  return &p;
}

}  // namespace sim

// The simulated machine's processes, their top-level windows and the process
// heap. Time is the machine's virtual clock: a process that ends "after 300
// ms" ends when a wait or a sleep has moved the clock that far.
//
// Both ways of listing processes, the toolhelp snapshot (kernel32) and the
// system process query (ntdll), are answered from the same list.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/handles.h"
#include "platform/win.h"

namespace sim {

class Modules;

// The administrator who runs the patch, whose account every process has
// unless a test gives it another (kClerkSid, kSystemSid: mutexes.h).
inline constexpr char kAdministratorSid[] = "S-1-5-21-1004336348-1177238915-682003330-500";

// What a program does once it runs.
struct Behaviour {
  enum class OnClose { EndAtOnce, EndAfterDelay, Ignore };
  int windows = 0;  // top-level windows it shows
  OnClose onClose = OnClose::EndAtOnce;
  win::DWORD closeDelay = 0;         // ms between WM_CLOSE and its end, for EndAfterDelay
  std::optional<win::DWORD> runFor;  // ends by itself after this many ms; none: until closed
  win::DWORD exitCode = 0;           // its exit code when it ends by itself or on WM_CLOSE
  // TerminateProcess succeeds but the process does not end: Windows ends it
  // after the call returns, once each thread leaves the kernel, which a
  // thread stuck in a driver's wait never does.
  bool terminateHangs = false;
  // Runs under another account: OpenProcess fails with 5 unless the token's
  // debug privilege is enabled.
  bool otherAccount = false;
};

struct Process {
  win::DWORD id = 0;
  std::string image;        // as the process list shows it: a bare name or a full path
  std::string commandLine;  // for processes started by the program
  std::string path;         // its program file, as QueryFullProcessImageNameA gives it; empty: image
  std::string user = kAdministratorSid;
  win::DWORD session = 1;
  win::DWORD elevationType = 1;  // TokenElevationTypeDefault: not an administrator's split token
  std::string startedBy;         // the call that started it: "CreateProcessA", ...
  std::string environment;       // whose environment it got: empty for its creator's
  std::string desktop;           // STARTUPINFO's lpDesktop, empty for none
  Behaviour behaviour;
  bool shell = false;  // its first window is the shell window of its session's desktop
  bool running = true;
  win::DWORD exitCode = win::STILL_ACTIVE;
  std::optional<win::DWORD> endsAt;  // clock tick at which it ends
  int closeRequests = 0;             // WM_CLOSE messages posted to its windows
  bool terminated = false;           // TerminateProcess accepted for it

  // Its top-level windows while it runs: behaviour.windows of them, whose
  // values rise with the process id, so that older windows come first.
  win::HWND Window(int index) const { return reinterpret_cast<win::HWND>(uintptr_t{id} * 16 + index + 1); }
};

struct Processes {
  // A running process, listed after those already running.
  Process& Add(std::string_view image, const Behaviour& behaviour = {});
  // A program file that CreateProcessA finds by any spelling Windows accepts
  // for it (another letter case, doubled backslashes), and what it does once
  // started.
  void AddProgram(std::string_view path, const Behaviour& behaviour = {}) { programs[std::string(path)] = behaviour; }
  Process* Find(win::DWORD id);
  // Processes with this image, in list order (running or ended).
  std::vector<const Process*> Named(std::string_view image) const;
  void End(Process& process, win::DWORD exitCode);
  // Ends the processes whose scheduled end the clock has reached.
  void Advance(win::DWORD now);

  std::deque<Process> list;  // in the order they started, running or ended
  // The command line of every call that starts a process (CreateProcessA,
  // CreateProcessAsUserA, CreateProcessWithTokenW), in order.
  std::vector<std::string> commandLines;
  // The system process query reports STATUS_INFO_LENGTH_MISMATCH for any
  // buffer smaller than this (or than the records need, if more).
  win::DWORD queryNeededSize = 0;

  std::map<std::string, Behaviour> programs;  // by their path as added
  // Process handles, with the access each was opened for, and snapshots:
  // the (id, image) list taken, and the next entry to give. Records of
  // closed handles stay unread (the handle table tells which are open).
  struct Opened {
    win::DWORD id;
    win::DWORD access;
  };
  std::map<uintptr_t, Opened> opened;
  struct Snapshot {
    std::vector<std::pair<win::DWORD, std::string>> entries;
    size_t next = 0;
  };
  std::map<uintptr_t, Snapshot> snapshots;
};

// The process heap: blocks are counted so that a test can tell that every
// block was freed.
struct Heap {
  std::map<void*, std::vector<std::byte>> blocks;  // allocated and not yet freed
  size_t Blocks() const { return blocks.size(); }
  void* Alloc(win::SIZE_T bytes);
  bool Free(void* block) { return blocks.erase(block) != 0; }  // false for a block not of the heap
  void FreeAll() { blocks.clear(); }
};

// Adds the process-list and heap entry points to kernel32 and ntdll.
void RegisterProcessExports(Modules& modules);

// WaitForSingleObject on a process handle: the clock runs on to the process's
// end or to the time-out.
win::DWORD WaitForProcess(win::HANDLE handle, win::DWORD milliseconds);

// The record of an open handle of kind, from its area's records, with all of
// the access in need; null, with the last error set, otherwise.
bool HasAccess(win::HANDLE handle, HandleKind kind, const win::DWORD* access, win::DWORD need);
template <typename Record>
Record* OpenedRecord(std::map<uintptr_t, Record>& records, win::HANDLE handle, HandleKind kind, win::DWORD need) {
  auto it = records.find(reinterpret_cast<uintptr_t>(handle));
  return HasAccess(handle, kind, it == records.end() ? nullptr : &it->second.access, need) ? &it->second : nullptr;
}

// The process that a process handle names, as call records show it: "self"
// for the process itself (GetCurrentProcess), else its id, "?" for none.
std::string ProcessIdOf(win::HANDLE handle);

// What the calls that start a process share, once the call has checked what
// it was given: the program that application or the command line names
// started as user's, in session, at elevationType, its process and thread
// handles in info. Null, with the last error set, when there is no such
// program.
Process* StartProcess(const char* call, const char* application, const std::string& commandLine,
                      const std::string& user, win::DWORD session, win::DWORD elevationType,
                      win::PROCESS_INFORMATION* info);

}  // namespace sim

// The simulated machine's processes, their top-level windows and the process
// heap. Time is the machine's virtual clock: a process that ends "after 300
// ms" ends when a wait or a sleep has moved the clock that far.
//
// Both ways of listing processes are answered from the same list: the
// toolhelp snapshot (kernel32) and the system process query (ntdll), whose
// records are laid out as the system lays them out for the build's bitness.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"

namespace sim {

class Modules;

inline constexpr win::DWORD kSystemProcessId = 4;  // the System process, which is never opened

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
  std::vector<win::HWND> windows;    // its top-level windows while it runs
  int closeRequests = 0;             // WM_CLOSE messages posted to its windows
  bool terminated = false;           // TerminateProcess accepted for it
};

// A program that CreateProcessA can start, by its full path.
struct Program {
  Behaviour behaviour;
};

class Processes {
 public:
  Processes();

  // --- Set-up and inspection by tests ---
  // A running process, listed after those already running.
  Process& Add(std::string_view image, const Behaviour& behaviour = {});
  // A program file that CreateProcessA finds (path matched without regard to case).
  void AddProgram(std::string_view path, const Program& program = {});
  Process* Find(win::DWORD id);
  // Processes with this image, in list order (running or ended).
  std::vector<const Process*> Named(std::string_view image) const;
  // The command line of every call that starts a process (CreateProcessA,
  // CreateProcessAsUserA, CreateProcessWithTokenW), in order.
  std::vector<std::string> commandLines;
  // The system process query reports STATUS_INFO_LENGTH_MISMATCH for any
  // buffer smaller than this (or than the records need, if more).
  win::DWORD queryNeededSize = 0;

  // --- What the Windows calls need ---
  // Ends the processes whose scheduled end the clock has reached.
  void Advance(win::DWORD now);
  // The earliest scheduled end of process id, if any.
  std::optional<win::DWORD> EndOf(win::DWORD id) const;
  void End(Process& process, win::DWORD exitCode);
  // A process started from the program file at path; its image is the file's name.
  Process& Start(const std::string& path, const std::string& commandLine, const Behaviour& behaviour, win::DWORD now);
  const Program* FindProgram(const std::string& path) const;
  static std::string ProgramKey(const std::string& path);
  // The path of a program as it was added (its letter case), or path itself.
  std::string ProgramPath(const std::string& path) const;
  std::vector<std::pair<win::DWORD, std::string>> Running() const;  // (id, image), in list order
  Process* OwnerOf(win::HWND window);
  std::vector<win::HWND> Windows() const;  // top-level windows of running processes, oldest first

  // Open process and thread handles: which process, with which access.
  struct Opened {
    win::DWORD id;
    win::DWORD access;
  };
  std::map<uintptr_t, Opened> opened;
  // Open snapshots: the (id, image) list taken, and the next entry to give.
  struct Snapshot {
    std::vector<std::pair<win::DWORD, std::string>> entries;
    size_t next = 0;
  };
  std::map<uintptr_t, Snapshot> snapshots;

 private:
  std::deque<Process> list_;
  struct ProgramFile {
    std::string path;
    Program program;
  };
  std::map<std::string, ProgramFile> programs_;  // by ProgramKey
  win::DWORD nextId_ = 1000;
  uintptr_t nextWindow_ = 0x00010000;
};

// The process heap: blocks are counted so that a test can tell that every
// block was freed.
class Heap {
 public:
  // Blocks allocated and not yet freed.
  size_t Blocks() const { return blocks_.size(); }
  std::optional<win::SIZE_T> SizeOf(void* block) const;

  static win::HANDLE Handle();
  void* Alloc(win::SIZE_T bytes);
  // The size of the freed block, or nothing when block is not one of the heap's.
  std::optional<win::SIZE_T> Free(void* block);
  void FreeAll() { blocks_.clear(); }

 private:
  struct Block {
    std::unique_ptr<std::byte[]> data;
    win::SIZE_T size;
  };
  std::map<void*, Block> blocks_;
};

// Adds the process-list and heap entry points to kernel32 and ntdll.
void RegisterProcessExports(Modules& modules);

// WaitForSingleObject on a process handle: the clock runs on to the process's
// end or to the time-out.
win::DWORD WaitForProcess(win::HANDLE handle, win::DWORD milliseconds);

// What the calls that start a process share: the program that
// application or the command line names started, its process and thread
// handles in info. Null, with the last error set, when there is no such
// program. The caller sets whose process it is.
Process* StartProcess(const char* application, const std::string& commandLine, win::PROCESS_INFORMATION* info);

// CloseHandle of a process, thread or snapshot handle forgets what it named.
void ForgetProcessHandle(uintptr_t value);

}  // namespace sim

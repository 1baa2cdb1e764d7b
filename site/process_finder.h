// Finding and closing the site's manager application. Nothing here writes a
// message: callers report.
#pragma once

#include <functional>
#include <optional>

#include "platform/unique.h"
#include "platform/win.h"

// Finds a running process by the file name of its executable and closes it:
// first a WM_CLOSE to each of its top-level windows, then, when it has not
// ended within 5000 ms, by termination, after which it is waited for again.
//
// The process list is read through entry points bound at run time: the
// toolhelp snapshot of kernel32 where it is complete, else the system
// process query of ntdll. The modules stay loaded until ReleaseLibraries
// (or the destructor, for whatever is still held).
class ProcessFinder {
 public:
  ProcessFinder();
  ProcessFinder(const ProcessFinder&) = delete;
  ProcessFinder& operator=(const ProcessFinder&) = delete;
  ~ProcessFinder() = default;

  // The first process whose executable is named name (letter case of A-Z
  // ignored), opened for SYNCHRONIZE | PROCESS_TERMINATE; processId is set
  // when a name matches, even if the process cannot be opened (OpenError
  // then gives why). Null when nothing matches, the open fails or no way of
  // listing is bound.
  win::UniqueHandle FindProcess(const char* name, win::DWORD& processId);
  // Calls found with the id of each process whose executable is named name
  // (letter case of A-Z ignored), in the platform's order, until it returns
  // true.
  void ForEachProcess(const char* name, const std::function<bool(win::DWORD)>& found);
  // The error of the open that the last FindProcess made and that failed; 0
  // when it opened the process or matched none.
  [[nodiscard]] win::DWORD OpenError() const { return openError_; }
  // The error where the last search could not list every process (one may
  // run unseen): no way of listing bound, or a list cut short; 0 otherwise.
  [[nodiscard]] win::DWORD ListError() const { return listError_; }
  // Closes the process that FindProcess opened: 0 once it has ended, within
  // 5000 ms of the close requests or within kTerminateWait ms of its
  // termination (which Windows carries out after TerminateProcess returns).
  // Otherwise the error: that of close requests that could not be made (the
  // process is then not terminated), TerminateProcess's, WAIT_TIMEOUT when
  // the terminated process did not end, or that of the failed wait.
  static win::DWORD CloseProcess(win::HANDLE process, win::DWORD processId);
  static constexpr win::DWORD kTerminateWait = 3000;
  // Gives back the modules; the object finds nothing afterwards.
  void ReleaseLibraries();

 private:
  // OpenProcess for the access CloseProcess needs; keeps the error of a failure.
  win::UniqueHandle Open(win::DWORD processId);
  void EachBySnapshot(const char* name, const std::function<bool(win::DWORD)>& found);
  void EachBySystemQuery(const char* name, const std::function<bool(win::DWORD)>& found);
  // EnumWindows callback: posts WM_CLOSE to each window of the process of
  // the CloseRequest at param, keeping the error of a request that could not
  // be posted; always goes on to the next window.
  struct CloseRequest {
    win::DWORD processId;
    win::DWORD error;
  };
  static win::BOOL WINAPI CloseProcessWindowsProc(win::HWND window, win::LPARAM param);

  bool SnapshotUsable() const;
  bool SystemQueryUsable() const;

  win::UniqueModule ntdll_;
  win::UniqueModule kernel32_;
  win::PFN_CreateToolhelp32Snapshot createToolhelp32Snapshot_ = nullptr;
  win::PFN_Process32First process32First_ = nullptr;
  win::PFN_Process32Next process32Next_ = nullptr;
  win::PFN_ZwQuerySystemInformation zwQuerySystemInformation_ = nullptr;
  win::PFN_GetProcessHeap getProcessHeap_ = nullptr;
  win::PFN_HeapAlloc heapAlloc_ = nullptr;
  win::PFN_HeapFree heapFree_ = nullptr;
  win::DWORD openError_ = 0;
  win::DWORD listError_ = 0;
  win::DWORD unbound_ = 0;  // why no way of listing is bound
};

// The sessions that processes run in, through ProcessIdToSessionId (bound
// once). Of gives the session of processId (this one's, for
// GetCurrentProcessId); none when it cannot be told. Windows without
// sessions (NT 4) has one, 0.
class Sessions {
 public:
  Sessions();
  [[nodiscard]] std::optional<win::DWORD> Of(win::DWORD processId) const;

 private:
  win::PFN_ProcessIdToSessionId sessionOf_;
};

// 0 when close requests of this process reach the windows of process
// processId: it runs in this process's session, on a window station that a
// user sees (a close request reaches only windows of the sender's desktop).
// ERROR_REQUIRES_INTERACTIVE_WINDOWSTATION when they cannot (a manager in
// another session, a run of a service or a tool as SYSTEM), or the error of
// the call that could not tell.
win::DWORD CloseRequestsReach(win::DWORD processId);

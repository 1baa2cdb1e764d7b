// Finding, closing and starting the site's manager application. Nothing here
// writes a message: callers report.
#pragma once

#include <string>

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
  // The error of the open that the last FindProcess made and that failed; 0
  // when it opened the process or matched none.
  [[nodiscard]] win::DWORD OpenError() const { return openError_; }
  // Closes the process that FindProcess opened: 0 once it has ended, within
  // 5000 ms of the close requests or within kTerminateWait ms of its
  // termination (which Windows carries out after TerminateProcess returns).
  // Otherwise the error: TerminateProcess's, WAIT_TIMEOUT when the
  // terminated process did not end, or that of the failed wait.
  static win::DWORD CloseProcess(win::HANDLE process, win::DWORD processId);
  static constexpr win::DWORD kTerminateWait = 3000;
  // Gives back the modules; the object finds nothing afterwards.
  void ReleaseLibraries();

 private:
  // OpenProcess for the access CloseProcess needs; keeps the error of a failure.
  win::UniqueHandle Open(win::DWORD processId);
  win::UniqueHandle FindProcessBySnapshot(const char* name, win::DWORD& processId);
  win::UniqueHandle FindProcessBySystemQuery(const char* name, win::DWORD& processId);
  // EnumWindows callback: posts WM_CLOSE to each window of the process whose
  // id is param; always goes on to the next window.
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
};

// A primary token of the running process processId, taken so that the
// process can be started again as it ran (the debug privilege opens one of
// another account). Null when the process or its token cannot be opened or
// the token cannot be duplicated.
win::UniqueHandle TakePrimaryToken(win::DWORD processId);

// Starts commandLine, passed on unchanged (the program is its first token),
// and waits until the process ends or timeout ms have passed; the process
// runs on after a time-out. Nonzero when the process was created and its
// exit status could be read afterwards, whatever the status; 0 when it could
// not be created.
//
// With a token (from TakePrimaryToken) the process runs under the token's
// account: where this process runs as SYSTEM, through CreateProcessAsUserA,
// in the token's session, on its interactive desktop and with the account's
// environment; otherwise through CreateProcessWithTokenW, in this process's
// session, with the account's environment. Where either call fails or
// CreateProcessWithTokenW is missing (Windows 2000 and XP), and without a
// token, CreateProcessA starts it under this process's account.
win::BOOL StartProcessAndWait(std::string commandLine, win::DWORD timeout, win::HANDLE token = nullptr);

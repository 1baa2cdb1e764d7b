// The simulated service control manager: installed services whose status
// answers follow a script, stop and start requests answered or refused, and
// the access checks and error codes of Windows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/registry.h"
#include "platform/win.h"

namespace sim {

// One status answer of a service.
struct ServiceStep {
  win::DWORD state = win::SERVICE_STOPPED;
  win::DWORD checkPoint = 0;
  win::DWORD waitHint = 0;
  win::DWORD exitCode = 0;          // dwWin32ExitCode
  win::DWORD specificExitCode = 0;  // dwServiceSpecificExitCode
};

// A step that reports a state.
inline ServiceStep Status(win::DWORD state, win::DWORD checkPoint = 0, win::DWORD waitHint = 0) {
  return ServiceStep{state, checkPoint, waitHint};
}

// An installed service. Each status query answers with the next step of
// `status`; its last step repeats. An accepted stop request makes
// `afterStop` the script and is answered with its first step, later queries
// going on from the second; an accepted start makes `afterStart` the script
// from its first step. As on Windows, a stop request is refused unless the
// service last reported RUNNING (1062 when stopped, 1061 when pending), and
// a start request unless STOPPED (1056).
struct ScriptedService {
  std::vector<ServiceStep> status = {Status(win::SERVICE_RUNNING)};
  std::vector<ServiceStep> afterStop = {Status(win::SERVICE_STOPPED)};
  std::vector<ServiceStep> afterStart = {Status(win::SERVICE_RUNNING)};
  size_t next = 0;  // index of the step that the next query answers

  ServiceStep Step(size_t i) const { return status.at(std::min(i, status.size() - 1)); }
  // The step last answered (the first one before any query).
  ServiceStep Current() const { return Step(next == 0 ? 0 : next - 1); }
};

struct Services {
  // Installs (or replaces) a service; names match without regard to case.
  ScriptedService& Install(const std::string& name) { return installed[name] = ScriptedService{}; }
  // Virtual milliseconds that each status query takes, so that a loop that
  // polls without pausing still sees the clock move.
  win::DWORD queryMilliseconds = 0;
  int queries = 0;  // status queries made so far

  std::map<std::string, ScriptedService, NoCaseLess> installed;
  struct Opened {
    std::string service;  // empty for the manager
    win::DWORD access;
  };
  std::map<uintptr_t, Opened> open;
};

// QueryServiceStatusEx as the simulated advapi32.dll exports it.
win::BOOL WINAPI SimQueryServiceStatusEx(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer,
                                         win::DWORD bufferSize, win::DWORD* bytesNeeded);

}  // namespace sim

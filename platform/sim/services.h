// The simulated service control manager: installed services whose status
// answers follow a script, stop and start requests answered or refused, and
// the access checks and error codes of Windows.
#pragma once

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
ServiceStep Status(win::DWORD state, win::DWORD checkPoint = 0, win::DWORD waitHint = 0);

// An installed service. Each status query answers with the next step of the
// current script; its last step repeats. The current script is `status`
// until a stop or start request is accepted, which switches to `afterStop`
// or `afterStart`. An accepted stop request is answered with the first step
// of `afterStop` and later queries go on from the second; after a start the
// first query answers the first step of `afterStart`. As on Windows, a stop
// request is refused unless the service last reported RUNNING (1062 when
// stopped, 1061 when pending), and a start request unless STOPPED (1056).
struct ScriptedService {
  std::vector<ServiceStep> status = {Status(win::SERVICE_RUNNING)};
  std::vector<ServiceStep> afterStop = {Status(win::SERVICE_STOPPED)};
  std::vector<ServiceStep> afterStart = {Status(win::SERVICE_RUNNING)};

  enum class Phase { Initial, Stopping, Starting } phase = Phase::Initial;
  size_t next = 0;  // index of the step that the next query answers
  // The step numbered i of the current script.
  ServiceStep Step(size_t i) const;
  // The step last answered (the first one before any query).
  ServiceStep Current() const { return Step(next == 0 ? 0 : next - 1); }
};

class Services {
 public:
  // --- Set-up by tests ---
  // Installs (or replaces) a service; names match without regard to case.
  ScriptedService& Install(const std::string& name) { return services_[name] = ScriptedService{}; }
  // Virtual milliseconds that each status query takes, so that a loop that
  // polls without pausing still sees the clock move.
  win::DWORD queryMilliseconds = 0;
  int queries = 0;  // status queries made so far

  // --- The Windows calls ---
  win::SC_HANDLE OpenManager(win::DWORD access);
  win::SC_HANDLE OpenService(win::SC_HANDLE manager, const char* name, win::DWORD access);
  win::BOOL Control(win::SC_HANDLE service, win::DWORD control, win::SERVICE_STATUS* status);
  win::BOOL Start(win::SC_HANDLE service);
  win::BOOL QueryStatus(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer, win::DWORD size,
                        win::DWORD* needed);
  win::BOOL Close(win::SC_HANDLE handle);
  // The service name of an open service handle, or "SCManager".
  std::string NameOf(win::SC_HANDLE handle) const;

 private:
  struct Opened {
    std::string service;  // empty for the manager
    win::DWORD access;
  };
  // The service of a service handle (the manager's record for the manager's
  // handle) that grants right; null, with the last error set, for none.
  const Opened* Granted(win::SC_HANDLE handle, bool manager, win::DWORD right);

  std::map<std::string, ScriptedService, NoCaseLess> services_;
  std::map<uintptr_t, Opened> open_;
};

// QueryServiceStatusEx as the simulated advapi32.dll exports it.
win::BOOL WINAPI SimQueryServiceStatusEx(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer,
                                         win::DWORD bufferSize, win::DWORD* bytesNeeded);

}  // namespace sim

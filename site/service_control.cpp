#include "site/service_control.h"

#include <algorithm>
#include <optional>

#include "app/os.h"
#include "app/run_log.h"
#include "platform/unique.h"

namespace {

constexpr char kServiceName[] = "HubSvc";
constexpr win::DWORD kStopTimeout = 5000;

// QueryServiceStatusEx as LoadNTServiceHelperFunctions bound it, or null.
win::PFN_QueryServiceStatusEx queryServiceStatusEx = nullptr;

bool IsWindows9x() { return GetOsPlatform() == 1; }

// Queries the status through the bound entry point. The record changes only
// when the query succeeds, so after a failure it keeps the last status seen.
// An unbound entry point fails the query instead of crashing the run.
bool QueryStatus(win::SC_HANDLE service, win::SERVICE_STATUS_PROCESS& status) {
  const win::PFN_QueryServiceStatusEx query = queryServiceStatusEx;
  if (query == nullptr) {
    win::SetLastError(win::ERROR_PROC_NOT_FOUND);
    return false;
  }
  win::SERVICE_STATUS_PROCESS fresh{};
  win::DWORD needed = 0;
  if (!query(service, win::SC_STATUS_PROCESS_INFO, reinterpret_cast<win::BYTE*>(&fresh), sizeof fresh, &needed)) {
    return false;
  }
  status = fresh;
  return true;
}

// Pauses for the wait hint, but never past 1 ms after the time-out, so a
// service that reports a huge hint cannot hold the stop beyond it.
void PauseForStop(win::DWORD waitHint, win::DWORD start, win::DWORD timeout) {
  const win::DWORD elapsed = win::GetTickCount() - start;
  const win::DWORD left = elapsed < timeout ? timeout - elapsed : 0;
  win::Sleep(waitHint <= left ? waitHint : left + 1);  // left + 1 cannot wrap here
}

// While a start is under way, the stop looks again after a tenth of the
// start's wait hint, within 100 ms to 1 s: a start hint is the time the whole
// start may take, and sleeping it out would leave nothing of the time-out
// for the stop itself once the service runs.
win::DWORD StartUnderWayPause(win::DWORD waitHint) { return std::clamp<win::DWORD>(waitHint / 10, 100, 1000); }

// One pass of a stop wait: pause, query, stopped test, time-out test. Gives
// the stop's result when the wait is over, nothing while it goes on.
std::optional<win::DWORD> WaitForStop(win::SC_HANDLE service, win::SERVICE_STATUS_PROCESS& status, win::DWORD start,
                                      win::DWORD timeout) {
  const bool starting = status.dwCurrentState == win::SERVICE_START_PENDING;
  PauseForStop(starting ? StartUnderWayPause(status.dwWaitHint) : status.dwWaitHint, start, timeout);
  if (!QueryStatus(service, status)) {
    return win::GetLastError();
  }
  if (status.dwCurrentState == win::SERVICE_STOPPED) {
    return 0;
  }
  if (win::GetTickCount() - start > timeout) {
    return win::ERROR_TIMEOUT;
  }
  return std::nullopt;
}

// The start wait's pause: a tenth of the wait hint, within 1 to 5 seconds.
win::DWORD StartPause(win::DWORD waitHint) { return std::clamp<win::DWORD>(waitHint / 10, 1000, 5000); }

void ReportStartFailure(const win::SERVICE_STATUS_PROCESS& status) {
  LogFormatted(CurrentRunLog(),
               "\nControl Server Service is not started. \n"
               "  Current State: %d\n"
               "  Exit Code: %d\n"
               "  Service Specific Exit Code: %d\n"
               "  Check Point: %d\n"
               "  Wait Hint: %d\n",
               static_cast<int>(status.dwCurrentState), static_cast<int>(status.dwWin32ExitCode),
               static_cast<int>(status.dwServiceSpecificExitCode), static_cast<int>(status.dwCheckPoint),
               static_cast<int>(status.dwWaitHint));
}

// Writes "<operation>() - <call> returned error <code>" and the summary line.
void ReportFailure(const char* operation, const char* call, win::DWORD code, const char* summary) {
  LogFormatted(CurrentRunLog(), "\n%s() - %s returned error %d", operation, call, static_cast<int>(code));
  LogFormatted(CurrentRunLog(), "\n%s() - %s", operation, summary);
}

// Opens the service control manager and HubSvc with all access. When either
// open fails, writes the operation's pair of failure messages and gives false.
bool OpenHub(const char* operation, const char* summary, win::UniqueScHandle& manager, win::UniqueScHandle& service) {
  manager.reset(win::OpenSCManagerA(nullptr, nullptr, win::SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    ReportFailure(operation, "OpenSCManager", win::GetLastError(), summary);
    return false;
  }
  service.reset(win::OpenServiceA(manager.get(), kServiceName, win::SERVICE_ALL_ACCESS));
  if (!service) {
    ReportFailure(operation, "OpenService", win::GetLastError(), summary);
    return false;
  }
  return true;
}

}  // namespace

bool LoadNTServiceHelperFunctions() {
  queryServiceStatusEx = nullptr;
  win::UniqueModule advapi(win::LoadLibraryA("ADVAPI32.DLL"));
  if (!advapi) {
    LogMessage("\nLoadNTServiceHelperFunctions(): Failed to load ADVAPI32.DLL", CurrentRunLog());
    return false;
  }
  const win::FARPROC entry = win::GetProcAddress(advapi.get(), "QueryServiceStatusEx");
  if (entry == nullptr) {
    LogMessage("\nLoadNTServiceHelperFunctions(): Failed to find needed functions in ADVAPI32.DLL", CurrentRunLog());
    return false;  // the library is released here
  }
  queryServiceStatusEx = reinterpret_cast<win::PFN_QueryServiceStatusEx>(entry);
  advapi.release();  // the bound entry needs the library for the rest of the run
  return true;
}

bool IsControlServerService(win::DWORD* unreadable) {
  if (IsWindows9x()) {
    return false;
  }
  // Not there, or a value longer than the buffer: no service. Anything else
  // leaves the question open.
  const auto answer = [unreadable](win::LONG result) {
    const auto error = static_cast<win::DWORD>(result);
    if (unreadable != nullptr && error != 0 && error != win::ERROR_FILE_NOT_FOUND && error != win::ERROR_MORE_DATA) {
      *unreadable = error;
    }
    return result == 0;
  };
  win::UniqueHkey key;
  if (const win::LONG opened = win::RegOpenKeyA(win::HKEY_CLASSES_ROOT, kRegistrationKey, key.put()); opened != 0) {
    key.release();  // nothing was opened
    return answer(opened);
  }
  win::BYTE value[300];
  win::DWORD size = sizeof value;
  win::DWORD type = 0;
  return answer(win::RegQueryValueExA(key.get(), "LocalService", nullptr, &type, value, &size));
}

bool StopControlServer() {
  if (IsWindows9x()) {
    return false;
  }
  constexpr char kOperation[] = "StopControlServer";
  constexpr char kSummary[] = "Unable to stop the Hubsvc";
  win::UniqueScHandle manager;
  win::UniqueScHandle service;  // declared after the manager, so it is closed before it
  if (!OpenHub(kOperation, kSummary, manager, service)) {
    return false;
  }
  const win::DWORD result = StopService(service.get(), kStopTimeout);
  if (result != 0) {
    ReportFailure(kOperation, "StopService", result, kSummary);
    return false;
  }
  LogMessage("\nControl server stopped.", CurrentRunLog());
  return true;
}

win::DWORD StopService(win::SC_HANDLE service, win::DWORD timeout) {
  const win::DWORD start = win::GetTickCount();
  win::SERVICE_STATUS_PROCESS status{};
  if (!QueryStatus(service, status)) {
    return win::GetLastError();
  }
  if (status.dwCurrentState == win::SERVICE_STOPPED) {
    return 0;
  }
  // A stop already under way: wait for it without a request of our own. A
  // start under way (the system starting the service at boot, or a run that
  // was killed after starting it) is waited out too, in short pauses and
  // within the same time-out: Windows refuses a stop request while the
  // service starts (1061), and the files would then be changed under the
  // running service. Once it runs, the stop request follows at once.
  while (status.dwCurrentState == win::SERVICE_STOP_PENDING || status.dwCurrentState == win::SERVICE_START_PENDING) {
    if (const auto result = WaitForStop(service, status, start, timeout)) {
      return *result;
    }
  }
  // ControlService fills the leading SERVICE_STATUS part of the record.
  if (!win::ControlService(service, win::SERVICE_CONTROL_STOP, reinterpret_cast<win::SERVICE_STATUS*>(&status))) {
    return win::GetLastError();
  }
  while (status.dwCurrentState != win::SERVICE_STOPPED) {
    if (const auto result = WaitForStop(service, status, start, timeout)) {
      return *result;
    }
  }
  return 0;
}

bool StartControlServer() {
  if (IsWindows9x()) {
    return false;
  }
  constexpr char kOperation[] = "StartControlServer";
  constexpr char kSummary[] = "Unable to start the Hubsvc";
  win::UniqueScHandle manager;
  win::UniqueScHandle service;
  if (!OpenHub(kOperation, kSummary, manager, service)) {
    return false;
  }
  if (!win::StartServiceA(service.get(), 0, nullptr)) {
    ReportFailure(kOperation, "StartService", win::GetLastError(), kSummary);
    return false;
  }
  // The wait goes on while the check point grows; it ends when a pass
  // without progress finds more time gone since the last progress than the
  // latest wait hint. A query that fails leaves the service's state unknown:
  // said so, rather than passed over or reported as a state.
  win::SERVICE_STATUS_PROCESS status{};
  const auto query = [&] {
    if (QueryStatus(service.get(), status)) {
      return true;
    }
    ReportFailure(kOperation, "QueryServiceStatusEx", win::GetLastError(), kSummary);
    return false;
  };
  if (!query()) {
    return false;
  }
  win::DWORD start = win::GetTickCount();
  win::DWORD checkPoint = status.dwCheckPoint;
  while (status.dwCurrentState == win::SERVICE_START_PENDING) {
    win::Sleep(StartPause(status.dwWaitHint));
    if (!query()) {
      return false;
    }
    if (status.dwCheckPoint > checkPoint) {
      start = win::GetTickCount();
      checkPoint = status.dwCheckPoint;
    } else if (win::GetTickCount() - start > status.dwWaitHint) {
      break;
    }
  }
  service.reset();
  if (status.dwCurrentState == win::SERVICE_RUNNING) {
    manager.reset();
    LogMessage("\nControl server started.", CurrentRunLog());
    return true;
  }
  ReportStartFailure(status);
  manager.reset();
  return false;
}

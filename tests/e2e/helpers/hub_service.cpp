// Test helper: a Windows service that stands in for the control server, with
// the behaviour a test picks on its command line (the service's binPath):
//
//   hub_service.exe [--stop-slowly N] [--fail-start]
//
//   (no option)        starts at once and stops at once;
//   --stop-slowly N    a stop reports STOP_PENDING with a 1000 ms wait hint
//                      and a growing check point for N steps of 500 ms;
//   --fail-start       the start reports START_PENDING, then STOPPED with
//                      exit code 1066 (service-specific) and specific code 42.
//
// The service registers under whatever name it is started with.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

// The service's options and state, shared by the dispatcher thread
// (control handler) and the service thread.
struct Service {
  int stopSteps = 0;
  bool failStart = false;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  HANDLE stopRequested = nullptr;
};

Service service;

void Report(DWORD state, DWORD checkPoint, DWORD waitHint) {
  service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service.status.dwCurrentState = state;
  service.status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  service.status.dwCheckPoint = checkPoint;
  service.status.dwWaitHint = waitHint;
  SetServiceStatus(service.handle, &service.status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    // The stop request returns with this status; the service thread does
    // the rest.
    Report(SERVICE_STOP_PENDING, 1, 1000);
    SetEvent(service.stopRequested);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, char** argv) {
  service.handle = RegisterServiceCtrlHandlerExA(argv[0], Control, nullptr);
  if (service.handle == nullptr) {
    return;
  }
  service.stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_START_PENDING, 0, 2000);
  if (service.failStart) {
    Sleep(300);
    service.status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    service.status.dwServiceSpecificExitCode = 42;
    Report(SERVICE_STOPPED, 0, 0);
    return;
  }
  Report(SERVICE_RUNNING, 0, 0);
  WaitForSingleObject(service.stopRequested, INFINITE);
  for (int step = 0; step < service.stopSteps; ++step) {
    Sleep(500);
    Report(SERVICE_STOP_PENDING, static_cast<DWORD>(step) + 2, 1000);
  }
  Report(SERVICE_STOPPED, 0, 0);
}

// False for an option it does not know, so that a caller of an older helper fails.
bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fail-start") == 0) {
      service.failStart = true;
    } else if (i + 1 < argc && std::strcmp(argv[i], "--stop-slowly") == 0) {
      service.stopSteps = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    return 2;
  }
  char name[] = "";  // ignored for a service of its own process
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}

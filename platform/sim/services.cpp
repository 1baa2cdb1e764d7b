#include "platform/sim/services.h"

#include <cstring>

#include "platform/sim/machine.h"

namespace sim {
namespace {

constexpr win::DWORD kScManagerConnect = 0x0001;
constexpr win::DWORD kServiceQueryStatus = 0x0004;
constexpr win::DWORD kServiceStart = 0x0010;
constexpr win::DWORD kServiceStop = 0x0020;

Machine& M() { return Machine::Current(); }

// The object of a call on a handle: the service's name, "SCManager" for the manager's.
std::string NameOf(win::SC_HANDLE handle) {
  auto it = M().services.open.find(reinterpret_cast<uintptr_t>(handle));
  return it == M().services.open.end() ? "" : it->second.service.empty() ? "SCManager" : it->second.service;
}

// A call on a service handle, recorded and failed as planted; else the
// service, when the handle grants right.
ScriptedService* ServiceCall(const char* call, win::SC_HANDLE handle, win::DWORD right) {
  Machine& m = PlatformCall(call, NameOf(handle));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, nullptr);
  }
  const Services::Opened* opened = OpenedRecord(m.services.open, handle, HandleKind::Service, right);
  return opened == nullptr ? nullptr : &m.services.installed.at(opened->service);
}

win::SC_HANDLE Open(HandleKind kind, const std::string& service, win::DWORD access) {
  auto* handle = M().handles.Add<win::SC_HANDLE>(kind, service.empty() ? "local" : service);
  M().services.open[reinterpret_cast<uintptr_t>(handle)] = {service, access};
  return handle;
}

// A step as a status record; a SERVICE_STATUS is the first part of one.
void Report(const ServiceStep& step, void* record, size_t size) {
  const win::SERVICE_STATUS_PROCESS full{
      0x10 /*own process*/, step.state, 0, step.exitCode, step.specificExitCode, step.checkPoint, step.waitHint, 0, 0};
  std::memcpy(record, &full, size);
}

}  // namespace

win::BOOL WINAPI SimQueryServiceStatusEx(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer,
                                         win::DWORD bufferSize, win::DWORD* bytesNeeded) {
  ScriptedService* s = ServiceCall("QueryServiceStatusEx", service, kServiceQueryStatus);
  if (s == nullptr) {
    return win::FALSE;
  }
  ++M().services.queries;
  M().clock.ticks += M().services.queryMilliseconds;
  *bytesNeeded = sizeof(win::SERVICE_STATUS_PROCESS);
  if (infoLevel != win::SC_STATUS_PROCESS_INFO || bufferSize < *bytesNeeded) {
    return M().Fail(bufferSize < *bytesNeeded ? win::ERROR_INSUFFICIENT_BUFFER : win::ERROR_INVALID_PARAMETER);
  }
  Report(s->Step(s->next++), buffer, sizeof(win::SERVICE_STATUS_PROCESS));
  return win::TRUE;
}

}  // namespace sim

namespace win {

SC_HANDLE OpenSCManagerA(const char* /*machine: the local one*/, const char* /*database: the active one*/,
                         DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenSCManagerA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  return sim::Open(sim::HandleKind::ScManager, "", access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenServiceA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  if (sim::OpenedRecord(m.services.open, manager, sim::HandleKind::ScManager, sim::kScManagerConnect) == nullptr) {
    return nullptr;
  }
  auto it = m.services.installed.find(sim::Str(name));
  if (it == m.services.installed.end()) {
    return m.Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE{nullptr});
  }
  return sim::Open(sim::HandleKind::Service, it->first, access);
}

// A planted 1051 is a stop while dependent services run.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  sim::ScriptedService* s = sim::ServiceCall("ControlService", service, sim::kServiceStop);
  if (s == nullptr) {
    return FALSE;
  }
  sim::Machine& m = sim::Machine::Current();
  if (control != SERVICE_CONTROL_STOP) {
    return m.Fail(ERROR_INVALID_PARAMETER);
  }
  const DWORD state = s->Current().state;
  if (state != SERVICE_RUNNING) {
    return m.Fail(state == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  s->status = s->afterStop;
  s->next = 1;
  sim::Report(s->Current(), status, sizeof *status);
  return TRUE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD /*argc: none passed*/, const char** /*argv*/) {
  sim::ScriptedService* s = sim::ServiceCall("StartServiceA", service, sim::kServiceStart);
  if (s == nullptr) {
    return FALSE;
  }
  if (s->Current().state != SERVICE_STOPPED) {
    return sim::Machine::Current().Fail(ERROR_SERVICE_ALREADY_RUNNING);
  }
  s->status = s->afterStart;
  s->next = 0;
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  sim::Machine& m = sim::PlatformCall("CloseServiceHandle", sim::NameOf(handle));
  if (!m.handles.Remove(handle, sim::HandleKind::ScManager) && !m.handles.Remove(handle, sim::HandleKind::Service)) {
    return m.Fail(ERROR_INVALID_HANDLE);
  }
  m.services.open.erase(reinterpret_cast<uintptr_t>(handle));
  return TRUE;
}

}  // namespace win

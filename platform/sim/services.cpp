#include "platform/sim/services.h"

#include <algorithm>

#include "platform/sim/machine.h"

namespace sim {
namespace {

constexpr win::DWORD kScManagerConnect = 0x0001;
constexpr win::DWORD kServiceQueryStatus = 0x0004;
constexpr win::DWORD kServiceStart = 0x0010;
constexpr win::DWORD kServiceStop = 0x0020;
constexpr win::DWORD kServiceWin32OwnProcess = 0x10;
constexpr win::DWORD kServiceAcceptStop = 0x1;
constexpr win::DWORD kErrorInvalidServiceControl = 1052;
constexpr win::DWORD kErrorInvalidLevel = 124;

bool Fail(win::DWORD code) {
  Machine::Current().lastError = code;
  return false;
}

}  // namespace

ServiceStep Status(win::DWORD state, win::DWORD checkPoint, win::DWORD waitHint) {
  ServiceStep step;
  step.state = state;
  step.checkPoint = checkPoint;
  step.waitHint = waitHint;
  return step;
}

const std::vector<ServiceStep>& ScriptedService::Script() const {
  switch (phase) {
    case Phase::Stopping:
      return afterStop;
    case Phase::Starting:
      return afterStart;
    case Phase::Initial:
      break;
  }
  return status;
}

ServiceStep ScriptedService::Current() const {
  const std::vector<ServiceStep>& steps = Script();
  if (steps.empty()) {
    return Status(win::SERVICE_STOPPED);
  }
  return steps[std::min(next == 0 ? 0 : next - 1, steps.size() - 1)];
}

ScriptedService& Services::Install(const std::string& name) { return services_[name] = ScriptedService{}; }

std::string Services::NameOf(win::SC_HANDLE handle) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == open_.end()) {
    return Hex(reinterpret_cast<uintptr_t>(handle));
  }
  return it->second.service.empty() ? "SCManager" : it->second.service;
}

ScriptedService* Services::Find(win::SC_HANDLE handle, win::DWORD right, win::DWORD* error) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == open_.end() || it->second.service.empty()) {
    *error = win::ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if ((it->second.access & right) == 0) {
    *error = win::ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return &services_.at(it->second.service);
}

win::SC_HANDLE Services::OpenManager(const char* machine, const char* database, win::DWORD access) {
  Machine& m = Machine::Current();
  if (machine != nullptr || database != nullptr) {
    Fail(win::ERROR_INVALID_PARAMETER);  // only the local machine's active database is simulated
    return nullptr;
  }
  auto* handle = m.handles.Add<win::SC_HANDLE>(HandleKind::ScManager, "local");
  open_[reinterpret_cast<uintptr_t>(handle)] = OpenHandle{"", access};
  return handle;
}

win::SC_HANDLE Services::OpenService(win::SC_HANDLE manager, const char* name, win::DWORD access) {
  Machine& m = Machine::Current();
  auto managerIt = open_.find(reinterpret_cast<uintptr_t>(manager));
  if (managerIt == open_.end() || !managerIt->second.service.empty()) {
    Fail(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((managerIt->second.access & kScManagerConnect) == 0) {
    Fail(win::ERROR_ACCESS_DENIED);
    return nullptr;
  }
  auto it = services_.find(Str(name));
  if (name == nullptr || it == services_.end()) {
    Fail(win::ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto* handle = m.handles.Add<win::SC_HANDLE>(HandleKind::Service, it->first);
  open_[reinterpret_cast<uintptr_t>(handle)] = OpenHandle{it->first, access};
  return handle;
}

bool Services::Control(win::SC_HANDLE service, win::DWORD control, win::SERVICE_STATUS* status) {
  win::DWORD error = 0;
  ScriptedService* s = Find(service, kServiceStop, &error);
  if (s == nullptr) {
    return Fail(error);
  }
  if (control != win::SERVICE_CONTROL_STOP || status == nullptr) {
    return Fail(control != win::SERVICE_CONTROL_STOP ? kErrorInvalidServiceControl : win::ERROR_INVALID_PARAMETER);
  }
  const win::DWORD state = s->Current().state;
  if (state == win::SERVICE_STOPPED) {
    return Fail(win::ERROR_SERVICE_NOT_ACTIVE);
  }
  if (state == win::SERVICE_START_PENDING || state == win::SERVICE_STOP_PENDING) {
    return Fail(win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  s->phase = ScriptedService::Phase::Stopping;
  s->next = 1;
  const ServiceStep step = s->Current();
  *status = win::SERVICE_STATUS{kServiceWin32OwnProcess, step.state,      kServiceAcceptStop, step.exitCode,
                                step.specificExitCode,   step.checkPoint, step.waitHint};
  return true;
}

bool Services::Start(win::SC_HANDLE service, win::DWORD argc, const char** argv) {
  win::DWORD error = 0;
  ScriptedService* s = Find(service, kServiceStart, &error);
  if (s == nullptr) {
    return Fail(error);
  }
  if (argc != 0 && argv == nullptr) {
    return Fail(win::ERROR_INVALID_PARAMETER);
  }
  if (s->Current().state != win::SERVICE_STOPPED) {
    return Fail(win::ERROR_SERVICE_ALREADY_RUNNING);
  }
  s->phase = ScriptedService::Phase::Starting;
  s->next = 0;
  return true;
}

bool Services::QueryStatus(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer, win::DWORD size,
                           win::DWORD* needed) {
  Machine& m = Machine::Current();
  ++queries;
  m.clock.ticks += queryMilliseconds;
  win::DWORD error = 0;
  ScriptedService* s = Find(service, kServiceQueryStatus, &error);
  if (s == nullptr) {
    return Fail(error);
  }
  if (infoLevel != win::SC_STATUS_PROCESS_INFO) {
    return Fail(kErrorInvalidLevel);
  }
  if (needed == nullptr) {
    return Fail(win::ERROR_INVALID_PARAMETER);
  }
  *needed = sizeof(win::SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || size < sizeof(win::SERVICE_STATUS_PROCESS)) {
    return Fail(win::ERROR_INSUFFICIENT_BUFFER);
  }
  const std::vector<ServiceStep>& steps = s->Script();
  const ServiceStep step = steps.empty() ? Status(win::SERVICE_STOPPED) : steps[std::min(s->next, steps.size() - 1)];
  ++s->next;
  const win::SERVICE_STATUS_PROCESS record{kServiceWin32OwnProcess,
                                           step.state,
                                           step.state == win::SERVICE_RUNNING ? kServiceAcceptStop : 0,
                                           step.exitCode,
                                           step.specificExitCode,
                                           step.checkPoint,
                                           step.waitHint,
                                           step.state == win::SERVICE_STOPPED ? 0U : 4242U,
                                           0};
  std::copy_n(reinterpret_cast<const win::BYTE*>(&record), sizeof record, buffer);
  return true;
}

bool Services::Close(win::SC_HANDLE handle) {
  Machine& m = Machine::Current();
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == open_.end()) {
    return Fail(win::ERROR_INVALID_HANDLE);
  }
  m.handles.Remove(handle, it->second.service.empty() ? HandleKind::ScManager : HandleKind::Service);
  open_.erase(it);
  return true;
}

// Each call's object is the service's name ("SCManager" for the manager's handle).
win::BOOL WINAPI SimQueryServiceStatusEx(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer,
                                         win::DWORD bufferSize, win::DWORD* bytesNeeded) {
  Machine& m = PlatformCall("QueryServiceStatusEx", Machine::Current().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return m.services.QueryStatus(service, infoLevel, buffer, bufferSize, bytesNeeded) ? win::TRUE : win::FALSE;
}

}  // namespace sim

namespace win {

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenSCManagerA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  return sim::Machine::Current().services.OpenManager(machine, database, access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenServiceA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  return sim::Machine::Current().services.OpenService(manager, name, access);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  sim::Machine& m = sim::PlatformCall("ControlService", sim::Machine::Current().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);  // 1051: a stop while dependent services run
  }
  return sim::Machine::Current().services.Control(service, control, status) ? TRUE : FALSE;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** argv) {
  sim::Machine& m = sim::PlatformCall("StartServiceA", sim::Machine::Current().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return sim::Machine::Current().services.Start(service, argc, argv) ? TRUE : FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  sim::PlatformCall("CloseServiceHandle", sim::Machine::Current().services.NameOf(handle));
  return sim::Machine::Current().services.Close(handle) ? TRUE : FALSE;
}

}  // namespace win

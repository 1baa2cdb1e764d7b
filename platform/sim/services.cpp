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

Machine& M() { return Machine::Current(); }

}  // namespace

ServiceStep Status(win::DWORD state, win::DWORD checkPoint, win::DWORD waitHint) {
  return ServiceStep{state, checkPoint, waitHint};
}

ServiceStep ScriptedService::Step(size_t i) const {
  const auto& steps = phase == Phase::Stopping ? afterStop : phase == Phase::Starting ? afterStart : status;
  return steps.at(std::min(i, steps.size() - 1));
}

std::string Services::NameOf(win::SC_HANDLE handle) const {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  return it == open_.end() ? "" : it->second.service.empty() ? "SCManager" : it->second.service;
}

const Services::Opened* Services::Granted(win::SC_HANDLE handle, bool manager, win::DWORD right) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == open_.end() || it->second.service.empty() != manager) {
    return M().Fail(win::ERROR_INVALID_HANDLE, nullptr);
  }
  return (it->second.access & right) == 0 ? M().Fail(win::ERROR_ACCESS_DENIED, nullptr) : &it->second;
}

win::SC_HANDLE Services::OpenManager(win::DWORD access) {
  auto* handle = M().handles.Add<win::SC_HANDLE>(HandleKind::ScManager, "local");
  open_[reinterpret_cast<uintptr_t>(handle)] = Opened{"", access};
  return handle;
}

win::SC_HANDLE Services::OpenService(win::SC_HANDLE manager, const char* name, win::DWORD access) {
  if (Granted(manager, true, kScManagerConnect) == nullptr) {
    return nullptr;
  }
  auto it = services_.find(Str(name));
  if (it == services_.end()) {
    return M().Fail(win::ERROR_SERVICE_DOES_NOT_EXIST, win::SC_HANDLE{nullptr});
  }
  auto* handle = M().handles.Add<win::SC_HANDLE>(HandleKind::Service, it->first);
  open_[reinterpret_cast<uintptr_t>(handle)] = Opened{it->first, access};
  return handle;
}

win::BOOL Services::Control(win::SC_HANDLE service, win::DWORD control, win::SERVICE_STATUS* status) {
  const Opened* opened = Granted(service, false, kServiceStop);
  if (opened == nullptr) {
    return win::FALSE;
  }
  if (control != win::SERVICE_CONTROL_STOP || status == nullptr) {
    return M().Fail(win::ERROR_INVALID_PARAMETER);
  }
  ScriptedService& s = services_.at(opened->service);
  const win::DWORD state = s.Current().state;
  if (state != win::SERVICE_RUNNING) {
    return M().Fail(state == win::SERVICE_STOPPED ? win::ERROR_SERVICE_NOT_ACTIVE
                                                  : win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  }
  s.phase = ScriptedService::Phase::Stopping;
  s.next = 1;
  const ServiceStep step = s.Current();
  *status = win::SERVICE_STATUS{kServiceWin32OwnProcess, step.state,   0, step.exitCode, step.specificExitCode,
                                step.checkPoint,         step.waitHint};
  return win::TRUE;
}

win::BOOL Services::Start(win::SC_HANDLE service) {
  const Opened* opened = Granted(service, false, kServiceStart);
  if (opened == nullptr) {
    return win::FALSE;
  }
  ScriptedService& s = services_.at(opened->service);
  if (s.Current().state != win::SERVICE_STOPPED) {
    return M().Fail(win::ERROR_SERVICE_ALREADY_RUNNING);
  }
  s.phase = ScriptedService::Phase::Starting;
  s.next = 0;
  return win::TRUE;
}

win::BOOL Services::QueryStatus(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer, win::DWORD size,
                                win::DWORD* needed) {
  ++queries;
  M().clock.ticks += queryMilliseconds;
  const Opened* opened = Granted(service, false, kServiceQueryStatus);
  if (opened == nullptr) {
    return win::FALSE;
  }
  if (infoLevel != win::SC_STATUS_PROCESS_INFO || needed == nullptr) {
    return M().Fail(win::ERROR_INVALID_PARAMETER);
  }
  *needed = sizeof(win::SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || size < sizeof(win::SERVICE_STATUS_PROCESS)) {
    return M().Fail(win::ERROR_INSUFFICIENT_BUFFER);
  }
  ScriptedService& s = services_.at(opened->service);
  const ServiceStep step = s.Step(s.next++);
  const win::SERVICE_STATUS_PROCESS record{
      kServiceWin32OwnProcess, step.state, 0, step.exitCode, step.specificExitCode, step.checkPoint,
      step.waitHint,           0,          0};
  std::copy_n(reinterpret_cast<const win::BYTE*>(&record), sizeof record, buffer);
  return win::TRUE;
}

win::BOOL Services::Close(win::SC_HANDLE handle) {
  auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == open_.end()) {
    return M().Fail(win::ERROR_INVALID_HANDLE);
  }
  M().handles.Remove(handle, it->second.service.empty() ? HandleKind::ScManager : HandleKind::Service);
  open_.erase(it);
  return win::TRUE;
}

// Each call's object is the service's name ("SCManager" for the manager's handle).
win::BOOL WINAPI SimQueryServiceStatusEx(win::SC_HANDLE service, win::DWORD infoLevel, win::BYTE* buffer,
                                         win::DWORD bufferSize, win::DWORD* bytesNeeded) {
  Machine& m = PlatformCall("QueryServiceStatusEx", M().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return m.services.QueryStatus(service, infoLevel, buffer, bufferSize, bytesNeeded);
}

}  // namespace sim

namespace win {

SC_HANDLE OpenSCManagerA(const char* /*machine: the local one*/, const char* /*database: the active one*/,
                         DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenSCManagerA");
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  return m.services.OpenManager(access);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) {
  sim::Machine& m = sim::PlatformCall("OpenServiceA", sim::Str(name));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, SC_HANDLE{nullptr});
  }
  return m.services.OpenService(manager, name, access);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  sim::Machine& m = sim::PlatformCall("ControlService", sim::Machine::Current().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);  // 1051: a stop while dependent services run
  }
  return m.services.Control(service, control, status);
}

BOOL StartServiceA(SC_HANDLE service, DWORD /*argc: none passed*/, const char** /*argv*/) {
  sim::Machine& m = sim::PlatformCall("StartServiceA", sim::Machine::Current().services.NameOf(service));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error);
  }
  return m.services.Start(service);
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  sim::Machine& m = sim::PlatformCall("CloseServiceHandle", sim::Machine::Current().services.NameOf(handle));
  return m.services.Close(handle);
}

}  // namespace win

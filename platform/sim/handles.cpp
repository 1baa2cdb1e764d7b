// The handle table, and the calls that take a handle of any kind
// (CloseHandle, WaitForSingleObject) and hand it to the area that owns it.
#include "platform/sim/handles.h"

#include "platform/sim/machine.h"
#include "platform/sim/processes.h"
#include "platform/win.h"

namespace sim {

const char* KindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::File:
      return "File";
    case HandleKind::Token:
      return "Token";
    case HandleKind::Key:
      return "Key";
    case HandleKind::ScManager:
      return "ScManager";
    case HandleKind::Service:
      return "Service";
    case HandleKind::Process:
      return "Process";
    case HandleKind::Thread:
      return "Thread";
    case HandleKind::Snapshot:
      return "Snapshot";
    case HandleKind::Module:
      return "Module";
    case HandleKind::Heap:
      return "Heap";
    case HandleKind::Mutex:
      return "Mutex";
    case HandleKind::Namespace:
      return "Namespace";
  }
  return "?";
}

uintptr_t HandleTable::AddValue(HandleKind kind, const std::string& label) {
  next_ += 4;
  open_[next_] = Entry{kind, std::string(KindName(kind)) + " " + label};
  return next_;
}

bool HandleTable::IsValue(uintptr_t value, HandleKind kind) const {
  auto it = open_.find(value);
  return it != open_.end() && it->second.kind == kind;
}

bool HandleTable::RemoveValue(uintptr_t value, HandleKind kind) {
  if (!IsValue(value, kind)) {
    return false;
  }
  open_.erase(value);
  return true;
}

std::string HandleTable::LabelOfValue(uintptr_t value) const {
  auto it = open_.find(value);
  return it == open_.end() ? std::to_string(value) : it->second.label;
}

bool HandleTable::KindOf(uintptr_t value, HandleKind* kind) const {
  auto it = open_.find(value);
  if (it == open_.end()) {
    return false;
  }
  *kind = it->second.kind;
  return true;
}

std::vector<uintptr_t> HandleTable::Values() const {
  std::vector<uintptr_t> values;
  for (const auto& [value, entry] : open_) {
    values.push_back(value);
  }
  return values;
}

std::vector<std::string> HandleTable::Open() const {
  std::vector<std::string> labels;
  for (const auto& [value, entry] : open_) {
    labels.push_back(entry.label);
  }
  return labels;
}

}  // namespace sim

namespace win {

BOOL CloseHandle(HANDLE handle) {
  sim::Machine& m = sim::Machine::Current();
  sim::PlatformCall("CloseHandle", m.handles.LabelOf(handle));
  sim::HandleKind kind{};
  const auto value = reinterpret_cast<uintptr_t>(handle);
  if (!m.handles.KindOf(value, &kind) || kind == sim::HandleKind::Key || kind == sim::HandleKind::ScManager ||
      kind == sim::HandleKind::Service || kind == sim::HandleKind::Module) {
    m.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  m.handles.Remove(handle, kind);
  if (kind == sim::HandleKind::File) {
    m.files.opens.erase(static_cast<intptr_t>(value));
  }
  if (kind == sim::HandleKind::Process || kind == sim::HandleKind::Thread || kind == sim::HandleKind::Snapshot) {
    sim::ForgetProcessHandle(value);
  }
  if (kind == sim::HandleKind::Mutex) {
    m.mutexes.Close(handle);
  }
  if (kind == sim::HandleKind::Namespace) {
    m.mutexes.CloseNamespace(handle);
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  sim::Machine& m = sim::Machine::Current();
  sim::PlatformCall("WaitForSingleObject", m.handles.LabelOf(handle));
  if (const auto error = m.PlantedError()) {
    return m.Fail(*error, WAIT_FAILED);
  }
  if (m.handles.Is(handle, sim::HandleKind::Mutex)) {
    return m.mutexes.Wait(handle, milliseconds);
  }
  return sim::WaitForProcess(handle, milliseconds);
}

}  // namespace win

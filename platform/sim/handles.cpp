// The handle table, and the calls that take a handle of any kind
// (CloseHandle, WaitForSingleObject) and hand it to the area that owns it.
#include "platform/sim/handles.h"

#include "platform/sim/machine.h"
#include "platform/win.h"

namespace sim {

uintptr_t HandleTable::AddValue(HandleKind kind, const std::string& label) {
  static const char* const kNames[] = {"File",    "Token",  "Key",      "ScManager", "Service",
                                       "Process", "Thread", "Snapshot", "Mutex",     "Namespace"};
  next_ += 4;
  open_[next_] = Entry{kind, kNames[static_cast<int>(kind)] + (" " + label)};
  return next_;
}

std::string HandleTable::LabelOf(const void* handle) const {
  const auto it = open_.find(reinterpret_cast<uintptr_t>(handle));
  return it == open_.end() ? std::to_string(reinterpret_cast<uintptr_t>(handle)) : it->second.label;
}

bool HandleTable::KindOf(uintptr_t value, HandleKind* kind) const {
  const auto it = open_.find(value);
  if (it != open_.end()) {
    *kind = it->second.kind;
  }
  return it != open_.end();
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
      kind == sim::HandleKind::Service) {
    return m.Fail(ERROR_INVALID_HANDLE);
  }
  m.handles.Remove(handle, kind);
  m.files.opens.erase(static_cast<intptr_t>(value));  // what the file's sharing holds goes with it
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

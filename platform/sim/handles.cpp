#include "platform/sim/handles.h"

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

// Handle values of the simulated process: every kernel object, key and
// service handle the program opens gets a distinct value here, so a test can
// tell which handles are still open when a run ends.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

enum class HandleKind { File, Token, Key, ScManager, Service, Process, Thread, Snapshot, Mutex, Namespace };

class HandleTable {
 public:
  // Returns a new handle value (a multiple of 4, as Windows hands them out).
  template <typename T>
  T Add(HandleKind kind, const std::string& label) {
    return reinterpret_cast<T>(AddValue(kind, label));
  }
  // True when handle is open and of the given kind.
  bool Is(const void* handle, HandleKind kind) const {
    HandleKind found{};
    return KindOf(reinterpret_cast<uintptr_t>(handle), &found) && found == kind;
  }
  // Removes an open handle of the given kind; false when there is none.
  bool Remove(const void* handle, HandleKind kind) {
    return Is(handle, kind) && open_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
  }
  // Labels ("Key HKLM\\Software\\...") of the handles still open.
  std::vector<std::string> Open() const;
  // The label of an open handle, or its value when it is not open.
  std::string LabelOf(const void* handle) const;
  // The handle kind, for calls that close any kind (CloseHandle).
  bool KindOf(uintptr_t value, HandleKind* kind) const;
  // Values of the open handles, for the system's clean-up at a process's end.
  std::vector<uintptr_t> Values() const;

 private:
  uintptr_t AddValue(HandleKind kind, const std::string& label);

  struct Entry {
    HandleKind kind;
    std::string label;
  };
  std::map<uintptr_t, Entry> open_;
  uintptr_t next_ = 0x100;
};

}  // namespace sim

// Owners for Windows handles, keys and modules. Each owner type knows the
// value that means "no handle" for its kind and the call that releases it,
// so a handle is released on every path exactly once.
#pragma once

#include <utility>

#include "platform/win.h"

namespace win {

template <typename Traits>
class Unique {
 public:
  using Value = typename Traits::Value;

  Unique() = default;
  explicit Unique(Value value) : value_(value) {}
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  Unique(Unique&& other) noexcept : value_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Unique() { reset(); }

  [[nodiscard]] Value get() const { return value_; }
  [[nodiscard]] bool valid() const { return !Traits::IsInvalid(value_); }
  explicit operator bool() const { return valid(); }

  // Releases the current value, if any, and takes ownership of a new one.
  void reset(Value value = Traits::Invalid()) {
    if (valid()) {
      Traits::Close(value_);
    }
    value_ = value;
  }
  // Gives up ownership without releasing.
  Value release() { return std::exchange(value_, Traits::Invalid()); }
  // Address of the owned value, for calls that return a handle through an
  // out-parameter; releases whatever was owned before.
  Value* put() {
    reset();
    return &value_;
  }

 private:
  Value value_ = Traits::Invalid();
};

struct HandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsInvalid(Value v) { return v == nullptr; }
  static void Close(Value v) { CloseHandle(v); }
};

// CreateFileA and CreateToolhelp32Snapshot report failure as
// INVALID_HANDLE_VALUE rather than null.
struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsInvalid(Value v) { return v == INVALID_HANDLE_VALUE || v == nullptr; }
  static void Close(Value v) { CloseHandle(v); }
};

struct KeyTraits {
  using Value = HKEY;
  static Value Invalid() { return nullptr; }
  static bool IsInvalid(Value v) { return v == nullptr; }
  static void Close(Value v) { RegCloseKey(v); }
};

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsInvalid(Value v) { return v == nullptr; }
  static void Close(Value v) { CloseServiceHandle(v); }
};

// A mutex this process owns: released before its handle is closed, so that
// the next owner finds it released rather than abandoned.
struct OwnedMutexTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsInvalid(Value v) { return v == nullptr; }
  static void Close(Value v) {
    ReleaseMutex(v);
    CloseHandle(v);
  }
};

struct ModuleTraits {
  using Value = HMODULE;
  static Value Invalid() { return nullptr; }
  static bool IsInvalid(Value v) { return v == nullptr; }
  static void Close(Value v) { FreeLibrary(v); }
};

// A private object namespace (Vista and later). Its close call is bound at
// run time, so the owner keeps it beside the handle.
class UniqueNamespace {
 public:
  UniqueNamespace() = default;
  UniqueNamespace(HANDLE handle, PFN_ClosePrivateNamespace close) : handle_(handle), close_(close) {}
  UniqueNamespace(const UniqueNamespace&) = delete;
  UniqueNamespace& operator=(const UniqueNamespace&) = delete;
  UniqueNamespace(UniqueNamespace&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), close_(other.close_) {}
  UniqueNamespace& operator=(UniqueNamespace&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
      close_ = other.close_;
    }
    return *this;
  }
  ~UniqueNamespace() { reset(); }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset() {
    if (handle_ != nullptr) {
      close_(std::exchange(handle_, nullptr), 0);  // 0: closed, not destroyed under another run
    }
  }

 private:
  HANDLE handle_ = nullptr;
  PFN_ClosePrivateNamespace close_ = nullptr;
};

using UniqueHandle = Unique<HandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueHkey = Unique<KeyTraits>;
using UniqueScHandle = Unique<ServiceHandleTraits>;
using UniqueModule = Unique<ModuleTraits>;
using UniqueOwnedMutex = Unique<OwnedMutexTraits>;

}  // namespace win

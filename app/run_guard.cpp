#include "app/run_guard.h"

#include "app/process_state.h"
#include "platform/unique.h"

namespace {

// The name without its "Global\" prefix.
constexpr const char* kPlainName = kRunGuardName + sizeof "Global\\" - 1;

// Errors that mean the system has no "Global\" namespace, so that the name
// reads as a path into a folder that does not exist.
bool NoGlobalNamespace(win::DWORD error) {
  return error == win::ERROR_PATH_NOT_FOUND || error == win::ERROR_INVALID_NAME || error == win::ERROR_BAD_PATHNAME;
}

}  // namespace

RunGuard TakeRunGuard(bool isWindows9x, win::DWORD& error) {
  win::UniqueHandle mutex(win::CreateMutexA(nullptr, win::FALSE, isWindows9x ? kPlainName : kRunGuardName));
  if (!mutex && !isWindows9x && NoGlobalNamespace(win::GetLastError())) {
    mutex.reset(win::CreateMutexA(nullptr, win::FALSE, kPlainName));
  }
  if (!mutex) {
    error = win::GetLastError();
    // The mutex exists, made by a run under another account, whose default
    // security lets no other account open it: that run is still going.
    return error == win::ERROR_ACCESS_DENIED ? RunGuard::OtherRun : RunGuard::NotAvailable;
  }
  switch (win::WaitForSingleObject(mutex.get(), 0)) {
    case win::WAIT_OBJECT_0:
    case win::WAIT_ABANDONED:  // its owner died: the machine is ours now
      Process().runGuard.reset(mutex.release());
      return RunGuard::Taken;
    case win::WAIT_TIMEOUT:
      return RunGuard::OtherRun;
    default:
      error = win::GetLastError();
      return RunGuard::NotAvailable;
  }
}

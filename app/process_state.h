// The state that lives for the whole process. These values are
// process-wide by design; nothing else in the program keeps state between
// operations.
#pragma once

#include <optional>
#include <string>

#include "app/run_log.h"
#include "platform/unique.h"
#include "platform/win.h"

struct ProcessState {
  // Set by /S: no message box is shown anywhere.
  bool silent = false;
  // The private namespace that holds the guard (Vista and later), closed
  // after it: declared first, so that it goes last.
  win::UniqueNamespace guardNamespace;
  // The site root, held from the moment it is found valid; where the root
  // is a link, the folder it leads to as well (app/file_spot.h).
  win::UniqueFile siteRoot;
  win::UniqueFile siteRootFolder;
  // The machine-wide guard of this run, held until the process ends. Declared
  // before the run log, so that the log is closed first.
  win::UniqueOwnedMutex runGuard;
  // The current run log, or none until it is opened (and when it cannot be).
  std::optional<RunLog> runLog;
  // Where every message with placeholders is formatted before it is written.
  std::string messageBuffer;
};

ProcessState& Process();

// Starts the state afresh, as a new process would find it. For hosts that run
// the program more than once in one process (the simulated machine's tests).
void ResetProcessState();

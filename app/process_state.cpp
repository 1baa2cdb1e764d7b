#include "app/process_state.h"

namespace {
ProcessState state;
}  // namespace

ProcessState& Process() { return state; }

void ResetProcessState() {
  state.runLog.reset();
  state = ProcessState{};
}

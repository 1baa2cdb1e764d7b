// Entry points that the simulated system DLLs export, for GetProcAddress.
#include "platform/sim/modules.h"
#include "platform/sim/processes.h"

namespace sim {

void RegisterSimExports(Modules& modules) { RegisterProcessExports(modules); }

}  // namespace sim

// Entry points that the simulated system DLLs export, for GetProcAddress.
#include "platform/sim/modules.h"

namespace sim {

void RegisterSimExports(Modules& modules) { (void)modules; }

}  // namespace sim

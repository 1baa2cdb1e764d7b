// Entry points that the simulated system DLLs export, for GetProcAddress.
#include "platform/sim/modules.h"
#include "platform/sim/services.h"

namespace sim {

void RegisterSimExports(Modules& modules) {
  modules.Export("advapi32.dll", "QueryServiceStatusEx", reinterpret_cast<win::FARPROC>(&QueryServiceStatusEx));
}

}  // namespace sim

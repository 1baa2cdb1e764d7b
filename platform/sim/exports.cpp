// Entry points that the simulated system DLLs export, for GetProcAddress.
#include "platform/sim/modules.h"
#include "platform/sim/mutexes.h"
#include "platform/sim/processes.h"
#include "platform/sim/services.h"
#include "platform/sim/timezone.h"

namespace sim {

void RegisterSimExports(Modules& modules) {
  modules.Export("kernel32.dll", "GetDynamicTimeZoneInformation",
                 reinterpret_cast<win::FARPROC>(&SimGetDynamicTimeZoneInformation));
  modules.Export("kernel32.dll", "SetDynamicTimeZoneInformation",
                 reinterpret_cast<win::FARPROC>(&SimSetDynamicTimeZoneInformation));
  RegisterProcessExports(modules);
  RegisterLibrarySearchExports(modules);
  RegisterSecurityExports(modules);
  RegisterTokenExports(modules);
  modules.Export("advapi32.dll", "QueryServiceStatusEx", reinterpret_cast<win::FARPROC>(&SimQueryServiceStatusEx));
}

}  // namespace sim

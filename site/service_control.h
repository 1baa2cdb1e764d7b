// The control server service "HubSvc": whether the control server runs as a
// service, and stopping and starting it through the service control manager.
// Everything here concerns the NT family; on the 9x family the operations
// return false at once without touching the registry or any service.
#pragma once

#include "platform/win.h"

// The control server's registration under HKEY_CLASSES_ROOT: a value
// "LocalService" there names the service that hosts it.
inline constexpr char kRegistrationKey[] = "AppID\\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}";

// Binds QueryServiceStatusEx from ADVAPI32.DLL, which every status query
// below calls through; the library then stays loaded for the rest of the
// process. False (with a message) when it cannot be bound; the service
// operations must not run then.
bool LoadNTServiceHelperFunctions();

// True when the control server's AppID registration names a hosting service
// (the value "LocalService" exists). Writes no message. Where the
// registration is there but cannot be read (a failure other than its
// absence), unreadable gets the code: the answer is then not to be trusted.
bool IsControlServerService(win::DWORD* unreadable = nullptr);

// Stops HubSvc, giving it 5000 ms. True when it was seen stopped.
bool StopControlServer();

// Starts HubSvc and waits while it reports progress. True when it was seen
// running.
bool StartControlServer();

// Stops the service behind an open handle and waits for it to stop; a stop
// or start already under way is waited out before the request (a start in
// pauses of a tenth of its wait hint, within 100 ms to 1 s). Returns
// 0 when it is stopped, ERROR_TIMEOUT when more than timeout milliseconds
// passed, else the code of the service call that failed. No pause ends later
// than 1 ms after the time-out, whatever wait hint the service reports.
win::DWORD StopService(win::SC_HANDLE service, win::DWORD timeout);

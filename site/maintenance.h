// The back-office change of a run: stop the control server (the HubSvc
// service, or else the manager application), change the site configuration
// files, and start the control server again.
#pragma once

#include <string>

// The manager application's program, in root\bin.
inline constexpr char kManagerName[] = "PelioMgr.exe";
inline constexpr char kManagerFolder[] = "\\bin\\";

// Runs the whole change for the site root directory. False when the service
// helpers cannot be bound (nothing is touched then), when a running manager
// application could not be closed (nothing is changed or started then) or
// when it could not be started again; true otherwise, whatever the
// service calls and file changes reported. When the user declines to close
// the running manager application, the run ends here with status 0.
bool ChangeBohValues(const std::string& root);

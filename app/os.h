// What the run's parts ask of Windows beyond the platform seam: which family
// of Windows runs the program, and a message box with the program's caption.
// The run sequence, the time-zone rules and the site maintenance all use them.
#pragma once

#include <string>

#include "platform/win.h"

// Platform family: 1 the Windows 9x family, 2 the NT family, 0 otherwise
// (including a failed version query, which then takes the NT road).
int GetOsPlatform();

// Shows text in a message box: no owner, the program's path as caption, the
// exclamation icon. Returns the answer. Callers test the silent flag.
int ShowMessageBox(const std::string& text, win::UINT buttons);

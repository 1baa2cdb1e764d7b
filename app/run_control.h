// The program's entry and the run sequence: site root directory, options,
// run log, then the registry job and the back-office job, in that order.
#pragma once

#include <string>

#include "platform/win.h"

// Platform family: 1 the Windows 9x family, 2 the NT family, 0 otherwise
// (including a failed version query, which then takes the NT road).
int GetOsPlatform();

// The variable's value with surrounding white space removed, or "".
std::string GetEnvironmentValue(const std::string& name);

// True when root + "\\data\\pelio.ini" exists.
bool IsQuordirValid(const std::string& root);

// Shows text in a message box: no owner, the program's path as caption, the
// exclamation icon. Returns the answer. Callers test the silent flag.
int ShowMessageBox(const std::string& text, win::UINT buttons);

// Prints the usage text and, unless silent, shows it in a message box.
void ShowUsage();

// The whole run, from the argument vector as the platform splits it
// (element 0 is the program's own name). Ends the process with status 0.
int DstPatchMain(int argc, char** argv);

// The program's entry and the run sequence: site root directory, options,
// run log, then the registry job and the back-office job, in that order.
#pragma once

#include <string>

// The variable's value with surrounding white space removed, or "".
std::string GetEnvironmentValue(const std::string& name);

// True when root + "\\data\\pelio.ini" exists.
bool IsQuordirValid(const std::string& root);

// Prints the usage text and, unless silent, shows it in a message box.
void ShowUsage();

// The whole run, from the argument vector as the platform splits it
// (element 0 is the program's own name). Ends the process with status 0.
int DstPatchMain(int argc, char** argv);

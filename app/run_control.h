// The program's entry and the run sequence: site root directory, options,
// run log, then the registry job and the back-office job, in that order.
#pragma once

#include <string>

// The message of a run without a valid site root: on the console, in
// C:\debBGorvinal.txt and, unless silent, in a box.
inline constexpr char kInvalidRootMessage[] =
    "\nQuordir is not defined in the system environment variables.\n"
    "Or the value set is not pointing to the correct QUORDIR.\n"
    "This patch has not completed, you will need to run this patch again after setting the QUORDIR.";

// What /? shows.
inline constexpr char kUsage[] =
    "\n\n\t/? -Shows the command line arguments\n"
    "\n\t/CHANGEREGVALS\n"
    "\t\tChanges all the US timezone values in the registry and\n"
    "\t\tCurrent TimzoneInfo in the registry for this machine\n"
    "\n\t/DISPONLY\n"
    "\t\tShows the Timezone values only\n"
    "\t\tdoesnt change anything in the registry\n"
    "\n\t/CHANGEBOHVALS or If no arguments,\n"
    "\t\t1.Checks if the TIMEZONE= setting in the pelio.ini is set to INTL\n"
    "\t\t  if it isn't then changes it to INTL in NEWDATA and DATA (TIMEZONE=INTL)\n"
    "\t\t2.Check if there is a timezone.ini file in data and delete it\n"
    "\t\t3.Stops and starts hubsvc\n"
    "\n\tYou can use both /CHANGEREGVALS and /CHANGEBOHVALS together if necessary\n"
    "\n\t/QUORDIR <quordir> - path to quor directory\n"
    "\n\tIf you pass /QUORDIR parameter,\n"
    "\tyou must at least pass /CHANGEREGVALS or /CHANGEBOHVALS\n"
    "\n\t/S - Don't prompt for any messages\n";

// The variable's value with surrounding white space removed, or "".
std::string GetEnvironmentValue(const std::string& name);

// True when root + "\\data\\pelio.ini" exists.
bool IsQuordirValid(const std::string& root);

// Prints the usage text and, unless silent, shows it in a message box.
void ShowUsage();

// The whole run, from the argument vector as the platform splits it
// (element 0 is the program's own name). Ends the process with status 0.
int DstPatchMain(int argc, char** argv);

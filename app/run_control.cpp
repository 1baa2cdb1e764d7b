#include "app/run_control.h"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "app/file_spot.h"
#include "app/os.h"
#include "app/process_state.h"
#include "app/run_guard.h"
#include "app/run_log.h"
#include "app/text.h"
#include "platform/unique.h"
#include "site/config_files.h"
#include "site/maintenance.h"
#include "tzrules/active_zone.h"
#include "tzrules/registry_update.h"
#include "tzrules/report.h"
#include "tzrules/zone_table.h"

namespace {

constexpr char kAnotherRun[] =
    "\nAnother run of this patch is in progress on this machine: this run changed nothing. Run this patch again "
    "later.";

constexpr win::DWORD kBadNetPath = 53;  // ERROR_BAD_NETPATH

struct RunSettings {
  std::string root;
  bool rootValid = false;
  std::string notValid;  // why, where data\pelio.ini could not be looked at
  bool isWindows9x = false;
  bool registryJob = false;
  bool backOfficeJob = false;
  bool usageRequested = false;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Option words match as a whole, without regard to letter case.
bool IsOption(const char* argument, std::string_view option) { return EqualsIgnoringCase(argument, option); }

// Sets the site root and whether it is valid. An empty value cannot name a
// site, so it leaves the root invalid. A pelio.ini that cannot be looked at
// for another reason than that no file has that name (a disk error) is said
// why.
void SetRoot(RunSettings& settings, std::string root) {
  settings.root = std::move(root);
  settings.rootValid = !settings.root.empty() && IsQuordirValid(settings.root);
  const win::DWORD error = settings.rootValid || settings.root.empty() ? 0 : win::GetLastError();
  const bool absent = error == 0 || error == win::ERROR_FILE_NOT_FOUND || error == win::ERROR_PATH_NOT_FOUND ||
                      error == win::ERROR_INVALID_NAME || error == win::ERROR_BAD_PATHNAME || error == kBadNetPath;
  settings.notValid = absent ? ""
                             : std::string(kDataPelioIni + 1) + " could not be checked (error " +
                                   std::to_string(static_cast<int>(error)) + ")";
}

// A site root from /QUORDIR, used character for character.
void SetRootFromOption(RunSettings& settings, const char* value) { SetRoot(settings, value == nullptr ? "" : value); }

void ReadOptions(int argc, char** argv, RunSettings& settings) {
  for (int i = 0; i < argc; ++i) {
    const char* argument = argv[i] == nullptr ? "" : argv[i];
    if (IsOption(argument, "/?")) {
      settings.usageRequested = true;
    }
    if (IsOption(argument, "/CHANGEREGVALS")) {
      settings.registryJob = true;
    }
    if (IsOption(argument, "/DISPONLY")) {
      DisplayTimeZoneInfo();  // at once, before any run log is open: console only
    }
    if (IsOption(argument, "/CHANGEBOHVALS")) {
      settings.backOfficeJob = true;
    }
    if (IsOption(argument, "/S")) {
      Process().silent = true;
    }
    if (IsOption(argument, "/QUORDIR")) {
      ++i;
      SetRootFromOption(settings, i < argc ? argv[i] : nullptr);
    }
  }
}

// Takes the machine-wide guard of the run, or ends the run when another run
// holds it. That run owns both run logs, so this one writes to the console
// only (first, so that a box nobody answers still leaves the line behind).
void TakeRunGuardOrEnd(bool isWindows9x) {
  win::DWORD error = 0;
  const char* name = kRunGuardName;
  switch (TakeRunGuard(isWindows9x, error, name)) {
    case RunGuard::Taken:
      return;
    case RunGuard::OtherRun:
      LogMessage(kAnotherRun, nullptr);
      if (!Process().silent) {
        ShowMessageBox(kAnotherRun, win::MB_OK);
      }
      CloseLogAndExit(0);
    case RunGuard::NotOurs:
      LogFormatted(nullptr,
                   "\nThe guard against a second run (%s) was made by a program that is not this patch; this run "
                   "goes on without it.",
                   name);
      return;
    case RunGuard::NotAvailable:
      LogFormatted(nullptr,
                   "\nCould not make sure that no other run of this patch is in progress (error %d); this run goes on.",
                   static_cast<int>(error));
      return;
  }
}

void RunZoneUpdates(bool isWindows9x) {
  LogMessage("\nSetting TimeZones for US/Canada part..", CurrentRunLog());
  SetTimeZonesForLocalMachine(TimeZonesKeyPrefix(isWindows9x), isWindows9x);
  LogMessage("\nSetting TimeZoneInfo part..", CurrentRunLog());
  UpdateCurrentTimeZoneInfo();
}

void RunRegistryJob(bool isWindows9x) {
  if (isWindows9x) {
    RunZoneUpdates(true);  // Windows 9x has no tokens or privileges
    return;
  }
  // Changing the time zone needs the time-zone privilege on Vista and later
  // and the system-time privilege on Windows XP, 2000 and 2003.
  const EnabledPrivileges privileges({"SeTimeZonePrivilege", "SeSystemtimePrivilege"});
  RunZoneUpdates(false);
}

}  // namespace

std::string GetEnvironmentValue(const std::string& name) {
  std::vector<char> buffer(256);
  win::DWORD length = win::GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<win::DWORD>(buffer.size()));
  if (length >= buffer.size()) {
    buffer.resize(length);
    length = win::GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<win::DWORD>(buffer.size()));
    if (length >= buffer.size()) {
      return "";  // changed between the two calls; treat as unset
    }
  }
  std::string value(buffer.data(), length);
  size_t end = value.size();
  while (end > 0 && IsSpace(value[end - 1])) {
    --end;
  }
  size_t begin = 0;
  while (begin < end && IsSpace(value[begin])) {
    ++begin;
  }
  return value.substr(begin, end - begin);
}

bool IsQuordirValid(const std::string& root) {
  const std::string path = root + kDataPelioIni;
  return win::GetFileAttributesA(path.c_str()) != win::INVALID_FILE_ATTRIBUTES;
}

void ShowUsage() {
  LogMessage(kUsage, nullptr);
  if (!Process().silent) {
    ShowMessageBox(kUsage, win::MB_OK);
  }
}

int DstPatchMain(int argc, char** argv) {
  RestrictLibrarySearch();
  RunSettings settings;
  settings.isWindows9x = GetOsPlatform() == 1;

  const std::string fromEnvironment = GetEnvironmentValue("QUORDIR");
  if (!fromEnvironment.empty()) {
    SetRoot(settings, fromEnvironment);
  }

  if (argc < 2) {
    settings.registryJob = true;
    settings.backOfficeJob = true;
  } else {
    ReadOptions(argc, argv, settings);
  }
  // A box in a window station that nobody sees would hold the run (and its
  // guard) for ever: such a run is silent, as with /S.
  if (!Process().silent && !WindowStationVisible()) {
    Process().silent = true;
  }

  if (settings.usageRequested) {
    ShowUsage();
    CloseLogAndExit(0);
  }

  // The root found valid is the one the whole run acts in: held until the
  // process ends.
  if (settings.rootValid) {
    settings.notValid = HoldSiteRoot(settings.root, Process().siteRoot, Process().siteRootFolder);
    settings.rootValid = settings.notValid.empty();
  }
  if (!settings.rootValid) {
    OpenRunLog(kInvalidRootRunLog);
    if (!settings.notValid.empty()) {
      LogFormatted(CurrentRunLog(), "\nSite root not valid: %s (%s)", settings.root.c_str(), settings.notValid.c_str());
    }
    if (!Process().silent) {
      ShowMessageBox(kInvalidRootMessage, win::MB_OK);
    }
    LogMessage(kInvalidRootMessage, CurrentRunLog());
    CloseLogAndExit(0);
  }

  TakeRunGuardOrEnd(settings.isWindows9x);

  LogMessage("\nTrying to remove debout file..", nullptr);
  RemoveDeboutFile(settings.root);
  OpenRunLog(settings.root + kSiteRunLog);

  if (settings.registryJob) {
    RunRegistryJob(settings.isWindows9x);
  }
  if (settings.backOfficeJob) {
    LogFormatted(CurrentRunLog(), "\nUsing QUORDIR -  %s", settings.root.c_str());
    ChangeBohValues(settings.root);
  }

  LogMessage("\nSuccess", CurrentRunLog());
  CloseLogAndExit(0);
}

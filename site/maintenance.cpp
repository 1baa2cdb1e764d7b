#include "site/maintenance.h"

#include <optional>
#include <utility>

#include "app/os.h"
#include "app/process_state.h"
#include "app/run_log.h"
#include "site/config_files.h"
#include "site/process_finder.h"
#include "site/process_start.h"
#include "site/service_control.h"

namespace {

constexpr win::DWORD kStartWait = 10000;
constexpr char kNotCompleted[] = "\nThis patch has not completed, you will need to run this patch again.";
constexpr char kCouldNotStart[] = "Could not start Pelio Manager, please start the application manually";

// Process ids are multiples of 4: this one names no process.
constexpr win::DWORD kNoProcess = 0xFFFFFFFF;

// A manager that runs on must find the site files as they were, and no
// second manager on them: the caller changes nothing and starts nothing.
void ReportNotClosed(win::DWORD processId, win::DWORD error) {
  LogFormatted(CurrentRunLog(),
               "\nPelio Manager could not be closed (process %d, error %d): the site files were not changed and it "
               "was not started again.",
               static_cast<int>(processId), static_cast<int>(error));
}

// Where the run cannot tell how to stop the control server (its registration
// unreadable, the running programs not listed), it must leave the site as it
// is: files changed under a control server that runs, or a second manager,
// would harm it.
void ReportNotStopped(const char* what, win::DWORD error) {
  LogFormatted(CurrentRunLog(),
               "\nThis patch has not completed: %s could not be read (error %d), so the site files were not changed. "
               "Run this patch again.",
               what, static_cast<int>(error));
}

// Closes the manager application if it runs, after asking unless silent.
// An answer of No ends the run with nothing changed. On the NT family the
// debug privilege (which administrators hold) is enabled for the search and
// the close, so that a manager started by another account (a clerk's
// session, "Run as") is found and closed, not counted as not running and
// then started a second time. Where it runs program, its token is kept in
// token before it is closed, so that it can be started again as it ran.
// False, once said so, when a manager is listed that cannot be opened (a
// protected process, or no debug privilege), that close requests cannot
// reach (another session, a run on a window station nobody sees: it is not
// terminated, with its user's unsaved work) or that does not end.
bool StopManagerApplication(bool isWindows9x, const std::string& program, win::UniqueHandle& token) {
  std::optional<EnabledPrivileges> debug;
  if (!isWindows9x) {
    debug.emplace(std::initializer_list<const char*>{"SeDebugPrivilege"});
  }
  ProcessFinder finder;
  win::DWORD processId = kNoProcess;
  win::UniqueHandle process = finder.FindProcess(kManagerName, processId);
  bool closed = true;
  if (!process && processId == kNoProcess && finder.ListError() != 0) {
    ReportNotStopped("the list of running programs", finder.ListError());
    closed = false;
  }
  if (!process && processId != kNoProcess) {
    ReportNotClosed(processId, finder.OpenError());
    closed = false;
  }
  if (process) {
    if (const win::DWORD unreachable = CloseRequestsReach(processId)) {
      ReportNotClosed(processId, unreachable);
      process.reset();
      closed = false;
    }
  }
  if (process && !Process().silent &&
      ShowMessageBox("This patch requires Peliomgr to be closed, do you wish to continue?", win::MB_YESNO) ==
          win::IDNO) {
    ShowMessageBox(kNotCompleted, win::MB_OK);
    LogMessage(kNotCompleted, CurrentRunLog());
    finder.ReleaseLibraries();
    CloseLogAndExit(0);
  }
  if (process) {
    LogMessage("\nTrying to stop the Pelio Manager.", CurrentRunLog());
    if (!isWindows9x) {
      token = TakeProcessToken(processId, program);
    }
    const win::DWORD error = ProcessFinder::CloseProcess(process.get(), processId);
    if (error == 0) {
      LogMessage("\nSuccesfully stopped the Pelio Manager.", CurrentRunLog());
    } else {
      ReportNotClosed(processId, error);
      closed = false;
    }
  }
  debug.reset();
  finder.ReleaseLibraries();
  return closed;
}

// root\bin\PelioMgr.exe, two blanks, /QUORDIR, one blank and root. The
// program path is quoted when root holds a blank or a tab: unquoted, Windows
// would run the first program that a shorter prefix of the path names
// ("D:\My.exe" for "D:\My Site\bin\PelioMgr.exe").
std::string ManagerCommandLine(const std::string& root) {
  std::string program = root + kManagerFolder + kManagerName;
  if (root.find_first_of(" \t") != std::string::npos) {
    program = "\"" + program + "\"";
  }
  return program + "  /QUORDIR " + root;
}

// Never with this run's own rights, which are more than those of the users
// who may replace the program: under the account of the manager that was
// closed, where its token was taken, else under that of the user of the
// session. Where neither can be had, nothing is started (Windows 9x has no
// accounts).
bool StartManagerApplication(const std::string& root, bool isWindows9x, win::UniqueHandle token) {
  LogMessage("\nTrying to start the Pelio Manager.", CurrentRunLog());
  win::DWORD error = 0;
  if (!isWindows9x && !token) {
    token = TakeSessionUserToken(error);
  }
  if (isWindows9x || token) {
    if (StartProcessAndWait(ManagerCommandLine(root), kStartWait, token.get())) {
      return true;
    }
    error = win::GetLastError();
  }
  if (error != 0) {
    LogFormatted(CurrentRunLog(), "\nPelio Manager was not started (error %d)", static_cast<int>(error));
  }
  if (!Process().silent) {
    ShowMessageBox(kCouldNotStart, win::MB_OK);
  }
  LogMessage(std::string("\n") + kCouldNotStart, CurrentRunLog());
  return false;
}

}  // namespace

bool ChangeBohValues(const std::string& root) {
  const bool isWindows9x = GetOsPlatform() == 1;
  if (!isWindows9x && !LoadNTServiceHelperFunctions()) {
    return false;
  }
  win::DWORD unreadable = 0;
  const bool serviceMode = IsControlServerService(&unreadable);
  if (unreadable != 0) {
    ReportNotStopped("the control server's registration", unreadable);
    return false;
  }
  win::UniqueHandle managerToken;
  if (serviceMode) {
    LogMessage("\nTrying to stop the control server.", CurrentRunLog());
    StopControlServer();
  } else if (!StopManagerApplication(isWindows9x, root + kManagerFolder + kManagerName, managerToken)) {
    return false;
  }

  RemoveTimezoneIni(root);
  ModifyPelioIni(root);

  if (serviceMode) {
    LogMessage("\nTrying to start the control server.", CurrentRunLog());
    StartControlServer();
    return true;
  }
  return StartManagerApplication(root, isWindows9x, std::move(managerToken));
}

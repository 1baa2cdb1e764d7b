// A simulated Windows machine for the unit tests: the state behind every call
// of platform/win.h. A test creates one Machine, sets it up through its
// public members, runs logic against it, and inspects it afterwards. While
// it exists it is the machine that the win:: calls answer from.
#pragma once

#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/files.h"
#include "platform/sim/handles.h"
#include "platform/sim/modules.h"
#include "platform/sim/mutexes.h"
#include "platform/sim/processes.h"
#include "platform/sim/registry.h"
#include "platform/sim/services.h"
#include "platform/sim/timezone.h"
#include "platform/win.h"

namespace sim {

// ExitProcess in the simulation: thrown out of the program's code and caught
// by whoever runs the program (RunProgram in the tests).
struct ProcessExit {
  win::UINT code;
};

struct Version {
  win::DWORD platformId = win::VER_PLATFORM_WIN32_NT;
  win::DWORD major = 6;
  win::DWORD minor = 1;
};

struct MessageBoxes {
  struct Shown {
    std::string text;
    std::string caption;
    win::UINT style;
    win::HWND owner;
  };
  // Answers given in order; when none is left, OK boxes answer IDOK and
  // Yes/No boxes IDYES.
  std::deque<int> answers;
  std::vector<Shown> shown;
};

// The process token and the privileges that the system knows; the tokens
// the process holds open, and the environment blocks made from them.
struct Token {
  struct Privilege {
    win::LUID luid;
    bool held = true;  // the token has it (an administrator's token)
    bool enabled = false;
  };
  // By name, with the LUIDs Windows assigns; an administrator's token lacks
  // the first (services' accounts only) and SeTcbPrivilege (SYSTEM only).
  std::map<std::string, Privilege> privileges = {{"SeAssignPrimaryTokenPrivilege", {{3, 0}, false}},
                                                 {"SeIncreaseQuotaPrivilege", {{5, 0}}},
                                                 {"SeTcbPrivilege", {{7, 0}, false}},
                                                 {"SeSystemtimePrivilege", {{12, 0}}},
                                                 {"SeDebugPrivilege", {{20, 0}}},
                                                 {"SeImpersonatePrivilege", {{29, 0}}},
                                                 {"SeTimeZonePrivilege", {{34, 0}}}};
  // The account and session the process runs in (kSystemSid, session 0, for
  // a service or a start-up script).
  std::string user = kAdministratorSid;
  win::DWORD session = 1;
  win::DWORD elevationType = win::TokenElevationTypeFull;  // the patch runs elevated
  // The token's Administrators group is enabled, as it is for an elevated
  // administrator and for SYSTEM.
  bool administrators = true;

  // An open token handle: whose token, with which access. Closed handles
  // stay here unread: a value is never handed out twice.
  struct Opened {
    std::string user;
    win::DWORD session;
    bool primary;
    win::DWORD access;
    win::DWORD elevationType;
  };
  std::map<uintptr_t, Opened> opened;
  std::map<const void*, std::string> environments;  // CreateEnvironmentBlock's, by whose they are
  bool IsEnabled(const std::string& name) const;
};

// The window station the process runs in: visible for a program on a
// user's desktop; not for a service, the machine account on Vista and
// later, or a remote shell.
struct WindowStation {
  bool visible = true;
};

// Where LoadLibraryA looks, as the program set it.
struct LibrarySearch {
  std::optional<std::string> dllDirectory;  // SetDllDirectoryA; "" takes the current folder out
  win::DWORD defaultDirectories = 0;        // SetDefaultDllDirectories
};

struct Clock {
  win::DWORD ticks = 5'000'000;    // GetTickCount; wraps at 2^32 like the real one
  std::vector<win::DWORD> sleeps;  // every Sleep, in order
  win::DWORD Elapsed(win::DWORD since) const { return ticks - since; }
};

// A failure that a test plants: the call (its Windows name) on an object
// that the call names (a path, a key, a service, a module, a process id;
// empty: on any), at which occurrence (0 the first such call; none: every
// one), with the error Windows would give (as the call's result where it
// returns a code, else as its last error). The call then fails as Windows
// fails it, and does nothing else.
struct Fault {
  std::string call;
  win::DWORD error;
  std::string object = {};
  std::optional<size_t> occurrence = std::nullopt;
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine the win:: calls answer from; aborts when there is none.
  static Machine& Current();

  // The calls the program made, in order, each as "Name(object)"
  // ("RegOpenKeyExA(HKLM\\...\\Eastern Standard Time)"), and those whose text
  // starts with prefix.
  std::vector<std::string> calls;
  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;

  // Every platform call of the program starts here (PlatformCall). It counts
  // the call and, at the call numbered killAtCall (0 the first), kills the
  // process: the call is not made and no more of the program runs. Then it
  // records the call.
  void EnterCall(std::string_view call, std::string_view object);
  // The failures planted, and the error of one planted for the call being
  // made (the last one recorded), counting it.
  std::vector<Fault> faults;
  std::optional<win::DWORD> PlantedError();
  // The calls (indices into calls) that asked for a planted fault: those
  // that a fault can fail.
  std::vector<size_t> failable;
  // Sets the last error and gives result, as a call that fails.
  template <typename T>
  T Fail(win::DWORD error, T result) {
    lastError = error;
    return result;
  }
  win::BOOL Fail(win::DWORD error) { return Fail(error, win::FALSE); }
  std::optional<size_t> killAtCall;
  // Called with the call's number before each platform call of the program:
  // what another process does meanwhile (a user swapping a folder for a
  // link, say). It must not make win:: calls itself.
  std::function<void(size_t)> beforeCall;
  size_t platformCalls = 0;  // calls counted so far

  // Runs program as the simulated process, on a thread of its own so that a
  // kill can stop it dead: its thread then stays blocked for good, and no
  // destructor or other code of it runs, as with TerminateProcess. Returns
  // what program returned, or nothing when it was killed.
  std::optional<win::UINT> RunKillable(const std::function<win::UINT()>& program);
  // What Windows does once a process has been killed: every handle it held
  // closed, every mutex it owned abandoned, its libraries and heap blocks
  // gone, its token with it. Processes it started and services it asked to
  // stop or start go on as they are.
  void EndKilledProcess();

  Version version;
  std::map<std::string, std::string> environment;  // names matched without regard to case
  std::string stdoutText;                          // all that the program wrote to standard output
  std::vector<size_t> stdoutWriteStarts;           // where each write began in stdoutText
  std::string exePath = "C:\\Patch\\dstpatch.exe";
  std::string systemDirectory = "C:\\Windows\\system32";
  static constexpr win::DWORD kProcessId = 900;  // the program's own (GetCurrentProcessId)
  win::DWORD consoleSession = 1;                 // WTSGetActiveConsoleSessionId
  MessageBoxes messageBoxes;
  WindowStation windowStation;
  LibrarySearch librarySearch;
  Token token;
  Clock clock;
  ActiveTimeZone timeZone;
  FileSystem files;
  Registry registry;
  Services services;
  Modules modules;
  HandleTable handles;
  Processes processes;
  Mutexes mutexes;
  Heap heap;
  win::DWORD lastError = 0;

 private:
  Machine* previous_;
  std::shared_ptr<std::promise<std::optional<win::UINT>>> run_;  // the killable run under way: how it ends
  bool killed_ = false;
  std::string faultKey_;                  // the call being made: "name\nobject", lower case
  std::map<std::string, size_t> counts_;  // calls made so far, by faultKey_ and by name alone
};

// The current machine, once the call (a Windows name, and the object it
// names where it names one) has been counted and recorded: the first thing
// every simulated Windows call does.
inline Machine& PlatformCall(std::string_view call, std::string_view object = {}) {
  Machine& machine = Machine::Current();
  machine.EnterCall(call, object);
  return machine;
}

// Formats a number as Windows documentation shows codes and masks: 0xF003F.
std::string Hex(unsigned long long value);

}  // namespace sim

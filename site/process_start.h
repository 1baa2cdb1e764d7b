// Starting the manager application again, and the tokens it may be started
// under. The patch runs as an administrator or as SYSTEM, while the
// program it starts lies in a folder that the site's users may write: it is
// never started with more rights than the user of the session it runs in.
#pragma once

#include <string>

#include "platform/unique.h"
#include "platform/win.h"

// A primary token of the running process processId, to start a process as
// it ran (the debug privilege, where enabled, opens one of another
// account). Null when the process or its token cannot be opened or the
// token cannot be duplicated, and, where program is given, when the process
// does not run that program file (its full path, letter case aside) or
// Windows cannot tell which file it runs (before Vista).
win::UniqueHandle TakeProcessToken(win::DWORD processId, const std::string& program = "");

// A primary token of the user of this run's session: for a run as SYSTEM,
// that of the user at the console (WTSQueryUserToken, XP and later); else
// that of the process of the session's shell window, else that of an
// explorer.exe of the session. Null when nobody is logged on there or no
// token can be had; error then gets the code of the call that failed (0
// where nothing failed: nobody at the desktop).
win::UniqueHandle TakeSessionUserToken(win::DWORD& error);

// Starts commandLine, passed on unchanged (the program is its first token),
// and waits until the process ends or timeout ms have passed; the process
// runs on after a time-out. Nonzero when the process was created, whatever
// its exit status; 0, with the error of the call that failed as the last
// error, when it was not created.
//
// With a token (from TakeProcessToken or TakeSessionUserToken) the process
// runs under the token's account: where this process runs as SYSTEM,
// through CreateProcessAsUserA, in the token's session, on its interactive
// desktop and with the account's environment; otherwise through
// CreateProcessWithTokenW, in this process's session, with the account's
// environment. Where that call is missing (Windows 2000 and XP) or fails,
// CreateProcessA starts it only when the token is of this process's own
// account and this process is no more elevated than the token; otherwise
// nothing is started. Without a token (Windows 9x, which has no accounts),
// CreateProcessA.
win::BOOL StartProcessAndWait(std::string commandLine, win::DWORD timeout, win::HANDLE token = nullptr);

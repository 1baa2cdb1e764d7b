// One run of the patch at a time on a machine. Two runs at once (a start-up
// script and an operator, a distribution tool's retry while the first run
// still waits) would share one run log and stop the same control server
// twice; the second run must change nothing instead.
#pragma once

#include "platform/win.h"

enum class RunGuard {
  Taken,         // this run holds the guard until the process ends
  OtherRun,      // another run of the patch holds it
  NotAvailable,  // it could not be made; the run goes on unguarded
  NotOurs,       // another program took the name first; the run goes on unguarded
};

// The guard's name, in the namespace that all sessions share; on Vista and
// later, in a private namespace of its own instead.
inline constexpr char kRunGuardName[] = "Global\\dstpatch.run";
inline constexpr char kNamespaceName[] = "dstpatch";
inline constexpr char kPrivateGuardName[] = "dstpatch\\run";  // kNamespaceName, a backslash, the name

// Takes the machine-wide guard, a named mutex, and keeps it in the process
// state. On a system without the "Global\" namespace (Windows 9x, NT 4
// without Terminal Services) the plain name serves. A guard left by a run
// that died (an abandoned mutex) is taken over. error receives the system's
// code when the guard could not be made.
//
// Any logged-on user may make a named mutex in "Global\", so the guard is
// made with security of its own: owned by Administrators, open to SYSTEM and
// Administrators only. Where Windows has private namespaces (Vista and
// later) it lies in one whose boundary is the Administrators group, which no
// ordinary user can make, open to SYSTEM and Administrators only, so that
// nobody else can make or hold its name. Elsewhere a mutex of that name that
// an administrator or SYSTEM does not own, or that shuts them out, was not
// made by a run of this patch (a user squatting on the name): it does not
// hold the run up. name receives the name that was used.
RunGuard TakeRunGuard(bool isWindows9x, win::DWORD& error, const char*& name);

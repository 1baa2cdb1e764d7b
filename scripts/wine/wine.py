#!/usr/bin/env python3
"""Which Wine this machine runs, and how every Wine program is started.

There are two kinds of machine:

- "wow64": Wine's 32-bit loader runs (the kernel runs 32-bit code). Prefixes
  hold both halves of Windows, and both builds of dstpatch.exe run.
- "win64": it does not run (the kernel runs no 32-bit code, or Wine's 32-bit
  part is not installed). Wine's 64-bit loader runs programs in a
  64-bit-only prefix; x86_64 programs run, i686 ones cannot run at all.

The choice is made once per process, by starting the loaders, and every
Wine program of the tests, the demo and the benchmark is started through
command() with environment(), so nothing else needs to know which kind this
is. A prefix of one kind is never used with the other kind: template.py
keeps one template directory per kind.

    wine.py                  print the choice in one line
    wine.py --explain EXE    print whether EXE runs here and why (status 0)
    wine.py --check EXE      the same; status 77 when EXE cannot run here
    wine.py --preset         print the MinGW preset whose build runs here
"""

import functools
import os
import subprocess
import sys

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import pe  # noqa: E402

LOADER_32 = "/usr/lib/wine/wine"
LOADER_64 = "/usr/lib/wine/wine64"
SKIPPED = 77

# Mono and Gecko are not needed and their installers would ask for a
# download; the menu builder would write desktop entries into $HOME.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def _runs(command):
    try:
        return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


@functools.lru_cache(maxsize=None)
def kind():
    """"wow64", "win64", or None when no Wine loader runs here."""
    if _runs([LOADER_32, "--version"]):
        return "wow64"
    if _runs([LOADER_64, "--version"]):
        return "win64"
    return None


def _no_32_bit():
    if os.path.exists(LOADER_32):
        return "this machine runs no 32-bit code"
    return "Wine's 32-bit part (package wine32) is not installed"


def loader():
    """The loader of this kind of machine: it makes the prefixes (wineboot)."""
    return {"wow64": LOADER_32, "win64": LOADER_64}.get(kind())


@functools.lru_cache(maxsize=None)
def version():
    out = subprocess.run([loader(), "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    return out.stdout.decode().strip()


def loader_for(program):
    """The loader that starts PROGRAM, the one choice of bitness for every
    Windows program that the tests, the demo and the benchmark start:

    - a program given by its host path (dstpatch.exe, a test helper, a file
      of the prefix such as syswow64/reg.exe) runs with the loader of its
      own machine, i686 or x86_64, as Windows runs a program as what it is;
    - "wineboot" runs with the loader of the machine's kind, which makes a
      prefix of that kind (mixed, or 64-bit only);
    - every other Windows tool named bare ("reg", "sc", "taskkill", "cmd",
      "cscript") is the 64-bit one of system32, in both kinds of prefix. A
      64-bit Windows runs its own tools, a start-up script's cmd among them,
      64-bit. In a mixed prefix the name alone with the 32-bit loader would
      start the 32-bit tool of syswow64, which does not see 64-bit processes
      (taskkill: "Could not find process") and reads the 32-bit registry
      view; the 64-bit tool sees every process and reaches either view with
      /reg:32 or /reg:64. In a 64-bit-only prefix it is the only one there.
    """
    if program == "wineboot":
        return loader()
    if os.path.isabs(program):
        machine = pe_machine(program)
        if machine == "i686" and kind() == "wow64":
            return LOADER_32
        if machine == "x86_64":
            return LOADER_64
        return loader()
    return LOADER_64


def command(program, *args):
    """The host command that runs PROGRAM (a host path, or a Windows tool of
    the prefix such as "reg" or "wineboot") with ARGS."""
    return [loader_for(program), program, *args]


def registry_view(exe):
    """The reg.exe option that reaches the registry view a program of EXE's
    machine sees: "/reg:32" for an i686 program (keys that are not shared
    between the views are in Wow6432Node for it), else "/reg:64"."""
    return "/reg:32" if pe_machine(exe) == "i686" else "/reg:64"


def wineserver_command(*args):
    """The wine server, the same 64-bit program for both kinds."""
    return ["wineserver", *args]


def environment(prefix):
    """A reproducible environment for Wine programs in PREFIX: nothing from
    the caller's shell leaks in but what Wine itself needs."""
    env = {name: os.environ[name] for name in ("PATH", "HOME", "USER", "LOGNAME", "TMPDIR") if name in os.environ}
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES=DLL_OVERRIDES, LANG="C.UTF-8")
    if kind() == "win64":
        # A 64-bit-only prefix; the programs that Wine itself starts (its
        # services, a program that dstpatch.exe starts) use the 64-bit loader.
        env.update(WINEARCH="win64", WINELOADER=LOADER_64)
    return env


# Wine's loader sometimes fails to map a program that it found (seen with the
# 64-bit loader in a mixed prefix, about once in 15 suite runs, never when
# repeated alone). It then hands the command line to start.exe, which fails
# too: status 1 and start.exe's message, none of the program's own output.
# The program never ran, so running it again tests the same thing.
LAUNCH_ATTEMPTS = 3


def not_launched(status, output):
    """Whether a program ended with STATUS and OUTPUT (its standard output)
    because Wine's loader never started it."""
    return status == 1 and output.startswith(b"Application could not be started") and \
        b"ShellExecuteEx failed" in output


def pe_machine(path):
    """The machine of the PE file at PATH ("i686", "x86_64", ...), or None
    when it is not a PE file."""
    try:
        with open(path, "rb") as f:
            return pe.PeImage(f.read()).machine_name
    except (OSError, pe.PeError):
        return None


def unable_to_run(exe):
    """Why EXE cannot run under Wine here, in plain words, or None when it
    can."""
    if kind() is None:
        return "Wine is not installed, so the end-to-end tests cannot run: scripts/setup installs it."
    machine = pe_machine(exe)
    if machine == "i686" and kind() == "win64":
        return "%s, so Wine cannot run the i686 build: it was built and inspected (imports, PE header) but not run; " \
            "its end-to-end tests are reported as skipped." % _no_32_bit()
    if machine not in ("i686", "x86_64"):
        return "%s is not a Windows program for i686 or x86_64." % (exe or "(no program given)")
    return None


def build_to_run():
    """The MinGW preset whose dstpatch.exe the demo and the benchmark run
    here, and why, in words."""
    if kind() == "wow64":
        return "mingw-x86", "the i686 build, the one to ship: Wine runs 32-bit code here"
    return "mingw-x64", "the x86_64 build: %s, so the i686 build (the one to ship) cannot run here" % _no_32_bit()


def describe():
    """The choice in one line."""
    if kind() == "wow64":
        return "%s with its 32-bit loader: both builds run (prefixes with 32- and 64-bit Windows)" % version()
    if kind() == "win64":
        return "%s with its 64-bit loader in a 64-bit-only prefix (%s): only the x86_64 build runs" % (
            version(), _no_32_bit())
    return "no Wine loader runs here (scripts/setup installs Wine)"


def main(argv):
    if not argv:
        print("Wine: " + describe())
        return 0
    if argv == ["--preset"]:
        print(build_to_run()[0])
        return 0
    if len(argv) == 2 and argv[0] in ("--explain", "--check"):
        reason = unable_to_run(argv[1])
        name = os.path.basename(os.path.dirname(os.path.abspath(argv[1]))) + "/" + os.path.basename(argv[1])
        if reason:
            print("%s: not run: %s" % (name, reason))
        else:
            print("%s: runs under %s" % (name, describe()))
        return SKIPPED if reason and argv[0] == "--check" else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

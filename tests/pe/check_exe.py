#!/usr/bin/env python3
"""Checks, without running them, that dstpatch.exe builds start on the oldest
Windows each is meant for:

- every imported DLL is one that Windows itself has (the MinGW runtime must
  be linked in), and every imported function is on windows-exports.txt, the
  list of what Windows 2000 (i686) and Windows XP x64 (x86_64) export;
- the i686 file's subsystem version is 4.0 (a loader that wants a higher one
  refuses the file); the x86_64 file's is at most 5.2 (Windows XP x64).

Windows 2000 is the oldest Windows the i686 file is checked to start on: its
imports are not checked against Windows 98, ME or NT 4.

    check_exe.py EXE...      status 0 when all pass, 1 with each fault named
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))

import pe  # noqa: E402

EXPORTS = os.path.join(HERE, "windows-exports.txt")
OLDEST = {"i686": "Windows 2000", "x86_64": "Windows XP x64"}
SUBSYSTEM = {"i686": ((4, 0), "exactly"), "x86_64": ((5, 2), "at most")}


def read_exports(path, target):
    """{DLL name in lower case: set of names} that TARGET's oldest Windows
    exports, from the list at PATH."""
    exports, dll = {}, None
    with open(path) as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if fields[0].startswith("[") and fields[0].endswith("]") and len(fields) == 1:
                dll = exports.setdefault(fields[0][1:-1].lower(), set())
            elif dll is None or len(fields) > 2 or (len(fields) == 2 and fields[1] not in OLDEST):
                raise ValueError("%s:%d: not a DLL heading or a name with an optional target: %r" %
                                 (path, number, line.rstrip("\n")))
            elif len(fields) == 1 or fields[1] == target:
                dll.add(fields[0])
    return exports


def faults(path, exports_path=EXPORTS):
    """The faults of the PE file at PATH, each in one line, and a summary."""
    with open(path, "rb") as f:
        exe = pe.PeImage(f.read())
    machine = exe.machine_name
    if machine not in OLDEST:
        return ["%s: %s is neither i686 nor x86_64" % (path, machine)], ""
    found = []
    wanted, how = SUBSYSTEM[machine]
    version = exe.subsystem_version
    if version > wanted or (how == "exactly" and version != wanted):
        found.append("%s: subsystem version %d.%d, wanted %s %d.%d" % ((path, *version, how, *wanted)))
    exports = read_exports(exports_path, machine)
    imports = exe.imports()
    if not imports:
        found.append("%s: no imports could be read" % path)
    for dll, names in imports.items():
        known = exports.get(dll.lower())
        if known is None:
            found.append("%s: imports %s, which is not a DLL of Windows (the MinGW runtime must be linked in "
                         "statically)" % (path, dll))
            continue
        for name in names:
            if name not in known:
                found.append("%s: imports %s from %s, which is not on the list of what %s exports (%s)" %
                             (path, name, dll, OLDEST[machine], os.path.relpath(exports_path)))
    listed = "; ".join("%s (%d functions)" % (dll, len(names)) for dll, names in imports.items())
    summary = "%s: %s, subsystem version %d.%d, imports %s" % (path, machine, *version, listed)
    return found, summary


def main(argv):
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for path in argv:
        try:
            found, summary = faults(path)
        except (OSError, ValueError, pe.PeError) as error:
            found, summary = ["%s: %s" % (path, error)], ""
        if summary:
            print(summary)
        for fault in found:
            print(fault, file=sys.stderr)
        failed = failed or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

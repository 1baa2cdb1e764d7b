#!/usr/bin/env python3
"""Checks the version that a built program carries against the project's.

    check_version.py EXE VERSION

VERSION is x.y.z (CMake's PROJECT_VERSION). The program must say it in every
place Windows shows or uses: the VS_FIXEDFILEINFO file and product numbers
(x.y.z.0), the FileVersion and ProductVersion strings (x.y.z) of a string
table that VarFileInfo's translation names, and the assemblyIdentity version
(x.y.z.0) of the manifest (resource 1, which also still asks for
administrator rights). Prints what it read; exit status 1 on a mismatch.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))

import pe  # noqa: E402


def problems(info, version):
    numbers = tuple(int(part) for part in version.split(".")) + (0,)
    four = pe.dotted(numbers)
    found = []

    def expect(what, actual, wanted):
        if actual != wanted:
            found.append("%s is %r, not %r" % (what, actual, wanted))

    expect("FILEVERSION", pe.dotted(info.file_version), four)
    expect("PRODUCTVERSION", pe.dotted(info.product_version), four)
    tables = ["%04x%04x" % pair for pair in info.translations]
    expect("string tables named by VarFileInfo", sorted(info.strings), sorted(tables))
    for table in tables:
        entries = info.strings.get(table, {})
        expect("FileVersion string (%s)" % table, entries.get("FileVersion"), version)
        expect("ProductVersion string (%s)" % table, entries.get("ProductVersion"), version)
    expect("manifest resource ids", info.manifest_ids, [1])
    expect("manifest assemblyIdentity version", info.manifest_version, four)
    expect("manifest requestedExecutionLevel", info.execution_level(), "requireAdministrator")
    return found


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    exe, version = argv
    info = pe.VersionInfo(exe)
    strings = [info.strings[t] for t in sorted(info.strings)]
    print("%s: FILEVERSION %s, PRODUCTVERSION %s, FileVersion %r, ProductVersion %r, manifest %s; project %s" %
          (exe, pe.dotted(info.file_version), pe.dotted(info.product_version),
           [s.get("FileVersion") for s in strings], [s.get("ProductVersion") for s in strings],
           info.manifest_version, version))
    found = problems(info, version)
    for problem in found:
        print("mismatch: " + problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

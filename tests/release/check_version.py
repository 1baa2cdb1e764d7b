#!/usr/bin/env python3
"""check_version.py EXE VERSION: the program carries VERSION (x.y.z) in
every place Windows shows or uses; exit status 1 on a mismatch."""

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
    exe, version = argv
    found = problems(pe.VersionInfo(exe), version)
    for problem in found:
        print("mismatch: " + problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

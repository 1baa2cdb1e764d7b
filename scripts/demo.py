#!/usr/bin/env python3
"""Runs dstpatch.exe for real on a throwaway Windows machine under Wine and
shows what it changed. Called by scripts/demo after the build.

    demo.py DSTPATCH_EXE TEMPLATE_DIR MANAGER_EXE

The machine gets the time-zone rules in force before 2007 and a sample site
whose manager application (MANAGER_EXE, the stand-in that the tests use) is
running; each show_* step below prints one part of its state, before and
after the run.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine"))

import template  # noqa: E402
import winemachine  # noqa: E402
import wine  # noqa: E402
import zones  # noqa: E402

SITE = r"C:\Site"
PELIO = """[QUORTECH]
SITENAME=Demo Site
STORE=1042
TIMEZONE=LOCAL
; back-office settings
[NETWORK]
HUB=BOH1
"""
TIMEZONE_INI = "[TIMEZONE]\nOFFSET=-300\n"
MANAGER = SITE + r"\bin\PelioMgr.exe"
ARGS = ["/CHANGEREGVALS", "/CHANGEBOHVALS", "/S"]
ENV = {"QUORDIR": SITE, "TZ": "America/New_York"}


def heading(text):
    print("\n== %s" % text)


def show_text(data):
    text = data.decode("latin-1").replace("\r\n", "\n") if data is not None else "(no file)"
    for line in text.split("\n"):
        print("   | " + line)


def read_zones(machine):
    return {base: machine.reg_query(zones.key_path(base), "TZI") for base, _ in zones.ZONES}


def tzi_hex(data):
    """Biases, then the two transition dates (when standard and when daylight time begins)."""
    if not data or len(data) != 44:
        return data.hex().upper() if data else ""
    parts = (data[0:4], data[4:8], data[8:12], b"", data[12:28], b"", data[28:44])
    return " ".join(part.hex().upper() for part in parts)


def show_zones(records):
    for base, _ in zones.ZONES:
        data = records[base]
        print("%-28s %s" % (zones.key_name(base) + ":", zones.describe(data)))
        print("%-28s %s" % ("", tzi_hex(data)))


def show_zone_changes(before, after):
    changed = [base for base, _ in zones.ZONES if before[base] != after[base]]
    for base in changed:
        print("%s\n    was: %s\n    now: %s" % (zones.key_name(base), zones.describe(before[base]),
                                              zones.describe(after[base])))
    if not changed:
        print("no zone record changed")


def show_site_files(machine):
    for folder in ("data", "newdata"):
        for name in ("pelio.ini", "timezone.ini"):
            path = "%s\\%s\\%s" % (SITE, folder, name)
            print(path + ":")
            show_text(machine.read_file(path))


def show_manager(machine):
    print("journal of the manager application (%s.log):" % MANAGER)
    show_text(machine.read_file(MANAGER + ".log"))


def prepare(machine, manager_exe):
    machine.import_reg(zones.old_zones_reg_text())
    for folder in ("data", "newdata"):
        machine.write_file(SITE + "\\%s\\pelio.ini" % folder, PELIO.replace("\n", "\r\n"))
        machine.write_file(SITE + "\\%s\\timezone.ini" % folder, TIMEZONE_INI.replace("\n", "\r\n"))
    machine.make_dir(SITE + r"\tmp")
    with open(manager_exe, "rb") as f:
        machine.write_file(MANAGER, f.read())
    # The site's manager application runs, with its window open: the patch
    # has to close it before it changes the files, and start it again, under
    # the token of the one it closed (started by its Windows path, so that
    # its image is the site's program).
    machine.start(MANAGER).wait_for_output("ready")


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    exe, template_dir, manager_exe = (os.path.abspath(arg) for arg in argv[1:])
    reason = wine.unable_to_run(exe)
    if reason:
        print("demo: %s" % reason, file=sys.stderr)
        return 1
    print("Running %s: %s." % (os.path.relpath(exe), wine.build_to_run()[1]))
    if not template.is_current(template.directory(template_dir)):
        print("Making the template Wine prefix (once, about 20 s)...")
    machine = winemachine.Machine("demo", template_dir=template_dir, exe=exe)
    try:
        print("Throwaway Windows machine: %s" % machine.prefix)
        prepare(machine, manager_exe)

        heading("Zone records before (HKLM\\...\\Time Zones, value TZI)")
        before = read_zones(machine)
        show_zones(before)

        heading("Site files before")
        show_site_files(machine)
        show_manager(machine)

        heading("Running: dstpatch.exe %s   (QUORDIR=%s)" % (" ".join(ARGS), SITE))
        print("(it waits up to 10 s for the manager application that it starts again)")
        result = machine.run(exe, ARGS, env=ENV)
        print("console output (each line is written out as it is written; the manager application it starts\n"
              "again shares the console, so its \"ready\" follows \"Trying to start the Pelio Manager.\"):")
        show_text(result.stdout)
        print("exit status: %d" % result.status)

        heading("Run log %s\\tmp\\debGorvinal.txt" % SITE)
        show_text(machine.read_file(SITE + r"\tmp\debGorvinal.txt"))

        heading("Zone records after")
        after = read_zones(machine)
        show_zones(after)

        heading("What changed")
        show_zone_changes(before, after)

        heading("Site files after")
        show_site_files(machine)
        show_manager(machine)
    finally:
        machine.close()
    if os.environ.get("DSTPATCH_E2E_KEEP") != "1":
        print("\nThe throwaway machine has been removed.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

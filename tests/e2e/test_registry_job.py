"""dstpatch.exe's run sequence and registry job on a Windows machine under
Wine: the seven zone records, console output and run log, byte for byte."""

import os
import re

import winetest
import zones
from winetest import to_crlf

SITE = r"C:\Site"
# The program's own path, as Windows programs see it (drive Z: is the host's root).
PROGRAM = "Z:" + os.path.abspath(winetest.DSTPATCH_EXE).replace("/", "\\")
NT_PREFIX = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\"

NEW_TZI = {base: zones.new_tzi(base) for base, _ in zones.ZONES}

# The files that give the seven records in hex, for detection rules.
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEPLOYMENT_FILES = ("docs/deploy.md", "deploy/detect.ps1")


def deployment_records():
    """Each file of DEPLOYMENT_FILES -> the set of 44-byte records written in hex in it (upper case)."""
    records = {}
    for name in DEPLOYMENT_FILES:
        with open(os.path.join(REPO, name), encoding="utf-8") as f:
            records[name] = {h.upper() for h in re.findall(r"\b[0-9A-Fa-f]{88}\b", f.read())}
    return records


INVALID_ROOT = winetest.program_text("kInvalidRootMessage")
USAGE = winetest.program_text("kUsage")


def registry_job_output(missing=()):
    """What the registry job writes, on the console and in the run log, in a
    run with TZ=America/New_York where the zone keys in MISSING do not exist."""
    text = "\nSetting TimeZones for US/Canada part.."
    for base, _ in zones.ZONES:
        if base in missing:
            name = zones.key_name(base)
            text += "\nSetTimeZones() for - %s%s, failed, RegOpenKeyEx() returned 2" % (NT_PREFIX, name)
            text += "\nSetTimeZonesForLocalMachine() -%s , SetTimeZones returned 2" % name
    if not missing:
        text += "\nSetting TimeZones for US/Canada part.. succeeded\n"
    # Wine names the active zone by matching the host's rules for TZ against
    # the zone records when a program starts. With the old records seeded,
    # New York matches none of them, so the program finds no named US zone
    # and leaves the active zone alone. Windows keeps the active zone's name
    # in its own settings; the update under a named zone is tested in
    # test_active_zone.py.
    text += ("\nSetting TimeZoneInfo part.."
             "\nThe active time zone is not a US/Canada zone that observes daylight saving time;"
             " it was left unchanged.")
    return text


class RegistryJobTest(winetest.TestCase):
    def setUp(self):
        super().setUp()
        self.machine.make_site(SITE)

    def seed_old_zones(self, deleted=()):
        self.machine.import_reg(zones.old_zones_reg_text(deleted))

    def dstpatch(self, *args, quordir=SITE):
        # TZ fixes the machine's active zone, so that every run sees the same.
        return self.machine.run(winetest.DSTPATCH_EXE, args, env={"TZ": "America/New_York", "QUORDIR": quordir})

    def tzi(self, base):
        return self.machine.reg_query(zones.key_path(base), "TZI")

    def assert_zones(self, expected):
        """Compares the TZI value of every zone with EXPECTED (base -> bytes or None)."""
        actual = {base: self.tzi(base) for base, _ in zones.ZONES}
        self.assertEqual({b: v and v.hex(" ") for b, v in actual.items()},
                         {b: v and v.hex(" ") for b, v in expected.items()})

    def assert_zones_unchanged(self):
        self.assertEqual(self.tzi("Eastern"), zones.old_tzi(300))
        self.assertEqual(self.tzi("Newfoundland"), zones.old_tzi(210))

    def test_one_run_writes_the_seven_new_records(self):
        self.seed_old_zones()
        self.machine.write_file(SITE + r"\tmp\debGorvinal.txt", "log of an earlier run\r\n")

        result = self.dstpatch("/CHANGEREGVALS", "/S")

        self.assertEqual(result.status, 0)
        self.assert_zones(NEW_TZI)
        # The detection rules of the deployment guide look for the records this run wrote.
        written = {self.tzi(base).hex().upper() for base, _ in zones.ZONES}
        self.assertEqual(deployment_records(), dict.fromkeys(DEPLOYMENT_FILES, written))
        # Only the TZI value is written; the key's other values stay.
        self.assertEqual(self.machine.reg_query(zones.key_path("Eastern"), "Std"), "Eastern Standard Time")
        self.assertEqual(
            result.stdout,
            to_crlf("\nTrying to remove debout file..\nDebout file removed from C:\\Site\\tmp\\debGorvinal.txt" +
                    registry_job_output() + "\nSuccess"))
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"),
                         to_crlf(registry_job_output() + "\nSuccess"))

    def test_up_to_date_records_stay_as_they_are(self):
        # Wine's own records are the rules in force today, as on a Windows kept
        # up to date: the patch writes the same bytes back, Newfoundland's
        # changes at 02:00 included.
        before = {base: self.tzi(base) for base, _ in zones.ZONES}
        self.assertEqual(before["Newfoundland"], NEW_TZI["Newfoundland"])

        self.assertEqual(self.dstpatch("/CHANGEREGVALS", "/S").status, 0)

        self.assert_zones(before)

    def test_newfoundland_dynamic_dst_gets_the_years_after_its_last_entry(self):
        # A Vista or 7 machine without the 2011 zone update: Newfoundland's
        # yearly rules end in 2010 at 00:01, which Windows would take for
        # every later year at its next start. Wine's own entries of the other
        # zones end in 2007 with today's rule and stay as they are.
        self.seed_old_zones()
        key = zones.key_path("Newfoundland") + r"\Dynamic DST"
        at_0001 = zones.tzi(210, (11, 0, 1, 0, 1), (3, 0, 2, 0, 1))
        old = {str(year): at_0001 for year in range(2007, 2011)}
        self.machine.import_reg("REGEDIT4\n\n[-%s]\n\n[%s]\n\"FirstEntry\"=dword:000007d7\n" % (key, key) +
                                "".join('"%s"=hex:%s\n' % (year, data.hex(",")) for year, data in old.items()) +
                                '"LastEntry"=dword:000007da\n')
        eastern = zones.key_path("Eastern") + r"\Dynamic DST"
        eastern_before = [self.machine.reg_query(eastern, name) for name in ("2007", "LastEntry")]

        result = self.dstpatch("/CHANGEREGVALS", "/S")

        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout,
                         to_crlf("\nTrying to remove debout file..\nMarker file was not found" +
                                 registry_job_output() + "\nSuccess"))
        # 2011 from the second Sunday of March at 00:01 to the first Sunday
        # of November at 02:00; from 2012 on at 02:00, the rule of TZI.
        expected = dict(old, FirstEntry=2007, LastEntry=2012)
        expected["2011"] = zones.tzi(210, (11, 0, 1, 2, 0), (3, 0, 2, 0, 1))
        expected["2012"] = NEW_TZI["Newfoundland"]
        self.assertEqual({name: self.machine.reg_query(key, name) for name in expected}, expected)
        self.assertIsNone(self.machine.reg_query(key, "2013"))
        self.assertEqual([self.machine.reg_query(eastern, name) for name in ("2007", "LastEntry")], eastern_before)
        self.assertEqual(eastern_before[1], 2007)

    def test_missing_zone_key_is_reported_and_the_others_are_written(self):
        self.seed_old_zones(deleted=("Mountain",))

        result = self.dstpatch("/CHANGEREGVALS", "/S")

        self.assertEqual(result.status, 0)
        self.assert_zones({base: None if base == "Mountain" else NEW_TZI[base] for base, _ in zones.ZONES})
        expected = registry_job_output(missing=("Mountain",)) + "\nSuccess"
        self.assertEqual(result.stdout,
                         to_crlf("\nTrying to remove debout file..\nMarker file was not found" + expected))
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"), to_crlf(expected))

    def test_invalid_root_changes_nothing_and_leaves_its_message_on_drive_c(self):
        self.seed_old_zones()

        result = self.dstpatch("/CHANGEREGVALS", "/S", quordir=r"C:\NoSite")

        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout, to_crlf(INVALID_ROOT))
        self.assertEqual(self.machine.read_file(r"C:\debBGorvinal.txt"), to_crlf(INVALID_ROOT))
        self.assertFalse(self.machine.exists(SITE + r"\tmp\debGorvinal.txt"))
        self.assert_zones_unchanged()

    def test_usage_without_s_waits_in_a_message_box(self):
        answerer = self.machine.start(winetest.helper("box_answerer"), ["1"])  # OK
        answerer.wait_for_output("ready")

        result = self.dstpatch("/?")

        # The box is captioned with the program's own path.
        self.assertEqual(answerer.stop(), 0)
        self.assertEqual(answerer.output(), to_crlf("ready\ncaption: %s\ntext: %s\n" % (PROGRAM, USAGE)))
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stdout, to_crlf(USAGE))

    def test_site_root_with_a_blank_given_by_option(self):
        self.seed_old_zones()
        self.machine.make_site(r"C:\Quor Site")

        result = self.dstpatch("/CHANGEREGVALS", "/QUORDIR", r"C:\Quor Site", "/S", quordir=None)

        self.assertEqual(result.status, 0)
        self.assert_zones(NEW_TZI)
        self.assertEqual(self.machine.read_file(r"C:\Quor Site\tmp\debGorvinal.txt"),
                         to_crlf(registry_job_output() + "\nSuccess"))
        self.assertFalse(self.machine.exists(SITE + r"\tmp\debGorvinal.txt"))

    def test_earlier_run_log_held_open_by_another_program(self):
        self.seed_old_zones()
        log = SITE + r"\tmp\debGorvinal.txt"
        self.machine.write_file(log, "log of an earlier run\r\n")
        locker = self.machine.start(winetest.helper("file_locker"), [log])
        locker.wait_for_output("locked")

        result = self.dstpatch("/CHANGEREGVALS", "/S")

        # Windows refuses the delete and the new log with a sharing violation
        # (32); the run says so and goes on with console output only.
        self.assertEqual(result.status, 0)
        self.assertEqual(
            result.stdout,
            to_crlf("\nTrying to remove debout file..\nDebout file could not be removed from " + log + " (error 32)"
                    "\nThe run log could not be made at " + log + " (error 32): only this console has the run's lines." +
                    registry_job_output() + "\nSuccess"))
        self.assert_zones(NEW_TZI)
        self.assertEqual(locker.stop(), 0)
        self.assertEqual(self.machine.read_file(log), b"log of an earlier run\r\n")

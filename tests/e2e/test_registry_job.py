"""dstpatch.exe's run sequence and registry job on a Windows machine under
Wine: the seven zone records, console output and run log, byte for byte."""

import winetest
import zones
from winetest import to_crlf

SITE = r"C:\Site"

NEW_TZI = {base: zones.new_tzi(base) for base, _ in zones.ZONES}


# What the registry job writes, on the console and in the run log, in a run
# with TZ=America/New_York. Wine names the active zone by matching the host's
# rules for TZ against the zone records when a program starts. With the old
# records seeded, New York matches none of them, so the program finds no
# named US zone and leaves the active zone alone. Windows keeps the active
# zone's name in its own settings; the update under a named zone is tested
# in test_active_zone.py.
REGISTRY_JOB = ("\nSetting TimeZones for US/Canada part..\nSetting TimeZones for US/Canada part.. succeeded\n"
                "\nSetting TimeZoneInfo part.."
                "\nThe active time zone is not a US/Canada zone that observes daylight saving time; it was left "
                "unchanged.")


class RegistryJobTest(winetest.TestCase):
    def setUp(self):
        super().setUp()
        self.machine.make_site(SITE)

    def dstpatch(self, *args):
        # TZ fixes the machine's active zone, so that every run sees the same.
        return self.machine.run(winetest.DSTPATCH_EXE, args, env={"TZ": "America/New_York", "QUORDIR": SITE})

    def test_one_run_writes_the_seven_new_records(self):
        # Eastern's TZI a text value, as a damaged machine may hold it.
        self.machine.import_reg(zones.old_zones_reg_text() + '\n[%s]\n"TZI"="garbage"\n' % zones.key_path("Eastern"))
        self.machine.write_file(SITE + r"\tmp\debGorvinal.txt", "log of an earlier run\r\n")

        result = self.dstpatch("/CHANGEREGVALS", "/S")

        self.assertEqual(result.status, 0)
        self.assertEqual({base: self.machine.reg_query(zones.key_path(base), "TZI") for base in NEW_TZI}, NEW_TZI)
        # Only the TZI value is written; the key's other values stay.
        self.assertEqual(self.machine.reg_query(zones.key_path("Eastern"), "Std"), "Eastern Standard Time")
        self.assertEqual(
            result.stdout,
            to_crlf("\nTrying to remove debout file..\nDebout file removed from C:\\Site\\tmp\\debGorvinal.txt" +
                    REGISTRY_JOB + "\nSuccess"))
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"),
                         to_crlf(REGISTRY_JOB + "\nSuccess"))

    def test_newfoundland_dynamic_dst_gets_the_years_after_its_last_entry(self):
        # A Vista or 7 machine without the 2011 zone update: Newfoundland's
        # yearly rules end in 2010 at 00:01, which Windows would take for
        # every later year at its next start. Wine's own entries of the other
        # zones end in 2007 with today's rule and stay as they are.
        self.machine.import_reg(zones.old_zones_reg_text())
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
                                 REGISTRY_JOB + "\nSuccess"))
        # 2011 from the second Sunday of March at 00:01 to the first Sunday
        # of November at 02:00; from 2012 on at 02:00, the rule of TZI.
        expected = dict(old, FirstEntry=2007, LastEntry=2012)
        expected["2011"] = zones.tzi(210, (11, 0, 1, 2, 0), (3, 0, 2, 0, 1))
        expected["2012"] = NEW_TZI["Newfoundland"]
        self.assertEqual({name: self.machine.reg_query(key, name) for name in expected}, expected)
        self.assertIsNone(self.machine.reg_query(key, "2013"))
        self.assertEqual([self.machine.reg_query(eastern, name) for name in ("2007", "LastEntry")], eastern_before)
        self.assertEqual(eastern_before[1], 2007)

"""The active time zone under Wine's own zone records: the update of the
registry job for New York, and the /DISPONLY report for New York, Phoenix and
Berlin (README.md: how Wine's active zone differs from Windows')."""

import datetime
import zoneinfo

import winetest
from winetest import to_crlf

SITE = r"C:\Site"

REPORT_RULES = {
    "America/New_York": ("First  Sunday of November in the TimeZone - Eastern Standard Time",
                         "Second  Sunday of March in the TimeZone - Eastern Daylight Time"),
    "Europe/Berlin": ("Fifth  Sunday of October in the TimeZone - Central Europe Standard Time",
                      "Fifth  Sunday of March in the TimeZone - Central Europe Daylight Time"),
    "America/Phoenix": ("  Sunday of  in the TimeZone - US Mountain Standard Time",
                        "  Sunday of  in the TimeZone - US Mountain Daylight Time"),
}


def status_line(tz):
    if tz == "America/Phoenix":
        return "\nGetTimeZoneInformation returned - TIME_ZONE_ID_UNKNOWN"
    if datetime.datetime.now(zoneinfo.ZoneInfo(tz)).dst():
        return "\nGetTimeZoneInformation returned -TIME_ZONE_ID_DAYLIGHT"
    return "\nGetTimeZoneInformation returned - TIME_ZONE_ID_STANDARD"


def report(tz):
    standard, daylight = REPORT_RULES[tz]
    return (status_line(tz) + "\nRetrieving Standard Time\n" + standard + "\nRetrieving Daylight Time\n" +
            daylight + "\n")


class ActiveZoneTest(winetest.TestCase):
    def setUp(self):
        super().setUp()
        self.machine.make_site(SITE)

    def run_patch(self, tz, *args):
        result = self.machine.run(winetest.DSTPATCH_EXE, list(args), env={"QUORDIR": SITE, "TZ": tz})
        self.assertEqual(result.status, 0)
        return result.stdout

    def test_registry_job_applies_the_us_zone_which_wine_refuses(self):
        # Which zones are applied is the unit tests' (ZoneTest); here the
        # real apply, which Wine refuses.
        out = self.run_patch("America/New_York", "/CHANGEREGVALS", "/S")
        expected = to_crlf("\nSetting TimeZones for US/Canada part.. succeeded\n\nSetting TimeZoneInfo part.."
                           "\nSetTimeZoneInformation failed (1314) \nSuccess")
        self.assertTrue(out.endswith(expected), out)
        self.assertTrue(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt").endswith(expected))

    def test_report_for_three_zones(self):
        for tz in REPORT_RULES:
            with self.subTest(tz=tz):
                out = self.run_patch(tz, "/DISPONLY", "/S")
                self.assertTrue(out.startswith(to_crlf(report(tz) + "\nTrying to remove debout file..")), out)

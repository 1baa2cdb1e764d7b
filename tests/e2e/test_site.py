"""The site operations on the real Windows calls under Wine: the control server
service HubSvc stopped and started through the service control manager, and
the site's configuration files changed through the profile calls.

The operations are driven by the helper site_driver, which links the patch's
own code and runs the named steps with the run log set up as dstpatch.exe
sets it up. The service is the helper hub_service, registered as HubSvc; its
command line picks how it behaves.
"""

import os
import re

import winetest

ROOT = r"C:\Site"
LOG = ROOT + r"\tmp\debGorvinal.txt"

APPID_REG = r"""REGEDIT4

[HKEY_CLASSES_ROOT\AppID\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}]
"LocalService"="HubSvc"
"""

STOPPED = "\nControl server stopped."
STARTED = "\nControl server started."


def stop_failure(call, code):
    return ("\nStopControlServer() - %s returned error %d"
            "\nStopControlServer() - Unable to stop the Hubsvc" % (call, code))


def start_failure(call, code):
    return ("\nStartControlServer() - %s returned error %d"
            "\nStartControlServer() - Unable to start the Hubsvc" % (call, code))


class SiteTestCase(winetest.TestCase):
    """A machine with a site at C:\\Site and the control server's AppID
    registration; the wine server is kept alive so that services run."""

    def setUp(self):
        super().setUp()
        self.machine.keep_server_alive()
        self.machine.write_file(ROOT + r"\data\pelio.ini", "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n")
        self.machine.make_dir(ROOT + r"\tmp")
        self.machine.import_reg(APPID_REG)

    def drive(self, *steps):
        """Runs the steps; returns the console output (str, CR LF as written)
        and the result of each step."""
        result = self.machine.run(winetest.helper("site_driver"), [ROOT, *steps], timeout=120)
        self.assertEqual(result.status, 0, result)
        results = dict(re.findall(r"^(\w+)=([01])\r?$", result.stderr.decode("latin-1"), re.M))
        return result.stdout.decode("latin-1"), {step: value == "1" for step, value in results.items()}

    def log(self):
        return (self.machine.read_file(LOG) or b"").decode("latin-1")


class ServiceTest(SiteTestCase):

    def install(self, *options):
        exe = "Z:" + os.path.abspath(winetest.helper("hub_service")).replace("/", "\\")
        result = self.machine.run("sc", ["create", "HubSvc", "binPath=", " ".join([exe, *options])])
        self.assertEqual(result.status, 0, result)

    def service(self):
        """(state, Win32 exit code, service exit code) as `sc query` shows them."""
        out = self.machine.run("sc", ["query", "HubSvc"]).stdout.decode("latin-1")
        fields = dict(re.findall(r"^\s*(\w+)\s*:\s*(\d+)", out, re.M))
        return int(fields["STATE"]), int(fields["WIN32_EXIT_CODE"]), int(fields["SERVICE_EXIT_CODE"])

    def test_stop_then_start(self):
        self.install("--stop-slowly", "3")
        self.assertEqual(self.machine.run("sc", ["start", "HubSvc"]).status, 0)
        console, results = self.drive("load", "isservice", "stop")
        self.assertEqual(console, winetest.to_crlf(STOPPED).decode())
        self.assertEqual(results, {"load": True, "isservice": True, "stop": True})
        self.assertEqual(self.service()[0], 1)
        self.assertEqual(self.log(), winetest.to_crlf(STOPPED).decode())

        console, results = self.drive("load", "start")
        self.assertEqual(console, winetest.to_crlf(STARTED).decode())
        self.assertTrue(results["start"])
        self.assertEqual(self.service()[0], 4)

    def test_stop_of_a_stopped_service_sends_no_request(self):
        self.install()
        console, results = self.drive("load", "stop")
        self.assertEqual(console, winetest.to_crlf(STOPPED).decode())
        self.assertTrue(results["stop"])

    def test_service_that_never_stops_times_out(self):
        self.install("--never-stop")
        self.assertEqual(self.machine.run("sc", ["start", "HubSvc"]).status, 0)
        console, results = self.drive("load", "stop")
        self.assertEqual(console, winetest.to_crlf(stop_failure("StopService", 1460)).decode())
        self.assertFalse(results["stop"])
        self.assertEqual(self.service()[0], 3)

    def test_start_waits_while_the_check_point_grows(self):
        # Four seconds of progress against a 2000 ms wait hint: the wait goes
        # on for as long as the check point grows.
        self.install("--start-pending", "8")
        console, results = self.drive("load", "start")
        self.assertEqual(console, winetest.to_crlf(STARTED).decode())
        self.assertEqual(self.service()[0], 4)

    def test_failed_start_is_reported_on_the_console_only(self):
        self.install("--fail-start")
        console, results = self.drive("load", "start")
        report = ("\nControl Server Service is not started. \n  Current State: 1\n  Exit Code: 1066\n"
                  "  Service Specific Exit Code: 42\n  Check Point: 0\n  Wait Hint: 0\n")
        self.assertEqual(console, winetest.to_crlf(report).decode())
        self.assertFalse(results["start"])
        self.assertEqual(self.log(), "")
        self.assertEqual(self.service(), (1, 1066, 42))

    def test_start_of_a_running_service_is_refused(self):
        self.install()
        self.assertEqual(self.machine.run("sc", ["start", "HubSvc"]).status, 0)
        console, results = self.drive("load", "start")
        self.assertEqual(console, winetest.to_crlf(start_failure("StartService", 1056)).decode())
        self.assertFalse(results["start"])

    def test_missing_service_gives_open_service_1060(self):
        console, results = self.drive("load", "isservice", "stop", "start")
        expected = stop_failure("OpenService", 1060) + start_failure("OpenService", 1060)
        self.assertEqual(console, winetest.to_crlf(expected).decode())
        self.assertEqual(self.log(), winetest.to_crlf(expected).decode())
        self.assertEqual(results, {"load": True, "isservice": True, "stop": False, "start": False})


def entries(content):
    """A profile file as Windows reads it: the sections in order, each with its
    lines (key, value) for entries and (line, None) for comments, blanks
    trimmed. Blank lines are not kept."""
    sections = [("", [])]
    for raw in content.decode("latin-1").replace("\r\n", "\n").split("\n"):
        line = raw.strip(" \t")
        if not line:
            continue
        if line.startswith("[") and "]" in line:
            sections.append((line[1:line.index("]")].strip(), []))
        elif "=" in line and not line.startswith(";"):
            key, value = line.split("=", 1)
            sections[-1][1].append((key.strip(), value.strip()))
        else:
            sections[-1][1].append((line, None))
    return sections


class ConfigFileTest(SiteTestCase):
    """Wine rewrites a profile file in a normalised form when it writes an
    entry (CR LF, blank lines dropped, blanks around "=" removed); Windows
    keeps every untouched line byte for byte, and the simulated machine of the
    unit tests follows Windows. So these tests compare entries and comments,
    not bytes, wherever a file is written."""

    DATA = ROOT + r"\data\pelio.ini"
    NEWDATA = ROOT + r"\newdata\pelio.ini"

    def test_pelio_ini_keeps_every_other_entry_and_comment(self):
        m = self.machine
        m.write_file(self.DATA, "; site settings\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; keep me\r\n"
                                "TimeZone = LOCAL  \r\nNAME=Caf\xe9 100%\r\n\r\n[LAST]\r\nB=2")
        m.write_file(self.NEWDATA, "[Other]\nX=1\n")
        console, results = self.drive("modifypelio")
        self.assertEqual(console, winetest.to_crlf("\nModifying Pelio.ini.").decode())
        self.assertTrue(results["modifypelio"])
        self.assertEqual(entries(m.read_file(self.DATA)), [
            ("", [("; site settings", None)]),
            ("OTHER", [("A", "1")]),
            ("QUORTECH", [("; keep me", None), ("TimeZone", "INTL"), ("NAME", "Caf\xe9 100%")]),
            ("LAST", [("B", "2")]),
        ])
        self.assertEqual(entries(m.read_file(self.NEWDATA)), [
            ("", []),
            ("Other", [("X", "1")]),
            ("QUORTECH", [("TIMEZONE", "INTL")]),
        ])

    def test_value_already_intl_leaves_the_bytes(self):
        content = "[quortech]\n timezone = intl \n\n; end"
        self.machine.write_file(self.DATA, content)
        self.machine.write_file(self.NEWDATA, '[QUORTECH]\r\nTIMEZONE="Intl"\r\n')
        console, results = self.drive("modifypelio")
        self.assertTrue(results["modifypelio"])
        self.assertEqual(self.machine.read_file(self.DATA), content.encode())
        self.assertEqual(self.machine.read_file(self.NEWDATA), b'[QUORTECH]\r\nTIMEZONE="Intl"\r\n')

    def test_missing_pelio_ini_is_reported_and_not_created(self):
        console, results = self.drive("modifypelio")
        self.assertEqual(console, winetest.to_crlf(
            "\nModifying Pelio.ini.\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini").decode())
        self.assertFalse(results["modifypelio"])
        self.assertFalse(self.machine.exists(self.NEWDATA))
        self.assertEqual(entries(self.machine.read_file(self.DATA)), [("", []), ("QUORTECH", [("TIMEZONE", "INTL")])])

    def test_files_held_without_sharing_give_code_32(self):
        m = self.machine
        m.write_file(self.NEWDATA, "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n")
        m.write_file(ROOT + r"\data\timezone.ini", "[TZ]\r\n")
        m.write_file(ROOT + r"\newdata\timezone.ini", "[TZ]\r\n")
        lockers = [m.start(winetest.helper("file_locker"), [path])
                   for path in (self.DATA, ROOT + r"\data\timezone.ini")]
        for locker in lockers:
            locker.wait_for_output("locked")
        console, results = self.drive("removetz", "modifypelio")
        expected = ("\nRemoving Timezone.ini.. if exists"
                    "\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 32)"
                    "\nModifying Pelio.ini."
                    "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 32)")
        self.assertEqual(console, winetest.to_crlf(expected).decode())
        self.assertEqual(self.log(), winetest.to_crlf(expected).decode())
        self.assertFalse(results["modifypelio"])
        for locker in lockers:
            self.assertEqual(locker.stop(), 0)
        # What was not held was done; what was held is unchanged.
        self.assertFalse(m.exists(ROOT + r"\newdata\timezone.ini"))
        self.assertTrue(m.exists(ROOT + r"\data\timezone.ini"))
        self.assertEqual(m.read_file(self.DATA), b"[QUORTECH]\r\nTIMEZONE=LOCAL\r\n")
        self.assertEqual(entries(m.read_file(self.NEWDATA)), [("", []), ("QUORTECH", [("TIMEZONE", "INTL")])])

"""The site part of the back-office job under Wine, `dstpatch.exe
/CHANGEBOHVALS /S` on C:\\Site: the control server HubSvc (helpers/hub_service.cpp,
with the AppID registered) stopped and started, and the site's files changed
through the profile calls in application mode."""

import os

import winetest
from winetest import to_crlf

ROOT = r"C:\Site"
LOG = ROOT + r"\tmp\debGorvinal.txt"
DATA = ROOT + r"\data\pelio.ini"
NEWDATA = ROOT + r"\newdata\pelio.ini"
MANAGER = ROOT + r"\bin\PelioMgr.exe"
PELIO = "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n"

APPID_REG = r"""REGEDIT4

[HKEY_CLASSES_ROOT\AppID\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}]
"LocalService"="HubSvc"
"""

# Written to the console before the run log is opened.
CONSOLE_ONLY_START = "\nTrying to remove debout file..\nMarker file was not found"
FILES = "\nRemoving Timezone.ini.. if exists\nModifying Pelio.ini."
STOPPED = "\nControl server stopped."
STARTED = "\nControl server started."
STOPPING_MANAGER = "\nTrying to stop the Pelio Manager.\nSuccesfully stopped the Pelio Manager."
OTHER_RUN = winetest.program_text("kAnotherRun", "app/run_control.cpp")


def service_run(stop, start):
    """The run log of a service-mode run: STOP and START are what the stop
    and the start of the control server wrote."""
    return ("\nUsing QUORDIR -  C:\\Site\nTrying to stop the control server." + stop + FILES +
            "\nTrying to start the control server." + start + "\nSuccess")


def application_run(files):
    """The run log of an application-mode run with no manager running: FILES
    is what the file changes wrote."""
    return "\nUsing QUORDIR -  C:\\Site" + files + "\nTrying to start the Pelio Manager.\nSuccess"


CHANGED = b"[QUORTECH]\r\nTIMEZONE=INTL\r\n"

# The layouts that the tests change, these and those of the unit tests'
# table of values, in pairs (data, newdata).
LAYOUTS = [
    PELIO, "[Other]\nX=1\n",
    "; site settings\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; keep me\r\nTimeZone = LOCAL  \r\n"
    "NAME=Caf\xe9 100%\r\n\r\n[LAST]\r\nB=2",
    "; site\r\n[OTHER]\r\nA = 1 \r\n\r\n[QUORTECH]\r\n  ; note\r\nNAME=Caf\xe9 100%\r\n"
    "TimeZone = LOCAL  \r\nB=2\r\n\x1a",
    '[QUORTECH]\r\nTIMEZONE=""INTL""\r\n', '[QUORTECH]\r\nTIMEZONE="INTL\r\n',
    "[QUORTECH]\r\nTIMEZONE=INTL" + " " * 30 + "X\r\n", "[QUORTECH]\nTIMEZONE=LOCAL\nB=2\n",
    "[QUORTECH]\r\nTIMEZONE=LOCAL", "[QUORTECH]\r\nA=1\r\n; x\r\n\r\n[OTHER]\r\nTIMEZONE=INTL\r\n",
    "[QUORTECH]\r\n;TIMEZONE=INTL\r\n", "TIMEZONE=INTL\r\n[QUORTECH]\r\n",
    "[QUORTECH]\r\nA=1\r\n[QUORTECH]\r\nTIMEZONE=LOCAL\r\n", "[QUORTECH]\nA=1\n",
    "[QUORTECH]\r\nA=1", "[OTHER]\r\nA=1\r\n\r\n",
    "[OTHER]\nA=1", "",
]


class SiteTestCase(winetest.TestCase):
    def setUp(self):
        super().setUp()
        self.make_site()

    def make_site(self):
        self.machine.make_site(ROOT, PELIO)
        self.machine.write_file(NEWDATA, PELIO)

    def run_patch(self):
        # The manager program, where there is one, ends at once when started,
        # so that the run does not wait out the 10 s given to it.
        result = self.machine.run(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS", "/S"],
                                  env={"QUORDIR": ROOT, "TZ": "America/New_York", "PELIOMGR_MODE": "exit"})
        self.assertEqual(result.status, 0, result)
        return result

    def check_output(self, result, log):
        """The run log holds exactly LOG; the console its own first messages, then LOG."""
        self.assertEqual(result.stdout, to_crlf(CONSOLE_ONLY_START + log))
        self.assertEqual(self.machine.read_file(LOG), to_crlf(log))


class ServiceTest(SiteTestCase):
    def setUp(self):
        super().setUp()
        self.register()

    def register(self):
        self.machine.keep_server_alive()
        self.machine.import_reg(APPID_REG)

    def next_machine(self, name):
        self.machine = winetest.Machine(name)
        self.addCleanup(self.machine.close)
        self.make_site()
        self.register()

    def install(self, *options, start=False):
        result = self.machine.run("sc", ["create", "HubSvc", "binPath=",
                                         " ".join([winetest.z_path(winetest.helper("hub_service")), *options])])
        self.assertEqual(result.status, 0, result)
        if start:
            result = self.machine.run("sc", ["start", "HubSvc"])
            self.assertEqual(result.status, 0, result)

    def test_stop_and_start_as_the_service_behaves(self):
        # Each case on a machine of its own: the options of the service, whether
        # it runs before the run, what the stop and the start write.
        cases = {
            # A stop that takes 1.5 s: "stopped" is written once the service
            # reports STOPPED, before the files are touched, and "started"
            # once it reports RUNNING again, after them. A manager application
            # running beside it is neither closed nor started.
            "stop takes 1.5 s": (["--stop-slowly", "3"], True, STOPPED, STARTED),
            # After the 5 s time-out the service is still stop pending, so the
            # start is refused as for a running service (1056); the run goes on.
            "never stops": (["--stop-slowly", "100"], True, "\nStopControlServer() - StopService returned error 1460"
                            "\nStopControlServer() - Unable to stop the Hubsvc",
                            "\nStartControlServer() - StartService returned error 1056"
                            "\nStartControlServer() - Unable to start the Hubsvc"),
            # The run log is all that an unattended run leaves: the report of
            # a failed start is there as on the console.
            "start fails": (["--fail-start"], False, STOPPED,
                            "\nControl Server Service is not started. \n  Current State: 1\n  Exit Code: 1066\n"
                            "  Service Specific Exit Code: 42\n  Check Point: 0\n  Wait Hint: 0\n"),
        }
        for number, (case, (options, running, stop, start)) in enumerate(cases.items()):
            with self.subTest(case):
                if number > 0:
                    self.next_machine(case)
                self.install(*options, start=running)
                manager = None
                if number == 0:
                    self.put_helper("pelio_manager", MANAGER)
                    manager = self.machine.start(self.machine.host_path(MANAGER), env={"PELIOMGR_MODE": "close"})
                    manager.wait_for_output("ready")
                result = self.run_patch()
                self.check_output(result, service_run(stop, start))
                self.assertEqual(self.machine.read_file(DATA), CHANGED)
                if manager is not None:
                    self.assertIsNone(manager.process.poll())
                    self.assertEqual(len(self.machine.read_file(MANAGER + ".log").splitlines()), 1)

    def test_two_runs_at_once_one_does_the_job_the_other_changes_nothing(self):
        # A start-up script and an operator, say, at the same moment. The
        # service takes 3 s to stop, so whichever run takes the guard still
        # holds it when the other one looks.
        self.install("--stop-slowly", "6", start=True)
        runs = [self.machine.start(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS", "/S"],
                                   env={"QUORDIR": ROOT, "TZ": "America/New_York"}) for _ in range(2)]
        self.assertEqual([run.stop(timeout=60) for run in runs], [0, 0])

        refused = to_crlf(OTHER_RUN)
        outputs = sorted((run.output() for run in runs), key=lambda output: output == refused)
        self.assertEqual(outputs, [to_crlf(CONSOLE_ONLY_START + service_run(STOPPED, STARTED)), refused])
        self.assertEqual(self.machine.read_file(LOG), to_crlf(service_run(STOPPED, STARTED)))
        self.assertEqual(self.machine.read_file(DATA), CHANGED)


class ConfigFileTest(SiteTestCase):
    """Application mode. Wine's profile call rewrites a file in a normal form
    (Windows keeps untouched lines), so files are compared with what it writes."""

    def setUp(self):
        super().setUp()
        self.put_helper("pelio_manager", MANAGER)
        self.start_shell()  # the user whose account the manager starts under

    def journal(self):
        return (self.machine.read_file(MANAGER + ".log") or b"").decode("latin-1").splitlines()

    def test_bytes_are_those_of_windows_own_profile_call(self):
        # The profile call changes a copy in a folder of the run's own; its
        # bytes are written back through the handle that was checked. So the
        # file holds what the call writes in place (here Wine's form), and the
        # folder is gone afterwards.
        m = self.machine
        references = [r"C:\Reference\%d.ini" % n for n in range(len(LAYOUTS))]
        for path, layout in zip(references, LAYOUTS):
            m.write_file(path, layout)
        written = m.run(winetest.helper("profile_writer"), references)
        self.assertEqual(written.status, 0, written)
        for n in range(0, len(LAYOUTS), 2):
            m.write_file(DATA, LAYOUTS[n])
            m.write_file(NEWDATA, LAYOUTS[n + 1])
            self.run_patch()
            self.assertEqual(m.read_file(LOG), to_crlf(application_run(FILES)))
            self.assertEqual(m.read_file(DATA), m.read_file(references[n]), LAYOUTS[n])
            self.assertEqual(m.read_file(NEWDATA), m.read_file(references[n + 1]), LAYOUTS[n + 1])
        temp = m.host_path(m.run("cmd", ["/c", "echo", "%TEMP%"]).stdout.decode().strip())
        self.assertEqual([name for name in os.listdir(temp) if name.startswith("dstpatch.")], [])

    def test_windows_9x_flushes_its_profile_cache_without_a_failure(self):
        # In Wine's Windows 98 mode the patch takes the 9x road: the profile
        # calls on the files, then the flush of the cache, whose result is
        # zero by design.
        self.machine.import_reg("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\dstpatch.exe]\n"
                                '"Version"="win98"\n')
        self.check_output(self.run_patch(), application_run(FILES))
        self.assertEqual(self.machine.read_file(DATA), CHANGED)
        self.assertEqual(self.machine.read_file(NEWDATA), CHANGED)

    def test_value_already_intl_leaves_the_bytes_and_a_missing_file_is_not_made(self):
        # The folder of newdata is there, so only the patch's check keeps its
        # file from being made.
        content = '[quortech]\n timezone = "intl" \n\n; end'
        self.machine.write_file(DATA, content)
        os.remove(self.machine.host_path(NEWDATA))
        result = self.run_patch()
        self.check_output(result, application_run(FILES + "\nPelio.ini- File Not Found: C:\\Site\\newdata\\pelio.ini"))
        self.assertEqual(self.machine.read_file(DATA), content.encode())
        self.assertFalse(self.machine.exists(NEWDATA))

    def test_run_killed_while_it_waits_for_the_manager_leaves_every_line(self):
        # A distribution tool's time-out kills the run during its 10 s wait
        # for the manager it started. Console output and run log, written
        # through, hold every line so far; the manager's "ready" follows on
        # the console they share. Until it ends, the run holds the site root:
        # a user cannot rename it.
        m = self.machine
        run = m.start(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS", "/S"],
                      env={"QUORDIR": ROOT, "TZ": "America/New_York", "PELIOMGR_MODE": "close"})
        run.wait_for_output("ready", timeout=30)
        self.assertNotEqual(m.run("cmd", ["/c", "move", ROOT, r"C:\Moved"]).status, 0)
        self.assertEqual(m.run("taskkill", ["/F", "/IM", "dstpatch.exe"]).status, 0)
        run.stop()

        so_far = application_run(FILES)[:-len("\nSuccess")]
        self.assertEqual(run.output(), to_crlf(CONSOLE_ONLY_START + so_far) + b"ready\r\n")
        self.assertEqual(m.read_file(LOG), to_crlf(so_far))
        self.assertEqual(self.journal(), [r"start C:\Site\bin\PelioMgr.exe  /QUORDIR C:\Site"])

        # The killed run's guard does not hold up the next run, which closes
        # the manager the killed run started and starts it again. Once no run
        # goes on, the root can be renamed.
        rerun = self.run_patch()
        self.assertTrue(rerun.stdout.endswith(to_crlf(STOPPING_MANAGER + FILES + "\nTrying to start the Pelio Manager."
                                                      "\nSuccess")), rerun)
        self.assertEqual(self.journal()[1:], ["close", "end", r"start C:\Site\bin\PelioMgr.exe  /QUORDIR C:\Site"])
        self.assertEqual(m.run("cmd", ["/c", "move", ROOT, r"C:\Moved"]).status, 0)

    def test_files_held_without_sharing_give_code_32(self):
        m = self.machine
        m.write_file(ROOT + r"\data\timezone.ini", "[TZ]\r\n")
        m.write_file(ROOT + r"\newdata\timezone.ini", "[TZ]\r\n")
        lockers = [m.start(winetest.helper("file_locker"), [path]) for path in (DATA, ROOT + r"\data\timezone.ini")]
        for locker in lockers:
            locker.wait_for_output("locked")
        result = self.run_patch()
        for locker in lockers:
            self.assertEqual(locker.stop(), 0)
        self.check_output(result, application_run(
            "\nRemoving Timezone.ini.. if exists"
            "\nTimezone.ini could not be removed: C:\\Site\\data\\timezone.ini (error 32)"
            "\nModifying Pelio.ini."
            "\nPelio.ini- Unable to update: C:\\Site\\data\\pelio.ini (error 32)"))
        # What was not held was done; what was held is unchanged; the run
        # went on to start the manager.
        self.assertFalse(m.exists(ROOT + r"\newdata\timezone.ini"))
        self.assertTrue(m.exists(ROOT + r"\data\timezone.ini"))
        self.assertEqual(m.read_file(DATA), PELIO.encode())
        self.assertEqual(m.read_file(NEWDATA), CHANGED)
        self.assertEqual(self.journal(), [r"start C:\Site\bin\PelioMgr.exe  /QUORDIR C:\Site"])

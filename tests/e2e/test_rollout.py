"""The roll-out scripts of deploy/ under Wine's cmd, reg and cscript, which,
like Windows XP, has no PowerShell: the start-up script (dstpatch-startup.cmd
and dstpatch-startup.vbs) with the real dstpatch.exe, the detection rule
detect.vbs (detect.ps1 cannot run: Wine's powershell.exe is a stub; the
deploy.guide test checks its lists) and the report script.

Paths hold blanks and % and site roots end in a backslash throughout. The
scripts lie in a folder without %: Wine's cmd drops a % from %~dp0, which
Windows keeps (and a policy's script folder never holds one)."""

import os
import re
import shutil

import winetest
import zones
from test_site import APPID_REG

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPTS = r"C:\GPO Scripts"
ROOT = r"C:\Quor Site 100%"
PELIO = "[QUORTECH]\r\nSITENAME=Store 5\r\nTIMEZONE=LOCAL\r\n[NETWORK]\r\nTIMEZONE=LOCAL\r\n"
TIMEZONE_INI = "[TIMEZONE]\r\nOFFSET=-300\r\n"
PRIVATE = r"C:\windows\dstpatch"
JOURNAL = PRIVATE + r"\dstpatch-startup.log"

DONE = "done"
FOUND_DONE = "done: found done at start-up; nothing was run"
LATER = "not done: another run of this patch was in progress; this machine tries again at its next start"
PENDING = ("site change pending: the registry job is done; the site change needs a run in the user's session "
           "(the control server is the manager application)")
REFUSAL = ("\nAnother run of this patch is in progress on this machine: this run changed nothing. "
           "Run this patch again later.")


def deploy_file(path):
    with open(os.path.join(REPO, "deploy", path), "rb") as f:
        return f.read()


def eastern_tzi():
    return zones.new_tzi("Eastern")


def z_path(host_path):
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


MACHINE_ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
# Write filters as their tools report them (None: no tool), and the outcome.
WRITE_FILTERED = "not run: write filter on C: (changes would be lost at restart)"
WRITE_FILTERS = (
    ("ewfmgr", "Protected Volume Configuration\r\n  Type            RAM (REG)\r\n  State           ENABLED\r\n"),
    ("fbwfmgr", "File-based write filter configuration for the current session:\r\n    filter state: enabled.\r\n"
     "File-based write filter configuration for the next session:\r\n    filter state: disabled.\r\n"),
    ("uwfmgr", "Unified Write Filter Configuration for the Current Session\r\n  Filter state:           ON\r\n"),
)


def run_as_agent(m, command, env=None):
    """COMMAND run by cmd as a distribution agent started before the
    machine's QUORDIR was set: without QUORDIR in its environment (Wine puts
    the machine's variables into every process it starts from the host)."""
    m.write_file(r"C:\agent.cmd", "@set QUORDIR=\r\n@%s\r\n@exit /b %%ERRORLEVEL%%\r\n" % command)
    return m.run("cmd", ["/d", "/c", r"C:\agent.cmd"], env=env)


def stand_in_write_filter(m, tool, output):
    """TOOL.exe in the system folder, printing OUTPUT (None: removed)."""
    path = m.host_path(r"C:\windows\system32\%s.exe" % tool)
    if os.path.exists(path):
        os.remove(path)
    if output is not None:
        shutil.copyfile(winetest.helper("console_stand_in"), path)
        m.write_file(r"C:\filter.txt", output)


class StartupTestCase(winetest.TestCase):
    """A machine with the old zone records, a site at ROOT and the policy's
    script folder: the start-up script, detect.vbs and dstpatch.exe."""

    def setUp(self):
        super().setUp()
        m = self.machine
        m.keep_server_alive()
        m.import_reg(zones.old_zones_reg_text())
        for folder in ("data", "newdata"):
            m.write_file(ROOT + "\\%s\\pelio.ini" % folder, PELIO)
        m.write_file(ROOT + r"\data\timezone.ini", TIMEZONE_INI)
        m.make_dir(ROOT + r"\tmp")
        self.install_scripts()
        self.computer = m.run("cmd", ["/c", "echo %COMPUTERNAME%"]).stdout.decode().strip()

    def install_scripts(self, program=None, script=None, **settings):
        """The scripts, with the settings lines of dstpatch-startup.cmd set
        as an operator would (SETTINGS: name -> value as written in the
        file); PROGRAM stands for dstpatch.exe, SCRIPT (bytes) for
        dstpatch-startup.vbs."""
        startup = deploy_file("gpo/dstpatch-startup.cmd").decode("latin-1")
        for name, value in settings.items():
            line = 'if not defined QUORDIR set "QUORDIR=' if name == "QUORDIR" else 'set "%s=' % name
            startup, count = re.subn(re.escape(line) + r'[^"\r]*"', lambda _: line + value + '"',
                                     startup)
            self.assertEqual(count, 1, name)
        m = self.machine
        m.write_file(SCRIPTS + r"\dstpatch-startup.cmd", startup)
        m.write_file(SCRIPTS + r"\dstpatch-startup.vbs", script or deploy_file("gpo/dstpatch-startup.vbs"))
        m.write_file(SCRIPTS + r"\detect.vbs", deploy_file("detect.vbs"))
        with open(program or winetest.DSTPATCH_EXE, "rb") as f:
            m.write_file(SCRIPTS + r"\dstpatch.exe", f.read())

    def start(self, env=None, outcome=None):
        """One computer start: the start-up script as Group Policy runs it.
        Checks that it ends with status 0 and prints OUTCOME."""
        result = self.machine.run("cmd", ["/c", SCRIPTS + r"\dstpatch-startup.cmd"],
                                  env=dict({"TZ": "America/New_York", "PELIOMGR_MODE": "exit"}, **(env or {})))
        self.assertEqual(result.status, 0, result)
        if outcome is not None:
            self.assertEqual(result.stdout, winetest.to_crlf(outcome + "\n"), result)
        return result.stdout.decode("latin-1")

    def run_folders(self, base=PRIVATE):
        folder = self.machine.host_path(base + "\\" + self.computer)
        if not os.path.isdir(folder):
            return []
        return sorted(base + "\\" + self.computer + "\\" + name for name in os.listdir(folder))

    def journal(self):
        return (self.machine.read_file(JOURNAL) or b"").decode("latin-1").splitlines()

    def tzi(self, base="Eastern"):
        return self.machine.reg_query(zones.key_path(base), "TZI")


class ServiceSiteTest(StartupTestCase):

    def test_first_start_backs_up_and_patches_second_finds_it_done(self):
        m = self.machine
        m.import_reg(APPID_REG)
        service = "Z:" + os.path.abspath(winetest.helper("hub_service")).replace("/", "\\")
        self.assertEqual(m.run("sc", ["create", "HubSvc", "binPath=", service]).status, 0)
        self.assertEqual(m.run("sc", ["start", "HubSvc"]).status, 0)
        share = r"C:\Share 100%\outcomes"
        m.make_dir(share)
        self.install_scripts(DSTPATCH_SHARE=share.replace("%", "%%"))
        env = {"QUORDIR": ROOT + "\\"}  # the machine's own, ending in a backslash

        self.start(env, outcome=DONE)

        [run] = self.run_folders()
        saved = {name: m.read_file(run + "\\" + name) for name in ("data\\pelio.ini", "newdata\\pelio.ini",
                                                                     "data\\timezone.ini")}
        self.assertEqual(saved, dict.fromkeys(saved, PELIO.encode()) | {"data\\timezone.ini": TIMEZONE_INI.encode()})
        self.assertFalse(m.exists(run + r"\newdata\timezone.ini"))
        self.assertFalse(m.exists(run + r"\dstpatch.exe"))  # run from the policy's folder
        listing = m.read_file(run + r"\backup.txt").decode("latin-1")
        self.assertIn("absent  " + ROOT + r"\newdata\timezone.ini", listing)
        # Both jobs ran, the service was stopped and started around the files.
        console = m.read_file(run + r"\console.txt")
        log = m.read_file(run + r"\debGorvinal.txt")
        for line in ("Setting TimeZones for US/Canada part.. succeeded", "Control server stopped.",
                     "Control server started.", "Success"):
            self.assertIn(line, log.decode("latin-1").split("\r\n"))
        self.assertTrue(console.endswith(log), console)
        self.assertEqual(self.tzi(), eastern_tzi())
        self.assertFalse(m.exists(ROOT + r"\data\timezone.ini"))
        for folder in ("data", "newdata"):
            self.assertIn(b"TIMEZONE=INTL", m.read_file(ROOT + "\\%s\\pelio.ini" % folder))
        prefix = share + "\\" + self.computer
        self.assertEqual([m.read_file(prefix + suffix) for suffix in ("-outcome.txt", "-console.txt", "-debGorvinal.txt")],
                         [b"done\r\n", console, log])
        self.assertEqual(m.read_file(run + r"\outcome.txt"), b"done\r\n")

        # The later starts find the machine done: no backup, no run. A
        # failure on the share (as a run that failed to start the service
        # but met the rule would leave) is kept, once, by the line that
        # replaces it; the share keeps the run's files.
        failure = "failed: StartControlServer() - StartService returned error 1058"
        m.write_file(prefix + "-outcome.txt", failure + "\r\n")
        share_before = {name: m.read_file(share + "\\" + name) for name in os.listdir(m.host_path(share))}
        kept = FOUND_DONE + " (earlier: %s)" % failure
        share_before[self.computer + "-outcome.txt"] = winetest.to_crlf(kept + "\n")
        for outcome in (kept, FOUND_DONE):
            self.start(env, outcome=outcome)
            self.assertEqual({name: m.read_file(share + "\\" + name) for name in os.listdir(m.host_path(share))},
                             share_before)
        self.assertEqual(self.run_folders(), [run])
        self.assertEqual([line[20:] for line in self.journal()],
                         ["started", "done (%s)" % run, "started", kept, "started", FOUND_DONE])

        # The undo from the first complete backup (a folder without
        # backup.txt is none): the zone keys and the active zone imported,
        # timezone.ini copied back, and only TIMEZONE of QUORTECH set back:
        # a change made to the site since then stays.
        m.make_dir(PRIVATE + "\\%s\\20000101-000000" % self.computer)
        self.assertTrue(m.exists(run + r"\TimeZoneInformation.reg"))
        for folder in ("data", "newdata"):
            path = ROOT + "\\%s\\pelio.ini" % folder
            m.write_file(path, m.read_file(path).replace(b"Store 5", b"Store 6"))
        m.write_file(SCRIPTS + r"\dstpatch-undo.vbs", deploy_file("dstpatch-undo.vbs"))
        result = m.run("cscript", ["//nologo", SCRIPTS + r"\dstpatch-undo.vbs"])
        self.assertEqual(result.status, 0, result)
        self.assertEqual([self.tzi(base) for base, _ in zones.ZONES], [zones.old_tzi(bias) for _, bias in zones.ZONES])
        for folder in ("data", "newdata"):
            self.assertEqual(m.read_file(ROOT + "\\%s\\pelio.ini" % folder),
                             PELIO.replace("Store 5", "Store 6").encode())
        self.assertEqual(m.read_file(ROOT + r"\data\timezone.ini"), TIMEZONE_INI.encode())
        self.assertFalse(m.exists(ROOT + r"\newdata\timezone.ini"))


class ApplicationSiteTest(StartupTestCase):

    def test_registry_job_at_start_site_change_in_the_users_session(self):
        # No QUORDIR on the machine: the start-up script's own setting.
        m = self.machine
        with open(winetest.helper("pelio_manager"), "rb") as f:
            m.write_file(ROOT + r"\bin\PelioMgr.exe", f.read())
        manager = m.start(m.host_path(ROOT + r"\bin\PelioMgr.exe"), env={"PELIOMGR_MODE": "close"})
        manager.wait_for_output("ready")
        self.install_scripts(QUORDIR=ROOT.replace("%", "%%") + "\\", DSTPATCH_SHARE="C:\\Share\\")
        m.make_dir(r"C:\Share")

        # The start runs the registry job alone and leaves the manager and
        # the site's files as they are.
        self.start(outcome=PENDING)
        [run] = self.run_folders()
        self.assertEqual(self.tzi(), eastern_tzi())
        self.assertIn(b"Setting TimeZones for US/Canada part.. succeeded", m.read_file(run + r"\debGorvinal.txt"))
        self.assertEqual(m.read_file(ROOT + r"\data\pelio.ini"), PELIO.encode())
        self.assertTrue(m.exists(ROOT + r"\data\timezone.ini"))
        self.assertIsNone(manager.process.poll())
        self.assertEqual(m.read_file(r"C:\Share\%s-outcome.txt" % self.computer), winetest.to_crlf(PENDING + "\n"))
        # The next start finds the registry job done and runs nothing.
        self.start(outcome=PENDING)
        self.assertEqual(self.run_folders(), [run])

        # The site change, run by a user in the session: asked to close the
        # manager application, Yes.
        answerer = m.start(winetest.helper("box_answerer"), ["6"])
        answerer.wait_for_output("ready")
        result = m.run(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS"],
                       env={"QUORDIR": ROOT, "TZ": "America/New_York", "PELIOMGR_MODE": "exit"})
        self.assertEqual(answerer.stop(), 0)
        self.assertTrue(result.stdout.endswith(b"\r\nSuccess"), result)
        self.assertEqual(manager.process.wait(10), 0)

        # Now the machine is done, and the share says so.
        self.start(outcome=FOUND_DONE)
        self.assertEqual(m.read_file(r"C:\Share\%s-outcome.txt" % self.computer), winetest.to_crlf(FOUND_DONE + "\n"))
        self.assertEqual(self.run_folders(), [run])


    def test_start_while_another_run_is_in_progress_is_not_done_yet(self):
        # The user's run of the site change holds the guard for some 15 s
        # (the manager application ignores its close request and is
        # terminated after 5 s; the one started again is waited for 10 s)
        # while the machine's start-up script runs the registry job: that
        # run changes nothing and the machine counts as not done yet. The
        # next start runs the registry job, and the machine is done.
        m = self.machine
        with open(winetest.helper("pelio_manager"), "rb") as f:
            m.write_file(ROOT + r"\bin\PelioMgr.exe", f.read())
        m.start(m.host_path(ROOT + r"\bin\PelioMgr.exe"), env={"PELIOMGR_MODE": "ignore"}).wait_for_output("ready")
        env = {"QUORDIR": ROOT}
        user = m.start(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS", "/S"], env=dict(env, TZ="America/New_York"))
        user.wait_for_output("Trying to stop the Pelio Manager.", timeout=30)

        self.start(env, outcome=LATER)

        self.assertEqual(user.stop(timeout=60), 0)
        self.assertTrue(user.output().endswith(b"\r\nSuccess"), user.output())
        [refused] = self.run_folders()
        self.assertEqual(m.read_file(refused + r"\console.txt"), winetest.to_crlf(REFUSAL))
        self.assertEqual(self.tzi(), zones.old_tzi(300))
        self.start(env, outcome=DONE)
        self.assertEqual(self.tzi(), eastern_tzi())


class InstallWrapperTest(StartupTestCase):

    def test_wrapper_runs_the_jobs_the_site_allows(self):
        # QUORDIR in the machine's environment only, not in the agent's.
        m = self.machine
        m.write_file(SCRIPTS + r"\dstpatch-install.vbs", deploy_file("dstpatch-install.vbs"))
        self.assertEqual(m.run("reg", ["add", MACHINE_ENVIRONMENT, "/v", "QUORDIR", "/d", ROOT + "\\", "/f"]).status, 0)
        with open(winetest.helper("pelio_manager"), "rb") as f:
            m.write_file(ROOT + r"\bin\PelioMgr.exe", f.read())
        manager = m.start(m.host_path(ROOT + r"\bin\PelioMgr.exe"), env={"PELIOMGR_MODE": "close"})
        manager.wait_for_output("ready")
        env = {"TZ": "America/New_York", "PELIOMGR_MODE": "exit", "DSTPATCH_STAND_IN_OUTPUT": r"C:\filter.txt"}
        wrapper = r'cscript //nologo "%s\dstpatch-install.vbs"' % SCRIPTS
        pending = "dstpatch-install: " + PENDING

        # A write filter: nothing is run. Then a manager-application site:
        # the registry job alone, the manager and the files left as they
        # are; again, nothing is run.
        stand_in_write_filter(m, "ewfmgr", WRITE_FILTERS[0][1])
        result = run_as_agent(m, wrapper, env)
        self.assertEqual((result.status, result.stdout),
                         (3, winetest.to_crlf("dstpatch-install: %s\n" % WRITE_FILTERED)))
        stand_in_write_filter(m, "ewfmgr", WRITE_FILTERS[0][1].replace("ENABLED", "DISABLED"))
        result = run_as_agent(m, wrapper, env)
        self.assertEqual(result.status, 2, result)
        self.assertTrue(result.stdout.endswith(b"\r\nSuccess\r\n" + winetest.to_crlf(pending + "\n")), result)
        self.assertIn(b"Setting TimeZones for US/Canada part.. succeeded", result.stdout)
        self.assertNotIn(b"Pelio", result.stdout)
        self.assertEqual(self.tzi("Newfoundland"), zones.new_tzi("Newfoundland"))
        self.assertEqual(m.read_file(ROOT + r"\data\pelio.ini"), PELIO.encode())
        self.assertIsNone(manager.process.poll())
        result = run_as_agent(m, wrapper, env)
        self.assertEqual((result.status, result.stdout), (2, winetest.to_crlf(pending + "\n")))

        # A service site: both jobs, then found done; the detection rule
        # finds the site root in the machine's environment too.
        m.import_reg(APPID_REG)
        service = z_path(winetest.helper("hub_service"))
        self.assertEqual(m.run("sc", ["create", "HubSvc", "binPath=", service]).status, 0)
        self.assertEqual(m.run("sc", ["start", "HubSvc"]).status, 0)
        result = run_as_agent(m, wrapper, env)
        self.assertEqual(result.status, 0, result)
        self.assertTrue(result.stdout.endswith(b"Control server started.\r\nSuccess\r\ndstpatch-install: done\r\n"),
                        result)
        for args, printed in (("", b"Detected\r\n"), ("status", b"Detected\r\n")):
            result = run_as_agent(m, r'cscript //nologo "%s\detect.vbs" %s' % (SCRIPTS, args))
            self.assertEqual(result.stdout, printed)
        result = run_as_agent(m, wrapper, env)
        self.assertEqual((result.status, result.stdout),
                         (0, winetest.to_crlf("dstpatch-install: done: found done; nothing was run\n")))


class BadSettingsTest(StartupTestCase):

    def test_missing_root_unwritable_backup_and_missing_share(self):
        m = self.machine
        m.make_dir(r"C:\Share")
        m.write_file(r"C:\Blocked", "a file where the backup folder should be")
        steps = (
            # (settings, machine's QUORDIR, outcome)
            (dict(QUORDIR=""), None, "not run: no site root: QUORDIR is set neither on this machine nor in "
             "dstpatch-startup.cmd"),
            ({}, r"C:\Nowhere 100%", r"not run: no site root: C:\Nowhere 100%\data\pelio.ini does not exist"),
            (dict(DSTPATCH_BACKUP=r"C:\Blocked\dstpatch"), ROOT,
             r"not run: no backup: could not make the folder C:\Blocked: "),
            (dict(DSTPATCH_BACKUP=r"\\server\backups"), ROOT,
             r"not run: no backup: the backup folder \\server\backups is not a full path on a local drive"),
            # Wine answers no query of a folder's security (Windows does):
            # a backup folder that is not known to be safe is refused.
            (dict(DSTPATCH_BACKUP=r"C:\Backup 100%%"), ROOT,
             r"not run: no backup: refused the backup folder C:\Backup 100%: who may write it could not be read"),
        )
        for settings, quordir, outcome in steps:
            with self.subTest(outcome=outcome):
                self.install_scripts(DSTPATCH_SHARE=r"C:\Share", **settings)
                printed = self.start({"QUORDIR": quordir})
                self.assertTrue(printed.startswith(outcome), printed)
                self.assertEqual(m.read_file(r"C:\Share\%s-outcome.txt" % self.computer), printed.encode("latin-1"))
                self.assertEqual(self.journal()[-1][20:], printed.strip())
        self.assertEqual(self.tzi(), zones.old_tzi(300))
        self.assertEqual(m.read_file(ROOT + r"\data\pelio.ini"), PELIO.encode())

        # A share that is not there: the patch runs all the same, and the
        # journal and the run's folder say that the share was not written.
        self.install_scripts(DSTPATCH_SHARE=r"C:\No Share 100%%")
        printed = self.start({"QUORDIR": ROOT}).splitlines()
        [run] = self.run_folders()
        self.assertEqual(printed[0], PENDING)
        note = printed[1]
        self.assertTrue(note.startswith("note: could not copy %s\\console.txt to C:\\No Share 100%%\\%s-console.txt: "
                                        % (run, self.computer)), note)
        self.assertEqual(m.read_file(run + r"\outcome.txt").decode("latin-1").splitlines(), printed)
        self.assertEqual(self.journal()[-1], "  " + note)
        self.assertEqual(self.tzi(), eastern_tzi())

        # A script that dies still leaves an outcome, on the share too; so
        # does one without reg.exe (which it needs for the backup).
        m.import_reg(zones.old_zones_reg_text())  # not done again
        script = deploy_file("gpo/dstpatch-startup.vbs")
        main = b"Sub Main()\r\n"
        for broken, outcome in (
            (script.replace(main, main + b"Err.Raise 11\r\n"), "not run: script error 11"),
            (script.replace(main, main + b"If True Then\r\n"),
             "not run: script error: dstpatch-startup.vbs ended with exit status 0 and no outcome"),
            (script, r"not run: no backup: C:\windows\System32\reg.exe does not exist"),
        ):
            with self.subTest(outcome=outcome):
                self.install_scripts(script=broken, DSTPATCH_SHARE=r"C:\Share")
                for folder in ("system32", "syswow64") if broken is script else ():
                    path = m.host_path(r"C:\windows\%s\reg.exe" % folder)
                    if os.path.exists(path):
                        os.remove(path)  # a link to the template's: only this one goes
                printed = self.start({"QUORDIR": ROOT})
                self.assertTrue(printed.startswith(outcome), printed)
                self.assertTrue(m.read_file(r"C:\Share\%s-outcome.txt" % self.computer).startswith(outcome.encode()))
                self.assertTrue(self.journal()[-1].endswith(printed.strip()), self.journal())

    def test_outcome_of_each_kind_of_run(self):
        # A stand-in for dstpatch.exe prints the console output of a run.
        # Where another run holds the guard, the run log is that run's, so
        # it is not taken.
        m = self.machine
        m.import_reg(APPID_REG)
        m.make_dir(r"C:\Share")
        m.write_file(ROOT + r"\tmp\debGorvinal.txt", "\r\nthe log of the run in progress")
        self.install_scripts(program=winetest.helper("console_stand_in"), DSTPATCH_SHARE=r"C:\Share")
        start = "\r\nTrying to remove debout file..\r\nMarker file was not found"
        # A failure on the share is kept by the outcome that follows it,
        # until another failure replaces it.
        debout = ("failed: Debout file could not be removed from C:\\Quor Site 100%\\tmp\\debGorvinal.txt "
                  "(error 32)")
        no_success = "failed: no Success line: the last line is Modifying Pelio.ini."
        cases = (
            (REFUSAL.replace("\n", "\r\n"), LATER),
            ("\r\nTrying to remove debout file..\r\nDebout file could not be removed from C:\\Quor Site 100%\\tmp"
             "\\debGorvinal.txt (error 32)\r\nSuccess", debout),
            ("\r\nCould not make sure that no other run of this patch is in progress (error 5); this run goes on."
             + start + "\r\nSuccess", DONE + " (earlier: %s)" % debout),
            (start + "\r\nModifying Pelio.ini.", no_success),
            (REFUSAL.replace("\n", "\r\n"), LATER + " (earlier: %s)" % no_success),
            ("", "failed: no console output: dstpatch.exe ended with exit status 0"),
        )
        share = r"C:\Share\%s-debGorvinal.txt" % self.computer
        for tool, output in WRITE_FILTERS:
            with self.subTest(tool=tool):
                stand_in_write_filter(m, tool, output)
                self.start({"QUORDIR": ROOT, "DSTPATCH_STAND_IN_OUTPUT": r"C:\filter.txt"}, outcome=WRITE_FILTERED)
                stand_in_write_filter(m, tool, None)
        self.assertEqual(self.run_folders(), [])
        for console, outcome in cases:
            with self.subTest(outcome=outcome):
                m.write_file(r"C:\console.txt", console)
                if m.exists(share):
                    os.remove(m.host_path(share))
                self.start({"QUORDIR": ROOT, "DSTPATCH_STAND_IN_OUTPUT": r"C:\console.txt"}, outcome=outcome)
                self.assertEqual(m.read_file(r"C:\Share\%s-console.txt" % self.computer), console.encode("latin-1"))
                self.assertEqual(m.exists(share), not outcome.startswith(LATER))


# The sample machines of the detection rule: the files of the site (None:
# missing), the zone records other than the patch's, and a timezone.ini left.
NEW = {}  # every record the patch's
OLD = {"Eastern": zones.old_tzi(300)}
# Updated between 2007 and 2011: Newfoundland changing at 00:01.
NEWFOUNDLAND_2007 = {"Newfoundland": zones.tzi(210, (11, 0, 1, 0, 1), (3, 0, 2, 0, 1))}
INTL = "[QUORTECH]\r\nTIMEZONE=INTL\r\n"
DETECTION_SAMPLES = (
    # (name, data\pelio.ini, newdata\pelio.ini, records, timezone.ini left in, detected)
    ("done", INTL, INTL, NEW, None, True),
    ("old Eastern record", INTL, INTL, OLD, None, False),
    ("Eastern new, Newfoundland old", INTL, INTL, NEWFOUNDLAND_2007, None, False),
    ("record of another type", INTL, INTL, {"Eastern": "text"}, None, False),
    ("timezone.ini left in newdata", INTL, INTL, NEW, "newdata", False),
    ("timezone.ini left in data", INTL, INTL, NEW, "data", False),
    ("newdata without the entry", INTL, "[QUORTECH]\r\nSITENAME=Store 5\r\n", NEW, None, False),
    ("entry in another section", INTL, "[NETWORK]\r\nTIMEZONE=INTL\r\n", NEW, None, False),
    ("intl in lower case", "[quortech]\r\n  timezone =  intl \r\n", INTL, NEW, None, True),
    ("quoted values", '[QUORTECH]\nTIMEZONE="INTL"\n', "[ QUORTECH ]\rTIMEZONE='Intl'\r", NEW, None, True),
    ("quotes that do not match", INTL, "[QUORTECH]\r\nTIMEZONE=\"INTL'\r\n", NEW, None, False),
    ("blank inside the quotes", INTL, "[QUORTECH]\r\nTIMEZONE=\" INTL\"\r\n", NEW, None, False),
    ("first entry counts", INTL, "[QUORTECH]\r\nTIMEZONE=LOCAL\r\nTIMEZONE=INTL\r\n", NEW, None, False),
    ("first section counts", INTL, "[QUORTECH]\r\n[OTHER]\r\n[QUORTECH]\r\nTIMEZONE=INTL\r\n", NEW, None, False),
    ("missing newdata file", INTL, None, NEW, None, False),
    ("UTF-16 with its mark", "\ufeff[QUORTECH]\r\nTIMEZONE=INTL\u3000\r\n".encode("utf-16-le"), INTL, NEW, None,
     True),
    ("UTF-8 mark, no-break space", b"\xef\xbb\xbf[QUORTECH]\r\nTIMEZONE=INTL\xc2\xa0\r\n", INTL, NEW, None, True),
    ("ANSI no-break space", b"[QUORTECH]\r\nTIMEZONE=\xa0INTL\x85\r\n", INTL, NEW, None, False),
)


class DetectionRuleTest(winetest.TestCase):

    def test_both_rules_on_sample_machines(self):
        m = self.machine
        m.write_file(r"C:\rule\detect.vbs", deploy_file("detect.vbs"))
        root = ROOT + "\\"
        current = None
        for name, data, newdata, records, left, detected in DETECTION_SAMPLES:
            with self.subTest(name):
                if records is not current:
                    records_reg = {base: records.get(base, zones.new_tzi(base)) for base, _ in zones.ZONES}
                    text = zones.reg_text({base: r for base, r in records_reg.items() if isinstance(r, bytes)})
                    for base, value in records_reg.items():
                        if not isinstance(value, bytes):
                            text += '\n[-%s]\n\n[%s]\n"TZI"="%s"\n' % ((zones.key_path(base),) * 2 + (value,))
                    m.import_reg(text)
                    current = records
                for folder, content in (("data", data), ("newdata", newdata)):
                    path = ROOT + "\\%s\\pelio.ini" % folder
                    if content is None:
                        if m.exists(path):
                            os.remove(m.host_path(path))
                    else:
                        m.write_file(path, content.encode("latin-1") if isinstance(content, str) else content)
                    if m.exists(ROOT + "\\%s\\timezone.ini" % folder):
                        os.remove(m.host_path(ROOT + "\\%s\\timezone.ini" % folder))
                if left:
                    m.write_file(ROOT + "\\%s\\timezone.ini" % left, TIMEZONE_INI)
                result = m.run("cscript", ["//nologo", r"C:\rule\detect.vbs", "status"], env={"QUORDIR": root})
                self.assertEqual((result.status, result.stdout.startswith(b"Detected\r\n")), (10 if detected else 11,
                                                                                            detected), result)

        # As a distribution tool runs it: "Detected" or nothing, status 0;
        # no QUORDIR is a machine not done. The registry part alone.
        for args, quordir, printed in (([], root, b""), ([], None, b""), (["registry"], None, b"Detected\r\n")):
            with self.subTest(args=args, quordir=quordir):
                result = m.run("cscript", ["//nologo", r"C:\rule\detect.vbs"] + args, env={"QUORDIR": quordir})
                self.assertEqual((result.status, result.stdout), (0, printed))
        m.write_file(ROOT + r"\data\pelio.ini", INTL)
        m.write_file(ROOT + r"\newdata\pelio.ini", INTL)
        result = m.run("cscript", ["//nologo", r"C:\rule\detect.vbs"], env={"QUORDIR": root})
        self.assertEqual((result.status, result.stdout), (0, b"Detected\r\n"))


class ReportTest(winetest.TestCase):

    def test_report_of_sample_outcomes(self):
        m = self.machine
        folder = r"C:\Outcomes 100%\share"
        outcomes = {
            "POS01": DONE,
            "pos02": FOUND_DONE,
            "POS03": r"failed: Pelio.ini- File Not Found: C:\Quor\newdata\pelio.ini",
            "POS04": r"failed: Pelio.ini- File Not Found: D:\Quor, Site\newdata\pelio.ini",
            "POS05": "failed: Control Server Service is not started. ",
            "POS06": "failed: no Success line: the last line is Modifying Pelio.ini.",
            "POS07": LATER,
            "POS08": PENDING,
            "POS09": r"not run: no backup: could not make the folder C:\Blocked: File already exists",
            "POS10": "something else",
            "POS13": FOUND_DONE + r" (earlier: failed: Pelio.ini- File Not Found: C:\Quor\newdata\pelio.ini)",
            "POS14": DONE + " (earlier: failed: no Success line: the last line is Modifying Pelio.ini.)",
        }
        for name, outcome in outcomes.items():
            m.write_file(folder + "\\%s-outcome.txt" % name, outcome + "\r\n")
        m.write_file(folder + r"\POS11-console.txt", "\r\nTrying to remove debout file..")
        m.write_file(folder + r"\notes.txt", "not a machine's file")
        m.write_file(r"C:\Outcomes 100%\machines.txt", "; the store's tills\r\nPOS01\r\nPOS02\r\n\r\n POS12 \r\n")
        csv = r"C:\Outcomes 100%\report.csv"

        m.write_file(r"C:\rule\dstpatch-report.vbs", deploy_file("dstpatch-report.vbs"))
        result = m.run("cscript", ["//nologo", r"C:\rule\dstpatch-report.vbs", folder + "\\",
                                   r"/machines:C:\Outcomes 100%\machines.txt", "/csv:" + csv])
        self.assertEqual(result.status, 0, result)
        self.assertEqual(result.stdout.decode("latin-1").replace("\r\n", "\n"), """\
dstpatch outcomes in C:\\Outcomes 100%\\share\\: 14 machines
POS01           done
pos02           done: found done at start-up; nothing was run
POS03           failed: Pelio.ini- File Not Found: C:\\Quor\\newdata\\pelio.ini
POS04           failed: Pelio.ini- File Not Found: D:\\Quor, Site\\newdata\\pelio.ini
POS05           failed: Control Server Service is not started.
POS06           failed: no Success line: the last line is Modifying Pelio.ini.
POS07           not done: another run of this patch was in progress; this machine tries again at its next start
POS08           site change pending: the registry job is done; the site change needs a run in the user's session \
(the control server is the manager application)
POS09           not run: no backup: could not make the folder C:\\Blocked: File already exists
POS10           other: something else
POS11           not reported
POS12           not reported
POS13           done after a failure: found done at start-up; nothing was run (earlier: failed: Pelio.ini- File Not \
Found: C:\\Quor\\newdata\\pelio.ini)
POS14           done after a failure: (earlier: failed: no Success line: the last line is Modifying Pelio.ini.)

Totals:
     2  done
     2  done after a failure
     1    no Success line
     1    Pelio.ini- File Not Found:
     4  failed
     1    Control Server Service is not started.
     1    no Success line
     2    Pelio.ini- File Not Found:
     1  not done
     1  site change pending
     1  not run
     1    no backup
     1  other
     2  not reported
    14  machines
CSV: C:\\Outcomes 100%\\report.csv
""")
        self.assertEqual(m.read_file(csv).decode("latin-1"), """\
Machine,Outcome,Detail\r
POS01,done,\r
pos02,done,found done at start-up; nothing was run\r
POS03,failed,Pelio.ini- File Not Found: C:\\Quor\\newdata\\pelio.ini\r
POS04,failed,"Pelio.ini- File Not Found: D:\\Quor, Site\\newdata\\pelio.ini"\r
POS05,failed,Control Server Service is not started.\r
POS06,failed,no Success line: the last line is Modifying Pelio.ini.\r
POS07,not done,another run of this patch was in progress; this machine tries again at its next start\r
POS08,site change pending,the registry job is done; the site change needs a run in the user's session \
(the control server is the manager application)\r
POS09,not run,no backup: could not make the folder C:\\Blocked: File already exists\r
POS10,other,something else\r
POS11,not reported,\r
POS12,not reported,\r
POS13,done after a failure,found done at start-up; nothing was run (earlier: failed: Pelio.ini- File Not Found: \
C:\\Quor\\newdata\\pelio.ini)\r
POS14,done after a failure,(earlier: failed: no Success line: the last line is Modifying Pelio.ini.)\r
\r
Outcome,Group,Machines\r
done,,2\r
done after a failure,,2\r
done after a failure,no Success line,1\r
done after a failure,Pelio.ini- File Not Found:,1\r
failed,,4\r
failed,Control Server Service is not started.,1\r
failed,no Success line,1\r
failed,Pelio.ini- File Not Found:,2\r
not done,,1\r
site change pending,,1\r
not run,,1\r
not run,no backup,1\r
other,,1\r
not reported,,2\r
machines,,14\r
""")

        # With the list separator of French-Canadian settings.
        result = m.run("reg", ["add", r"HKCU\Control Panel\International", "/v", "sList", "/d", ";", "/f"])
        self.assertEqual(result.status, 0, result)
        result = m.run("cscript", ["//nologo", r"C:\rule\dstpatch-report.vbs", folder, "/csv:" + csv])
        lines = m.read_file(csv).decode("latin-1").splitlines()
        self.assertEqual(lines[:5:4], ["Machine;Outcome;Detail",
                                       r"POS04;failed;Pelio.ini- File Not Found: D:\Quor, Site\newdata\pelio.ini"])

        # Bad input: a clear line, and nothing written or changed.
        for args, status, line in (
            ([r"C:\No such folder"], 2, r"dstpatch-report: the folder C:\No such folder does not exist"),
            ([folder, r"/machines:C:\none.txt"], 2, r"dstpatch-report: the list of machines C:\none.txt does not exist"),
            ([folder, "/csv:" + folder], 1, "dstpatch-report: could not write %s: " % folder),
        ):
            with self.subTest(args=args):
                result = m.run("cscript", ["//nologo", r"C:\rule\dstpatch-report.vbs"] + args)
                self.assertEqual(result.status, status, result)
                self.assertIn("\r\n" + line, "\r\n" + result.stdout.decode("latin-1"))
        self.assertEqual(sorted(os.listdir(m.host_path(folder))), sorted(
            ["%s-outcome.txt" % name for name in outcomes] + ["POS11-console.txt", "notes.txt"]))

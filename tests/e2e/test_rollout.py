"""The roll-out scripts of deploy/ under Wine's cmd, reg and cscript, each as
the release ships it; README.md says what Wine cannot show of them and how
the tests live with Wine. Paths hold blanks and %, except the script folder."""

import glob
import os
import re
import shutil
import sys

import winetest
import zones
from test_site import APPID_REG

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "scripts"))
import rollout  # noqa: E402

VERSION = rollout.project_version()
SCRIPTS = r"C:\GPO Scripts"
ROOT = r"C:\Quor Site 100%"
PELIO = "[QUORTECH]\r\nSITENAME=Store 5\r\nTIMEZONE=LOCAL\r\n[NETWORK]\r\nTIMEZONE=LOCAL\r\n"
TIMEZONE_INI = "[TIMEZONE]\r\nOFFSET=-300\r\n"
PRIVATE = r"C:\windows\dstpatch"
JOURNAL = PRIVATE + r"\dstpatch.log"
TOOL_LOG = r"C:\tools.log"


def released(outcome):
    """An outcome line as the scripts write it: with the release."""
    return outcome + " [dstpatch %s]" % VERSION


DONE = released("done")
FOUND_DONE = released("done: found done at start-up; nothing was run")
LATER = released("not done: another run of this patch was in progress; this machine tries again at its next start")
PENDING = released("site change pending: the registry job is done; the site change needs a run in the user's "
                   "session (the control server is the manager application)")
# The program's own line, so that the scripts are judged by what it prints.
REFUSAL = winetest.program_text("kAnotherRun", "app/run_control.cpp")
NOT_DONE_AFTER = released("failed: not done after the run: the TZI value of Alaskan Standard Time is not the record "
                          "that dstpatch.exe writes")


def deploy_file(path):
    return rollout.shipped("deploy/" + path, VERSION)


def remove(m, path):
    if m.exists(path):
        os.remove(m.host_path(path))


MACHINE_ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
# Write filters as their tools report them, and the outcome.
WRITE_FILTERED = released("not run: write filter on C: (changes would be lost at restart): %s")
UNKNOWN_FILTER = released("not run: write filter state unknown: %s gave no state that could be read")
EWF_ON = "Protected Volume Configuration\r\n  Type            RAM (REG)\r\n  State           ENABLED\r\n"
WRITE_FILTERS = (
    ("ewfmgr", EWF_ON, WRITE_FILTERED % "EWF (ewfmgr.exe)"),
    ("fbwfmgr", "File-based write filter configuration for the current session:\r\n    filter state: enabled.\r\n"
     "File-based write filter configuration for the next session:\r\n    filter state: disabled.\r\n",
     WRITE_FILTERED % "FBWF (fbwfmgr.exe)"),
    # The tool in another language, or one that failed.
    ("ewfmgr", "Konfiguration des geschuetzten Volumes\r\n  Zustand         AKTIVIERT\r\n",
     UNKNOWN_FILTER % "EWF (ewfmgr.exe)"),
    ("fbwfmgr", "", UNKNOWN_FILTER % "FBWF (fbwfmgr.exe)"),
    # Wine has no WMI classes of the Unified Write Filter: where its tool is
    # there, its state is not known.
    ("uwfmgr", "Filter state:           ON\r\n", UNKNOWN_FILTER % "UWF (WMI)"),
)
# The .reg files of a backup.
BACKUP_REG = sorted(["%s Standard Time.reg" % base for base, _ in zones.ZONES] + ["TimeZoneInformation.reg"])


def run_as_agent(m, command, env=None):
    """COMMAND run by cmd as an agent started before the machine's QUORDIR
    was set; the status is the whole exit code, as the agent sees it."""
    m.write_file(r"C:\agent.cmd", "@set QUORDIR=\r\n@%s\r\n@>C:\\agent-status.txt echo %%ERRORLEVEL%%\r\n" % command)
    result = m.run("cmd", ["/d", "/c", r"C:\agent.cmd"], env=env)
    result.status = int(m.read_file(r"C:\agent-status.txt"))
    return result


def stand_in(m, tool, program, output=None):
    """PROGRAM (a helper's name; None: no TOOL) as TOOL.exe in the system
    folder, printing OUTPUT when it is the console stand-in. Wine runs its
    own fsutil and icacls, whatever file is there, unless told otherwise."""
    path = m.host_path(r"C:\windows\system32\%s.exe" % tool)
    if os.path.exists(path):
        os.remove(path)  # a link to the template's: only this one goes
    if program is not None:
        shutil.copyfile(winetest.helper(program), path)
        result = m.run("reg", ["add", r"HKCU\Software\Wine\DllOverrides", "/v", tool + ".exe", "/d", "native", "/f"])
        assert result.status == 0, result
    if output is not None:
        m.write_file(r"C:\filter.txt", output)


def events(result):
    """The texts of the event log entries of a run, from Wine's trace."""
    found = re.findall(r'WshShell3_LogEvent \(\w+ \{VT_I\d: \d+\} L"((?:[^"\\]|\\.)*)"',
                       result.stderr.decode("latin-1"))
    return [re.sub(r"\\(.)", r"\1", text) for text in found]


class StartupTestCase(winetest.TestCase):
    def setUp(self):
        super().setUp()
        m = self.machine
        m.keep_server_alive()
        m.import_reg(zones.old_zones_reg_text())
        for folder in ("data", "newdata"):
            m.write_file(ROOT + "\\%s\\pelio.ini" % folder, PELIO)
        m.write_file(ROOT + r"\data\timezone.ini", TIMEZONE_INI)
        m.make_dir(ROOT + r"\tmp")
        stand_in(m, "fsutil", "tool_stand_in")
        self.install_scripts()
        self.computer = m.run("cmd", ["/c", "echo %COMPUTERNAME%"]).stdout.decode().strip()

    def install_scripts(self, program=None, script=None, **settings):
        """The scripts, the settings of dstpatch-startup.cmd set as an operator
        would; PROGRAM for dstpatch.exe, SCRIPT for dstpatch-startup.vbs."""
        startup = deploy_file("gpo/dstpatch-startup.cmd").decode("latin-1")
        for name, value in settings.items():
            line = 'if not defined QUORDIR set "QUORDIR=' if name == "QUORDIR" else 'set "%s=' % name
            startup, count = re.subn(re.escape(line) + r'[^"\r]*"', lambda _: line + value + '"',
                                     startup)
            self.assertEqual(count, 1, name)
        m = self.machine
        m.write_file(SCRIPTS + r"\dstpatch-startup.cmd", startup)
        m.write_file(SCRIPTS + r"\dstpatch-startup.vbs", script or deploy_file("gpo/dstpatch-startup.vbs"))
        for name in ("dstpatch-install.vbs", "dstpatch-undo.vbs", "detect.vbs"):
            m.write_file(SCRIPTS + "\\" + name, deploy_file(name))
        shutil.copyfile(program or winetest.DSTPATCH_EXE, m.host_path(SCRIPTS + r"\dstpatch.exe"))

    def start(self, env=None, outcome=None):
        """One computer start: status 0, OUTCOME printed, one event log entry."""
        result = self.machine.run("cmd", ["/c", SCRIPTS + r"\dstpatch-startup.cmd"],
                                  env=dict({"TZ": "America/New_York", "PELIOMGR_MODE": "exit",
                                            "WINEDEBUG": "-all,fixme+wshom"}, **(env or {})))
        self.assertEqual(result.status, 0, result)
        if outcome is not None:
            self.assertEqual(result.stdout, winetest.to_crlf(outcome + "\n"), result)
        printed = result.stdout.decode("latin-1")
        if printed.startswith("not run: script error:"):
            self.assertEqual(events(result), [])  # written by the .cmd, with eventcreate
        else:
            self.assertEqual(events(result), ["dstpatch-startup: " + printed.splitlines()[0]], result)
        return printed

    def run_folders(self, base=PRIVATE):
        folder = base + "\\" + self.computer
        paths = glob.glob(self.machine.host_path(folder) + "/*/")
        return sorted(folder + "\\" + os.path.basename(path[:-1]) for path in paths)

    def journal(self):
        """The journal's lines without their time stamps."""
        lines = (self.machine.read_file(JOURNAL) or b"").decode("latin-1").splitlines()
        for line in lines:
            self.assertRegex(line, r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d |  note: )")
        return [line[20:] if line[0].isdigit() else line for line in lines]

    def tzi(self, base="Eastern"):
        return self.machine.reg_query(zones.key_path(base), "TZI")

    def undo(self, env=None):
        return self.machine.run("cscript", ["//nologo", SCRIPTS + r"\dstpatch-undo.vbs"], env=env)


class ServiceSiteTest(StartupTestCase):

    def test_first_start_backs_up_and_patches_second_finds_it_done(self):
        m = self.machine
        m.import_reg(APPID_REG)
        service = winetest.z_path(winetest.helper("hub_service"))
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
        listing = m.read_file(run + r"\backup.txt").decode("latin-1").splitlines()
        self.assertEqual(listing[1:2] + listing[-4:], [
            "Site root: " + ROOT, "saved    data\\pelio.ini", "saved    newdata\\pelio.ini",
            "saved    data\\timezone.ini", "absent   " + ROOT + r"\newdata\timezone.ini"])
        console = m.read_file(run + r"\console.txt")
        # The share gets the console output the script captured, never the
        # site's run log.
        prefix = share + "\\" + self.computer
        self.assertEqual(sorted(os.listdir(m.host_path(share))),
                         [self.computer + "-console.txt", self.computer + "-outcome.txt"])
        self.assertEqual([m.read_file(prefix + suffix) for suffix in ("-outcome.txt", "-console.txt")],
                         [winetest.to_crlf(DONE + "\n"), console])

        # The later starts find the machine done (by the detection rule: the
        # records, both pelio.ini and no timezone.ini): no backup, no run. A
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
        self.assertEqual(self.journal(), ["dstpatch-startup: " + line for line in (
            released("started"), "%s (%s)" % (DONE, run), released("started"), kept, released("started"),
            FOUND_DONE)])


class InstallWrapperTest(StartupTestCase):

    def test_wrapper_runs_the_parts_that_are_missing_at_a_drive_root(self):
        # A site at the root of drive D:, named "D:\" in the machine's
        # environment only, not in the agent's: on a command line it would
        # reach the program as D:".
        m = self.machine
        drive = os.path.join(m.dir, "drive-d")
        os.makedirs(os.path.join(drive, "tmp"))
        os.symlink(drive, os.path.join(m.prefix, "dosdevices", "d:"))
        for folder in ("data", "newdata"):
            m.write_file("D:\\%s\\pelio.ini" % folder, PELIO)
        self.assertEqual(m.run("reg", ["add", MACHINE_ENVIRONMENT, "/v", "QUORDIR", "/d", "D:\\", "/f"]).status, 0)
        self.put_helper("pelio_manager", r"D:\bin\PelioMgr.exe")
        manager = m.start(m.host_path(r"D:\bin\PelioMgr.exe"), env={"PELIOMGR_MODE": "close"})
        manager.wait_for_output("ready")
        env = {"TZ": "America/New_York", "PELIOMGR_MODE": "exit", "DSTPATCH_STAND_IN_OUTPUT": r"C:\filter.txt",
               "WINEDEBUG": "-all,fixme+wshom"}
        wrapper = r'cscript //nologo "%s\dstpatch-install.vbs"' % SCRIPTS

        def install(status, line, console=None):
            result = run_as_agent(m, wrapper, env)
            printed = result.stdout.decode("latin-1")
            self.assertEqual((result.status, printed.splitlines()[-1]), (status, "dstpatch-install: " + line), result)
            if console is not None:
                self.assertEqual(printed, console + "dstpatch-install: " + line + "\r\n")
            self.assertEqual(self.journal()[-1], "dstpatch-install: " + line)
            self.assertEqual(events(result), ["dstpatch-install: " + line])
            return printed

        # A write filter: nothing is run. Then a manager-application site:
        # the registry job alone, the manager and the files left as they are;
        # again, nothing is run.
        stand_in(m, "ewfmgr", "console_stand_in", EWF_ON)
        install(3, WRITE_FILTERS[0][2], console="")
        stand_in(m, "ewfmgr", "console_stand_in", EWF_ON.replace("ENABLED", "DISABLED"))
        self.assertNotIn("Pelio", install(2, PENDING))
        self.assertIsNone(manager.process.poll())
        # The same backup as the start-up script's.
        [run] = self.run_folders()
        self.assertEqual(m.read_file(run + r"\backup.txt").decode("latin-1").splitlines()[1], "Site root: D:\\")
        self.assertEqual(m.read_file(run + r"\data\pelio.ini"), PELIO.encode())
        self.assertEqual(m.read_file(run + r"\console.txt"), m.read_file(PRIVATE + r"\install-console.txt"))
        install(2, PENDING, console="")

        # A service site whose control server cannot start: the files are
        # changed, so the detection rule finds the machine done, but the run
        # failed, and so does the wrapper.
        m.import_reg(APPID_REG)
        self.assertEqual(m.run("sc", ["create", "HubSvc", "binPath=", winetest.z_path(winetest.helper("hub_service")) +
                                      " --fail-start"]).status, 0)
        install(1, released("failed: Control Server Service is not started. "))
        result = run_as_agent(m, r'cscript //nologo "%s\detect.vbs" status' % SCRIPTS)
        self.assertEqual((result.status, result.stdout), (10, b"Detected\r\n"), result)

        # Only the registry part missing: the registry job alone, the
        # control server left as it is; then the machine is found done.
        m.import_reg(zones.old_zones_reg_text())
        self.assertNotIn("control server", install(0, DONE))
        install(0, released("done: found done; nothing was run"), console="")
        self.assertEqual(len(m.read_file(PRIVATE + "\\%s\\backups.txt" % self.computer).splitlines()), 3)


class BadSettingsTest(StartupTestCase):

    def test_missing_root_unwritable_backup_missing_share_and_a_site_change_pending(self):
        m = self.machine
        m.make_dir(r"C:\Share")
        m.write_file(r"C:\Blocked", "a file where the backup folder should be")
        m.make_dir(r"C:\Backup 100%")
        denied = {"DSTPATCH_TOOL_STATUS": "5"}
        steps = (
            # (settings, machine's QUORDIR, icacls as a helper names it, its environment, outcome)
            (dict(QUORDIR=""), None, None, {}, "not run: no site root set: QUORDIR is set neither on this machine "
             "nor in dstpatch-startup.cmd"),
            ({}, r"\\server\site", None, {}, r"not run: no site root: \\server\site is a network path"),
            (dict(DSTPATCH_BACKUP=r"C:\Blocked\dstpatch"), ROOT, None, {},
             r"not run: no backup: could not make the folder C:\Blocked: "),
            (dict(DSTPATCH_BACKUP=r"\\server\backups"), ROOT, None, {},
             r"not run: no backup: the backup folder \\server\backups is not a full path on a local drive"),
            # Wine answers no query of a folder's security (Windows does):
            # a backup folder that is there and not known to be safe is
            # refused.
            (dict(DSTPATCH_BACKUP=r"C:\Backup 100%%"), ROOT, None, {},
             r"not run: no backup: refused the backup folder C:\Backup 100%: who may write it could not be read"),
            # The private folder must get its access list: from icacls, else
            # (XP) through WMI, which Wine lacks.
            ({}, ROOT, "tool_stand_in", denied, r"not run: no backup: could not give C:\windows\dstpatch an access "
             "list for SYSTEM and Administrators only (icacls ended with exit status 5)"),
            ({}, ROOT, "", {}, r"not run: no backup: could not give C:\windows\dstpatch an access list for SYSTEM "
             "and Administrators only (WMI error "),
        )
        for settings, quordir, icacls, env, outcome in steps:
            with self.subTest(outcome=outcome):
                self.install_scripts(DSTPATCH_SHARE=r"C:\Share", **settings)
                if icacls is not None:
                    stand_in(m, "icacls", icacls or None)
                printed = self.start(dict(env, QUORDIR=quordir))
                self.assertTrue(printed.startswith(outcome), printed)
                self.assertTrue(printed.endswith(released("") + "\r\n"), printed)
        self.assertEqual(self.tzi(), zones.old_tzi(300))

        # A share that is not there: the patch runs all the same, and the
        # journal and the run's folder say that the share was not written.
        # A backup folder that the script makes gets an access list of its
        # own, as the private folder does, by security identifier. The root
        # is the one set in dstpatch-startup.cmd; the control server is the
        # manager application, so the registry job runs alone, and the next
        # start runs nothing.
        stand_in(m, "icacls", "tool_stand_in")
        self.install_scripts(QUORDIR=ROOT.replace("%", "%%") + "\\", DSTPATCH_SHARE=r"C:\No Share 100%%",
                             DSTPATCH_BACKUP=r"C:\New Backup 100%%")
        printed = self.start({"QUORDIR": None, "DSTPATCH_TOOL_LOG": TOOL_LOG}).splitlines()
        [run] = self.run_folders(r"C:\New Backup 100%")
        self.assertEqual(printed[0], PENDING)
        note = printed[1]
        self.assertTrue(note.startswith("note: could not copy %s\\console.txt to C:\\No Share 100%%\\%s-console.txt: "
                                        % (run, self.computer)), note)
        self.assertEqual(m.read_file(run + r"\outcome.txt").decode("latin-1").splitlines(), printed)
        self.assertEqual(self.journal()[-1], "  " + note)
        self.assertEqual(self.tzi(), zones.new_tzi("Eastern"))
        grant = ' . /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F'
        self.assertEqual([line for line in m.read_file(TOOL_LOG).decode("latin-1").splitlines() if "icacls" in line],
                         [r'%s> "C:\windows\System32\icacls.exe"%s' % (folder, grant)
                          for folder in (PRIVATE, r"C:\New Backup 100%")])
        self.assertEqual(self.start({"QUORDIR": None}).splitlines()[0], PENDING)
        self.assertEqual(self.run_folders(r"C:\New Backup 100%"), [run])

        # A script that dies still leaves an outcome, on the share too, and
        # in the journal with the time written as the script writes it; so
        # does one without reg.exe (which it needs for the backup).
        m.import_reg(zones.old_zones_reg_text())  # not done again
        stand_in(m, "eventcreate", "tool_stand_in")
        script = deploy_file("gpo/dstpatch-startup.vbs")
        main = b"Sub Main()\r\n"
        fallback = released("not run: script error: dstpatch-startup.vbs ended with exit status 0 and no outcome")
        for broken, outcome in (
            (script.replace(main, main + b"Err.Raise 11\r\n"), "not run: script error 11"),
            (script.replace(main, main + b"If True Then\r\n"), fallback),
            (script, r"not run: no backup: C:\windows\System32\reg.exe does not exist"),
        ):
            with self.subTest(outcome=outcome):
                self.install_scripts(script=broken, DSTPATCH_SHARE=r"C:\Share")
                for folder in ("system32", "syswow64") if broken is script else ():
                    path = m.host_path(r"C:\windows\%s\reg.exe" % folder)
                    if os.path.exists(path):
                        os.remove(path)  # a link to the template's: only this one goes
                os.remove(m.host_path(TOOL_LOG))
                printed = self.start({"QUORDIR": ROOT, "DSTPATCH_TOOL_LOG": TOOL_LOG})
                self.assertTrue(printed.startswith(outcome), printed)
                self.assertTrue(m.read_file(r"C:\Share\%s-outcome.txt" % self.computer).startswith(outcome.encode()))
                self.assertEqual(self.journal()[-1], "dstpatch-startup: " + printed.strip())
                event = r'eventcreate.exe" /t ERROR /id 1 /l APPLICATION /so dstpatch /d "dstpatch-startup: %s"' % outcome
                self.assertEqual(event in m.read_file(TOOL_LOG).decode("latin-1"), outcome == fallback)


class OutcomeTest(StartupTestCase):

    def test_outcome_of_each_kind_of_run(self):
        # A stand-in for dstpatch.exe prints the console output of a run
        # and changes nothing, so that a run that says Success leaves a
        # machine that is not done. The start-up script and the wrapper
        # judge it alike, the wrapper by its exit status too.
        m = self.machine
        m.import_reg(APPID_REG)
        m.make_dir(r"C:\Share")
        self.install_scripts(program=winetest.helper("console_stand_in"), DSTPATCH_SHARE=r"C:\Share")
        start = "\r\nTrying to remove debout file..\r\nMarker file was not found"
        # A failure on the share is kept by the outcome that follows it,
        # until another failure replaces it.
        debout = released("failed: Debout file could not be removed from C:\\Quor Site 100%\\tmp\\debGorvinal.txt "
                          "(error 32)")
        no_success = released("failed: no Success line: the last line is Modifying Pelio.ini.")
        cases = (
            # (console output, outcome of the start-up script, the wrapper's
            # status; None: its judgement is another case's)
            (REFUSAL.replace("\n", "\r\n"), LATER, 1618),
            ("\r\nTrying to remove debout file..\r\nDebout file could not be removed from C:\\Quor Site 100%\\tmp"
             "\\debGorvinal.txt (error 32)\r\nSuccess", debout, None),
            ("\r\nCould not make sure that no other run of this patch is in progress (error 5); this run goes on."
             + start + "\r\nSuccess", NOT_DONE_AFTER, 1),
            (start + "\r\nModifying Pelio.ini.", no_success, None),
            (REFUSAL.replace("\n", "\r\n"), LATER + " (earlier: %s)" % no_success, None),
            ("", released("failed: no console output: dstpatch.exe ended with exit status 0"), None),
        )
        for tool, output, outcome in WRITE_FILTERS[1:]:  # the first: the wrapper's test
            with self.subTest(tool=tool, outcome=outcome):
                stand_in(m, tool, "console_stand_in", output)
                self.start({"QUORDIR": ROOT, "DSTPATCH_STAND_IN_OUTPUT": r"C:\filter.txt"}, outcome=outcome)
                stand_in(m, tool, None)
        self.assertEqual(self.run_folders(), [])
        # The wrapper takes the root from the machine's environment.
        self.assertEqual(m.run("reg", ["add", MACHINE_ENVIRONMENT, "/v", "QUORDIR", "/d", ROOT, "/f"]).status, 0)
        wrapper = r'cscript //nologo "%s\dstpatch-install.vbs"' % SCRIPTS
        for console, outcome, status in cases:
            with self.subTest(outcome=outcome):
                m.write_file(r"C:\console.txt", console)
                env = {"QUORDIR": ROOT, "DSTPATCH_STAND_IN_OUTPUT": r"C:\console.txt"}
                self.start(env, outcome=outcome)
                if status is None:
                    continue
                result = run_as_agent(m, wrapper, env=env)
                self.assertEqual(result.status, status, result)
                self.assertEqual(result.stdout.decode("latin-1").splitlines()[-1], "dstpatch-install: " + outcome.replace(
                    "this machine tries again at its next start", "run this again later"))

        # A console capture of an earlier run that cannot be removed is
        # never read as this run's.
        locker = m.start(winetest.helper("file_locker"), [PRIVATE + r"\install-console.txt"])
        locker.wait_for_output("locked")
        result = run_as_agent(m, wrapper)
        self.assertEqual(result.status, 3, result)
        self.assertTrue(result.stdout.startswith(
            b"dstpatch-install: not run: could not remove C:\\windows\\dstpatch\\install-console.txt: "), result)
        self.assertEqual(locker.stop(), 0)
        # No site root: no retry mends it.
        result = m.run("cscript", ["//nologo", SCRIPTS + r"\dstpatch-install.vbs", r"C:\Nowhere"])
        self.assertEqual((result.status, result.stdout), (4, winetest.to_crlf(
            "dstpatch-install: %s\n" % released(r"not run: no site root: C:\Nowhere\data\pelio.ini does not exist"))))


class PlantedLinksTest(StartupTestCase):

    def test_backup_and_undo_leave_links_alone(self):
        # A clerk plants a hard link to a file that only administrators may
        # read, and turns newdata into a link to another folder: the backup
        # copies neither, and says so. The undo, from the first backup (of
        # the site before the links), refuses to write through a link, to a
        # file with another name, or to a pelio.ini it would corrupt.
        m = self.machine
        m.import_reg(APPID_REG)
        m.write_file(r"C:\console.txt", "\r\nSuccess")
        env = {"QUORDIR": ROOT, "DSTPATCH_STAND_IN_OUTPUT": r"C:\console.txt"}
        self.install_scripts(program=winetest.helper("console_stand_in"))
        self.start(env, outcome=NOT_DONE_AFTER)
        secret = m.host_path(r"C:\secret.txt")
        m.write_file(r"C:\secret.txt", b"the administrator's password")
        os.remove(m.host_path(ROOT + r"\data\timezone.ini"))
        os.link(secret, m.host_path(ROOT + r"\data\timezone.ini"))
        elsewhere = m.host_path(r"C:\Elsewhere")
        os.rename(m.host_path(ROOT + r"\newdata"), elsewhere)
        os.symlink(elsewhere, m.host_path(ROOT) + "/newdata")
        self.start(env, outcome=NOT_DONE_AFTER)

        first, second = self.run_folders()
        self.assertEqual(m.read_file(PRIVATE + "\\%s\\backups.txt" % self.computer).decode().split(),
                         [os.path.basename(first.replace("\\", "/")), os.path.basename(second.replace("\\", "/"))])
        self.assertEqual(m.read_file(second + r"\backup.txt").decode("latin-1").splitlines()[-4:], [
            "saved    data\\pelio.ini",
            "left out %s\\newdata is a link or mount point" % ROOT,
            "left out %s\\data\\timezone.ini has 2 names (hard links)" % ROOT,
            "left out %s\\newdata is a link or mount point" % ROOT])
        self.assertEqual(sorted(os.listdir(m.host_path(second))), BACKUP_REG + ["backup.txt", "console.txt", "data",
                                                                                "outcome.txt"])
        self.assertEqual(os.listdir(m.host_path(second + r"\data")), ["pelio.ini"])

        # The undo: not elevated, it changes nothing at all. Elevated, it
        # restores from the first backup that backups.txt lists (an older
        # folder by the clock that it does not list is no backup of this
        # machine's first run): it imports the zone keys and the active zone
        # and sets back only TIMEZONE of QUORTECH (a change made to the site
        # since then stays); it leaves pelio.ini behind a link alone and does
        # not copy timezone.ini where a file of that name is.
        m.write_file(PRIVATE + "\\%s\\20000101-000000\\backup.txt" % self.computer, "Site root: C:\\Other\r\n")
        changed = PELIO.replace("TIMEZONE=LOCAL\r\n[", "TIMEZONE=INTL\r\n[").replace("Store 5", "Store 6")
        m.write_file(ROOT + r"\data\pelio.ini", changed)
        m.write_file(r"C:\Elsewhere\pelio.ini", changed)
        m.import_reg(zones.reg_text({base: zones.new_tzi(base) for base, _ in zones.ZONES}))
        result = self.undo(env={"DSTPATCH_TOOL_DENIED": "1"})
        self.assertEqual((result.status, result.stdout.decode("latin-1").splitlines()[0]), (2, (
            "dstpatch-undo: run this as an administrator (on Vista and later from a command prompt opened with "
            '"Run as administrator"); nothing was changed')))
        self.assertEqual(self.tzi(), zones.new_tzi("Eastern"))
        result = self.undo()
        self.assertEqual(result.status, 1, result)
        printed = result.stdout.decode("latin-1").splitlines()
        self.assertEqual(printed[:1] + printed[-2:], [
            "Restoring from %s (site root %s) [dstpatch %s]" % (first, ROOT, VERSION),
            "TIMEZONE of %s\\data\\pelio.ini set back" % ROOT,
            "FAILED: %s\\newdata is a link or mount point; left as it is (set back by hand in section QUORTECH: "
            "TIMEZONE=LOCAL)" % ROOT])
        self.assertEqual([self.tzi(base) for base, _ in zones.ZONES], [zones.old_tzi(bias) for _, bias in zones.ZONES])
        self.assertEqual(m.read_file(r"C:\Elsewhere\pelio.ini"), changed.encode())
        self.assertEqual(m.read_file(ROOT + r"\data\pelio.ini"), PELIO.replace("Store 5", "Store 6").encode())
        self.assertEqual(m.read_file(r"C:\secret.txt"), b"the administrator's password")

        # A pelio.ini with another name, or in text that the undo would
        # corrupt, is left as it is.
        os.remove(m.host_path(ROOT + r"\newdata"))
        os.rename(elsewhere, m.host_path(ROOT) + "/newdata")
        remove(m, ROOT + r"\data\timezone.ini")
        for content, problem in (
            (None, "%s\\data\\pelio.ini has 2 names (hard links)" % ROOT),
            (b"\xef\xbb\xbf" + changed.encode(), "%s\\data\\pelio.ini is UTF-8 text, which this script would corrupt"
             % ROOT),
            (changed.encode("utf-16-le"), "%s\\data\\pelio.ini holds NUL characters (UTF-16 text?), which this "
             "script would corrupt" % ROOT),
        ):
            with self.subTest(problem=problem):
                remove(m, ROOT + r"\data\pelio.ini")
                if content is None:
                    os.link(secret, m.host_path(ROOT + r"\data\pelio.ini"))
                else:
                    m.write_file(ROOT + r"\data\pelio.ini", content)
                before = m.read_file(ROOT + r"\data\pelio.ini")
                result = self.undo()
                self.assertEqual(result.status, 1, result)
                self.assertIn("FAILED: %s; left as it is (set back by hand in section QUORTECH: TIMEZONE=LOCAL)"
                              % problem, result.stdout.decode("latin-1").splitlines())
                self.assertEqual(m.read_file(ROOT + r"\data\pelio.ini"), before)
                self.assertEqual(m.read_file(ROOT + r"\data\timezone.ini"), TIMEZONE_INI.encode())
                self.assertFalse(m.exists(ROOT + r"\newdata\timezone.ini"))
                remove(m, ROOT + r"\data\timezone.ini")


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
    ("ANSI no-break space", b"[QUORTECH]\r\nTIMEZONE=\xa0INTL\x85\r\n", INTL, NEW, None, False),
    ("UTF-8 mark, no-break space", b"\xef\xbb\xbf[QUORTECH]\r\nTIMEZONE=INTL\xc2\xa0\r\n", INTL, NEW, None, True),
)


class DetectionRuleTest(winetest.TestCase):

    def test_both_rules_on_sample_machines(self):
        m = self.machine
        m.keep_server_alive()  # so that each run sees the records just imported
        m.write_file(r"C:\rule\detect.vbs", deploy_file("detect.vbs"))
        root = ROOT + "\\"
        current = None
        for name, data, newdata, records, left, detected in DETECTION_SAMPLES:
            with self.subTest(name):
                if records is not current:  # a text value where a record may be
                    m.import_reg(zones.reg_text({base: records.get(base, zones.new_tzi(base)) for base, _ in zones.ZONES
                                                 if not isinstance(records.get(base), str)}) +
                                 "".join('\n[%s]\n"TZI"="%s"\n' % (zones.key_path(base), text)
                                         for base, text in records.items() if isinstance(text, str)))
                    current = records
                for folder, content in (("data", data), ("newdata", newdata)):
                    remove(m, ROOT + "\\%s\\timezone.ini" % folder)
                    if content is None:
                        remove(m, ROOT + "\\%s\\pelio.ini" % folder)
                    else:
                        m.write_file(ROOT + "\\%s\\pelio.ini" % folder, content)
                if left:
                    m.write_file(ROOT + "\\%s\\timezone.ini" % left, TIMEZONE_INI)
                result = m.run("cscript", ["//nologo", r"C:\rule\detect.vbs", "status"], env={"QUORDIR": root})
                self.assertEqual((result.status, result.stdout.startswith(b"Detected\r\n")), (10 if detected else 11,
                                                                                            detected), result)

        # As a distribution tool runs it, on the last sample machine (done):
        # "Detected" or nothing, status 0; no QUORDIR is a machine not done.
        # The registry part alone.
        for args, quordir, printed in (([], root, b"Detected\r\n"), ([], None, b""),
                                       (["registry"], None, b"Detected\r\n")):
            with self.subTest(args=args, quordir=quordir):
                result = m.run("cscript", ["//nologo", r"C:\rule\detect.vbs"] + args, env={"QUORDIR": quordir})
                self.assertEqual((result.status, result.stdout), (0, printed))


NOT_FOUND = r"Pelio.ini- File Not Found: C:\Quor\newdata\pelio.ini"
NO_SUCCESS = "no Success line: the last line is Modifying Pelio.ini."
# The report's sample machines, in its order: the line of the share's
# outcome file (None: the line of this release for the outcome and detail
# that follow; "": no outcome file), then the release, outcome and detail
# that the report gives.
REPORTED = (
    ("=HYPERLINK(0)", "done [dstpatch 0.9.0]", "0.9.0", "done", ""),
    ("POS01", None, VERSION, "done", ""),
    ("pos02", None, VERSION, "done", "found done at start-up; nothing was run"),
    ("POS03", None, VERSION, "failed", NOT_FOUND),
    ("POS04", None, VERSION, "failed", r"Pelio.ini- File Not Found: D:\Quor, Site\newdata\pelio.ini"),
    ("POS05", "failed: Control Server Service is not started. ", "", "failed",  # an earlier release's
     "Control Server Service is not started."),
    ("POS06", None, VERSION, "failed", NO_SUCCESS),
    ("POS07", None, VERSION, "not done",
     "another run of this patch was in progress; this machine tries again at its next start"),
    ("POS08", None, VERSION, "site change pending",
     "the registry job is done; the site change needs a run in the user's session (the control server is the "
     "manager application)"),
    ("POS09", None, VERSION, "not run", r"no backup: could not make the folder C:\Blocked: File already exists"),
    ("POS10", "+1 something else", "", "other", "+1 something else"),
    ("POS11", "", "", "not reported", ""),  # its console output only
    ("POS12", "", "", "not reported", ""),  # on the list of machines only
    ("POS13", FOUND_DONE + " (earlier: failed: %s)" % NOT_FOUND, VERSION, "done after a failure",
     "found done at start-up; nothing was run (earlier: failed: %s)" % NOT_FOUND),
    ("POS14", DONE + " (earlier: %s)" % released("failed: " + NO_SUCCESS), VERSION, "done after a failure",
     "(earlier: failed: %s)" % released(NO_SUCCESS)),
)
REPORT_TOTALS = (  # (outcome, group, machines)
    ("done", "", 3), ("done after a failure", "", 2), ("done after a failure", "no Success line", 1),
    ("done after a failure", "Pelio.ini- File Not Found:", 1), ("failed", "", 4),
    ("failed", "Control Server Service is not started.", 1), ("failed", "no Success line", 1),
    ("failed", "Pelio.ini- File Not Found:", 2), ("not done", "", 1), ("site change pending", "", 1),
    ("not run", "", 1), ("not run", "no backup", 1), ("other", "", 1), ("not reported", "", 2), ("machines", "", 15),
)


def csv_line(fields):
    fields = ["'" + field if field.startswith(tuple("=+-@")) else field for field in map(str, fields)]
    return ",".join('"%s"' % field if "," in field else field for field in fields)


class ReportTest(winetest.TestCase):

    def test_report_of_sample_outcomes(self):
        m = self.machine
        m.keep_server_alive()  # so that the report sees the list separator set below
        folder = r"C:\Outcomes 100%\share"
        written = ["POS11-console.txt", "notes.txt"]
        for name, line, _, kind, detail in REPORTED:
            if line is None:
                line = released(kind + (": " + detail if detail else ""))
            if line:
                m.write_file(folder + "\\%s-outcome.txt" % name, line + "\r\n")
                written.append(name + "-outcome.txt")
        m.write_file(folder + r"\POS11-console.txt", "\r\nTrying to remove debout file..")
        m.write_file(folder + r"\notes.txt", "not a machine's file")
        m.write_file(r"C:\Outcomes 100%\machines.txt", "; the store's tills\r\nPOS01\r\nPOS02\r\n\r\n POS12 \r\n")
        csv = r"C:\Outcomes 100%\report.csv"

        m.write_file(r"C:\rule\dstpatch-report.vbs", deploy_file("dstpatch-report.vbs"))
        result = m.run("cscript", ["//nologo", r"C:\rule\dstpatch-report.vbs", folder + "\\",
                                   r"/machines:C:\Outcomes 100%\machines.txt", "/csv:" + csv])
        self.assertEqual(result.status, 0, result)
        shown = [kind + (": " + detail if detail else "") for _, _, _, kind, detail in REPORTED]
        self.assertEqual(result.stdout.decode("latin-1").splitlines(), (
            ["dstpatch outcomes in %s\\: 15 machines" % folder] +
            [name.ljust(16) + release.ljust(len(VERSION) + 2) + text
             for (name, _, release, _, _), text in zip(REPORTED, shown)] + ["", "Totals:"] +
            ["%6d  %s" % (count, kind) if not group else "%6d    %s" % (count, group)
             for kind, group, count in REPORT_TOTALS] + ["CSV: " + csv]))
        self.assertEqual(m.read_file(csv).decode("latin-1").split("\r\n"), (
            [csv_line(("Machine", "Release", "Outcome", "Detail"))] +
            [csv_line((name, release, kind, detail)) for name, _, release, kind, detail in REPORTED] +
            ["", csv_line(("Outcome", "Group", "Machines"))] + [csv_line(total) for total in REPORT_TOTALS] + [""]))

        # With the list separator of French-Canadian settings.
        result = m.run("reg", ["add", r"HKCU\Control Panel\International", "/v", "sList", "/d", ";", "/f"])
        self.assertEqual(result.status, 0, result)
        result = m.run("cscript", ["//nologo", r"C:\rule\dstpatch-report.vbs", folder, "/csv:" + csv])
        lines = m.read_file(csv).decode("latin-1").splitlines()
        self.assertEqual(lines[:6:5], ["Machine;Release;Outcome;Detail",
                                       r"POS04;%s;failed;Pelio.ini- File Not Found: D:\Quor, Site\newdata\pelio.ini"
                                       % VERSION])

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
        self.assertEqual(sorted(os.listdir(m.host_path(folder))), sorted(written))

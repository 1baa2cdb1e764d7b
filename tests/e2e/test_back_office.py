"""dstpatch.exe's back-office job in application mode under Wine: the
running manager application (helpers/pelio_manager.cpp) is closed, the site
files are changed, and the application is started again. README.md says
what Wine cannot show of it."""

import re

import winetest
from winetest import to_crlf

SITE = r"C:\Site"
REMOVED_LOG = "\nTrying to remove debout file..\nMarker file was not found"
# Wine traces these calls of dstpatch.exe on its standard error, once the
# patch runs with WINEDEBUG=+relay.
RELAY_REG = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="kernel32.CreateProcessA;advapi32.CreateProcessAsUserA;advapi32.CreateProcessWithTokenW"
"""
PELIO = "[QUORTECH]\r\nTIMEZONE=LOCAL\r\n"


def back_office_messages(root, running=True):
    """A silent application-mode run's messages from the run log's first on."""
    stop = "\nTrying to stop the Pelio Manager.\nSuccesfully stopped the Pelio Manager." if running else ""
    return ("\nUsing QUORDIR -  %s" % root + stop +
            "\nRemoving Timezone.ini.. if exists\nModifying Pelio.ini.\nTrying to start the Pelio Manager.\nSuccess")


class BackOfficeTest(winetest.TestCase):

    def make_site(self, root):
        m = self.machine
        for folder in ("data", "newdata"):
            m.write_file(root + "\\%s\\pelio.ini" % folder, PELIO)
            m.write_file(root + "\\%s\\timezone.ini" % folder, "[TIMEZONE]\r\nOFFSET=-300\r\n")
        m.make_dir(root + r"\tmp")
        self.put_helper("pelio_manager", root + r"\bin\PelioMgr.exe")

    def start_manager(self, root, mode):
        # By its Windows path, which the process then has as its image (by
        # its host path it would be Z:\...): the patch takes the token of a
        # manager that runs the site's own program only.
        manager = self.machine.start(root + r"\bin\PelioMgr.exe",
                                     env={"PELIOMGR_MODE": mode})
        manager.wait_for_output("ready")
        return manager

    def journal(self, program):
        return (self.machine.read_file(program + ".log") or b"").decode("latin-1").splitlines()

    def run_patch(self, root, relay=False):
        # The started application records its command line and ends at once,
        # so that the run does not wait out the 10 s given to it.
        env = {"QUORDIR": root, "TZ": "America/New_York", "PELIOMGR_MODE": "exit"}
        if relay:
            self.machine.import_reg(RELAY_REG)
            env["WINEDEBUG"] = "-all,+relay"
        return self.machine.run(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS", "/S"], env=env)

    @staticmethod
    def starts(result):
        """The calls that started a process in a relay-traced run, in order,
        each as "NAME COMMAND-LINE RESULT"."""
        trace = result.stderr.decode("latin-1")
        # The command line is the first string argument, written with C escapes.
        calls = re.findall(r'Call \w+\.(CreateProcess\w+)\((?:\w+,)*?\w+ L?"((?:[^"\\]|\\.)*)"', trace)
        results = re.findall(r"Ret  \w+\.(CreateProcess\w+)\(\) retval=(\w+)", trace)
        return ["%s %s %d" % (name, re.sub(r"\\(.)", r"\1", line), int(retval, 16))
                for (name, line), (_, retval) in zip(calls, results)]

    def check_site_changed(self, root):
        m = self.machine
        for folder in ("data", "newdata"):
            self.assertEqual(m.read_file(root + "\\%s\\pelio.ini" % folder), b"[QUORTECH]\r\nTIMEZONE=INTL\r\n")
            self.assertFalse(m.exists(root + "\\%s\\timezone.ini" % folder), folder)

    def test_running_manager_is_closed_and_started_again_or_terminated(self):
        self.make_site(SITE)
        manager = self.start_manager(SITE, "close")

        result = self.run_patch(SITE, relay=True)

        messages = back_office_messages(SITE)
        self.assertEqual(result.stdout, to_crlf(REMOVED_LOG + messages))
        # Started again under the token of the manager it closed. (Wine gives
        # it this run's environment, PELIOMGR_MODE included; Windows would
        # give it its account's own.)
        self.assertEqual(self.starts(result),
                         [r"CreateProcessWithTokenW C:\Site\bin\PelioMgr.exe  /QUORDIR C:\Site 1"])
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"), to_crlf(messages))
        self.assertEqual(manager.process.wait(10), 0)
        restarted = r"start C:\Site\bin\PelioMgr.exe  /QUORDIR C:\Site"
        self.assertEqual(self.journal(SITE + r"\bin\PelioMgr.exe")[1:], ["close", "end", restarted])
        self.check_site_changed(SITE)

        # A manager that ignores the close is terminated: it never writes its end.
        manager = self.start_manager(SITE, "ignore")
        self.assertTrue(self.run_patch(SITE).stdout.endswith(to_crlf(messages)))
        manager.process.wait(10)
        self.assertEqual(self.journal(SITE + r"\bin\PelioMgr.exe")[5:], ["close", restarted])

    def test_no_manager_runs_it_is_started_as_the_user_at_the_desktop(self):
        # Nobody at the desktop: no user's shell runs in the session, so
        # there is no token of anyone who may run the program, and the
        # patch's own rights are more than theirs. Nothing is started.
        self.make_site(SITE)
        result = self.run_patch(SITE, relay=True)
        could_not_start = "\nCould not start Pelio Manager, please start the application manually"
        messages = back_office_messages(SITE, running=False).replace("\nSuccess", could_not_start + "\nSuccess")
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"), to_crlf(messages))
        self.assertEqual(self.starts(result), [])
        self.assertEqual(self.journal(SITE + r"\bin\PelioMgr.exe"), [])
        self.check_site_changed(SITE)

        # A user at the desktop: started under the token of the owner of the
        # session's explorer.exe (Wine has no shell window), by the quoted
        # path of a root with a blank, never as C:\My.exe, which Windows would
        # run for the unquoted one.
        root = r"C:\My Site"
        self.make_site(root)
        self.put_helper("pelio_manager", r"C:\My.exe")
        self.start_shell()
        result = self.run_patch(root, relay=True)
        self.assertEqual(self.machine.read_file(root + r"\tmp\debGorvinal.txt"),
                         to_crlf(back_office_messages(root, running=False)))
        self.assertEqual(self.starts(result),
                         [r'CreateProcessWithTokenW "C:\My Site\bin\PelioMgr.exe"  /QUORDIR C:\My Site 1'])
        self.assertEqual(self.journal(root + r"\bin\PelioMgr.exe"),
                         [r'start "C:\My Site\bin\PelioMgr.exe"  /QUORDIR C:\My Site'])
        self.assertEqual(self.journal(r"C:\My.exe"), [])
        self.check_site_changed(root)

    def test_no_to_the_question_ends_the_run_with_nothing_changed(self):
        self.make_site(SITE)
        manager = self.start_manager(SITE, "close")
        answerer = self.machine.start(winetest.helper("box_answerer"), ["7", "1"])  # No, then OK
        answerer.wait_for_output("ready")

        result = self.machine.run(winetest.DSTPATCH_EXE, ["/CHANGEBOHVALS"],
                                  env={"QUORDIR": SITE, "TZ": "America/New_York"})

        program = winetest.z_path(winetest.DSTPATCH_EXE)
        not_completed = "\nThis patch has not completed, you will need to run this patch again."
        boxes = "caption: %s\ntext: %s\n" * 2 % (
            program, "This patch requires Peliomgr to be closed, do you wish to continue?", program, not_completed)
        self.assertEqual(answerer.stop(), 0)
        self.assertEqual(answerer.output(), to_crlf("ready\n" + boxes))
        messages = "\nUsing QUORDIR -  C:\\Site" + not_completed
        self.assertEqual(result.stdout, to_crlf(REMOVED_LOG + messages))
        self.assertEqual(self.machine.read_file(SITE + r"\tmp\debGorvinal.txt"), to_crlf(messages))
        self.assertIsNone(manager.process.poll())
        for folder in ("data", "newdata"):
            self.assertEqual(self.machine.read_file(SITE + "\\%s\\pelio.ini" % folder), PELIO.encode("latin-1"))
            self.assertTrue(self.machine.exists(SITE + "\\%s\\timezone.ini" % folder))

"""Names that an ordinary user planted where the patch deletes, creates or
writes a file, with the real dstpatch.exe under Wine (README.md: which links
Wine shows, and how a link's owner is made): whatever they lead to stays
byte for byte as it was, and each is named in one line."""

import os

import winetest
from winetest import to_crlf

SITE = r"C:\Site"
OUTSIDE = r"C:\Outside"
ELSEWHERE = {  # files that the planted names lead to, and their bytes
    OUTSIDE + r"\logs\debGorvinal.txt": b"a log of something else\r\n",
    OUTSIDE + r"\config\pelio.ini": b"[QUORTECH]\r\nTIMEZONE=KEEP\r\n",
    OUTSIDE + r"\config\timezone.ini": b"[keep]\r\n",
    OUTSIDE + r"\win.ini": b"[windows]\r\nload=\r\n",
    OUTSIDE + r"\system.ini": b"[boot]\r\n",
    OUTSIDE + r"\root.log": b"not a run log\r\n",
}
INVALID_ROOT = winetest.program_text("kInvalidRootMessage")
NOBODY = 65534


def left_alone(path, why):
    return "\nFile left alone: %s (%s)" % (path, why)


class PlantedNamesTest(winetest.TestCase):
    def setUp(self):
        super().setUp()
        for path, content in ELSEWHERE.items():
            self.machine.write_file(path, content)

    def link(self, path, target):
        os.symlink(self.machine.host_path(target), self.machine.host_path(path))

    def hard_link(self, path, target):
        host = self.machine.host_path(path)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        os.link(self.machine.host_path(target), host)

    def run_patch(self, args, root=SITE):
        result = self.machine.run(winetest.DSTPATCH_EXE, args,
                                  env={"QUORDIR": root, "TZ": "America/New_York", "PELIOMGR_MODE": "exit"})
        self.assertEqual(result.status, 0, result)
        return result.stdout.decode("latin-1").replace("\r\n", "\n")

    def assert_elsewhere_unchanged(self):
        for path, content in ELSEWHERE.items():
            self.assertEqual(self.machine.read_file(path), content, path)

    def test_linked_folders_and_hard_links_in_the_site(self):
        m = self.machine
        m.make_dir(SITE)
        self.link(SITE + r"\tmp", OUTSIDE + r"\logs")
        self.link(SITE + r"\newdata", OUTSIDE + r"\config")
        self.hard_link(SITE + r"\data\pelio.ini", OUTSIDE + r"\win.ini")
        self.hard_link(SITE + r"\data\timezone.ini", OUTSIDE + r"\system.ini")
        out = self.run_patch(["/CHANGEBOHVALS", "/S"])
        self.assert_elsewhere_unchanged()
        folder_link = "%s is a link or mount point"
        for line in (left_alone(SITE + r"\tmp\debGorvinal.txt", folder_link % (SITE + r"\tmp")),
                     left_alone(SITE + r"\newdata\timezone.ini", folder_link % (SITE + r"\newdata")),
                     left_alone(SITE + r"\data\timezone.ini", "it has 2 hard links"),
                     left_alone(SITE + r"\data\pelio.ini", "it has 2 hard links"),
                     left_alone(SITE + r"\newdata\pelio.ini", folder_link % (SITE + r"\newdata"))):
            self.assertEqual(out.count(line), 1, (line, out))
        self.assertTrue(out.endswith("\nSuccess"), out)

    def test_hard_links_at_the_root_of_c(self):
        # Ordinary users may make files in C:\ too. The site's own run log is
        # still made anew.
        m = self.machine
        m.make_site(SITE)
        m.write_file(SITE + r"\tmp\debGorvinal.txt", b"the last run's log")
        self.hard_link(r"C:\debGorvinal.txt", OUTSIDE + r"\root.log")
        self.hard_link(r"C:\debBGorvinal.txt", OUTSIDE + r"\win.ini")
        out = self.run_patch(["/S"])
        self.assertTrue(out.startswith("\nTrying to remove debout file.." +
                                       left_alone(r"C:\debGorvinal.txt", "it has 2 hard links") +
                                       "\nDebout file removed from C:\\Site\\tmp\\debGorvinal.txt"), out)
        self.assertEqual(m.read_file(SITE + r"\tmp\debGorvinal.txt"), to_crlf("\nSuccess"))
        out = self.run_patch(["/S"], root=r"C:\Nowhere")
        self.assertTrue(out.startswith(left_alone(r"C:\debBGorvinal.txt", "it has 2 hard links") +
                                       "\nQuordir is not defined"), out)
        self.assert_elsewhere_unchanged()

    def test_a_user_holding_the_guards_name_does_not_hold_the_run_up(self):
        # Any user may make a mutex in Global\; one that no run of the patch
        # made (Wine reports no owner for the default security) is passed by.
        self.machine.make_site(SITE)
        squatter = self.machine.start(winetest.helper("file_locker"), ["--mutex", r"Global\dstpatch.run"])
        squatter.wait_for_output("locked")
        out = self.run_patch(["/CHANGEREGVALS", "/S"])
        self.assertEqual(squatter.stop(), 0)
        self.assertTrue(out.startswith("\nThe guard against a second run (Global\\dstpatch.run) was made by a program "
                                       "that is not this patch; this run goes on without it.\nTrying to remove"), out)
        self.assertTrue(out.endswith("\nSuccess"), out)

    def test_a_root_that_is_a_link_counts_only_where_an_administrator_owns_it(self):
        m = self.machine
        m.make_site(OUTSIDE + r"\site")
        self.link(SITE, OUTSIDE + r"\site")
        out = self.run_patch(["/CHANGEBOHVALS", "/S"])  # the run's own account's link
        self.assertTrue(out.endswith("\nSuccess"), out)
        self.assertIn(b"TIMEZONE=INTL", m.read_file(OUTSIDE + r"\site\data\pelio.ini"))

        m.write_file(OUTSIDE + r"\site\data\pelio.ini", b"[QUORTECH]\r\nTIMEZONE=LOCAL\r\n")
        for path in (SITE, OUTSIDE + r"\site"):
            os.lchown(m.host_path(path), NOBODY, NOBODY)
        out = self.run_patch(["/CHANGEBOHVALS", "/S"])
        line = "\nSite root not valid: C:\\Site (it is a link or mount point that no administrator owns)"
        self.assertEqual(out, line + INVALID_ROOT)
        self.assertEqual(m.read_file(r"C:\debBGorvinal.txt"), to_crlf(line + INVALID_ROOT))
        self.assertEqual(m.read_file(OUTSIDE + r"\site\data\pelio.ini"), b"[QUORTECH]\r\nTIMEZONE=LOCAL\r\n")

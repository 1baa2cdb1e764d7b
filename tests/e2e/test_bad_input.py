"""What users get wrong and what breaks on real machines, with the real
dstpatch.exe under Wine: each run ends with status 0 and a clear message and
changes nothing it did not mean to change."""

import winetest
from winetest import to_crlf

SITE = r"C:\Site"
PELIO = b"[QUORTECH]\r\nTIMEZONE=LOCAL\r\n"  # what Machine.make_site writes
INVALID_ROOT = winetest.program_text("kInvalidRootMessage")


class BadInputTest(winetest.TestCase):
    def setUp(self):
        super().setUp()
        self.machine.make_site(SITE)

    def run_patch(self, args, root=SITE):
        result = self.machine.run(winetest.DSTPATCH_EXE, args, env={"QUORDIR": root, "TZ": "America/New_York"})
        self.assertEqual(result.status, 0)
        return result.stdout

    def test_long_and_many_unknown_arguments_are_ignored(self):
        out = self.run_patch(["x" * 20000] + ["/UNKNOWN"] * 300 + ["/CHANGEREGVALS", "/S"])
        self.assertIn(to_crlf("\nSetting TimeZones for US/Canada part.. succeeded\n"), out)
        self.assertTrue(out.endswith(to_crlf("\nSuccess")), out[-200:])

    def test_percent_and_latin1_in_the_site_root(self):
        # The root reaches the program in the ANSI code page (1252 here).
        root = "C:\\Site 100%s \u00e9t\u00e9"
        self.machine.make_site(root)
        out = self.run_patch(["/CHANGEBOHVALS", "/S"], root=root)
        shown = root.encode("cp1252")
        self.assertIn(b"\r\nUsing QUORDIR -  " + shown + b"\r\n", out)
        log = self.machine.read_file(root + r"\tmp\debGorvinal.txt")
        self.assertIn(b"\r\nUsing QUORDIR -  " + shown + b"\r\n", log)
        self.assertIn(b"TIMEZONE=INTL", self.machine.read_file(root + r"\data\pelio.ini"))

    def test_trailing_blanks_name_another_folder(self):
        out = self.run_patch(["/QUORDIR", SITE + "  ", "/CHANGEBOHVALS", "/S"])
        self.assertEqual(out, to_crlf(INVALID_ROOT))
        self.assertEqual(self.machine.read_file(SITE + r"\data\pelio.ini"), PELIO)

    def test_folders_named_like_the_run_logs_are_passed_over(self):
        # Not the patch's files: left alone, and no run becomes a failure for them.
        for path in (r"C:\debGorvinal.txt", SITE + r"\tmp\debGorvinal.txt", r"C:\debBGorvinal.txt"):
            self.machine.make_dir(path)
        out = self.run_patch(["/CHANGEREGVALS", "/S"])
        self.assertTrue(out.startswith(to_crlf("\nTrying to remove debout file..\nMarker file was not found\n")), out)
        self.assertTrue(out.endswith(to_crlf("\nSuccess")), out[-200:])
        self.assertEqual(self.run_patch(["/S"], root=r"C:\Nowhere"), to_crlf(INVALID_ROOT))

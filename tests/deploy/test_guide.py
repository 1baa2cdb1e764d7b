"""The deployment guide (docs/deploy.md) and the files in deploy/ agree: the
files the guide shows are shown as they are, its table of failure lines, the
operator's README and the Windows scripts list the lines that the Ansible
playbook reads, each of those lines begins a message of the program, and
the scripts' own lists of the seven zones and their records are the
program's table (as scripts/wine/zones.py reads it). Python 3 standard
library only."""

import pathlib
import re
import sys
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "wine"))
sys.path.insert(0, str(ROOT / "scripts"))
import rollout  # noqa: E402
import zones  # noqa: E402
GUIDE = ROOT / "docs" / "deploy.md"
FAILURE_LINES = ROOT / "deploy" / "ansible" / "failure-lines.txt"
README = ROOT / "deploy" / "README.txt"
SHOWN_FILES = ("deploy/detect.ps1", "deploy/gpo/dstpatch-startup.cmd")
# Files run or read on Windows: checked out with CR LF line ends.
WINDOWS_FILES = sorted(str(path.relative_to(ROOT)) for pattern in ("*.cmd", "*.vbs", "*.ps1")
                       for path in (ROOT / "deploy").rglob(pattern)) + ["deploy/README.txt"]
# The beginning of the line of a run refused because another run is in
# progress, and the files that look for it or explain it.
REFUSAL = "Another run of this patch is in progress on this machine"
FILES_WITH_REFUSAL = (rollout.COMMON, "deploy/ansible/outcome.yml", "deploy/README.txt", "docs/deploy.md")


def guide():
    # Shipped as a text file for Notepad, which reads it in the ANSI code page.
    return GUIDE.read_bytes().decode("ascii")


def text_of(path):
    return (ROOT / path).read_bytes().decode("latin-1").replace("\r\n", "\n")


def failure_lines():
    return [line for line in FAILURE_LINES.read_text(encoding="ascii").splitlines() if line]


def table_after(text, marker):
    """The first cells (without their backquotes) of the table that follows MARKER."""
    rows = text.split(marker, 1)[1].lstrip("\n").split("\n\n", 1)[0].splitlines()
    cells = [row.split("|")[1].strip() for row in rows[2:]]
    return [re.fullmatch(r"`(.+)`", cell).group(1) for cell in cells]


class GuideTest(unittest.TestCase):
    def test_shown_files_are_the_files(self):
        shown = re.findall(r"<!-- (deploy/[^ ]+) -->\n```\w+\n(.*?)```\n", guide(), re.S)
        self.assertEqual(sorted(path for path, _ in shown), sorted(SHOWN_FILES))
        for path, text in shown:
            with self.subTest(path=path):
                on_disk = (ROOT / path).read_bytes().decode("latin-1").replace("\r\n", "\n")
                self.assertEqual(text, on_disk)

    def test_windows_files_have_crlf_line_ends(self):
        for path in WINDOWS_FILES:
            with self.subTest(path=path):
                data = (ROOT / path).read_bytes()
                self.assertTrue(data.endswith(b"\r\n"))
                self.assertEqual(data.count(b"\n"), data.count(b"\r\n"))

    def test_guide_and_readme_list_the_playbooks_failure_lines(self):
        marker = "<!-- failure lines: deploy/ansible/failure-lines.txt -->"
        with self.subTest(file="docs/deploy.md"):
            self.assertEqual(table_after(guide(), marker), failure_lines())
        with self.subTest(file="deploy/README.txt"):
            text = README.read_bytes().decode("ascii").replace("\r\n", "\n")
            block = text.split("Lines that report a failed step begin with:\n", 1)[1]
            listed = []
            for line in block.splitlines():
                if not line.startswith("  "):
                    break
                listed.append(line[2:])
            self.assertEqual(listed, failure_lines())

    def test_windows_scripts_know_the_failure_lines_and_the_refusal(self):
        # The shared code of the Windows scripts tells a failure by the same lines.
        block = re.search(r"FailureLines = Array\( _\n(.*?)\)\n", text_of(rollout.COMMON), re.S).group(1)
        self.assertEqual(re.findall(r'^ +"(.*)"(?:, _)?$', block, re.M), failure_lines())
        for path in FILES_WITH_REFUSAL:
            with self.subTest(path=path):
                self.assertIn(REFUSAL, " ".join(text_of(path).split()))

    def test_zone_lists_and_records_are_the_programs(self):
        # Each file names the zones west to east, each record beside its zone.
        records = [(base, zones.new_tzi(base).hex().upper()) for base, _ in zones.ZONES]
        for path in ("deploy/detect.ps1", rollout.COMMON, "docs/deploy.md"):
            with self.subTest(path=path):
                self.assertEqual(re.findall(r"\b(\w+)(?: Standard Time)?\W{1,8}([0-9A-F]{88})\b", text_of(path)),
                                 records)

    def test_each_failure_line_and_the_refusal_begin_a_message_of_the_program(self):
        # The messages as the program's sources write them, and as its unit
        # and end-to-end tests expect them (where a message is put together
        # from pieces, such as "StopControlServer() - ...").
        texts = "".join(path.read_text(encoding="utf-8")
                        for folder in ("app", "tzrules", "site", "tests/unit", "tests/e2e")
                        for pattern in ("*.cpp", "*.h", "*.py")
                        for path in sorted((ROOT / folder).glob(pattern)))
        for line in failure_lines() + [REFUSAL]:
            with self.subTest(line=line):
                # A message begins a string literal, or follows a line feed in one.
                self.assertTrue('"' + line in texts or "\\n" + line in texts)


if __name__ == "__main__":
    unittest.main()

"""The deployment guide (docs/deploy.md), the files in deploy/ and the
program agree on the failure lines and the zone records; the guide, shipped
as DEPLOY.txt, reads as plain text and every section pointed to is there."""

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
# The files that point to the guide's sections by number.
POINTING_TO_SECTIONS = ("docs/deploy.md", "README.md", "deploy/README.txt", "deploy/ansible/dstpatch.yml")
# Files run or read on Windows: checked out with CR LF line ends.
WINDOWS_FILES = sorted(str(path.relative_to(ROOT)) for pattern in ("*.cmd", "*.vbs", "*.ps1")
                       for path in (ROOT / "deploy").rglob(pattern)) + ["deploy/README.txt"]
# The beginning of the line of a run refused because another run is in
# progress, and the files that look for it or explain it.
REFUSAL = "Another run of this patch is in progress on this machine"
FILES_WITH_REFUSAL = (rollout.COMMON, "deploy/ansible/outcome.yml", "docs/deploy.md")


def guide():
    # Shipped as a text file for Notepad, which reads it in the ANSI code page.
    return GUIDE.read_bytes().decode("ascii")


def text_of(path):
    return (ROOT / path).read_bytes().decode("latin-1").replace("\r\n", "\n")


def failure_lines():
    return [line for line in FAILURE_LINES.read_text(encoding="ascii").splitlines() if line]


def section(text, title):
    """The text of the guide's section whose heading ends with TITLE."""
    return re.search(r"^## \d+\. %s\n(.*?)(?=^## |\Z)" % re.escape(title), text, re.M | re.S).group(1)


def section_numbers(text):
    """The numbers of the guide's sections and subsections ("4", "4.1")."""
    return set(re.findall(r"^##+ (\d+(?:\.\d+)?)\.? ", text, re.M))


class GuideTest(unittest.TestCase):
    def test_shipped_guide_reads_as_plain_text(self):
        # DEPLOY.txt is opened in Notepad, where markup shows as it is.
        shipped = rollout.shipped("docs/deploy.md", "9.8.7").decode("ascii")
        for markup in ("<!--", "](", "<a ", "{#", "<br"):
            with self.subTest(markup=markup):
                self.assertNotIn(markup, shipped)

    def test_contents_are_the_headings(self):
        text = guide()
        contents = text.split("\nContents\n\n", 1)[1].split("\n\n", 1)[0].splitlines()
        self.assertEqual(contents, re.findall(r"^## (\d+\. .+)$", text, re.M))

    def test_section_numbers_pointed_to_exist(self):
        numbers = section_numbers(guide())
        for path in POINTING_TO_SECTIONS:
            with self.subTest(path=path):
                pointed = re.findall(r"\bsections?\s+(\d+(?:\.\d+)?)(?:\s+and\s+(\d+(?:\.\d+)?))?", text_of(path))
                self.assertTrue(pointed)
                self.assertEqual({n for pair in pointed for n in pair if n} - numbers, set())

    def test_scripts_named_in_the_guide_are_shipped(self):
        shipped = {pathlib.PurePosixPath(target).name for _, target, _ in rollout.FILES}
        named = set(re.findall(r"\b([\w-]+\.(?:vbs|cmd|ps1))\b", guide()))
        self.assertEqual(named - shipped, set())

    def test_links_of_the_markdown_files_lead_to_files(self):
        for path in ["README.md"] + sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md")):
            with self.subTest(path=path):
                for target in re.findall(r"\]\(([^)#]+)\)", text_of(path)):
                    self.assertTrue(((ROOT / path).parent / target).exists(), target)

    def test_windows_files_have_crlf_line_ends(self):
        for path in WINDOWS_FILES:
            with self.subTest(path=path):
                data = (ROOT / path).read_bytes()
                self.assertTrue(data.endswith(b"\r\n"))
                self.assertEqual(data.count(b"\n"), data.count(b"\r\n"))

    def test_guide_lists_the_playbooks_failure_lines(self):
        listed = re.findall(r"^- `(.+)`$", section(guide(), "Troubleshooting by failure line"), re.M)
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

"""End-to-end test cases: each gets a fresh Machine (scripts/wine/winemachine.py)
in self.machine. See README.md for the API and the environment variables
that CTest passes in."""

import os
import re
import unittest

from winemachine import DSTPATCH_EXE, Machine, to_crlf  # noqa: F401  (what the tests use of it)

# Where the build put the test helper programs (set by tests/e2e/CMakeLists.txt).
HELPERS_DIR = os.environ.get("DSTPATCH_E2E_HELPERS", "")
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


SHELL = r"C:\Shell\explorer.exe"


def helper(name):
    """Host path of the test helper program NAME (tests/e2e/helpers/NAME.cpp)."""
    return os.path.join(HELPERS_DIR, name + ".exe")


def z_path(host_path):
    """The Windows path of a host file (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


class TestCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.machine = Machine(self.id().split(".", 1)[-1])
        self.addCleanup(self.machine.close)

    def put_helper(self, name, windows_path):
        with open(helper(name), "rb") as f:
            self.machine.write_file(windows_path, f.read())

    def start_shell(self):
        """A user logged on at the desktop (README.md: start_shell)."""
        self.put_helper("pelio_manager", SHELL)
        self.machine.start(SHELL, env={"PELIOMGR_MODE": "ignore"}).wait_for_output("ready")


def program_text(name, source="app/run_control.h"):
    """The text of the program's string constant NAME (`inline constexpr char
    NAME[] = "..." "...";` in SOURCE), so that a test expects the program's
    own words rather than a copy of them."""
    with open(os.path.join(REPO, source), encoding="latin-1") as f:
        found = re.search(r"\b%s\[\] =\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+);" % re.escape(name), f.read())
    if found is None:
        raise LookupError("no string constant %s in %s" % (name, source))
    parts = re.findall(r"\"((?:[^\"\\]|\\.)*)\"", found.group(1))
    return "".join(part.encode("latin-1").decode("unicode_escape") for part in parts)

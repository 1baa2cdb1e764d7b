"""End-to-end test cases: each gets a fresh Machine (scripts/wine/winemachine.py)
in self.machine. See README.md for the API and the environment variables
that CTest passes in."""

import os
import unittest

from winemachine import DSTPATCH_EXE, Machine, to_crlf  # noqa: F401  (what the tests use of it)

# Where the build put the test helper programs (set by tests/e2e/CMakeLists.txt).
HELPERS_DIR = os.environ.get("DSTPATCH_E2E_HELPERS", "")


def helper(name):
    """Host path of the test helper program NAME (tests/e2e/helpers/NAME.cpp)."""
    return os.path.join(HELPERS_DIR, name + ".exe")


class TestCase(unittest.TestCase):
    """A test with a fresh Machine in self.machine, closed after the test
    whatever its outcome."""

    maxDiff = None

    def setUp(self):
        self.machine = Machine(self.id().split(".", 1)[-1])
        self.addCleanup(self.machine.close)

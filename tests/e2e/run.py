#!/usr/bin/env python3
"""run.py --list (the id of every test case) | run.py ID... (CTest, one
case each). Exit status: 0 passed, 1 failed, 77 skipped."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The Wine driver, shared with the demo and the benchmark.
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts", "wine"))

import wine  # noqa: E402


def test_ids(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from test_ids(item)
        else:
            yield item.id()


def main(argv):
    sys.path.insert(0, HERE)
    if argv == ["--list"]:
        suite = unittest.defaultTestLoader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
        for test_id in test_ids(suite):
            print(test_id)
        return 0
    # The build under test (DSTPATCH_EXE) decides: an i686 build cannot run
    # where Wine runs no 32-bit code.
    reason = wine.unable_to_run(os.environ.get("DSTPATCH_EXE", ""))
    if reason:
        print("skipped: " + reason)
        return wine.SKIPPED
    suite = unittest.defaultTestLoader.loadTestsFromNames(argv)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    return wine.SKIPPED if result.testsRun and len(result.skipped) == result.testsRun else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

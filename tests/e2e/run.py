#!/usr/bin/env python3
"""Runs end-to-end tests; CTest calls it once per test case.

    run.py --list          print the id of every test case (test_*.py)
    run.py ID...           run these test cases (module.Class.method)
    run.py --wine-missing  report that Wine is not installed (skip status)

Exit status: 0 passed, 1 failed, 77 skipped (Wine missing, or every case
skipped).
"""

import os
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SKIPPED = 77
WINE_MISSING = "Wine is not installed, so the end-to-end tests cannot run: scripts/setup installs it."


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
    if not argv or (argv[0].startswith("-") and argv != ["--wine-missing"]):
        print(__doc__, file=sys.stderr)
        return 2
    if argv == ["--wine-missing"] or shutil.which("wine") is None:
        print(WINE_MISSING)
        return SKIPPED
    suite = unittest.defaultTestLoader.loadTestsFromNames(argv)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    return SKIPPED if result.testsRun and len(result.skipped) == result.testsRun else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

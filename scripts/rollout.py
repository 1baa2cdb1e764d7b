"""The roll-out files of deploy/ as a release ships them, for scripts/release
and the tests that run or check them.

A VBScript file of deploy/ that has the line "'#include dstpatch-common.vbs"
gets the shared code of deploy/dstpatch-common.vbs there (Windows Script Host
has no include that works everywhere: Wine 8 runs no .wsf job and has no
ExecuteGlobal), and every "@DSTPATCH_VERSION@" becomes the release's version,
the one of project() in CMakeLists.txt. Files for Windows get CR LF line
ends."""

import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMON = "deploy/dstpatch-common.vbs"
INCLUDE = b"'#include dstpatch-common.vbs"
VERSION_MARK = b"@DSTPATCH_VERSION@"
# (source in the sources, path in the release folder, whether it is read or
# run on Windows and so gets CR LF line ends)
FILES = (
    ("docs/deploy.md", "DEPLOY.txt", True),
    ("deploy/gpo/dstpatch-startup.cmd", "dstpatch-startup.cmd", True),
    ("deploy/gpo/dstpatch-startup.vbs", "dstpatch-startup.vbs", True),
    ("deploy/detect.vbs", "detect.vbs", True),
    ("deploy/detect.ps1", "detect.ps1", True),
    ("deploy/dstpatch-install.vbs", "dstpatch-install.vbs", True),
    ("deploy/dstpatch-report.vbs", "dstpatch-report.vbs", True),
    ("deploy/dstpatch-undo.vbs", "dstpatch-undo.vbs", True),
    ("deploy/ansible/dstpatch.yml", "ansible/dstpatch.yml", False),
    ("deploy/ansible/outcome.yml", "ansible/outcome.yml", False),
    ("deploy/ansible/failure-lines.txt", "ansible/failure-lines.txt", False),
)


def project_version():
    """The version of project() in CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(\w+ VERSION ([0-9.]+)", f.read(), re.M).group(1)


def _read(source):
    with open(os.path.join(ROOT, source), "rb") as f:
        return f.read().replace(b"\r\n", b"\n")


def shared_code():
    """dstpatch-common.vbs without its opening comment (which says where it goes)."""
    text = _read(COMMON)
    return text.split(b"\n\n", 1)[1]


def shipped(source, version, crlf=True):
    """The bytes of the file SOURCE (relative to the sources' root) as the
    release of VERSION ships it."""
    lines = []
    for line in _read(source).split(b"\n"):
        if line == INCLUDE:
            line = (b"' ---- The shared code of the roll-out scripts (deploy/dstpatch-common.vbs) ----\n" +
                    shared_code().rstrip(b"\n") + b"\n' ---- End of the shared code ----")
        lines.append(line)
    text = b"\n".join(lines).replace(VERSION_MARK, version.encode("ascii"))
    return text.replace(b"\n", b"\r\n") if crlf else text

#!/usr/bin/env python3
"""The template Wine prefix that every end-to-end test copies.

Making a prefix takes Wine about 20 s and 1.3 GB, so it is made once per
machine and reused while Wine's version, the kind of Wine (wine.py) and this
file are unchanged (all three are recorded in a stamp file inside it). Each
kind has a directory of its own: the one given for a machine whose Wine runs
32-bit code, the same name with "-win64" for a 64-bit-only one, so a prefix
is never used with the other kind of Wine. A lock file beside it keeps
parallel test runs from making it twice or copying it while it is being
replaced.

    template.py DIR [EXE]    make DIR's template for this machine unless it is
                             current (a CTest fixture); skipped (status 77)
                             when EXE cannot run here
"""

import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

import wine

STAMP = ".dstpatch-template"


def directory(base):
    """The template directory for this machine's kind of Wine."""
    base = os.path.abspath(base)
    return base + "-win64" if wine.kind() == "win64" else base


def expected_stamp():
    digest = hashlib.sha256()
    for source in (__file__, wine.__file__):
        with open(source, "rb") as f:
            digest.update(f.read())
    return "%s\n%s\n%s\n" % (wine.version(), wine.kind(), digest.hexdigest())


def is_current(path):
    try:
        with open(os.path.join(path, STAMP)) as f:
            return f.read() == expected_stamp()
    except OSError:
        return False


@contextlib.contextmanager
def locked(path, exclusive):
    """Holds the template's lock file: shared while copying, exclusive while making."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(os.path.abspath(path) + ".lock", "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def _wine_step(prefix, args, log):
    """Runs one Wine tool in PREFIX; its output goes to LOG (a file, never a
    pipe: the wine server it starts would keep a pipe open). A tool that
    Wine's loader failed to start is run again."""
    for attempt in range(wine.LAUNCH_ATTEMPTS):
        with tempfile.TemporaryFile() as out:
            result = subprocess.run(args, env=wine.environment(prefix), stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, timeout=300)
            out.seek(0)
            output = out.read()
        log.write(output.decode("latin-1"))
        if not wine.not_launched(result.returncode, output):
            break
        log.write("(not started by Wine's loader: attempt %d of %d)\n" % (attempt + 1, wine.LAUNCH_ATTEMPTS))
        time.sleep(0.5)
    if result.returncode != 0:
        raise RuntimeError("%s failed with status %d in %s" % (" ".join(args), result.returncode, prefix))


def make(path):
    """Makes a fresh prefix at PATH (replacing what is there)."""
    partial = os.path.abspath(path) + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    with open(partial + ".log", "w") as log:
        _wine_step(partial, wine.command("wineboot", "--init"), log)
        # The null graphics driver lets windowed programs and message boxes
        # work without a display; it takes effect once the server restarts.
        _wine_step(partial, wine.command("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null",
                                         "/f"), log)
        # Wait until the server has saved the registry and ended.
        _wine_step(partial, wine.wineserver_command("--wait"), log)
    os.remove(partial + ".log")
    with open(os.path.join(partial, STAMP), "w") as f:
        f.write(expected_stamp())
    shutil.rmtree(path, ignore_errors=True)
    os.rename(partial, path)


def ensure(path):
    """Makes the template at PATH unless a current one is there. Returns
    True when it had to be made."""
    with locked(path, exclusive=True):
        if is_current(path):
            return False
        make(path)
        return True


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    reason = wine.unable_to_run(argv[2]) if len(argv) == 3 else None
    if reason or wine.kind() is None:
        print("no template prefix: %s" % (reason or "Wine is not installed (scripts/setup installs it)"))
        return wine.SKIPPED
    path = directory(argv[1])
    start = time.monotonic()
    made = ensure(path)
    print("%s template prefix %s (%.1f s); %s" % ("made" if made else "reused", path, time.monotonic() - start,
                                                 wine.describe()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

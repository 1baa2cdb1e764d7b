#!/usr/bin/env python3
"""The template Wine prefix that every end-to-end test copies.

Making a prefix takes Wine about 20 s and 1.3 GB, so it is made once per
machine and reused while Wine's version and this file are unchanged (both are
recorded in a stamp file inside it). A lock file beside it keeps parallel test
runs from making it twice or copying it while it is being replaced.

    template.py DIR      make DIR unless it is current (a CTest fixture)
"""

import contextlib
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time

STAMP = ".dstpatch-template"

# Mono and Gecko are not needed and their installers would ask for a
# download; the menu builder would write desktop entries into $HOME.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def wine_environment(prefix):
    """A reproducible environment for Wine's tools in PREFIX."""
    env = {name: os.environ[name] for name in ("PATH", "HOME", "USER", "LOGNAME", "TMPDIR") if name in os.environ}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        WINEDLLOVERRIDES=DLL_OVERRIDES,
        LANG="C.UTF-8",
    )
    return env


def wine_version():
    out = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    return out.stdout.decode().strip()


def expected_stamp():
    with open(__file__, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return "%s\n%s\n" % (wine_version(), digest)


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
    pipe: the wine server it starts would keep a pipe open)."""
    result = subprocess.run(args, env=wine_environment(prefix), stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT, timeout=300)
    if result.returncode != 0:
        raise RuntimeError("%s failed with status %d in %s" % (" ".join(args), result.returncode, prefix))


def make(path):
    """Makes a fresh prefix at PATH (replacing what is there)."""
    partial = os.path.abspath(path) + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    with open(partial + ".log", "w") as log:
        _wine_step(partial, ["wineboot", "--init"], log)
        # The null graphics driver lets windowed programs and message boxes
        # work without a display; it takes effect once the server restarts.
        _wine_step(partial, ["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null",
                             "/f"], log)
        # Wait until the server has saved the registry and ended.
        _wine_step(partial, ["wineserver", "--wait"], log)
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
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    if shutil.which("wine") is None:
        print("Wine is not installed: no template prefix (scripts/setup installs Wine)")
        return 77
    start = time.monotonic()
    made = ensure(argv[1])
    print("%s template prefix %s (%.1f s)" % ("made" if made else "reused", argv[1], time.monotonic() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

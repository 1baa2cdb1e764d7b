#!/usr/bin/env python3
"""A release signed with a throwaway certificate by scripts/release
--no-build, checked with the tools an operator has (osslsigncode verify,
sha256sum -c); a signed program is its build with the signature alone added.
Exit status 77 (skipped) when a tool is missing."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import pe  # noqa: E402
import rollout  # noqa: E402

SKIPPED = 77
TOOLS = ("openssl", "osslsigncode", "sha256sum")
UNSIGNED = {
    "dstpatch.exe": os.path.join(ROOT, "build", "mingw-x86", "dstpatch.exe"),
    "dstpatch-x64.exe": os.path.join(ROOT, "build", "mingw-x64", "dstpatch.exe"),
}
# Line ends of every kind, as an editor may leave them; the release stores CR LF.
README = b"dstpatch\n\nRun dstpatch.exe as administrator.\r\nThen read the run log.\n"
# The roll-out files: path in the release -> (source, whether it gets CR LF).
ROLLOUT = {target: (source, crlf) for source, target, crlf in rollout.FILES}
SHIPPED = sorted(["README.txt", "SHA256SUMS", "dstpatch-x64.exe", "dstpatch.exe"] + list(ROLLOUT))


def run(command, cwd=None):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode("utf-8", "replace")


class SignedReleaseTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="release-signed-")
        cls.cert = os.path.join(cls.dir, "cert.pem")
        key = os.path.join(cls.dir, "key.pem")
        status, text = run([
            "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cls.cert, "-days", "2",
            "-subj", "/CN=dstpatch test signing", "-addext", "extendedKeyUsage=codeSigning", "-addext",
            "keyUsage=critical,digitalSignature", "-addext", "basicConstraints=critical,CA:FALSE"
        ])
        assert status == 0, text
        readme = os.path.join(cls.dir, "README.txt")
        with open(readme, "wb") as f:
            f.write(README)
        out = os.path.join(cls.dir, "out")
        status, cls.release_output = run([
            sys.executable,
            os.path.join(ROOT, "scripts", "release"), "--no-build", "--out", out, "--readme", readme, "--cert", cls.cert,
            "--key", key
        ])
        print(cls.release_output, end="")
        assert status == 0, "scripts/release failed (%d)" % status
        version = pe.VersionInfo(os.environ["DSTPATCH_EXE"]).strings["040904b0"]["FileVersion"]
        cls.folder = os.path.join(out, "dstpatch-" + version)
        cls.zip = cls.folder + ".zip"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def shipped(self):
        return sorted(os.path.relpath(os.path.join(directory, name), self.folder).replace(os.sep, "/")
                      for directory, _, names in os.walk(self.folder) for name in names)

    def test_folder_holds_the_programs_readme_rollout_files_and_sums(self):
        self.assertEqual(self.shipped(), SHIPPED)
        self.assertNotIn("not signed", self.release_output)
        status, text = run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=self.folder)
        print(text, end="")
        self.assertEqual(status, 0, text)
        self.assertEqual(text, "".join("%s: OK\n" % name for name in SHIPPED if name != "SHA256SUMS"))
        with open(self.path("README.txt"), "rb") as f:
            self.assertEqual(f.read(), b"dstpatch\r\n\r\nRun dstpatch.exe as administrator.\r\nThen read the run log.\r\n")
        # The roll-out files with the shared code and this version put in;
        # those for Windows with CR LF line ends, the playbook (run on Linux)
        # with its own.
        version = os.path.basename(self.folder)[len("dstpatch-"):]
        for name, (source, crlf) in ROLLOUT.items():
            with self.subTest(name), open(self.path(name), "rb") as shipped:
                self.assertEqual(shipped.read(), rollout.shipped(source, version, crlf))
        # The operator's README names every file of the folder.
        with open(os.path.join(ROOT, "deploy", "README.txt"), "rb") as f:
            readme = f.read().decode("ascii").replace("\r\n", "\n").split("THE RELEASE FOLDER", 1)[1].split("\n\n")[0]
        for name in SHIPPED:
            with self.subTest(readme_names=name):
                self.assertIn(name.split("/")[0].replace("ansible", "ansible\\"), readme)

    def test_zip_holds_the_folder(self):
        with zipfile.ZipFile(self.zip) as archive:
            base = os.path.basename(self.folder) + "/"
            names = archive.namelist()
            self.assertEqual([name for name in names if not name.endswith("/")], [base + name for name in SHIPPED])
            self.assertEqual([name for name in names if name.endswith("/")], [base, base + "ansible/"])
            for name in names:
                if not name.endswith("/"):
                    with open(self.path(name[len(base):]), "rb") as f:
                        self.assertEqual(archive.read(name), f.read(), name)

    def test_signatures_verify_and_signing_added_nothing_else(self):
        for name, unsigned in UNSIGNED.items():
            with self.subTest(name):
                status, text = run(["osslsigncode", "verify", "-CAfile", self.cert, "-in", self.path(name)])
                print("osslsigncode verify %s:\n%s" % (name, text))
                self.assertEqual(status, 0, text)
                self.assertIn("Signature verification: ok", text)
                self.assertIn("Subject: /CN=dstpatch test signing", text)
                stripped = os.path.join(self.dir, "stripped-" + name)
                status, text = run(["osslsigncode", "remove-signature", "-in", self.path(name), "-out", stripped])
                self.assertEqual(status, 0, text)
                with open(stripped, "rb") as a, open(unsigned, "rb") as b:
                    self.assertTrue(a.read() == b.read(), "%s without its signature differs from %s" % (name, unsigned))


def main():
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        print("not installed: %s (scripts/setup installs them); skipped" % ", ".join(missing))
        return SKIPPED
    own = os.path.realpath(os.environ.get("DSTPATCH_EXE", ""))
    if own != os.path.realpath(UNSIGNED["dstpatch-x64.exe"]):
        print("this tree's dstpatch.exe (%s) is not the preset's, which scripts/release takes; skipped" % own)
        return SKIPPED
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(SignedReleaseTest)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

"""The download (scripts/package): this tree's zip, unpacked into a fresh directory, is the
program this tree tests, its README.txt is what Notepad shows right, and its qel.exe starts under
this tree's Wine (64-bit or 32-bit) with a port in a fresh qel.ini and answers `status`."""

import hashlib
import os
import re
import unittest
import zipfile

import harness
from harness import Session


def package_version():
    with open(os.path.join(harness.QEL_ROOT, "res", "qel.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "ProductVersion", "([^"]+)"', f.read()).group(1)


class PackageTest(unittest.TestCase):

    def setUp(self):
        self.name = "qel-%s-%s.zip" % (package_version(), harness.WINEARCH)
        self.path = os.path.join(harness.QEL_ROOT, "dist", self.name)
        if not os.path.exists(self.path):
            self.fail("%s is missing: scripts/package makes it" % self.path)

    def test_unpacked_program_answers_status_and_its_readme_and_sum_are_right(self):
        with open(self.path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(harness.QEL_ROOT, "dist", "SHA256SUMS"), encoding="ascii") as f:
            self.assertIn("%s  %s" % (digest, self.name), f.read().splitlines())

        with zipfile.ZipFile(self.path) as archive:
            self.assertEqual(archive.namelist(), ["qel.exe", "README.txt"])
            readme = archive.read("README.txt")
            with open(harness.QEL_EXE, "rb") as f:
                self.assertEqual(archive.read("qel.exe"), f.read(), "the zip holds another build than this tree's")

            self.assertTrue(readme.startswith(b"\xef\xbb\xbf"), "README.txt has no byte order mark")
            self.assertNotIn(b"\n", readme.replace(b"\r\n", b""), "a line of README.txt does not end in CRLF")
            text = readme.decode("utf-8-sig")
            self.assertLess(text.index("【日本語】"), text.index("[English]"))
            for needed in ("5963", "qel.ini", "telnet", "status", "shell:startup"):
                self.assertIn(needed, text)

            # The program from the zip, nothing else, in a directory of its own.
            with Session(start=False) as session:
                os.remove(session.exe)
                archive.extractall(session.dir)
                session.start()
                with session.client() as client:
                    self.assertEqual(client.command("status"), b"pause")


if __name__ == "__main__":
    unittest.main()

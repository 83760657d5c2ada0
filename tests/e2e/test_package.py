"""The download (scripts/package): this tree's zip, unpacked into a fresh directory, is the
program this tree tests, its README.txt is what Notepad shows right, and its qel.exe starts under
this tree's Wine (64-bit or 32-bit) with a port in a fresh qel.ini and answers `status`. The packed
qel.exe is stripped, marked terminal-server aware, and carries its manifest and every icon size,
which Wine would not miss but Windows does."""

import hashlib
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile

import harness
from harness import Session


def package_version():
    with open(os.path.join(harness.QEL_ROOT, "res", "qel.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "ProductVersion", "([^"]+)"', f.read()).group(1)


def resource_ids(prefix):
    """{name: id} of the resource.h identifiers starting with prefix (IDI_ for the icons)."""
    with open(os.path.join(harness.QEL_ROOT, "res", "resource.h"), encoding="utf-8") as f:
        return {name: int(value) for name, value in re.findall(r"#define (%s\w+) (\d+)" % prefix, f.read())}


RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE = 0x8000
# The images each icon group must hold: (side, bits per pixel).
ICON_IMAGES = {(32, 4)} | {(side, 32) for side in (16, 20, 24, 32, 40, 48, 256)}
# Every function qel.exe may import, as dll!function: each one confirmed in Microsoft's
# documentation to exist on Windows XP SP3. A function newer than that is looked up at run time.
XP_IMPORTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "xp_imports.txt")
# Each download's objdump, from the MinGW binutils.
OBJDUMP = {"win64": "x86_64-w64-mingw32-objdump", "win32": "i686-w64-mingw32-objdump"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class PeImage:
    """What the test reads of a Windows executable: its header's flags, its sections (long names
    resolved through the COFF string table, where the linker puts ".debug_info" and the like) and
    its resources by type, id and language."""

    def __init__(self, data):
        self.data = data
        header = struct.unpack_from("<I", data, 0x3C)[0]
        if data[header:header + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        count, self.timestamp, symbols, self.symbol_count, optional_size = struct.unpack_from(
            "<2xHIIIH", data, header + 4)
        optional = header + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        strings = symbols + 18 * self.symbol_count
        self.sections = []  # (name, virtual address, virtual size, file offset, bytes in the file)
        for index in range(count):
            raw, virtual_size, address, raw_size, pointer = struct.unpack_from(
                "<8sIIII", data, optional + optional_size + 40 * index)
            name = raw.rstrip(b"\0").decode("ascii")
            if name.startswith("/") and symbols:
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode("ascii")
            self.sections.append((name, address, virtual_size, pointer, raw_size))

    def section(self, name):
        """A section's contents as the image loads them (without the file's padding)."""
        for found, _, virtual_size, pointer, raw_size in self.sections:
            if found == name:
                return self.data[pointer:pointer + min(virtual_size, raw_size)]
        return None

    def read(self, rva, size):
        for _, address, virtual_size, pointer, _ in self.sections:
            if address <= rva < address + virtual_size:
                return self.data[pointer + rva - address:pointer + rva - address + size]
        raise ValueError("address 0x%x is in no section" % rva)

    def resources(self):
        """{(type, id): {language: bytes}}; named entries keep their high bit set."""
        base = self.resource_rva

        def entries(offset):
            named, ids = struct.unpack_from("<HH", self.read(base + offset + 12, 4))
            for index in range(named + ids):
                yield struct.unpack_from("<II", self.read(base + offset + 16 + 8 * index, 8))

        found = {}
        for kind, types in entries(0):
            for ident, names in entries(types & 0x7FFFFFFF):
                for language, leaf in entries(names & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.read(base + leaf, 8))
                    found.setdefault((kind, ident), {})[language] = self.read(rva, size)
        return found


def xp_imports():
    with open(XP_IMPORTS, encoding="ascii") as f:
        return {line.strip().lower() for line in f if line.strip() and not line.startswith("#")}


def imports(objdump, exe_bytes):
    """{dll!function} that the executable imports, its dll names in lower case."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "qel.exe")
        with open(path, "wb") as f:
            f.write(exe_bytes)
        text = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True,
                              timeout=120).stdout
    found = set()
    dll = None
    for line in text.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        # "\t<hint> <name>" (or "<ordinal> <hint> <name>" in newer binutils) under a DLL's table.
        entry = re.match(r"\s+(?:[0-9a-fA-F]+\s+)?[0-9a-fA-F]+\s+([A-Za-z_][\w@]*)\s*$", line)
        if line and not line[0].isspace():
            dll = None  # the next part of the dump: the import tables have ended
        elif dll is not None and entry:
            found.add("%s!%s" % (dll, entry.group(1).lower()))
    return found


class ImportsTest(unittest.TestCase):

    def test_both_downloads_import_only_what_windows_xp_sp3_has(self):
        allowed = xp_imports()
        for arch, objdump in sorted(OBJDUMP.items()):
            with self.subTest(arch=arch):
                if shutil.which(objdump) is None:
                    self.fail("%s is missing: install binutils-mingw-w64" % objdump)
                path = os.path.join(harness.QEL_ROOT, "dist", "qel-%s-%s.zip" % (package_version(), arch))
                with zipfile.ZipFile(path) as archive:
                    found = imports(objdump, archive.read("qel.exe"))
                self.assertTrue(any(name.startswith("kernel32.dll!") for name in found),
                                "no imports read from %s's qel.exe" % arch)
                self.assertEqual(sorted(found - allowed), [],
                                 "imports not confirmed for Windows XP SP3 (look each up, then add it to %s, "
                                 "or load it at run time)" % os.path.basename(XP_IMPORTS))


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
            # The zip holds this tree's build, stripped: every section but the debug ones the same.
            packed = PeImage(archive.read("qel.exe"))
            with open(harness.QEL_EXE, "rb") as f:
                built = PeImage(f.read())
            for name, *_ in built.sections:
                if not name.startswith(".debug_"):
                    self.assertEqual(packed.section(name), built.section(name),
                                     "section %s: the zip holds another build than this tree's" % name)

            self.assertTrue(readme.startswith(b"\xef\xbb\xbf"), "README.txt has no byte order mark")
            self.assertNotIn(b"\n", readme.replace(b"\r\n", b""), "a line of README.txt does not end in CRLF")
            text = readme.decode("utf-8-sig")
            self.assertLess(text.index("【日本語】"), text.index("[English]"))
            for needed in ("5963", "qel.ini", "telnet", "status", "shell:startup", "profile=private", "Run anyway"):
                self.assertIn(needed, text)

            # The program from the zip, nothing else, in a directory of its own.
            with Session(start=False) as session:
                os.remove(session.exe)
                archive.extractall(session.dir)
                session.start()
                with session.client() as client:
                    self.assertEqual(client.command("status"), b"pause")

    def test_packed_program_is_stripped_terminal_server_aware_with_its_manifest_and_icons(self):
        with zipfile.ZipFile(self.path) as archive:
            image = PeImage(archive.read("qel.exe"))
        self.assertEqual([name for name, *_ in image.sections if name.startswith(".debug")], [])
        self.assertEqual(image.symbol_count, 0, "the packed qel.exe keeps its symbol table")
        self.assertEqual(image.timestamp, 0, "the packed qel.exe carries a link time")
        self.assertTrue(image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE,
                        "DllCharacteristics 0x%04x lacks TERMINAL_SERVER_AWARE" % image.dll_characteristics)
        resources = image.resources()

        # Windows refuses to start a program whose manifest does not parse ("side-by-side
        # configuration is incorrect"), and passes over a setting in the wrong namespace; Wine
        # does neither, so the test reads it as Windows would.
        manifests = resources.get((RT_MANIFEST, 1), {})
        self.assertEqual(len(manifests), 1, "qel.exe needs one manifest, resource 1 of type RT_MANIFEST")
        manifest = ElementTree.fromstring(next(iter(manifests.values())))
        self.assertEqual(manifest.tag, ASM_V1 + "assembly")
        self.assertIsNotNone(manifest.find(ASM_V1 + "assemblyIdentity"))
        controls = manifest.find("%sdependency/%sdependentAssembly/%sassemblyIdentity" % (ASM_V1, ASM_V1, ASM_V1))
        self.assertEqual((controls.get("name"), controls.get("version")),
                         ("Microsoft.Windows.Common-Controls", "6.0.0.0"))
        level = manifest.find("%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                              % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        compatibility = "{urn:schemas-microsoft-com:compatibility.v1}supportedOS"
        supported = {entry.get("Id") for entry in manifest.iter(compatibility)}
        self.assertEqual(len(supported), 5, "Vista, 7, 8, 8.1 and 10/11")
        settings = manifest.find("%sapplication/%swindowsSettings" % (ASM_V3, ASM_V3))
        self.assertEqual(settings.findtext("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness"),
                         "PerMonitorV2, System")
        self.assertEqual(settings.findtext("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware"),
                         "true")

        # Both pictures at every size the shell asks for, each image where its group says.
        for name, ident in sorted(resource_ids("IDI_").items()):
            groups = resources.get((RT_GROUP_ICON, ident), {})
            self.assertEqual(len(groups), 1, "%s has no icon group" % name)
            group = next(iter(groups.values()))
            count = struct.unpack_from("<H", group, 4)[0]
            images = set()
            for index in range(count):
                width, _, _, _, _, bits, size, image_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
                side = width or 256
                images.add((side, bits))
                data = next(iter(resources.get((RT_ICON, image_id), {None: b""}).values()))
                self.assertEqual(len(data), size, "%s: the %d px image is not where its group says" % (name, side))
                if side == 256:
                    self.assertTrue(data.startswith(b"\x89PNG"), "%s: the 256 px image is not a PNG" % name)
                else:
                    self.assertEqual(struct.unpack_from("<iiHH", data, 4), (side, 2 * side, 1, bits),
                                     "%s: the %d px image's header" % (name, side))
            self.assertEqual(images, ICON_IMAGES, name)


if __name__ == "__main__":
    unittest.main()

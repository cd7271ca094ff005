"""The win_amd64 wheel tools/build_wheel.py makes from a Windows executable:
keelbox.exe alone in the scripts, and a refusal for an executable that needs
a DLL Windows does not ship. The executables are small programs built here
with the mingw-w64 cross compiler."""
from __future__ import annotations

import base64
import csv
import hashlib
import io
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_WHEEL = SOURCE_DIR / "tools" / "build_wheel.py"
CROSS_CC = "x86_64-w64-mingw32-gcc-posix"
PROGRAM = "#include <stdio.h>\n#include <zlib.h>\nint main(void) { puts(zlibVersion()); return 0; }\n"


@unittest.skipUnless(shutil.which(CROSS_CC), f"{CROSS_CC} is not installed")
class WindowsWheel(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="keelbox-winwheel-"))
        self.addCleanup(shutil.rmtree, self.tmp)
        (self.tmp / "prog.c").write_text(PROGRAM)

    def cross_build(self, name: str, *flags: str) -> Path:
        exe = self.tmp / name
        subprocess.run([CROSS_CC, str(self.tmp / "prog.c"), "-o", str(exe), *flags, "-lz"], check=True)
        return exe

    def build_wheel(self, exe: Path) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, str(BUILD_WHEEL), "--exe", str(exe), "--version", "1.2.3",
                               "--out-dir", str(self.tmp / "out")], capture_output=True, text=True)

    def test_a_static_executable_is_the_whole_wheel(self):
        exe = self.cross_build("keelbox.exe", "-static")
        result = self.build_wheel(exe)
        self.assertEqual(result.returncode, 0, result.stderr)
        wheels = list((self.tmp / "out").glob("*.whl"))
        self.assertEqual([w.name for w in wheels], ["keelbox-1.2.3-py3-none-win_amd64.whl"])
        with zipfile.ZipFile(wheels[0]) as zf:
            names = sorted(zf.namelist())
            self.assertEqual(names, ["keelbox-1.2.3.data/scripts/keelbox.exe",
                                     "keelbox-1.2.3.dist-info/METADATA",
                                     "keelbox-1.2.3.dist-info/RECORD",
                                     "keelbox-1.2.3.dist-info/WHEEL"])
            self.assertEqual(zf.read("keelbox-1.2.3.data/scripts/keelbox.exe"), exe.read_bytes())
            self.assertIn("Tag: py3-none-win_amd64\n", zf.read("keelbox-1.2.3.dist-info/WHEEL").decode())
            rows = list(csv.reader(io.StringIO(zf.read("keelbox-1.2.3.dist-info/RECORD").decode())))
            for name, digest, size in rows:
                if name.endswith("/RECORD"):
                    continue
                data = zf.read(name)
                expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
                self.assertEqual((digest, int(size)), (f"sha256={expected}", len(data)), name)

    def test_an_executable_needing_a_foreign_dll_is_refused(self):
        exe = self.cross_build("keelbox.exe")  # zlib from zlib1.dll
        result = self.build_wheel(exe)
        self.assertEqual(result.returncode, 1)
        self.assertIn("zlib1.dll", result.stderr)
        self.assertEqual(list((self.tmp / "out").glob("*.whl")), [])


if __name__ == "__main__":
    unittest.main()

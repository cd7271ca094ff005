"""Libraries opened on first use (libcurl, libarchive): a run that needs
a missing one says which, and a run that does not need it is not affected.

The library is hidden as a user would lose it, without anything in the tool
knowing about tests: inside a private mount namespace (`unshare --mount`,
needs root) an empty file is bind-mounted over the library's file, so the
system's loader finds it but cannot load it."""
from __future__ import annotations

import ctypes
import shutil
import subprocess
import unittest
from pathlib import Path

from harness import ToolTestCase
from sandbox_cloud import Sandbox

PREFIX = "Error: The shared library "


def library_file(soname: str) -> Path | None:
    """The file the system's loader opens for `soname` (loaded into this
    process and looked up in its memory map)."""
    try:
        ctypes.CDLL(soname)
    except OSError:
        return None
    with open("/proc/self/maps", encoding="utf-8") as maps:
        for line in maps:
            path = line.split(maxsplit=5)[-1].strip()
            if Path(path).name.startswith(soname):
                return Path(path)
    return None


def hiding_allowed() -> str | None:
    """Why hiding a library is impossible here, or None."""
    if shutil.which("unshare") is None:
        return "the unshare command is missing"
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        return f"unshare --mount is not permitted here: {probe.stderr.strip()}"
    return None


class MissingLibraryTest(ToolTestCase):
    def setUp(self) -> None:
        super().setUp()
        reason = hiding_allowed()
        if reason:
            print(f"skipped: {reason}")
            self.skipTest(reason)
        self.empty = self.user.root / "empty-library"
        self.empty.write_bytes(b"")

    def run_without(self, soname: str, args, env=None) -> subprocess.CompletedProcess:
        path = library_file(soname)
        if path is None:
            self.skipTest(f"{soname} is not in the loader's cache")
        environ = self.user.environ()
        environ.update(env or {})
        script = 'mount --bind "$1" "$2" && shift 2 && exec "$@"'
        return subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", str(self.empty), str(path),
                               str(self.tool.exe), *args],
                              capture_output=True, text=True, env=environ, timeout=120)

    def test_a_missing_library_is_named_only_by_the_runs_that_need_it(self):
        self.write_profile()
        cloud = Sandbox({"entitlements": [{"name": "Sample", "code": "ENT_ZVK_SAMPLE_APP", "packages": ["zvk-sample-app"],
                                           "required_entitlements": []}],
                         "packages": [{"key": "zvk-sample-app"}, {"key": "zvk-sample-app-examples"}]})
        cloud.start()
        self.addCleanup(cloud.stop)
        cloud.add_example("zvk_sample_app", {"README.md": "sample\n"})
        dest = self.user.root / "dl"
        dest.mkdir()
        cases = [
            # (hidden library, command, its purpose)
            ("libcurl.so.4", ["modules"], "network transfers"),
            ("libcurl.so.4", ["download-examples", "--download-dir", str(dest)], "network transfers"),
            ("libarchive.so.13", ["download-examples", "--download-dir", str(dest)], "unpacking archives"),
        ]
        for soname, args, purpose in cases:
            with self.subTest(library=soname, args=args):
                r = self.run_without(soname, args, env=cloud.env)
                self.assertEqual(r.returncode, 1, r)
                last = r.stderr.splitlines()[-1] if r.stderr else ""
                self.assertTrue(last.startswith(f"{PREFIX}{soname}, needed for {purpose}, could not be loaded: "),
                                r.stderr)
                self.assertIn("file too short", last)
                self.assertEqual(list(dest.iterdir()), [])  # nothing unpacked
                # Runs that need neither library are not affected by its loss.
                for quiet in (["--version"], ["--help"]):
                    r = self.run_without(soname, quiet)
                    self.assertEqual(r.returncode, 0, r)
                    self.assertEqual(r.stderr, "")


if __name__ == "__main__":
    unittest.main()

"""The tool's own files on the user's machine: what stands in their place, what
they may hold, and the running process that holds the secrets."""
from __future__ import annotations

import os
import select
import subprocess
import time
import unittest
from pathlib import Path

from harness import ToolTestCase

NOBODY = 65534


class OddLocalFiles(ToolTestCase):
    def test_a_fifo_as_keelbox_toml_is_refused_without_waiting(self):
        self.user.config_dir.mkdir(parents=True)
        os.mkfifo(self.user.config_file)
        for args in (["--version"], ["init", "--token-id", "a", "--token", "b"]):
            with self.subTest(args=args):
                r = self.keelbox(*args, timeout=20)
                self.assertEqual(r.returncode, 1, r)
                self.assertEqual(r.stderr, f"keelbox: FileSystemError: Cannot read '{self.user.config_file}': "
                                           "it is a FIFO, not a regular file\n")

    def test_a_folder_in_place_of_the_cache_is_named(self):
        self.write_profile()
        cache = self.user.cache_dir / "cache.sqlite"
        cache.mkdir(parents=True)
        r = self.keelbox("modules", timeout=30)
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(r.stderr.splitlines()[-1],
                         f"keelbox: DatabaseError: Cannot open the cache '{cache}': it is a folder")
        self.assertTrue(cache.is_dir())

    def test_a_value_that_is_not_utf8_is_named(self):
        self.write_profile()
        before = self.user.config_file.read_bytes()
        # "\udcff" reaches the tool as the single byte 0xFF.
        r = self.keelbox("init", "--token-id", "id-\udcff", "--token", "s")
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(r.stderr, "Error: The token id is not valid UTF-8 text and cannot be stored "
                                   "in keelbox.toml.\n")
        self.assertNotIn("TOML", r.stdout)
        self.assertNotEqual(self.user.config_file.read_bytes(), before)  # init empties the folder first


class ProcessMemory(ToolTestCase):
    def test_the_running_tool_is_not_dumpable(self):
        # The kernel gives the files in /proc/<pid> of a non-dumpable process
        # to root, so the tool runs as an ordinary user and waits at its
        # first prompt.
        env = self.user.environ()
        extra = {}
        if os.geteuid() == 0:
            extra = {"user": NOBODY, "group": NOBODY, "extra_groups": []}
            os.chmod(self.tool.root, 0o755)
            os.chmod(self.user.root, 0o755)
            self.let_nobody_find_the_interpreter()
            for name in ("home", "xdg-config", "xdg-data", "xdg-cache"):
                folder = self.user.root / name
                folder.mkdir(exist_ok=True)
                os.chown(folder, NOBODY, NOBODY)
        proc = subprocess.Popen([str(self.tool.exe), "init"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, **extra)
        try:
            shown = b""
            deadline = time.monotonic() + 30
            while b"Enter your token id" not in shown:
                self.assertLess(time.monotonic(), deadline, shown)
                ready, _, _ = select.select([proc.stdout, proc.stderr], [], [], 0.1)
                for stream in ready:
                    chunk = os.read(stream.fileno(), 4096)
                    self.assertTrue(chunk, f"the tool ended: {shown!r} {proc.poll()}")
                    shown += chunk
            owner = os.stat(f"/proc/{proc.pid}/environ").st_uid
        finally:
            proc.kill()
            proc.communicate()
        self.assertEqual(owner, 0)

    def let_nobody_find_the_interpreter(self) -> None:
        """The environment's python may live where only root can go (a
        root-only pyenv); the tool only needs it to exist beside itself."""
        python = self.tool.venv / "bin" / "python3"
        if subprocess.run(["test", "-e", str(python)], user=NOBODY).returncode == 0:
            return
        system = Path("/usr/bin/python3")
        if not system.exists():
            self.skipTest(f"no interpreter an ordinary user can reach (only {python.resolve()})")
        python.unlink()
        python.symlink_to(system)


if __name__ == "__main__":
    unittest.main()

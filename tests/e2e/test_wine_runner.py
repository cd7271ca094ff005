"""The wine runner and the Windows uv stand-in: command lines, environment
variables, exit statuses and output reach the test exactly."""
from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import wine

from wine import (WindowsUser, can_build_tools, run_windows, tool_exe, wine_missing,
                  windows_path)

_missing = wine_missing() or can_build_tools()

# Arguments that need quoting on a Windows command line, or carry text beyond ASCII.
ARGUMENTS = [
    "plain",
    "with space",
    "",
    'q"uote',
    '"',
    "back\\slash",
    "trailing\\",
    "trailing\\\\",
    'slash before quote\\"',
    "\\\\server\\share\\",
    "tab\there",
    "ünïcödé ☃ 𝄞",
    "%PATH% ^& | < > !x!",
    "--index-url=https://x/simple/",
]


@unittest.skipIf(_missing, f"no wine for Windows programs: {_missing}")
class WineRunnerTest(unittest.TestCase):
    def setUp(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="keelbox-wine-"))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.uv = tool_exe("uv")
        self.log = self.root / "ünï log.jsonl"
        self.state = self.root / "state.txt"
        self.state.write_text("available zvk-sample-app 1.4.0 zvk-sample-utils>=0.2.0\n"
                              "available zvk-sample-utils 0.2.0\n"
                              "available numpy 1.26.4\n"
                              "installed zvk-sample-app 1.3.0\n")
        self.venv = self.root / "target env"

    def env(self, **extra) -> dict:
        return {"UV_STANDIN_LOG": windows_path(self.log),
                "UV_STANDIN_STATE": windows_path(self.state),
                "VIRTUAL_ENV": windows_path(self.venv), **extra}

    def records(self) -> list[dict]:
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text("utf-8").splitlines()]

    def test_arguments_arrive_exactly_with_and_without_the_environment_helper(self):
        for windows_env in (None, {"USERPROFILE": "Z:\\p"}):
            with self.subTest(helper=bool(windows_env)):
                self.log.unlink(missing_ok=True)
                r = run_windows(self.uv, ["pip", "check", *ARGUMENTS], env=self.env(),
                                windows_env=windows_env)
                self.assertEqual(r.returncode, 2, r)
                self.assertEqual(r.stderr, "error: unsupported command line\n")
                [record] = self.records()
                self.assertEqual(record["program"], "uv")
                self.assertEqual(record["argv"], ["pip", "check", *ARGUMENTS])

    def test_environment_arrives(self):
        names = "USERPROFILE;LOCALAPPDATA;WITH_ENV__USERPROFILE;ZVK_TEST_VALUE;HOME"
        user = WindowsUser(self.root / "user ü")
        cases = [
            # (windows_env, USERPROFILE expected, LOCALAPPDATA expected)
            (user.windows_env(), windows_path(user.profile), windows_path(user.local_app_data)),
            # Without the helper wine's own profile wins over anything given from Unix.
            (None, None, None),
            # The helper removes what it is told to.
            ({"LOCALAPPDATA": None, "USERPROFILE": None}, "unset", "unset"),
        ]
        for windows_env, profile, local in cases:
            with self.subTest(helper=bool(windows_env)):
                self.log.unlink(missing_ok=True)
                env = self.env(UV_STANDIN_LOG_ENV=names, ZVK_TEST_VALUE="a;b=c ü",
                               USERPROFILE="Z:\\ignored", CONDA_PREFIX="Z:\\conda")
                r = run_windows(self.uv, ["pip", "show", "numpy"], env=env, windows_env=windows_env)
                self.assertEqual(r.returncode, 1, r)
                [record] = self.records()
                self.assertEqual(record["virtual_env"], windows_path(self.venv))
                self.assertEqual(record["conda_prefix"], "Z:\\conda")
                seen = record["env"]
                self.assertEqual(seen["ZVK_TEST_VALUE"], "a;b=c ü")
                self.assertIsNone(seen["WITH_ENV__USERPROFILE"])  # the carrier is gone
                if profile is None:
                    self.assertNotEqual(seen["USERPROFILE"], "Z:\\ignored")
                    self.assertTrue(seen["USERPROFILE"].startswith("C:\\users\\"), seen)
                elif profile == "unset":
                    self.assertEqual((seen["USERPROFILE"], seen["LOCALAPPDATA"]), (None, None))
                else:
                    self.assertEqual((seen["USERPROFILE"], seen["LOCALAPPDATA"]), (profile, local))

    def test_exit_statuses(self):
        # (status the program ends with, status the test sees)
        cases = [(0, 0), (1, 1), (2, 2), (255, 255), (300, 44), (256, 1), (0xC0000005, 5)]
        for helper in (None, {"USERPROFILE": "Z:\\p"}):
            for status, seen in cases:
                with self.subTest(status=status, helper=bool(helper)):
                    r = run_windows(self.uv, ["pip"], env=self.env(UV_STANDIN_EXIT=str(status)),
                                    windows_env=helper)
                    self.assertEqual(r.returncode, seen, r)

    def test_as_a_command(self):
        # As CMake's emulator for Windows test programs: output, status, and
        # the caller's own variables pass.
        r = subprocess.run([sys.executable, str(Path(wine.__file__)), str(self.uv), "pip", "show",
                            "zvk-sample-app"], capture_output=True, timeout=120,
                           env={**os.environ, **self.env()})
        self.assertEqual((r.returncode, r.stderr), (0, b""), r)
        self.assertTrue(r.stdout.startswith(b"Name: zvk-sample-app\nVersion: 1.3.0\n"), r)
        r = subprocess.run([sys.executable, str(Path(wine.__file__)), str(self.uv)],
                           capture_output=True, timeout=120, env={**os.environ, **self.env()})
        self.assertEqual((r.returncode, r.stdout, r.stderr),
                         (2, b"", b"error: unsupported command line\n"))

    def test_missing_program(self):
        r = run_windows(self.root / "missing.exe", [])
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("missing.exe", r.stderr)
        r = run_windows(self.root / "missing.exe", [], windows_env={"USERPROFILE": "Z:\\p"})
        self.assertEqual(r.returncode, 127, r)

    def test_stand_in_answers_from_its_state(self):
        index = ["--index-url", "https://pip.example/simple/"]
        install = ["pip", "install", "zvk-sample-app", "numpy", "--upgrade-package",
                   "zvk-sample-app", "--upgrade-package", "numpy", *index]
        cases = [
            # (argv, status, stdout, stderr)
            (["pip", "show", "zvk-sample-app"], 0,
             "Name: zvk-sample-app\nVersion: 1.3.0\nLocation: "
             + windows_path(self.venv) + "\\Lib\\site-packages\nRequires: \nRequired-by: \n", ""),
            (["pip", "show", "Zvk_Sample.App"], 0, None, ""),
            (["pip", "show", "numpy"], 1, "", "warning: Package(s) not found for: numpy\n"),
            ([*install, "--dry-run"], 0,
             "Would install zvk-sample-app-1.4.0 numpy-1.26.4 zvk-sample-utils-0.2.0\n", ""),
            (["pip", "install", "zvk-sample-app", *index, "--dry-run"], 0,
             "Requirement already satisfied: zvk-sample-app\n"
             "Would install zvk-sample-utils-0.2.0\n", ""),
            (install, 0, "Successfully installed zvk-sample-app-1.4.0 numpy-1.26.4 "
                         "zvk-sample-utils-0.2.0\n", ""),
            (["pip", "show", "zvk-sample-app"], 0, None, ""),
            (["pip", "install", "no-such", *index], 1, "", None),
            (["pip", "install", "numpy"], 2, "", "error: the stand-in needs --index-url\n"),
            (["pip", "install", "-x", *index], 2, "", "error: unexpected argument '-x'\n"),
            (["--version"], 2, "", "error: unsupported command line\n"),
        ]
        for argv, status, out, err in cases:
            with self.subTest(argv=argv):
                r = run_windows(self.uv, argv, env=self.env())
                self.assertEqual(r.returncode, status, r)
                if out is not None:
                    self.assertEqual(r.stdout, out)
                if err is not None:
                    self.assertEqual(r.stderr, err)
        self.assertIn("installed zvk-sample-app 1.4.0\n", self.state.read_text())
        self.assertIn("installed numpy 1.26.4\n", self.state.read_text())
        self.assertEqual(len(self.records()), len(cases))

    def test_requirements_file_and_python_stand_in(self):
        reqs = self.root / "req s.txt"
        reqs.write_text("numpy>=1.26  # pinned\r\n\r\n  # comment\r\n")
        r = run_windows(self.uv, ["pip", "install", "--index-url", "u", "--dry-run",
                                  "-r", windows_path(reqs)], env=self.env())
        self.assertEqual((r.returncode, r.stdout), (0, "Would install numpy-1.26.4\n"), r)
        python = self.root / "python.exe"
        shutil.copy(self.uv, python)
        r = run_windows(python, ["-c", "import sys"], env=self.env())
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(self.records()[-1]["program"], "python")
        self.assertEqual(self.records()[-1]["argv"], ["-c", "import sys"])


if __name__ == "__main__":
    unittest.main()

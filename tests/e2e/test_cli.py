"""The command tree and the entry: help, version, usage errors, exit statuses,
the first-run notice and the interpreter check."""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import time
import unittest
from pathlib import Path

from harness import VERSION, ToolTestCase, run

NOTICE = "No user profile found in the config.\nPlease run keelbox init.\n\n"
UNSUPPORTED = ("Python version ({}, {}) is not supported. Supported versions are: "
               "[(3, 10), (3, 11), (3, 12), (3, 13), (3, 14)]")

ROOT_HELP = """\
Usage: keelbox [OPTIONS] COMMAND [ARGS]...

  The ZVK Numerics CLI tool for managing ZVK software modules.

Options:
  --version  Show the version and exit.
  --info     Display ZVK Numerics CLI tool information and exit.
  --help     Show this message and exit.

Commands:
  download-examples  Download Keelbox examples for your modules.
  init               Initialize Keelbox.
  install            Install Keelbox modules and packages.
  modules            Show your available Keelbox modules and...
"""


class HelpAndVersion(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write_profile()

    def test_no_arguments_and_help_print_the_root_help(self):
        for args in ([], ["--help"], ["--info", "--help"], ["--help", "nosuch"]):
            with self.subTest(args=args):
                r = self.keelbox(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, ROOT_HELP, ""))

    def test_version_and_help_act_in_command_line_order(self):
        version = f"keelbox, version {VERSION}\n"
        for args, out in ((["--version"], version), (["--version", "--help"], version),
                          (["--help", "--version"], ROOT_HELP), (["--info", "--version"], version)):
            with self.subTest(args=args):
                r = self.keelbox(*args)
                self.assertEqual((r.returncode, r.stdout), (0, out))

    def test_version_names_the_program_as_started(self):
        link = self.user.root / "kb"
        link.symlink_to(self.tool.exe)
        r = run(link, ["--version"], self.user)
        self.assertEqual(r.stdout, f"kb, version {VERSION}\n")

    def test_command_help_screens(self):
        r = self.keelbox("install", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(
            "Usage: keelbox install [OPTIONS] [NAMES]...\n\n  Install Keelbox modules and packages.\n"))
        self.assertIn("Options:\n  -y, --yes                Confirm installation without prompting.\n"
                      "  -r, --requirements FILE  Path to a requirements file.\n"
                      "  --help                   Show this message and exit.\n", r.stdout)
        r = self.keelbox("init", "--help")
        self.assertTrue(r.stdout.endswith(
            "Options:\n  --token-id TEXT\n  --token TEXT\n  --cloud-environment TEXT\n"
            "  --help                    Show this message and exit.\n"), r.stdout)
        r = self.keelbox("download-examples", "--help")
        self.assertIn("  -m, --modules TEXT   Download examples for a specific module. Can be used\n"
                      "                       multiple times.\n", r.stdout)
        self.assertIn("  --list-available     List available examples.\n", r.stdout)

    def test_help_follows_a_narrow_terminal(self):
        r = self.keelbox_tty("download-examples", "--help", columns=60)
        for line in r.stdout.splitlines():
            self.assertLessEqual(len(line), 58, line)
        r = self.keelbox("--help", env={"COLUMNS": "200"})
        self.assertEqual(r.stdout, ROOT_HELP)


class UsageErrors(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write_profile()

    def test_usage_errors_end_with_status_2(self):
        root = "Usage: keelbox [OPTIONS] COMMAND [ARGS]...\nTry 'keelbox --help' for help.\n\n"
        install = ("Usage: keelbox install [OPTIONS] [NAMES]...\n"
                   "Try 'keelbox install --help' for help.\n\n")
        cases = [
            (["-h"], root + "Error: No such option: -h\n"),
            (["--help", "-h"], root + "Error: No such option: -h\n"),
            (["foo"], root + "Error: No such command 'foo'.\n"),
            (["install", "-h"], install + "Error: No such option: -h\n"),
            (["install", "--yes=1"], install + "Error: Option '--yes' does not take a value.\n"),
            (["install", "-r"], install + "Error: Option '-r' requires an argument.\n"),
            (["init", "--token"], "Usage: keelbox init [OPTIONS]\nTry 'keelbox init --help' for help.\n\n"
                                  "Error: Option '--token' requires an argument.\n"),
            (["modules", "extra"], "Usage: keelbox modules [OPTIONS]\n"
                                   "Try 'keelbox modules --help' for help.\n\n"
                                   "Error: Got unexpected extra argument (extra)\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                r = self.keelbox(*args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (2, "", err))

    def test_requirements_path_checked_when_parsing(self):
        folder = self.user.root / "reqs-dir"
        folder.mkdir()
        r = self.keelbox("install", "-r", str(folder))
        self.assertEqual(r.returncode, 2)
        self.assertTrue(r.stderr.endswith(
            f"Error: Invalid value for '-r' / '--requirements': File '{folder}' is a directory.\n"))
        unreadable = self.user.root / "secret.txt"
        unreadable.write_text("a\n")
        unreadable.chmod(0)
        with self.subTest("an unreadable file"):
            if os.access(unreadable, os.R_OK):
                self.skipTest("root reads every file; the parser's unit test checks it as "
                              "an ordinary user")
            r = self.keelbox("install", "--requirements", str(unreadable))
            self.assertEqual(r.returncode, 2)
            self.assertIn("is not readable.", r.stderr)

    def test_missing_requirements_file_fails_in_the_handler(self):
        r = self.keelbox("install", "a", "-r", str(self.user.root / "missing.txt"))
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, "")
        self.assertIn("No such file or directory", r.stderr)
        self.assertIn("missing.txt", r.stderr)
        self.assertNotIn("Usage:", r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)


class Entry(ToolTestCase):
    def test_first_run_prints_the_notice_for_every_command_line(self):
        for args in ([], ["--help"], ["--version"], ["modules", "--help"], ["-h"]):
            with self.subTest(args=args):
                shutil.rmtree(self.user.root / "xdg-config", ignore_errors=True)
                r = self.keelbox(*args)
                self.assertTrue(r.stdout.startswith(NOTICE), r)
                self.assertTrue(self.user.config_file.is_file())
                self.assertEqual(self.user.config_file.read_bytes(), b"")
                self.assertEqual(self.user.config_file.stat().st_mode & 0o777, 0o600)

    def test_notice_on_a_terminal_is_coloured(self):
        r = self.keelbox_tty("--version")
        self.assertIn("Please run \x1b[33mkeelbox init\x1b[0m.\n", r.stdout)

    def test_profile_that_does_not_validate_gives_the_notice(self):
        for env in ("Cloud", "staging", ""):
            with self.subTest(env=env):
                self.write_profile(env=env)
                r = self.keelbox("--version")
                self.assertEqual((r.returncode, r.stdout), (0, NOTICE + f"keelbox, version {VERSION}\n"))
        self.write_profile(env="dev.cloud")
        self.assertEqual(self.keelbox("--version").stdout, f"keelbox, version {VERSION}\n")

    def test_invalid_toml_stops_every_command(self):
        self.user.config_dir.mkdir(parents=True)
        self.user.config_file.write_text("[profile\ntoken_id = 'x'\n")
        for args in ([], ["--help"], ["--version"], ["init", "--token-id", "a", "--token", "b"],
                     ["modules"], ["install", "x"], ["download-examples", "--list-available"]):
            with self.subTest(args=args):
                r = self.keelbox(*args)
                self.assertEqual((r.returncode, r.stdout), (1, ""))
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn("ParseError", r.stderr)
                self.assertNotIn("Error: ", r.stderr[:7])
        self.assertEqual(self.user.config_file.read_text(), "[profile\ntoken_id = 'x'\n")

    def test_closed_standard_output_ends_with_status_1_quietly(self):
        self.write_profile()
        for args in (["--help"], ["--version"], ["install", "--help"]):
            with self.subTest(args=args):
                read_end, write_end = os.pipe()
                os.close(read_end)
                try:
                    proc = subprocess.run([str(self.tool.exe), *args], stdout=write_end,
                                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                          env=self.user.environ(), timeout=60)
                finally:
                    os.close(write_end)
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(proc.stderr, b"")

    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_output_that_cannot_be_written_is_a_failure(self):
        # A full disk behind a redirect: the output is lost, so the run must
        # not end as a success.
        self.write_profile()
        for args in (["--version"], ["--help"], ["init", "--token-id", "a", "--token", "b"]):
            with self.subTest(args=args):
                with open("/dev/full", "wb") as full:
                    proc = subprocess.run([str(self.tool.exe), *args], stdout=full,
                                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                          env=self.user.environ(), timeout=60)
                self.assertEqual(proc.returncode, 1)
                self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                self.assertIn(b"No space left on device", proc.stderr)

    def test_closed_standard_streams_are_not_taken_by_the_tool_s_files(self):
        # Started with standard output and error closed, the tool's messages
        # go nowhere: they must not end up in a file it opens meanwhile.
        def close_streams():
            os.close(1)
            os.close(2)

        proc = subprocess.run([str(self.tool.exe), "init", "--token-id", "a", "--token", "b"],
                              stdin=subprocess.DEVNULL, env=self.user.environ(), timeout=60,
                              preexec_fn=close_streams)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(self.user.config_file.read_text(),
                         '[profile]\ntoken_id = "a"\ntoken = "b"\ncloud_environment = "cloud"\n'
                         '\n[options]\nadvanced_mode = false\n')


class Interpreter(ToolTestCase):
    """The base interpreter of copies of the installation."""

    def copy_install(self, name: str) -> Path:
        dest = self.user.root / name
        shutil.copytree(self.tool.venv, dest, symlinks=True)
        return dest

    def set_version(self, venv: Path, key: str, version: str) -> None:
        cfg = venv / "pyvenv.cfg"
        lines = [l for l in cfg.read_text().splitlines()
                 if not l.replace(" ", "").startswith(("version=", "version_info="))]
        lines.append(f"{key} = {version}")
        cfg.write_text("\n".join(lines) + "\n")

    def test_unsupported_versions_stop_before_anything_is_touched(self):
        for key, version, pair in (("version", "3.9.1", (3, 9)), ("version", "3.15.0", (3, 15)),
                                   ("version_info", "3.8.10.final.0", (3, 8))):
            with self.subTest(version=version):
                venv = self.copy_install(f"v{version}")
                self.set_version(venv, key, version)
                for args in (["--help"], ["--version"], ["init"]):
                    r = run(venv / "bin" / "keelbox", args, self.user)
                    self.assertEqual((r.returncode, r.stdout), (1, ""))
                    self.assertIn(UNSUPPORTED.format(*pair), r.stderr)
                    self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertFalse(self.user.config_dir.exists())

    def test_supported_versions_pass(self):
        for key, version in (("version", "3.14.0"), ("version", "3.10.2"),
                             ("version_info", "3.12.1.final.0")):
            with self.subTest(version=version):
                venv = self.copy_install(f"ok{version}")
                self.set_version(venv, key, version)
                r = run(venv / "bin" / "keelbox", ["--version"], self.user)
                self.assertEqual(r.returncode, 0, r)

    def test_version_info_wins_over_version(self):
        venv = self.copy_install("both")
        self.set_version(venv, "version", "3.11.0")
        with open(venv / "pyvenv.cfg", "a") as f:
            f.write("version_info = 3.9.0.final.0\n")
        r = run(venv / "bin" / "keelbox", ["--version"], self.user)
        self.assertIn(UNSUPPORTED.format(3, 9), r.stderr)

    def test_without_pyvenv_cfg_the_interpreter_is_asked(self):
        venv = self.copy_install("nocfg")
        (venv / "pyvenv.cfg").unlink()
        r = run(venv / "bin" / "keelbox", ["--version"], self.user)
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue(r.stdout.endswith(f"keelbox, version {VERSION}\n"))

    def test_an_unreadable_pyvenv_cfg_ends_with_one_line_of_its_own(self):
        # The interpreter, asked for its version, fails on the same file with a
        # traceback of its own; only keelbox's line reaches the user.
        venv = self.copy_install("binary")
        (venv / "pyvenv.cfg").write_bytes(bytes(range(256)) * 16)
        r = run(venv / "bin" / "keelbox", ["--version"], self.user)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
        self.assertIn("Cannot determine the version of the Python interpreter", r.stderr)

    def test_interrupt_and_termination_end_the_child_too(self):
        # Ctrl-C outside a prompt: an empty line, then "Aborted!", status 1.
        # SIGTERM: the run ends quietly by that signal. Either way the child
        # the tool was waiting for (here a stand-in interpreter) is gone.
        cases = [(signal.SIGINT, 1, b"\nAborted!\n"), (signal.SIGTERM, -signal.SIGTERM, b"")]
        for sig, status, stderr in cases:
            with self.subTest(signal=sig.name):
                venv = self.copy_install(f"slow-{sig.name}")
                (venv / "pyvenv.cfg").unlink()
                marker = self.user.root / f"asked-{sig.name}"
                python = venv / "bin" / "python3"
                python.unlink()
                python.write_text(f"#!/bin/sh\necho $$ > '{marker}.tmp'\n"
                                  f"mv '{marker}.tmp' '{marker}'\nexec sleep 60\n")
                python.chmod(0o755)
                proc = subprocess.Popen([str(venv / "bin" / "keelbox"), "--version"],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=self.user.environ())
                try:
                    deadline = time.monotonic() + 30
                    while not marker.exists() and time.monotonic() < deadline:
                        time.sleep(0.05)
                    self.assertTrue(marker.exists())
                    child = int(marker.read_text())
                    proc.send_signal(sig)
                    out, err = proc.communicate(timeout=30)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.communicate()
                self.assertEqual((proc.returncode, out, err), (status, b"", stderr))
                with self.assertRaises(ProcessLookupError):
                    os.kill(child, 0)

    def test_missing_interpreter_is_a_clear_error(self):
        venv = self.copy_install("nopython")
        for exe in (venv / "bin").glob("python*"):
            exe.unlink()
        r = run(venv / "bin" / "keelbox", ["--version"], self.user)
        self.assertEqual((r.returncode, r.stdout), (1, ""))
        self.assertIn("No Python interpreter", r.stderr)
        self.assertIn(str(venv / "bin"), r.stderr)


if __name__ == "__main__":
    unittest.main()

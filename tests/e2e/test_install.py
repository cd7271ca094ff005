"""`keelbox install`: name resolution, the dry run and the confirmation, MKL,
and the uv command lines (read from the uv stand-in's log), against the sandbox
cloud, the test package index and a real target environment."""
from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import time
import unittest
from pathlib import Path

from harness import ToolTestCase
from package_index.index import Fixture
from test_modules import SAMPLE_APP, CatalogueFixture, entitlement

HEADING = "\nInstalling modules and packages\n\nResolving names\n"
NOTHING = "Nothing to install. Call with --help for more information.\n"
QUESTION = "Continue? [Y/n]: "


def install_argv(packages, index_url, dry_run):
    argv = ["pip", "install", *packages]
    for p in packages:
        argv += ["--upgrade-package", p]
    argv += ["--index-url", index_url]
    if dry_run:
        argv.append("--dry-run")
    return argv


def process_table() -> dict[int, tuple[int, str]]:
    """pid -> (parent pid, state) of every process, from /proc."""
    table = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        state, parent = stat[stat.rindex(")") + 2:].split()[:2]
        table[int(entry.name)] = (int(parent), state)
    return table


def descendants(pid: int) -> set[int]:
    table = process_table()
    found, grew = {pid}, True
    while grew:
        grew = False
        for p, (parent, _) in table.items():
            if parent in found and p not in found:
                found.add(p)
                grew = True
    return found - {pid}


def cmdline(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode()
    except OSError:
        return ""


def alive(pid: int) -> bool:
    state = process_table().get(pid, (0, "gone"))[1]
    return state not in ("gone", "Z", "X")


def resolved(modules, additional) -> str:
    return (f"Modules to install: {modules!r}\n"
            f"Additional packages to install: {additional!r}\n")


def preparing(package_set) -> str:
    return f"\nPreparing install and resolving dependencies for\n{package_set!r}\n"


def installing(package_set) -> str:
    return f"Installing\n{package_set!r}\n"


class InstallTest(CatalogueFixture, ToolTestCase):

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.index.add(Fixture("numpy", "1.26.4"))
        cls.index.add(Fixture("zvk-extra", "0.1.0"))

    def install(self, *args, input=None):
        return self.keelbox("install", *args, env=self.env, input=input)

    def assert_in_order(self, text: str, pieces: list[str]) -> None:
        pos = 0
        for piece in pieces:
            found = text.find(piece, pos)
            self.assertNotEqual(found, -1, f"{piece!r} not found in order in {text!r}")
            pos = found + len(piece)

    # ---- the worked example ----

    def test_worked_example_with_confirmation(self):
        names = ["zvk-sample-app", "zvk-sample-utils", "numpy"]
        r = self.install(*names, input="y\n")
        self.assertEqual(r.returncode, 0, r)
        package_set = ["zvk-sample-app", "zvk-sample-utils", "numpy"]
        head = (HEADING + resolved(["Zvk Sample App"], ["zvk-sample-utils", "numpy"])
                + preparing(package_set))
        self.assertTrue(r.stdout.startswith(head), r)
        rest = r.stdout[len(head):]
        self.assert_in_order(rest, ["Would install", QUESTION + installing(package_set),
                                    "Successfully installed"])
        self.assertEqual(self.uv_calls(), [install_argv(package_set, self.index.url, True),
                                           install_argv(package_set, self.index.url, False)])
        installed = self.installed()
        self.assertEqual(installed.get("zvk-sample-app"), "1.4.0")
        self.assertEqual(installed.get("zvk-sample-utils"), "0.2.0")
        self.assertEqual(installed.get("numpy"), "1.26.4")

    def test_yes_skips_dry_run_and_question(self):
        r = self.install("zvk_sample_app", "--yes")
        self.assertEqual(r.returncode, 0, r)
        package_set = ["zvk-sample-app", "zvk-sample-utils"]
        head = HEADING + resolved(["Zvk Sample App"], []) + installing(package_set)
        self.assertTrue(r.stdout.startswith(head), r)
        self.assertNotIn(QUESTION, r.stdout)
        self.assertEqual(self.uv_calls(), [install_argv(package_set, self.index.url, False)])
        self.assertEqual(self.installed().get("zvk-sample-app"), "1.4.0")

    # ---- the confirmation ----

    def test_declining_installs_nothing(self):
        for answer in ("n\n", "No\n", " N \n"):
            with self.subTest(answer=answer):
                self.uv_log.unlink(missing_ok=True)
                r = self.install("zvk-sample-app", input=answer)
                self.assertEqual(r.returncode, 0, r)
                self.assertTrue(r.stdout.endswith(QUESTION), r)
                self.assertEqual(self.uv_calls(),
                                 [install_argv(["zvk-sample-app", "zvk-sample-utils"],
                                               self.index.url, True)])
        self.assertNotIn("zvk-sample-app", self.installed())

    def test_invalid_answer_is_asked_again(self):
        r = self.install("zvk-tracer", input="maybe\n\n")
        self.assertEqual(r.returncode, 0, r)
        self.assert_in_order(r.stdout, [QUESTION + "Error: invalid input\n" + QUESTION
                                        + installing(["zvk-tracer"])])
        self.assertEqual(self.installed().get("zvk-tracer"), "2.0.0")

    def test_end_of_input_at_question_aborts(self):
        r = self.install("zvk-tracer", input="")
        self.assertEqual(r.returncode, 1, r)
        self.assertTrue(r.stdout.endswith(QUESTION), r)
        self.assertIn("Aborted!", r.stderr)
        self.assertEqual(len(self.uv_calls()), 1)  # the dry run only
        self.assertNotIn("zvk-tracer", self.installed())

    # ---- what the names become ----

    def test_no_names(self):
        r = self.install(input="\n")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, HEADING + resolved([], []) + preparing([]) + NOTHING
                         + QUESTION + installing([]) + NOTHING)
        self.assertEqual(self.uv_calls(), [])
        self.assertEqual(len(self.entitlement_requests()), 1)  # the modules are still fetched

    def test_module_twice_and_its_package_once_more(self):
        r = self.install("zvk_sample_app", "ZVK Sample App", "zvk-sample-utils", input="n\n")
        self.assertEqual(r.returncode, 0, r)
        package_set = ["zvk-sample-app", "zvk-sample-utils"]
        self.assertTrue(r.stdout.startswith(
            HEADING + resolved(["Zvk Sample App", "Zvk Sample App"], ["zvk-sample-utils"])
            + preparing(package_set)), r)
        self.assertEqual(self.uv_calls(), [install_argv(package_set, self.index.url, True)])

    def test_names_passed_to_uv_unchanged(self):
        cases = [
            # (typed names, additional packages line, package set)
            (["numpy>=1.26"], ["numpy>=1.26"], ["numpy>=1.26"]),
            (["  zvk-tracer\t"], ["zvk-tracer"], ["zvk-tracer"]),           # trimmed
            (["zvk-extra"], ["zvk-extra"], ["zvk-extra"]),                 # only through ENT_PKG
            (["ZVK-Tracer"], ["ZVK-Tracer"], ["ZVK-Tracer"]),              # not a known key
        ]
        self.sandbox.update(entitlements=[
            SAMPLE_APP, entitlement("ZVK Tracer", "ENT_ZVK_TRACER_FREE", ["zvk-tracer"]),
            entitlement("ZVK Extra", "ENT_PKG_ZVK_EXTRA", ["zvk-extra"])])
        for names, additional, package_set in cases:
            with self.subTest(names=names):
                self.uv_log.unlink(missing_ok=True)
                r = self.install(*names, input="n\n")
                self.assertEqual(r.returncode, 0, r)
                self.assertTrue(r.stdout.startswith(
                    HEADING + resolved([], additional) + preparing(package_set)), r)
                self.assertEqual(self.uv_calls(), [install_argv(package_set, self.index.url, True)])

    def test_requirements_file_entries_follow_the_names(self):
        reqs = self.user.root / "reqs.txt"
        reqs.write_text("numpy  # pinned later\n  # a comment\n\nzvk-sample-utils\n   \n")
        r = self.install("zvk-tracer", "-r", str(reqs), input="n\n")
        self.assertEqual(r.returncode, 0, r)
        # Package keys come before names the account does not know.
        package_set = ["zvk-tracer", "zvk-sample-utils", "numpy"]
        self.assertTrue(r.stdout.startswith(
            HEADING + resolved([], package_set) + preparing(package_set)), r)
        # The entries are names; uv is not given the file.
        self.assertEqual(self.uv_calls(), [install_argv(package_set, self.index.url, True)])

    # ---- mkl ----

    def test_mkl_switch(self):
        cases = [
            # (typed names, MKL wanted, additional packages)
            (["mkl"], True, []),
            ([" mkl "], True, []),
            (["MKL"], False, ["MKL"]),
            (["mkl", "mkl"], True, ["mkl"]),
        ]
        for names, wanted, additional in cases:
            with self.subTest(names=names):
                self.uv_log.unlink(missing_ok=True)
                r = self.install(*names, input="n\n")
                self.assertEqual(r.returncode, 0, r)
                expected = HEADING + resolved([], additional) + preparing(additional)
                self.assertTrue(r.stdout.startswith(expected), r)
                tail = r.stdout[len(expected):]
                self.assertEqual("MKL will be installed.\n" in tail, wanted, r)
                if wanted:
                    self.assertTrue(tail.endswith("MKL will be installed.\n" + QUESTION), r)
        self.assertNotIn("mkl", self.installed())

    def test_mkl_with_yes_provisions_before_packages(self):
        r = self.install("mkl", "--yes")
        self.assertEqual(r.returncode, 0, r)
        head = HEADING + resolved([], []) + "MKL will be installed.\n" + installing([])
        self.assertTrue(r.stdout.startswith(head), r)
        self.assertTrue(r.stdout.endswith(NOTHING), r)
        link = self.target / "lib" / "libmkl_rt.so"
        # Absent before the run: both announcements, the installer, then the link.
        self.assertTrue(r.stdout[len(head):].startswith(
            "MKL library not found. Installing MKL via pip.\nInstalling MKL via pip.\n"), r)
        self.assert_in_order(r.stdout, ["Successfully installed",
                                        f"Creating symlink {link} to libmkl_rt.so.2\n" + NOTHING])
        self.assertEqual(self.installed().get("mkl"), "2024.0.0")
        self.assertTrue(link.is_symlink(), r)
        self.assertEqual(self.uv_calls(), [install_argv(["mkl"], self.index.url, False)])

    def test_mkl_already_present_is_only_linked(self):
        self.preinstall("mkl")
        link = self.target / "lib" / "libmkl_rt.so"
        head = HEADING + resolved([], []) + "MKL will be installed.\n" + installing([])
        present = f"MKL library already installed / available in {self.target}.\n"
        r = self.install("mkl", "--yes")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, head + present
                         + f"Creating symlink {link} to libmkl_rt.so.2\n" + NOTHING)
        self.assertEqual(str(link.readlink()), "libmkl_rt.so.2")
        r = self.install("mkl", "--yes")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, head + present + NOTHING)
        self.assertEqual(self.uv_calls(), [])

    # ---- the target environment ----

    def test_conda_prefix_alone_names_the_target(self):
        env = {**self.env, "VIRTUAL_ENV": None, "CONDA_PREFIX": f"{self.target}/"}
        r = self.keelbox("install", "zvk-tracer", "--yes", env=env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.installed().get("zvk-tracer"), "2.0.0")
        # uv is told the target as VIRTUAL_ENV (normalised); CONDA_PREFIX stays.
        seen = [(e["virtual_env"], e["conda_prefix"])
                for e in map(json.loads, self.uv_log.read_text().splitlines())]
        self.assertEqual(seen, [(str(self.target), f"{self.target}/")])

    # ---- an interrupted run ----

    def test_a_signal_to_the_tool_alone_ends_everything_it_started(self):
        # An index that takes connections and never answers: pip, under the uv
        # stand-in under keelbox, waits for it until the signal comes.
        hole = socket.socket()
        hole.bind(("127.0.0.1", 0))
        hole.listen(64)
        self.addCleanup(hole.close)
        self.sandbox.update(pip_location=f"http://127.0.0.1:{hole.getsockname()[1]}/simple/")
        environ = {**self.user.environ(), **self.env}
        for signum, status in ((signal.SIGTERM, -signal.SIGTERM), (signal.SIGINT, 1)):
            with self.subTest(signal=signum.name):
                # Standard error into a file: a pipe would stay open as long
                # as any descendant lives.
                err_file = self.user.root / f"stderr-{signum.name}"
                with open(err_file, "wb") as err_out:
                    tool = subprocess.Popen([str(self.tool.exe), "install", "zvk-tracer", "--yes"],
                                            env=environ, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=err_out)
                self.addCleanup(tool.kill)
                deadline = time.monotonic() + 60
                started = descendants(tool.pid)
                while not any(" -m pip " in cmdline(p) for p in started):
                    self.assertLess(time.monotonic(), deadline, "pip never started")
                    time.sleep(0.05)
                    started = descendants(tool.pid)
                self.assertGreaterEqual(len(started), 2, started)  # uv and pip at least
                os.kill(tool.pid, signum)  # to the tool alone
                tool.wait(timeout=30)
                err = err_file.read_bytes()
                self.assertEqual(tool.returncode, status, err)
                if signum == signal.SIGINT:
                    self.assertTrue(err.endswith(b"\nAborted!\n"), err)
                survivors = [(p, cmdline(p)) for p in started if alive(p)]
                for p, _ in survivors:
                    os.kill(p, signal.SIGKILL)  # not left behind by a failing test
                self.assertEqual(survivors, [])
        self.assertNotIn("zvk-tracer", self.installed())

    # ---- failures ----

    def test_failing_dry_run_ends_before_question(self):
        r = self.install("no-such-package", input="y\n")
        self.assertEqual(r.returncode, 1, r)
        argv = install_argv(["no-such-package"], self.index.url, True)
        self.assertTrue(r.stdout.startswith(
            HEADING + resolved([], ["no-such-package"]) + preparing(["no-such-package"])), r)
        self.assertNotIn(QUESTION, r.stdout)
        self.assertIn("Error: Error running uv with ('pip', 'install', 'no-such-package', "
                      "'--upgrade-package', 'no-such-package', '--index-url', "
                      f"'{self.index.url}', '--dry-run')", r.stderr)
        self.assertEqual(self.uv_calls(), [argv])

    def test_entitlements_error_ends_after_resolving_names(self):
        self.sandbox.set_override("entitlements", status=502)
        r = self.install("zvk-tracer", "--yes")
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(r.stdout, HEADING)
        self.assertIn("502", r.stderr)
        self.assertEqual(self.uv_calls(), [])

    # ---- styling ----

    def test_styles_under_a_terminal(self):
        r = self.keelbox_tty("install", "zvk-sample-app", "numpy", "--yes", env=self.env)
        self.assertEqual(r.returncode, 0, r)
        bold = lambda t: f"\x1b[1m{t}\x1b[0m"
        self.assert_in_order(r.stdout, [
            "\n" + bold("Installing modules and packages") + "\n\nResolving names\n",
            bold("Modules") + " to install: \x1b[33m['Zvk Sample App']\x1b[0m\n",
            "Additional " + bold("packages") + " to install: \x1b[34m['numpy']\x1b[0m\n",
            "Installing\n\x1b[34m['zvk-sample-app', 'zvk-sample-utils', 'numpy']\x1b[0m\n",
        ])


if __name__ == "__main__":
    unittest.main()

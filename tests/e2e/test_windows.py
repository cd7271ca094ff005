"""keelbox.exe under wine: version, init, modules, install and download-examples
against the sandbox cloud through HTTPS_PROXY and its CA, with the Windows uv
stand-in (tests/tools/windows) in the installation's Scripts folder.

The Windows build tree is KEELBOX_WIN_BUILD_DIR, or the tree under test when it
is one. Output is taken as the tool wrote it: one test holds the line ends,
the others compare text with \\r\\n read as \\n.
"""
from __future__ import annotations

import io
import json
import os
import shutil
import signal
import subprocess
import tarfile
import tempfile
import time
import unittest
from pathlib import Path

import test_install
from harness import BUILD_DIR, CMAKE, VERSION
from sandbox_cloud import Sandbox
from test_examples import ENTITLEMENTS as EXAMPLE_ENTITLEMENTS
from test_examples import PACKAGES as EXAMPLE_PACKAGES
from test_examples import crafted_escape_archives
from test_init import CLOSING, hint, stored
from test_install import (HEADING, NOTHING, QUESTION, install_argv, installing, preparing,
                          resolved)
from test_modules import GREEN, HEADER, LEGEND, RED, RESET, SAMPLE_APP, SEP, TRACER, row
from wine import (WindowsUser, WinePrefix, can_build_tools, run_windows, run_windows_tty,
                  start_windows, tool_exe, windows_path, windows_pids, wine_missing)

INDEX_URL = "https://pip.sandbox.invalid/simple/"
PYVENV_CFG = ("home = C:\\Python311\nimplementation = CPython\nversion_info = 3.11.7.final.0\n"
              "version = 3.11.7\ninclude-system-site-packages = false\n")
# What the test index offers: name, version, dependencies.
AVAILABLE = [("zvk-sample-app", "1.3.0", []), ("zvk-sample-app", "1.4.0", ["zvk-sample-utils>=0.2.0"]),
             ("zvk-sample-utils", "0.2.0", []), ("zvk-tracer", "2.0.0", []),
             ("numpy", "1.26.4", []), ("zvk-extra", "0.1.0", []), ("mkl", "2024.0.0", [])]


def windows_build_dir() -> Path | None:
    given = os.environ.get("KEELBOX_WIN_BUILD_DIR")
    for tree in ([Path(given)] if given else []) + [BUILD_DIR]:
        if (tree / "src" / "keelbox.exe").is_file():
            return tree
    return None


def _why_skip() -> str | None:
    if windows_build_dir() is None:
        return ("no Windows build tree with src/keelbox.exe (set KEELBOX_WIN_BUILD_DIR to a tree "
                "configured with cmake/mingw-w64.cmake)")
    return wine_missing() or can_build_tools()


_skip = _why_skip()


def text(output: str) -> str:
    """The output with the Windows line end read as a line end."""
    return output.replace("\r\n", "\n")


class WindowsInstall:
    """keelbox.exe installed by `cmake --install` into an environment laid out
    as on Windows: Scripts\\keelbox.exe, Scripts\\uv.exe, Scripts\\python.exe
    and pyvenv.cfg one level up."""

    def __init__(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="keelbox-win-e2e-"))
        self.venv = self.root / "tool env"
        subprocess.run([CMAKE, "--install", str(windows_build_dir()), "--prefix", str(self.venv)],
                       check=True, stdout=subprocess.DEVNULL)
        self.scripts = self.venv / "Scripts"
        self.exe = self.scripts / "keelbox.exe"
        assert self.exe.is_file(), f"cmake --install put no Scripts\\keelbox.exe into {self.venv}"
        shutil.copy(tool_exe("uv"), self.scripts / "uv.exe")
        shutil.copy(tool_exe("uv"), self.scripts / "python.exe")  # logs and answers status 1
        (self.venv / "pyvenv.cfg").write_text(PYVENV_CFG)

    def remove(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


@unittest.skipIf(_skip, f"cannot run the Windows build: {_skip}")
class WindowsTestCase(unittest.TestCase):
    """Installs keelbox.exe once per class; every test gets a fresh Windows
    user, a sandbox cloud, a target environment and the uv stand-in's state."""
    install: WindowsInstall

    @classmethod
    def setUpClass(cls) -> None:
        WinePrefix.shared()  # made (or found) before any test's clock runs
        cls.install = WindowsInstall()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.install.remove()

    def setUp(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix="keelbox-win-user-"))
        self.addCleanup(shutil.rmtree, self.root, True)
        self.user = WindowsUser(self.root / "user")
        self.target = self.root / "target env"
        (self.target / "Lib" / "site-packages").mkdir(parents=True)
        self.uv_log = self.root / "uv.log"
        self.state = self.root / "uv-state.txt"
        self.set_state(installed={})
        self.sandbox = Sandbox({"entitlements": [SAMPLE_APP, TRACER], "pip_location": INDEX_URL})
        self.sandbox.start()
        self.addCleanup(self.sandbox.stop)

    # ---- helpers ----

    def set_state(self, installed: dict) -> None:
        lines = [f"index {INDEX_URL}"]
        lines += [" ".join(["available", name, version, *deps]) for name, version, deps in AVAILABLE]
        lines += [f"installed {name} {version}" for name, version in installed.items()]
        self.state.write_text("\n".join(lines) + "\n")

    def installed(self) -> dict:
        return {words[1]: words[2] for words in map(str.split, self.state.read_text().splitlines())
                if words and words[0] == "installed"}

    def env(self, **extra) -> dict:
        sandbox = self.sandbox.env
        env = {"HTTPS_PROXY": sandbox["HTTPS_PROXY"], "NO_PROXY": "",
               "SSL_CERT_FILE": windows_path(sandbox["SSL_CERT_FILE"]),
               "VIRTUAL_ENV": windows_path(self.target),
               "UV_STANDIN_LOG": windows_path(self.uv_log),
               "UV_STANDIN_STATE": windows_path(self.state)}
        env.update(extra)
        return env

    def keelbox(self, *args, env: dict | None = None, input: str | None = None, cwd=None):
        return run_windows(self.install.exe, list(args), env=env if env is not None else self.env(),
                           windows_env=self.user.windows_env(), input=input, cwd=cwd)

    def write_profile(self, token_id="id-1", token="secret-1", env="cloud") -> None:
        self.user.config_dir.mkdir(parents=True, exist_ok=True)
        self.user.config_file.write_text(stored(token_id, token, env))

    def uv_records(self) -> list[dict]:
        if not self.uv_log.exists():
            return []
        return [json.loads(line) for line in self.uv_log.read_text("utf-8").splitlines() if line]

    def uv_calls(self) -> list[list[str]]:
        return [r["argv"] for r in self.uv_records() if r["program"] == "uv"]

    def assert_in_order(self, output: str, pieces: list[str]) -> None:
        test_install.InstallTest.assert_in_order(self, output, pieces)


class VersionAndInitTest(WindowsTestCase):
    def test_version_with_line_ends_as_windows_writes_them(self):
        self.write_profile()
        r = self.keelbox("--version")
        self.assertEqual(r.returncode, 0, r)
        # Text on Windows ends its lines with \r\n, as Python programs there write it.
        self.assertEqual(r.stdout, f"keelbox, version {VERSION}\r\n")
        self.assertEqual(r.stderr, "")

    def test_interpreter_version_comes_from_pyvenv_cfg(self):
        self.write_profile()
        cfg = self.install.venv / "pyvenv.cfg"
        self.addCleanup(cfg.write_text, PYVENV_CFG)
        for content, status in (("version = 3.12.1\n", 0), ("version_info = 3.9.0.final.0\n", 1)):
            with self.subTest(content=content):
                cfg.write_text(content)
                r = self.keelbox("--version")
                self.assertEqual(r.returncode, status, r)
                if status:
                    self.assertIn("Python version (3, 9) is not supported.", r.stderr)
                    self.assertEqual(r.stdout, "")
        # The version was read from the file: the stand-in interpreter was never asked.
        self.assertEqual([r for r in self.uv_records() if r["program"] == "python"], [])

    def test_init_stores_the_profile_in_the_user_profile_folder(self):
        r = self.keelbox("init", "--token-id", "id ü", "--token", 'q"uote\\')
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue(text(r.stdout).endswith(CLOSING), r)
        self.assertEqual(self.user.config_file.read_text("utf-8"), stored("id ü", 'q\\"uote\\\\', "cloud"))
        self.assertFalse((self.user.profile / ".config").exists())
        self.assertEqual(text(self.keelbox("--version").stdout), f"keelbox, version {VERSION}\n")

    def test_init_prompts_read_windows_line_ends(self):
        for answers in ("my-id\r\nmy-secret\r\n", "my-id\nmy-secret\n"):
            with self.subTest(answers=answers):
                r = self.keelbox("init", input=answers)
                self.assertEqual(r.returncode, 0, r)
                self.assertIn(hint("cloud") + "Enter your token id: Enter your token secret: " + CLOSING,
                              text(r.stdout))
                self.assertEqual(self.user.config_file.read_text(), stored("my-id", "my-secret", "cloud"))

    def test_without_userprofile_the_run_fails_and_writes_nothing(self):
        windows_env = {**self.user.windows_env(), "USERPROFILE": None}
        r = run_windows(self.install.exe, ["init", "--token-id", "a", "--token", "b"],
                        env=self.env(), windows_env=windows_env)
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("USERPROFILE", r.stderr)
        self.assertEqual([p for p in self.user.root.rglob("*") if p.is_file()], [])

    def test_end_of_input_at_a_prompt_aborts(self):
        r = self.keelbox("init", input="")
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(text(r.stderr), "Aborted!\n")
        self.assertFalse(self.user.config_file.exists())


class ModulesTest(WindowsTestCase):
    def setUp(self) -> None:
        super().setUp()
        self.write_profile()
        self.set_state(installed={"zvk-sample-app": "1.3.0"})

    def test_table_when_piped_and_the_cache_folder(self):
        r = self.keelbox("modules")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(text(r.stdout), LEGEND + "\n".join([
            SEP, HEADER, SEP,
            row("ZVK Sample App", "ZVK_SAMPLE_APP", "zvk-sample-app, zvk-sample-utils"),
            row("ZVK Tracer", "ZVK_TRACER_FREE", "zvk-tracer"),
            SEP]) + "\n")
        self.assertNotIn("\x1b", r.stdout)
        self.assertEqual(self.uv_calls(), [["pip", "show", p] for p in
                                           ("zvk-sample-app", "zvk-sample-utils", "zvk-tracer")])
        # uv is told the target environment, and runs from beside the tool.
        record = self.uv_records()[0]
        self.assertEqual(record["virtual_env"], windows_path(self.target))
        # Through the proxy, trusting the sandbox's CA.
        self.assertEqual(len(self.sandbox.requests(path="/v1/license/entitlements")), 1)
        # The entitlements are remembered in the cache under LOCALAPPDATA.
        self.assertTrue(list(self.user.cache_dir.glob("cache.sqlite*")), list(self.root.rglob("*")))
        again = self.keelbox("modules")
        self.assertEqual(again.stdout, r.stdout)
        self.assertEqual(len(self.sandbox.requests(path="/v1/license/entitlements")), 1)

    def test_colours_on_a_console(self):
        r = run_windows_tty(self.install.exe, ["modules"], env=self.env(),
                            windows_env=self.user.windows_env())
        self.assertEqual(r.returncode, 0, r)
        # wine draws the console on the terminal: its cursor codes and line
        # ends aside, the colour codes arrive as the tool wrote them.
        shown = r.stdout.replace("\x1b[?25l", "").replace("\x1b[?25h", "").replace("\r\r\n", "\n")
        self.assertIn(row("ZVK Sample App", "ZVK_SAMPLE_APP",
                          f"{GREEN}zvk-sample-app{RESET}, {RED}zvk-sample-utils{RESET}"), shown)
        self.assertIn(row("ZVK Tracer", "ZVK_TRACER_FREE", f"{RED}zvk-tracer{RESET}"), shown)

    def test_text_beyond_ascii_on_a_console_and_piped(self):
        # The console shows UTF-8 text as text (not as bytes of a code page);
        # piped output is UTF-8.
        name = "Zvk Ünïcode ☃ Mödule"
        self.sandbox.update(entitlements=[SAMPLE_APP, dict(TRACER, name=name)])
        shown = run_windows_tty(self.install.exe, ["modules"], env=self.env(),
                                windows_env=self.user.windows_env())
        self.assertEqual(shown.returncode, 0, shown)
        self.assertIn(name, shown.stdout)
        piped = self.keelbox("modules")
        self.assertIn(row(name, "ZVK_TRACER_FREE", "zvk-tracer"), text(piped.stdout))

    def test_error_status_ends_the_run_after_the_legend(self):
        self.sandbox.set_override("entitlements", status=500)
        r = self.keelbox("modules")
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(text(r.stdout), LEGEND)
        self.assertIn("500", r.stderr)


class InstallTest(WindowsTestCase):
    def setUp(self) -> None:
        super().setUp()
        self.write_profile()

    def test_worked_example_with_confirmation(self):
        names = ["zvk-sample-app", "zvk-sample-utils", "numpy"]
        r = self.keelbox("install", *names, input="y\r\n")
        self.assertEqual(r.returncode, 0, r)
        out = text(r.stdout)
        head = HEADING + resolved(["Zvk Sample App"], ["zvk-sample-utils", "numpy"]) + preparing(names)
        self.assertTrue(out.startswith(head), r)
        self.assert_in_order(out[len(head):], ["Would install", QUESTION + installing(names),
                                               "Successfully installed"])
        self.assertEqual(self.uv_calls(), [install_argv(names, INDEX_URL, True),
                                           install_argv(names, INDEX_URL, False)])
        self.assertEqual(self.installed(), {"zvk-sample-app": "1.4.0", "zvk-sample-utils": "0.2.0",
                                            "numpy": "1.26.4"})

    def test_declining_installs_nothing(self):
        for answer in ("n\r\n", "No\n"):
            with self.subTest(answer=answer):
                self.uv_log.unlink(missing_ok=True)
                r = self.keelbox("install", "zvk-tracer", input=answer)
                self.assertEqual(r.returncode, 0, r)
                self.assertTrue(text(r.stdout).endswith(QUESTION), r)
                self.assertEqual(self.uv_calls(), [install_argv(["zvk-tracer"], INDEX_URL, True)])
        self.assertEqual(self.installed(), {})

    def test_arguments_reach_uv_exactly(self):
        # Requirements with blanks, quotes and backslashes: the child's command
        # line must quote them so the C runtime gives uv the same strings.
        cases = [
            'numpy >= 1.26, != 1.0; python_version > "3.8"',
            "numpy @ file:///C:/wheels/numpy.whl",
            "numpy; sys_platform == 'win32' and platform_release != \"10\\\\\"",
            "numpy ü",
        ]
        for requirement in cases:
            with self.subTest(requirement=requirement):
                self.uv_log.unlink(missing_ok=True)
                r = self.keelbox("install", requirement, input="n\r\n")
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual(self.uv_calls(), [install_argv([requirement], INDEX_URL, True)])

    def test_conda_prefix_alone_names_the_target(self):
        env = self.env(VIRTUAL_ENV=None, CONDA_PREFIX=windows_path(self.target) + "\\")
        r = self.keelbox("install", "zvk-tracer", "--yes", env=env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.installed(), {"zvk-tracer": "2.0.0"})
        self.assertEqual([(e["virtual_env"], e["conda_prefix"]) for e in self.uv_records()],
                         [(windows_path(self.target), windows_path(self.target) + "\\")])

    def test_mkl_is_installed_then_linked(self):
        # The presence probe runs the target environment's Scripts\python (the
        # stand-in: status 1, so MKL counts as absent).
        scripts = self.target / "Scripts"
        scripts.mkdir()
        shutil.copy(tool_exe("uv"), scripts / "python.exe")
        library = self.target / "Library" / "bin"
        library.mkdir(parents=True)
        (library / "mkl_rt.2.dll").write_bytes(b"")
        r = self.keelbox("install", "mkl", "--yes")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(text(r.stdout),
                         HEADING + resolved([], []) + "MKL will be installed.\n" + installing([])
                         + "MKL library not found. Installing MKL via pip.\nInstalling MKL via pip.\n"
                         + "Successfully installed mkl-2024.0.0\n"
                         + f"Creating symlink {windows_path(library / 'mkl_rt.dll')} to mkl_rt.2.dll\n"
                         + NOTHING)
        self.assertEqual([(e["program"], e["argv"]) for e in self.uv_records()], [
            ("python", ["-c", "from importlib.metadata import distribution;distribution('mkl')"]),
            ("uv", install_argv(["mkl"], INDEX_URL, False))])
        self.assertEqual(self.installed(), {"mkl": "2024.0.0"})
        # Whether the link exists is not checked: wine's CreateSymbolicLinkW
        # reports success and creates nothing.

    def test_interrupt_to_the_tool_alone_ends_uv_too(self):
        # uv takes long; Ctrl-C reaches only the tool (wine turns SIGINT into
        # a console control event): the run ends as interrupted, and uv with it.
        uv = self.install.scripts / "uv.exe"
        err_file = self.root / "stderr"
        with open(err_file, "wb") as err:
            proc = start_windows(self.install.exe, ["install", "zvk-tracer", "--yes"],
                                 env=self.env(UV_STANDIN_SLEEP="60"),
                                 windows_env=self.user.windows_env(),
                                 stdout=subprocess.DEVNULL, stderr=err)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 60
        while not (self.uv_calls() and windows_pids(uv)):
            self.assertLess(time.monotonic(), deadline, "uv never started")
            self.assertIsNone(proc.poll(), err_file.read_bytes())
            time.sleep(0.05)
        [tool] = windows_pids(self.install.exe)
        os.kill(tool, signal.SIGINT)
        proc.wait(timeout=30)
        self.assertEqual(proc.returncode, 1, err_file.read_bytes())
        self.assertTrue(text(err_file.read_text()).endswith("\nAborted!\n"), err_file.read_text())
        while windows_pids(uv) and time.monotonic() < deadline:
            time.sleep(0.05)
        survivors = windows_pids(uv)
        for pid in survivors:
            os.kill(pid, signal.SIGKILL)  # not left behind by a failing test
        self.assertEqual(survivors, [])
        self.assertEqual(self.installed(), {})

    def test_failing_dry_run_ends_before_the_question(self):
        r = self.keelbox("install", "no-such-package", input="y\r\n")
        self.assertEqual(r.returncode, 1, r)
        self.assertNotIn(QUESTION, text(r.stdout))
        self.assertIn("Error: Error running uv with ('pip', 'install', 'no-such-package', "
                      "'--upgrade-package', 'no-such-package', '--index-url', "
                      f"'{INDEX_URL}', '--dry-run')", r.stderr)


class ExamplesTest(WindowsTestCase):
    def setUp(self) -> None:
        super().setUp()
        self.write_profile()
        self.sandbox.update(entitlements=EXAMPLE_ENTITLEMENTS, packages=EXAMPLE_PACKAGES)
        self.sandbox.add_example("zvk_sample_app", {"README.md": "sample\n", "src/app.py": "print(1)\n"})
        self.sandbox.add_example("other", {"other.txt": "other\n"})
        self.dest = self.root / "down load"
        self.dest.mkdir()

    def download(self, *args):
        return self.keelbox("download-examples", "--download-dir", windows_path(self.dest), *args)

    def test_download_and_unpack(self):
        r = self.download("-m", "zvk_sample_app", "-m", "other-examples")
        self.assertEqual(r.returncode, 0, r)
        sample, other = self.dest / "zvk-sample-app-examples", self.dest / "other-examples"
        self.assertEqual((sample / "src" / "app.py").read_text(), "print(1)\n")
        self.assertEqual((other / "other.txt").read_text(), "other\n")
        self.assertEqual(sorted(text(r.stdout).splitlines()), sorted([
            f"Successfully downloaded examples for zvk-sample-app-examples to {windows_path(sample)}",
            f"Successfully downloaded examples for other-examples to {windows_path(other)}"]))
        self.assertEqual(r.stderr, "")

    def test_default_folder_is_in_the_user_profile(self):
        r = self.keelbox("download-examples", "-m", "other")
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue((self.user.data_dir / "examples" / "other-examples" / "other.txt").is_file(), r)

    def test_names_beyond_ascii_in_a_pax_archive(self):
        # PAX is what Python's tarfile and "tar --format=posix" write.
        names = ["\u00fcn\u00efcode/\u0444\u0430\u0439\u043b.txt", "\u65e5\u672c\u8a9e.txt",
                 "\U0001F600.txt", "caf\u00e9.txt", "\u00e9.txt", "\u00e8.txt"]
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.PAX_FORMAT) as tar:
            for name in names:
                data = f"in {name}".encode()
                info = tarfile.TarInfo(name)
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
        self.sandbox.add_example_archive("other", buf.getvalue())
        r = self.download("-m", "other")
        self.assertEqual(r.returncode, 0, r)
        folder = self.dest / "other-examples"
        found = {p.relative_to(folder).as_posix(): p.read_text("utf-8")
                 for p in folder.rglob("*") if p.is_file()}
        self.assertEqual(found, {name: f"in {name}" for name in names})

    def test_a_unix_link_in_the_previous_folder_goes_without_what_it_names(self):
        # Wine shows a Unix symbolic link to a file as that file, and removing
        # it removes the file it names.
        victim = self.root / "victim.txt"
        victim.write_text("keep\n")
        self.assertEqual(self.download("-m", "other").returncode, 0)
        folder = self.dest / "other-examples"
        (folder / "link.txt").symlink_to(victim)
        r = self.download("-m", "other")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(victim.read_text(), "keep\n")
        self.assertEqual((folder / "other.txt").read_text(), "other\n")

    def test_ctrl_c_mid_unpack_leaves_no_folder_beside(self):
        # Ctrl-C while the archive is unpacked (wine turns SIGINT into a
        # console control event): the run ends as interrupted, the previous
        # folder as it was and nothing of the run's beside it.
        self.assertEqual(self.download("-m", "other").returncode, 0)
        folder = self.dest / "other-examples"
        (folder / "mine.txt").write_text("mine\n")
        before = sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))
        self.sandbox.add_example("other", {f"d{i % 50}/f{i}.txt": "x" for i in range(5000)})
        err_file = self.root / "stderr"
        with open(err_file, "wb") as err:
            proc = start_windows(self.install.exe,
                                 ["download-examples", "--download-dir", windows_path(self.dest),
                                  "-m", "other"],
                                 env=self.env(), windows_env=self.user.windows_env(),
                                 stdout=subprocess.DEVNULL, stderr=err)
        self.addCleanup(proc.kill)
        deadline = time.monotonic() + 60
        while not list(self.dest.glob(".keelbox-unpack-*")):
            self.assertLess(time.monotonic(), deadline, "no folder beside")
            self.assertIsNone(proc.poll(), err_file.read_bytes())
            time.sleep(0.01)
        time.sleep(0.2)
        [tool] = windows_pids(self.install.exe)
        os.kill(tool, signal.SIGINT)
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 1, err_file.read_bytes())
        self.assertTrue(text(err_file.read_text()).endswith("\nAborted!\n"), err_file.read_text())
        left = {p.name: [str(q.relative_to(p)) for q in p.rglob("*")][:5]
                for p in self.dest.glob(".keelbox-unpack-*")}
        self.assertEqual(left, {})
        self.assertEqual(sorted(str(p.relative_to(folder)) for p in folder.rglob("*")), before)

    def test_refused_members_end_the_run(self):
        victim = self.root / "victim.txt"
        victim.write_text("keep\n")

        def archive(*members) -> bytes:
            buf = io.BytesIO()
            with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
                for name, data in members:
                    info = tarfile.TarInfo(name)
                    info.size = len(data)
                    tar.addfile(info, io.BytesIO(data))
            return buf.getvalue()

        drive_c = WinePrefix.shared().path / "drive_c"
        cases = dict(crafted_escape_archives())
        # Names that only Windows reads as leading out: a drive, backslashes.
        cases["drive-letter path"] = archive(("C:/escaped.txt", b"x"))
        cases["drive-relative path"] = archive(("C:escaped.txt", b"x"))
        cases["backslashes climbing out"] = archive(("..\\..\\escaped.txt", b"x"))
        for label, data in cases.items():
            with self.subTest(label):
                self.sandbox.add_example_archive("other", data)
                r = self.download("-m", "other")
                self.assertEqual(r.returncode, 1, r)
                self.assertNotIn("Successfully", r.stdout)
                self.assertEqual(victim.read_text(), "keep\n")
                self.assertEqual(list(self.root.rglob("escaped.txt")), [])
                self.assertFalse((drive_c / "escaped.txt").exists())
                shutil.rmtree(self.dest / "other-examples", ignore_errors=True)


if __name__ == "__main__":
    unittest.main()

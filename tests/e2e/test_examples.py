"""`keelbox download-examples`: the example catalogue, concurrent downloads
against the sandbox cloud, safe unpacking, requirements hints, progress bars."""
from __future__ import annotations

import gzip
import io
import os
import re
import resource
import shutil
import signal
import subprocess
import tarfile
import time
import unittest
import uuid
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from harness import ToolTestCase, sanitized_build
from sandbox_cloud import Sandbox
from sandbox_cloud.api import make_archive

CORE = "https://core.cloud.zvknumerics.com/v1/license"
SAMPLE_URL_PATH = "/v1/license/artifacts/examples/zvk_sample_app.tar.gz"
OTHER_URL_PATH = "/v1/license/artifacts/examples/other.tar.gz"
GREEN, RED, YELLOW, RESET = "\x1b[32m", "\x1b[31m", "\x1b[33m", "\x1b[0m"

ENTITLEMENTS = [
    {"name": "ZVK Sample App", "code": "ENT_ZVK_SAMPLE_APP", "packages": ["zvk-sample-app"],
     "required_entitlements": []},
    {"name": "Other", "code": "ENT_OTHER_FREE", "packages": ["other"], "required_entitlements": []},
    {"name": "Extra", "code": "ENT_PKG_EXTRA", "packages": ["extra"], "required_entitlements": []},
]
PACKAGES = [{"key": "zvk-sample-app"}, {"key": "zvk-sample-app-examples"},
            {"key": "b-examples"}, {"key": "other-examples"}, {"key": "extra-examples"}]

NOT_FOUND = ("Package {0} not found in examples!\n"
             "Use keelbox modules download-examples --list-available to see available examples.\n"
             "\n\n")


def hint(name: str, path) -> str:
    return (f"Examples for {name} require additional pacakges.To install these dependencies run "
            f"the following command:\nkeelbox install -r {path}\n")


def crafted_escape_archives() -> dict[str, bytes]:
    """Archives whose names or link targets, as the tar reader finally sees them
    (pax records, GNU long names), lead out of the folder they are unpacked
    into (two levels below the victim `victim.txt`), by label."""
    def entry(name, kind=tarfile.REGTYPE, linkname="", data=b"", pax=None):
        info = tarfile.TarInfo(name)
        info.type, info.linkname, info.size = kind, linkname, len(data)
        if pax:
            info.pax_headers = pax
        return info, io.BytesIO(data) if data else None

    deep = "d/" * 60
    cases = {
        "pax path overrides a harmless name": (
            tarfile.PAX_FORMAT, [entry("harmless.txt", data=b"x", pax={"path": "../../escaped.txt"})]),
        "pax linkpath overrides a harmless target": (
            tarfile.PAX_FORMAT, [entry("l", tarfile.SYMTYPE, "t", pax={"linkpath": "/etc"})]),
        "GNU long name climbing out": (
            tarfile.GNU_FORMAT, [entry(deep + "../" * 62 + "escaped.txt", data=b"x")]),
        "GNU long link target climbing out": (
            tarfile.GNU_FORMAT, [entry("l", tarfile.SYMTYPE, deep + "../" * 63)]),
        "hard link to a file outside": (
            tarfile.GNU_FORMAT, [entry("h", tarfile.LNKTYPE, "../../victim.txt")]),
        "hard link data written into a file outside": (
            tarfile.PAX_FORMAT, [entry("h", tarfile.LNKTYPE, "../../victim.txt", data=b"owned\n")]),
        "link then a file through it": (
            tarfile.GNU_FORMAT, [entry("up", tarfile.SYMTYPE, ".."),
                                 entry("up/../escaped.txt", data=b"x")]),
        "character device": (tarfile.GNU_FORMAT, [entry("null", tarfile.CHRTYPE)]),
    }
    archives = {}
    for label, (fmt, members) in cases.items():
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w:gz", format=fmt) as tar:
            for info, data in members:
                tar.addfile(info, data)
        archives[label] = buf.getvalue()
    return archives


class TerminalScreen:
    """Just enough of a terminal to replay what the tool drew: line feeds,
    carriage returns, cursor up, clear line, clear to the end of the screen;
    colours are ignored. Records the most progress-bar lines shown at once."""

    def __init__(self) -> None:
        self.lines = [""]
        self.row = 0
        self.col = 0
        self.most_bars = 0
        self.bar_sets: list[list[str]] = []

    def bars(self) -> list[str]:
        return [line for line in self.lines if re.match(r"Downloading examples for \S+: ", line)]

    def feed(self, text: str) -> None:
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == "\x1b":
                m = re.match(r"\x1b\[([0-9;?]*)([A-Za-z])", text[i:])
                if m:
                    arg, op = m.group(1), m.group(2)
                    if op == "A":
                        self.row = max(0, self.row - int(arg or 1))
                    elif op == "K":
                        self.lines[self.row] = ""
                    elif op == "J":
                        del self.lines[self.row + 1:]
                        self.lines[self.row] = self.lines[self.row][:self.col]
                    i += len(m.group(0))
                    self._note()
                    continue
            if ch == "\n":
                self.row += 1
                self.col = 0
                if self.row == len(self.lines):
                    self.lines.append("")
            elif ch == "\r":
                self.col = 0
            else:
                line = self.lines[self.row]
                self.lines[self.row] = line[:self.col] + ch + line[self.col + 1:]
                self.col += 1
            i += 1
        self._note()

    def _note(self) -> None:
        bars = self.bars()
        if len(bars) > self.most_bars:
            self.most_bars = len(bars)
            self.bar_sets.append(bars)

    def text(self) -> str:
        return "\n".join(self.lines)


class ExamplesTestCase(ToolTestCase):
    def setUp(self) -> None:
        super().setUp()
        self.cloud = Sandbox({"entitlements": ENTITLEMENTS, "packages": PACKAGES})
        self.cloud.start()
        self.addCleanup(self.cloud.stop)
        self.cloud.add_example("zvk_sample_app", {"README.md": "sample\n", "src/app.py": "print(1)\n"})
        self.cloud.add_example("other", {"other.txt": "other\n"})
        self.write_profile(token_id="id-1", token="secret-1")
        self.dest = self.user.root / "dl"
        self.dest.mkdir()

    def run_tool(self, *args, tty=False, **kw):
        env = dict(self.cloud.env)
        env.update(kw.pop("env", {}))
        if tty:
            return self.keelbox_tty(*args, env=env, **kw)
        return self.keelbox(*args, env=env, **kw)

    def archive_requests(self, path=None):
        return [r["path"] for r in self.cloud.requests(service="core")
                if "/artifacts/examples/" in r["path"] and (path is None or r["path"] == path)]


class SelectionTest(ExamplesTestCase):
    def test_loose_names_select_examples_and_repeats_download_again(self):
        r = self.run_tool("download-examples", "--download-dir", str(self.dest),
                          "-m", "zvk_sample_app", "-m", "sample_app", "-m", "other-examples")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(len(self.archive_requests(SAMPLE_URL_PATH)), 2, r)
        self.assertEqual(len(self.archive_requests(OTHER_URL_PATH)), 1, r)
        sample, other = self.dest / "zvk-sample-app-examples", self.dest / "other-examples"
        self.assertEqual((sample / "src" / "app.py").read_text(), "print(1)\n")
        self.assertEqual((other / "other.txt").read_text(), "other\n")
        lines = sorted(r.stdout.splitlines())
        self.assertEqual(lines, sorted([
            f"Successfully downloaded examples for zvk-sample-app-examples to {sample}",
            f"Successfully downloaded examples for zvk-sample-app-examples to {sample}",
            f"Successfully downloaded examples for other-examples to {other}",
        ]))
        self.assertEqual(r.stderr, "")  # no bars when standard error is not a terminal
        # The archive requests carry the access token and ask for the API media type.
        headers = dict(self.cloud.requests(path=SAMPLE_URL_PATH)[0]["headers"])
        self.assertTrue(headers["Authorization"].startswith("Bearer "), headers)
        self.assertEqual(headers["Accept"], "application/vnd.api+json")

    def test_unmatched_names_are_reported_and_the_others_proceed(self):
        r = self.run_tool("download-examples", "--download-dir", str(self.dest),
                          "-m", "ZVK_SAMPLE_APP", "-m", "b", "-m", "other")
        self.assertEqual(r.returncode, 0, r)
        # Case matters; b-examples is published but not entitled.
        self.assertTrue(r.stdout.startswith(NOT_FOUND.format("ZVK-SAMPLE-APP") + NOT_FOUND.format("b")), r)
        self.assertIn("Successfully downloaded examples for other-examples", r.stdout)
        self.assertEqual(self.archive_requests(), [OTHER_URL_PATH])

    def test_no_names_and_no_entitled_examples(self):
        self.cloud.update(packages=[{"key": "b-examples"}, {"key": "zvk-sample-app"}])
        r = self.run_tool("download-examples", "--download-dir", str(self.dest))
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, f"Downloading examples for all available packages to {self.dest}\n")
        self.assertEqual(self.archive_requests(), [])
        self.assertEqual(list(self.dest.iterdir()), [])

    def test_list_available(self):
        for packages, expected in [
            (PACKAGES, "Available examples: \nzvk-sample-app-examples\nother-examples\n"),
            ([{"key": "b-examples"}], "Available examples: \n\n"),
        ]:
            with self.subTest(expected=expected):
                # The package list is kept in the cache for good: a fresh user each time.
                self.cloud.update(packages=packages)
                for cache in self.user.root.glob("xdg-cache/Keelbox/cache.sqlite*"):
                    cache.unlink()
                r = self.run_tool("download-examples", "--list-available", "-m", "other")
                self.assertEqual(r.returncode, 0, r)
                self.assertEqual(r.stdout, expected)
        self.assertEqual(self.archive_requests(), [])

    def test_the_commands_the_hints_print_work(self):
        # The help and the not-found hint print `keelbox modules download-examples ...`.
        r = self.run_tool("modules", "download-examples", "--list-available")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, "Available examples: \nzvk-sample-app-examples\nother-examples\n")
        r = self.run_tool("modules", "download-examples", "-m", "zvk-plenum", "-m", "other",
                          "--download-dir", str(self.dest))
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue(r.stdout.startswith(NOT_FOUND.format("zvk-plenum")), r)
        self.assertEqual((self.dest / "other-examples" / "other.txt").read_text(), "other\n")
        r = self.run_tool("modules", "download-examples", "--help")
        self.assertTrue(r.stdout.startswith("Usage: keelbox modules download-examples [OPTIONS]\n"), r)

    def test_package_list_is_kept_and_failures_are_not(self):
        self.cloud.set_override("packages", status=503)
        r = self.run_tool("download-examples", "--list-available")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("HTTPStatusError: 503 Server Error", r.stderr)
        self.cloud.set_override("packages")
        for _ in range(2):
            r = self.run_tool("download-examples", "--list-available")
            self.assertEqual(r.returncode, 0, r)
            self.assertIn("zvk-sample-app-examples", r.stdout)
        self.assertEqual(len(self.cloud.requests(path="/v1/license/packages")), 2)
        self.assertEqual(self.cloud.requests(path="/v1/license/packages")[0]["path"],
                         "/v1/license/packages?limit=99")


class DownloadTest(ExamplesTestCase):
    def test_refused_archive_is_reported_and_the_others_arrive(self):
        self.cloud.set_override("examples/zvk_sample_app", status=404)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest))
        self.assertEqual(r.returncode, 0, r)
        self.assertIn(
            "Error downloading examples for zvk-sample-app-examples: 404 Client Error: Not Found "
            f"for url: {CORE}/artifacts/examples/zvk_sample_app.tar.gz\n", r.stdout)
        self.assertFalse((self.dest / "zvk-sample-app-examples").exists())
        self.assertTrue((self.dest / "other-examples" / "other.txt").is_file())

    def test_refused_line_is_red_on_a_terminal(self):
        self.cloud.set_override("examples/zvk_sample_app", status=500)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest),
                          "-m", "zvk-sample-app", tty=True)
        self.assertEqual(r.returncode, 0, r)
        self.assertIn(f"{RED}Error downloading examples for zvk-sample-app-examples: 500 Server Error: "
                      f"Internal Server Error for url: {CORE}/artifacts/examples/zvk_sample_app.tar.gz"
                      f"{RESET}", r.stdout)

    def test_broken_transfer_ends_the_run(self):
        self.cloud.set_override("examples/other", cut_after=10)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("TransportError: GET " + CORE + "/artifacts/examples/other.tar.gz failed",
                      r.stderr)
        self.assertFalse((self.dest / "other-examples").exists())

    def test_answer_without_content_length(self):
        self.cloud.set_override("examples", chunked=True, chunk_size=100)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other",
                          tty=True)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual((self.dest / "other-examples" / "other.txt").read_text(), "other\n")
        # The bar shows an amount, never a percentage.
        self.assertRegex(r.stdout, r"Downloading examples for other-examples: [0-9.]+[kM]?B \[")
        self.assertNotIn("%|", r.stdout)

    def test_requirements_hints_at_two_depths(self):
        self.cloud.add_example("zvk_sample_app", {"requirements.txt": "numpy\n",
                                                  "demo/requirements.txt": "scipy\n",
                                                  "demo/run.py": ""})
        r = self.run_tool("download-examples", "--download-dir", "dl", "-m", "sample-app",
                          cwd=self.user.root)
        self.assertEqual(r.returncode, 0, r)
        base = "dl/zvk-sample-app-examples"
        self.assertEqual(r.stdout, f"Successfully downloaded examples for zvk-sample-app-examples to {base}\n"
                         + hint("zvk-sample-app-examples", f"{base}/requirements.txt")
                         + hint("zvk-sample-app-examples", f"{base}/demo/requirements.txt"))
        # A requirements file of the user's own in the folder is kept by the
        # next download, and named with the others.
        mine = self.user.root / base / "mine"
        mine.mkdir()
        (mine / "requirements.txt").write_text("pandas\n")
        r = self.run_tool("download-examples", "--download-dir", "dl", "-m", "sample-app",
                          cwd=self.user.root)
        self.assertEqual(r.returncode, 0, r)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[0], f"Successfully downloaded examples for zvk-sample-app-examples to {base}")
        self.assertEqual(lines[1:3], hint("zvk-sample-app-examples", f"{base}/requirements.txt").splitlines())
        self.assertEqual(sorted(lines[3:]), sorted(
            (hint("zvk-sample-app-examples", f"{base}/demo/requirements.txt")
             + hint("zvk-sample-app-examples", f"{base}/mine/requirements.txt")).splitlines()))

    def test_empty_archive_creates_no_folder(self):
        self.cloud.add_example_archive("other", make_archive({}))
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(r.stdout, "Successfully downloaded examples for other-examples to "
                                   f"{self.dest / 'other-examples'}\n")
        self.assertFalse((self.dest / "other-examples").exists())

    def test_default_folder_is_created(self):
        r = self.run_tool("download-examples", "-m", "other")
        default = self.user.data_dir / "examples"
        self.assertEqual(r.returncode, 0, r)
        self.assertTrue((default / "other-examples" / "other.txt").is_file(), r)

    def test_missing_download_dir_fails_before_any_request(self):
        r = self.run_tool("download-examples", "--download-dir", str(self.dest / "missing"))
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("Error: Could not find download directory for examples!", r.stderr)
        self.assertEqual(self.cloud.requests(), [])
        self.assertFalse((self.dest / "missing").exists())


class SafetyTest(ExamplesTestCase):
    def archive(self, build) -> bytes:
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w:gz") as tar:
            build(tar)
        return buf.getvalue()

    def test_absolute_member_lands_inside_and_escapes_end_the_run(self):
        def absolute(tar):
            info = tarfile.TarInfo("/etc/x")
            info.size = 2
            tar.addfile(info, io.BytesIO(b"ok"))

        def link_out(tar):
            info = tarfile.TarInfo("passwd")
            info.type = tarfile.SYMTYPE
            info.linkname = "/etc/passwd"
            tar.addfile(info)

        self.cloud.add_example_archive("zvk_sample_app", self.archive(absolute))
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "zvk-sample-app")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual((self.dest / "zvk-sample-app-examples" / "etc" / "x").read_text(), "ok")

        self.cloud.add_example_archive("other", self.archive(link_out))
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("passwd", r.stderr)
        self.assertNotIn("Successfully", r.stdout)
        self.assertFalse((self.dest / "other-examples" / "passwd").is_symlink())

    def test_crafted_headers_cannot_escape(self):
        """Names and link targets as the tar reader finally sees them (pax records,
        GNU long names) are what is checked; every trick ends the run."""
        victim = self.user.root / "victim.txt"
        victim.write_text("keep\n")

        for label, archive in crafted_escape_archives().items():
            with self.subTest(label):
                self.cloud.add_example_archive("other", archive)
                r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
                self.assertEqual(r.returncode, 1, r)
                self.assertIn("ExtractionError", r.stderr)
                self.assertNotIn("Successfully", r.stdout)
                self.assertEqual(victim.read_text(), "keep\n")
                self.assertEqual(list(self.user.root.rglob("escaped.txt")), [])
                self.assertLessEqual({p.name for p in self.dest.iterdir()}, {"other-examples"})
                for p in self.dest.rglob("*"):
                    self.assertFalse(p.is_symlink() and not p.resolve().is_relative_to(self.dest), p)
                shutil.rmtree(self.dest / "other-examples", ignore_errors=True)

    def test_a_hard_link_leaves_the_mode_of_a_users_linked_file_alone(self):
        """A file of the examples folder that is a hard link to a private key:
        a hard-link member naming it is refused, and the key keeps its mode."""
        key = self.user.root / "id_rsa"
        key.write_text("secret\n")
        key.chmod(0o600)
        folder = self.dest / "other-examples"
        folder.mkdir(parents=True)
        os.link(key, folder / "mykey")
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
            info = tarfile.TarInfo("grab")
            info.type, info.linkname, info.mode = tarfile.LNKTYPE, "mykey", 0o755
            tar.addfile(info)
        self.cloud.add_example_archive("other", buf.getvalue())
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("Refused archive member 'grab'", r.stderr)
        self.assertEqual(key.stat().st_mode & 0o777, 0o600)
        self.assertEqual((folder / "mykey").read_text(), "secret\n")
        self.assertFalse((folder / "grab").exists())

    def test_package_name_from_the_service_must_be_a_plain_folder_name(self):
        # A module code that turns into a path: its folder would lie outside.
        self.cloud.update(
            entitlements=ENTITLEMENTS + [{"name": "Evil", "code": "ENT_../../ESCAPE", "packages": ["evil"],
                                          "required_entitlements": []}],
            packages=PACKAGES + [{"key": "../../escape-examples"}])
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "../../escape")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("Refused example package name '../../escape-examples'", r.stderr)
        self.assertEqual(self.archive_requests(), [])
        self.assertEqual(list(self.user.root.glob("escape-examples")), [])

    def test_damaged_archive_ends_the_run(self):
        self.cloud.add_example_archive("other", b"\x1f\x8b not really gzip")
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("ExtractionError", r.stderr)


class ProgressTest(ExamplesTestCase):
    def test_concurrent_bars_are_shown_together_and_leave_nothing_behind(self):
        # Incompressible data, sent in small pieces with pauses: both transfers overlap.
        self.cloud.add_example("zvk_sample_app", {"data.bin": os.urandom(40000)})
        self.cloud.add_example("other", {"data.bin": os.urandom(50000)})
        self.cloud.set_override("examples", chunk_size=2048, chunk_delay=0.05)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), tty=True)
        self.assertEqual(r.returncode, 0, r)
        screen = TerminalScreen()
        screen.feed(r.stdout)
        self.assertGreaterEqual(screen.most_bars, 2, r.stdout)
        both = screen.bar_sets[-1]
        self.assertTrue(any("zvk-sample-app-examples" in b for b in both), both)
        self.assertTrue(any("other-examples" in b for b in both), both)
        self.assertRegex(" ".join(both), r"\d+%\|#*\s*\| [0-9.]+[kM]?B/[0-9.]+kB")
        # When all is done, no bar is left on the screen; the messages are.
        self.assertEqual(screen.bars(), [], screen.text())
        self.assertIn("Successfully downloaded examples for zvk-sample-app-examples", screen.text())
        self.assertIn("Successfully downloaded examples for other-examples", screen.text())

    @unittest.skipUnless(shutil.which("tmux"), "tmux is not installed")
    def test_many_bars_fit_the_terminal_and_leave_no_history(self):
        # 40 slow downloads in an 80x24 pane: a redraw that needed more rows than the
        # pane has would push stale bars into its history at every refresh.
        names = [f"mod-{i:02d}" for i in range(40)]
        self.cloud.update(
            entitlements=[{"name": n, "code": "ENT_" + n.upper().replace("-", "_"),
                           "packages": [n], "required_entitlements": []} for n in names],
            packages=[{"key": f"{n}-examples"} for n in names])
        for n in names:
            self.cloud.add_example(n.replace("-", "_"), {"data.bin": os.urandom(24000)})
        self.cloud.set_override("examples", chunk_size=2048, chunk_delay=0.1)
        socket, session = f"keelbox-{uuid.uuid4().hex[:8]}", "progress"
        env = {**self.user.environ(), **self.cloud.env}
        env.pop("TMUX", None)
        tmux = ["tmux", "-L", socket]
        subprocess.run([*tmux, "-f", "/dev/null", "new-session", "-d", "-s", session,
                        "-x", "80", "-y", "24", "bash --norc --noprofile"], env=env, check=True)
        self.addCleanup(subprocess.run, [*tmux, "kill-server"], stderr=subprocess.DEVNULL)
        subprocess.run([*tmux, "send-keys", "-t", session,
                        f"{self.tool.exe} download-examples --download-dir {self.dest}; "
                        "echo run-ended-$?", "Enter"], check=True)
        crowded, text = False, ""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            text = subprocess.run([*tmux, "capture-pane", "-p", "-t", session],
                                  capture_output=True, text=True).stdout
            crowded = crowded or bool(re.search(r"(?m)^\.\.\. and \d+ more$", text))
            if re.search(r"(?m)^run-ended-\d+$", text):
                break
            time.sleep(0.1)
        self.assertRegex(text, r"(?m)^run-ended-0$")
        self.assertTrue(crowded, "the pane never showed the summary of the bars left out\n" + text)
        history = subprocess.run([*tmux, "capture-pane", "-p", "-S", "-", "-t", session],
                                 capture_output=True, text=True).stdout
        self.assertEqual(history.count("Successfully downloaded examples for "), 40, history)
        stale = [line for line in history.splitlines()
                 if re.match(r"(Downloading examples for \S+: |\.\.\. and \d+ more|Total: )", line)]
        self.assertEqual(stale, [], history)
        self.assertEqual(len(list(self.dest.iterdir())), 40)


class UnpackingTest(ExamplesTestCase):
    """Where unpacking meets the disk: full disks, damaged archives, limits."""

    def mount_small(self, options: str) -> None:
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(self.dest)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest(f"cannot mount a small tmpfs here: {r.stderr.strip()}")
        self.addCleanup(subprocess.run, ["umount", "-l", str(self.dest)], capture_output=True)

    def test_full_disk_ends_the_run_with_the_member_and_the_reason(self):
        self.mount_small("size=20m")
        self.cloud.add_example("other", {"big.bin": b"b" * (30 << 20), "small.txt": "small\n"})
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("'big.bin'", r.stderr)
        self.assertIn("No space left on device", r.stderr)
        self.assertNotIn("Successfully", r.stdout)

    def test_archive_with_one_content_byte_changed_is_damaged(self):
        tar = io.BytesIO()
        with tarfile.open(fileobj=tar, mode="w") as t:
            info = tarfile.TarInfo("other.txt")
            info.size = 15
            t.addfile(info, io.BytesIO(b"original text\n\n"))
        data = gzip.compress(tar.getvalue(), compresslevel=0)  # content stored as it is
        self.cloud.add_example_archive("other", data.replace(b"original", b"Original"))
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        self.assertIn("Damaged archive: the CRC-32 of the content does not match", r.stderr)
        self.assertNotIn("Successfully", r.stdout)

    def test_runs_into_one_folder_at_once_each_succeed(self):
        files = {f"d{i % 10}/f{i}.txt": f"{i}\n" for i in range(400)}
        self.cloud.add_example("other", files)
        args = ("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(self.run_tool(*args).returncode, 0)  # the package list is cached
        for _ in range(4):
            with ThreadPoolExecutor(4) as pool:
                results = list(pool.map(lambda _: self.run_tool(*args), range(4)))
            for r in results:
                self.assertEqual(r.returncode, 0, r)
                self.assertIn("Successfully downloaded examples for other-examples", r.stdout)
            folder = self.dest / "other-examples"
            self.assertEqual({str(p.relative_to(folder)) for p in folder.rglob("*.txt")}, set(files))
            self.assertEqual([p.name for p in self.dest.iterdir()], ["other-examples"])

    def test_leftovers_of_an_interrupted_run_are_removed(self):
        leftover = self.dest / ".keelbox-unpack-1234abcd"
        (leftover / "half").mkdir(parents=True)
        (leftover / "half" / "x.txt").write_text("x")
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual([p.name for p in self.dest.iterdir()], ["other-examples"])

    def test_interrupted_unpacking_leaves_the_previous_folder(self):
        args = ("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(self.run_tool(*args).returncode, 0)
        folder = self.dest / "other-examples"
        (folder / "mine.txt").write_text("mine\n")
        before = sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))
        self.cloud.add_example("other", {f"d{i % 50}/f{i}.txt": "x" for i in range(20000)})
        env = self.user.environ()
        env.update(self.cloud.env)
        proc = subprocess.Popen([str(self.tool.exe), *args], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not list(self.dest.glob(".keelbox-unpack-*")) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 1, (out, err))
        self.assertIn("Aborted!", err)
        self.assertEqual(sorted(str(p.relative_to(folder)) for p in folder.rglob("*")), before)
        self.cloud.add_example("other", {"other.txt": "new\n"})
        self.assertEqual(self.run_tool(*args).returncode, 0)
        self.assertEqual([p.name for p in self.dest.iterdir()], ["other-examples"])
        self.assertEqual((folder / "other.txt").read_text(), "new\n")
        self.assertEqual((folder / "mine.txt").read_text(), "mine\n")

    def test_a_signal_mid_unpack_leaves_no_folder_beside(self):
        args = ("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(self.run_tool(*args).returncode, 0)
        folder = self.dest / "other-examples"
        (folder / "mine.txt").write_text("mine\n")
        before = sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))
        self.cloud.add_example("other", {f"d{i % 50}/f{i}.txt": "x" for i in range(20000)})
        env = self.user.environ()
        env.update(self.cloud.env)
        for sig, status in ((signal.SIGINT, 1), (signal.SIGTERM, -signal.SIGTERM),
                            (signal.SIGHUP, -signal.SIGHUP)):
            with self.subTest(signal=sig.name):
                proc = subprocess.Popen([str(self.tool.exe), *args], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                deadline = time.monotonic() + 60
                while (not list(self.dest.glob(".keelbox-unpack-*"))
                       and time.monotonic() < deadline):
                    time.sleep(0.01)
                time.sleep(0.2)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, status, (out, err))
                self.assertEqual([p.name for p in self.dest.iterdir()], ["other-examples"])
                self.assertEqual(sorted(str(p.relative_to(folder)) for p in folder.rglob("*")),
                                 before)

class SpillTest(ExamplesTestCase):
    """Downloads wait in the download folder, not in memory, and leave nothing there."""

    PEAK_RSS = ("import resource, subprocess, sys\n"
                "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)\n"
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")

    def peak_kib(self, *args) -> int:
        """The peak resident memory of one run of the tool, in KiB."""
        env = self.user.environ()
        env.update(self.cloud.env)
        r = subprocess.run(["python3", "-c", self.PEAK_RSS, str(self.tool.exe), *args], env=env,
                           capture_output=True, text=True, check=True)
        return int(r.stdout)

    def test_peak_memory_does_not_grow_with_the_archive(self):
        if sanitized_build():
            self.skipTest("AddressSanitizer keeps freed memory in quarantine: peaks say nothing")
        args = ("download-examples", "--download-dir", str(self.dest), "-m", "other")
        baseline = self.peak_kib(*args)  # a small archive; the package list is cached too
        self.cloud.add_example("other", {"noise.bin": os.urandom(20 << 20)})
        peak = self.peak_kib(*args)
        self.assertEqual((self.dest / "other-examples" / "noise.bin").stat().st_size, 20 << 20)
        self.assertLess(peak - baseline, 12 << 10, (baseline, peak))

    def test_no_temporary_file_is_left_in_the_download_folder(self):
        def escape(tar):
            info = tarfile.TarInfo("../escape.txt")
            info.size = 1
            tar.addfile(info, io.BytesIO(b"x"))
        tar = io.BytesIO()
        with tarfile.open(fileobj=tar, mode="w:gz") as t:
            escape(t)
        cases = [
            ("downloaded", None, None, 0),
            ("cut off", None, {"cut_after": 10}, 1),
            ("refused", 404, None, 0),
            ("refused member", tar.getvalue(), None, 1),
        ]
        for label, archive, override, code in cases:
            with self.subTest(label):
                self.cloud.set_override("examples/other")
                if isinstance(archive, int):
                    self.cloud.set_override("examples/other", status=archive)
                elif archive is not None:
                    self.cloud.add_example_archive("other", archive)
                if override:
                    self.cloud.set_override("examples/other", **override)
                r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
                self.assertEqual(r.returncode, code, r)
                self.assertEqual([p.name for p in self.dest.iterdir() if p.name.startswith(".")], [])

    def test_a_full_download_folder_is_an_error_naming_the_archive(self):
        self.cloud.add_example("other", {"noise.bin": os.urandom(3 << 20)})
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(self.dest)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest(f"cannot mount a small tmpfs here: {r.stderr.strip()}")
        self.addCleanup(subprocess.run, ["umount", "-l", str(self.dest)], capture_output=True)
        r = self.run_tool("download-examples", "--download-dir", str(self.dest), "-m", "other")
        self.assertEqual(r.returncode, 1, r)
        # The archive is unpacked as it arrives: the first write that finds
        # the disk full, of a member or of bytes held for the unpacking,
        # ends the run and names the archive.
        self.assertRegex(r.stderr, r"other-examples: Could not extract archive member|"
                                   r"Could not save the download of examples for other-examples")
        self.assertIn("No space left on device", r.stderr)
        self.assertNotIn("Successfully", r.stdout)
        self.assertEqual(list(self.dest.iterdir()), [])


class ManyExamplesTest(ExamplesTestCase):
    def test_a_low_limit_of_open_files_makes_the_downloads_wait_their_turn(self):
        count = 60
        self.cloud.update(
            entitlements=[{"name": f"Ex {i}", "code": f"ENT_EX{i}", "packages": [f"ex{i}"],
                           "required_entitlements": []} for i in range(count)],
            packages=[{"key": f"ex{i}-examples"} for i in range(count)])
        for i in range(count):
            self.cloud.add_example(f"ex{i}", {f"ex{i}.txt": f"{i}\n"})
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)

        def few_open_files():
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(32, hard), hard))

        env = self.user.environ()
        env.update(self.cloud.env)
        r = subprocess.run([str(self.tool.exe), "download-examples", "--download-dir",
                            str(self.dest)], capture_output=True, text=True, timeout=120,
                           env={k: v for k, v in env.items() if v is not None},
                           preexec_fn=few_open_files)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        self.assertNotIn("Too many open files", r.stderr + r.stdout)
        for i in range(count):
            self.assertEqual((self.dest / f"ex{i}-examples" / f"ex{i}.txt").read_text(), f"{i}\n")


if __name__ == "__main__":
    unittest.main()

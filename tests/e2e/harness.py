"""Black-box test harness: installs the built keelbox into a throw-away Python
environment and runs it as a user would.

Each test gets fresh HOME and XDG folders. The installed tool lives in a venv
made with ``python -m venv --without-pip`` (which supplies the base interpreter
beside the executable), populated by ``cmake --install``.

Environment (set by ctest): KEELBOX_BUILD_DIR, KEELBOX_CMAKE, KEELBOX_SOURCE_DIR.
"""
from __future__ import annotations

import fcntl
import hashlib
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from dataclasses import dataclass, field
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("KEELBOX_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("KEELBOX_BUILD_DIR", SOURCE_DIR / "build"))
CMAKE = os.environ.get("KEELBOX_CMAKE", "cmake")
TOOLS_DIR = SOURCE_DIR / "tests" / "tools"
if str(TOOLS_DIR) not in sys.path:
    sys.path.insert(0, str(TOOLS_DIR))

VERSION = "0.10.4"


def sanitized_build() -> bool:
    """Whether the build under test carries AddressSanitizer (whose shadow
    memory and quarantine change every memory figure)."""
    cache = BUILD_DIR / "CMakeCache.txt"
    return cache.is_file() and "KEELBOX_SANITIZE:BOOL=ON" in cache.read_text()


def make_venv(path: Path, with_pip: bool = False) -> Path:
    args = [sys.executable, "-m", "venv"]
    if not with_pip:
        args.append("--without-pip")
    subprocess.run(args + [str(path)], check=True)
    return path


def link_or_copy(source: str, dest: str) -> None:
    try:
        os.link(source, dest)
    except OSError:
        shutil.copy2(source, dest)


def copy_env(source: Path, dest: Path) -> Path:
    """A copy of the environment `source` at `dest`, made of hard links where
    they can be had. pip and Python only ever add, replace or remove files in
    an environment, never write into one in place, so nothing done in the
    copy reaches `source`, and linking is much quicker than copying."""
    shutil.copytree(source, dest, symlinks=True, copy_function=link_or_copy)
    return dest


def shared_env_with_pip() -> Path:
    """A pristine environment with pip, made once per build tree and
    interpreter and shared by every test process (under a lock): making one
    costs seconds of pip's own installation. Tests change only copies of it
    (`copy_env`)."""
    interpreter = f"{os.path.realpath(sys.executable)}\n{sys.version}"
    key = hashlib.sha256(interpreter.encode()).hexdigest()[:12]
    home = BUILD_DIR / "e2e-envs"
    home.mkdir(parents=True, exist_ok=True)
    env = home / f"with-pip-{key}"
    done = home / f"with-pip-{key}.done"
    with open(home / f"with-pip-{key}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not done.exists():
            shutil.rmtree(env, ignore_errors=True)
            make_venv(env, with_pip=True)
            done.touch()
    return env


def install_uv_standin(bin_dir: Path) -> Path:
    """The uv stand-in of tests/tools/uv as `bin_dir`/uv, started by this
    interpreter itself rather than by whatever `python3` is found first on
    the search path (a version manager's shim costs each call a tenth of a
    second)."""
    text = (TOOLS_DIR / "uv" / "uv").read_text()
    uv = bin_dir / "uv"
    uv.write_text(f"#!{sys.executable}\n" + text.split("\n", 1)[1])
    uv.chmod(0o755)
    return uv


def install_tool(prefix: Path) -> Path:
    """Installs this build into `prefix` (a venv); returns the executable."""
    subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", str(prefix)],
                   check=True, stdout=subprocess.DEVNULL)
    exe = prefix / "bin" / "keelbox"
    assert exe.is_file(), exe
    return exe


@dataclass
class Result:
    returncode: int
    stdout: str
    stderr: str

    def __repr__(self) -> str:  # readable in assertion messages
        return f"Result(rc={self.returncode}, stdout={self.stdout!r}, stderr={self.stderr!r})"


@dataclass
class ToolInstall:
    """One installed tool in a venv, shared by the tests of a class."""
    root: Path
    venv: Path
    exe: Path

    @classmethod
    def create(cls, with_pip: bool = False) -> "ToolInstall":
        root = Path(tempfile.mkdtemp(prefix="keelbox-e2e-"))
        venv = make_venv(root / "tool", with_pip=with_pip)
        exe = install_tool(venv)
        return cls(root, venv, exe)

    def remove(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


@dataclass
class UserEnv:
    """A fresh user: home and XDG folders, plus extra environment variables."""
    root: Path
    extra: dict = field(default_factory=dict)

    @property
    def home(self) -> Path:
        return self.root / "home"

    @property
    def config_dir(self) -> Path:
        return self.root / "xdg-config" / "Keelbox"

    @property
    def config_file(self) -> Path:
        return self.config_dir / "keelbox.toml"

    @property
    def data_dir(self) -> Path:
        return self.root / "xdg-data" / "Keelbox"

    @property
    def cache_dir(self) -> Path:
        return self.root / "xdg-cache" / "Keelbox"

    def environ(self) -> dict:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("KEELBOX_", "XDG_", "VIRTUAL_ENV", "CONDA_"))
               and k not in ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy",
                             "NO_PROXY", "no_proxy", "ALL_PROXY", "all_proxy", "SSL_CERT_FILE",
                             "SSL_CERT_DIR", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "NO_COLOR")}
        self.home.mkdir(parents=True, exist_ok=True)
        env.update({
            "HOME": str(self.home),
            "XDG_CONFIG_HOME": str(self.root / "xdg-config"),
            "XDG_DATA_HOME": str(self.root / "xdg-data"),
            "XDG_CACHE_HOME": str(self.root / "xdg-cache"),
            "LC_ALL": "C.UTF-8",
        })
        env.update(self.extra)
        return {k: v for k, v in env.items() if v is not None}


def run(exe, args, user: UserEnv, input: str | None = None, env: dict | None = None,
        cwd=None, timeout: float = 120) -> Result:
    environ = user.environ()
    if env:
        environ.update(env)
        environ = {k: v for k, v in environ.items() if v is not None}
    proc = subprocess.run([str(exe), *args], input=input if input is not None else "",
                          capture_output=True, text=True, env=environ, cwd=cwd,
                          timeout=timeout)
    return Result(proc.returncode, proc.stdout, proc.stderr)


def run_tty(exe, args, user: UserEnv, input: str | None = None, env: dict | None = None,
            cwd=None, timeout: float = 120, columns: int = 100) -> Result:
    """Runs under a pseudo-terminal (standard output and error are the terminal).

    Returns everything the terminal showed as `stdout` (stderr is empty)."""
    environ = user.environ()
    environ["TERM"] = "xterm"
    environ["COLUMNS"] = str(columns)
    if env:
        environ.update(env)
        environ = {k: v for k, v in environ.items() if v is not None}
    rc, out = pty_capture([str(exe), *args], environ, input, cwd, timeout)
    return Result(rc, out.decode("utf-8", "replace").replace("\r\n", "\n"), "")


def pty_capture(argv: list[str], environ: dict, input: str | None = None, cwd=None,
                timeout: float = 120, until_exit: bool = False,
                size: tuple[int, int] | None = None) -> tuple[int, bytes]:
    """Runs argv under a pseudo-terminal; returns its exit status and every
    byte the terminal received, unchanged.

    Reads until every holder of the terminal has closed it, or with
    `until_exit` until argv's own process has ended (what it wrote is read).
    `size`: the terminal's (rows, columns), else the system's default."""
    pid, fd = pty.fork()
    if pid == 0:  # child
        try:
            if size:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))
            if cwd:
                os.chdir(cwd)
            os.execve(argv[0], argv, environ)
        finally:
            os._exit(127)
    out = bytearray()
    pending = (input or "").encode()
    deadline = time.monotonic() + timeout
    status = None
    try:
        while True:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                raise TimeoutError(f"{argv} did not finish")
            wlist = [fd] if pending else []
            if until_exit and status is None:
                done, status = os.waitpid(pid, os.WNOHANG)
                status = status if done else None
            r, w, _ = select.select([fd], wlist, [], 0 if status is not None else 0.05)
            if status is not None and not r:
                break
            if w:
                n = os.write(fd, pending)
                pending = pending[n:]
            if r:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                out += chunk
    finally:
        if status is None:
            _, status = os.waitpid(pid, 0)
        os.close(fd)
    return os.waitstatus_to_exitcode(status), bytes(out)


class ToolTestCase(unittest.TestCase):
    """Installs the tool once per class; gives each test a fresh user."""
    tool: ToolInstall
    with_pip = False

    @classmethod
    def setUpClass(cls) -> None:
        cls.tool = ToolInstall.create(with_pip=cls.with_pip)

    @classmethod
    def tearDownClass(cls) -> None:
        cls.tool.remove()

    def setUp(self) -> None:
        self.user = UserEnv(Path(tempfile.mkdtemp(prefix="keelbox-user-")))
        self.addCleanup(shutil.rmtree, self.user.root, True)

    def keelbox(self, *args, **kw) -> Result:
        return run(self.tool.exe, list(args), self.user, **kw)

    def keelbox_tty(self, *args, **kw) -> Result:
        return run_tty(self.tool.exe, list(args), self.user, **kw)

    def write_profile(self, token_id="id-1", token="secret-1", env="cloud") -> None:
        self.user.config_dir.mkdir(parents=True, exist_ok=True)
        self.user.config_file.write_text(
            f'[profile]\ntoken_id = "{token_id}"\ntoken = "{token}"\n'
            f'cloud_environment = "{env}"\n\n[options]\nadvanced_mode = false\n')

"""Runs Windows programs under wine for the black-box tests of the Windows build.

- One wine prefix serves every test run of this user: made once
  under a lock (7 to 20 s, by load) in `KEELBOX_WINE_PREFIX`, else in
  <temp>/keelbox-wine-<uid>/wine-<version>, and never ~/.wine. A completion
  marker tells a finished prefix from one whose making was cut short.
- Its wineserver is kept alive a while after the last program, so a start
  costs about 0.1 s instead of 1.5 s.
- Paths are handed over as Z:\\... (wine maps Z: to /).
- wine sets USERPROFILE, LOCALAPPDATA, APPDATA, TEMP and a few others itself at
  every start from Unix, whatever the caller's environment says; other
  variables pass as they are (names compare without case, as on Windows: of
  HTTPS_PROXY and https_proxy one survives). Variables wine sets are given
  through with_env.exe (tests/tools/windows), which sets them and starts the
  program with its own command line unchanged.
- Output is returned exactly as the program wrote it: wine passes the bytes of
  a pipe through unchanged (a program writing in the C runtime's text mode
  writes \\r\\n itself). Under a pseudo-terminal wine draws its own console
  instead, with cursor codes and \\r\\r\\n line ends; tests of terminal output
  assert only what survives that.
- Exit statuses arrive modulo 256 (Unix wait statuses), with one exception
  wine makes: a non-zero status whose low byte is 0 arrives as 1.
"""
from __future__ import annotations

import fcntl
import os
import re
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from harness import BUILD_DIR, SOURCE_DIR, Result, pty_capture

WINE64 = Path(os.environ.get("KEELBOX_WINE64", "/usr/lib/wine/wine64"))
WINESERVER = WINE64.parent / "wineserver"
MINGW_CXX = "x86_64-w64-mingw32-g++-posix"
TOOLS_SOURCE = SOURCE_DIR / "tests" / "tools" / "windows"
# How long the wineserver outlives the last program (seconds).
SERVER_LINGER = 20


def wine_missing() -> str | None:
    """Why wine cannot run here, or None."""
    if not (WINE64.is_file() and os.access(WINE64, os.X_OK)):
        return f"wine64 not found at {WINE64} (set KEELBOX_WINE64)"
    if not WINESERVER.is_file():
        return f"wineserver not found beside {WINE64}"
    return None


def windows_path(path) -> str:
    """The path as a Windows program under wine names it (Z:\\...)."""
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def _wine_version() -> str:
    out = subprocess.run([str(WINE64), "--version"], capture_output=True, text=True,
                         env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")}, timeout=60)
    return re.sub(r"[^A-Za-z0-9.+-]+", "-", out.stdout.strip()).strip("-") or "unknown"


def _prefix_dir() -> Path:
    given = os.environ.get("KEELBOX_WINE_PREFIX")
    if given:
        return Path(given)
    return Path(tempfile.gettempdir()) / f"keelbox-wine-{os.getuid()}" / _wine_version()


class WinePrefix:
    """The shared wine prefix and the environment every wine start gets."""
    _shared: "WinePrefix | None" = None
    #: Seconds the last making of the prefix took (None when it existed already).
    created_in: float | None = None

    def __init__(self, path: Path) -> None:
        self.path = path
        self.home = path.parent / "home"  # wine's HOME: never the user's own

    @classmethod
    def shared(cls) -> "WinePrefix":
        if cls._shared is None:
            prefix = cls(_prefix_dir())
            prefix._ensure()
            cls._shared = prefix
        prefix = cls._shared
        prefix.keep_server()
        return prefix

    def base_env(self) -> dict:
        """The environment of every wine start: nothing of the caller's own."""
        return {
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "HOME": str(self.home),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
            "USER": os.environ.get("USER", "root"),
            "WINEPREFIX": str(self.path),
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers during wineboot: console programs only.
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        }

    def _ensure(self) -> None:
        marker = self.path / ".keelbox-ready"
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.home.mkdir(parents=True, exist_ok=True)
        with open(self.path.parent / (self.path.name + ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if marker.exists():
                return
            shutil.rmtree(self.path, ignore_errors=True)  # a making cut short
            start = time.monotonic()
            subprocess.run([str(WINE64), "wineboot", "-i"], env=self.base_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=True, timeout=300)
            subprocess.run([str(WINESERVER), "-w"], env=self.base_env(), timeout=300)
            WinePrefix.created_in = time.monotonic() - start
            marker.write_text(f"{WinePrefix.created_in:.1f} s\n")

    def keep_server(self) -> None:
        """Starts the prefix's wineserver, persistent for a while after the
        last program (a no-op when one runs already)."""
        subprocess.run([str(WINESERVER.parent / "wineserver64"), f"-p{SERVER_LINGER}"],
                       env=self.base_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def tool_exe(name: str) -> Path:
    """A test program of tests/tools/windows (`uv`, `with_env`), as built by
    the Windows or the Linux tree, else cross-built here into the prefix's
    folder (needs the mingw-w64 compiler)."""
    dirs = [Path(d) / "tests" / "windows-tools" for d in
            (os.environ.get("KEELBOX_WIN_BUILD_DIR"), str(BUILD_DIR)) if d]
    sources = [TOOLS_SOURCE / f"{name}.cpp", TOOLS_SOURCE / "common.hpp"]
    newest_source = max(p.stat().st_mtime for p in sources)
    for d in dirs:
        exe = d / f"{name}.exe"
        if exe.is_file() and exe.stat().st_mtime >= newest_source:
            return exe
    compiler = shutil.which(MINGW_CXX)
    if compiler is None:
        raise FileNotFoundError(f"{name}.exe is not built and {MINGW_CXX} is missing")
    out_dir = _prefix_dir().parent / "tools"
    out_dir.mkdir(parents=True, exist_ok=True)
    exe = out_dir / f"{name}.exe"
    if not exe.is_file() or exe.stat().st_mtime < newest_source:
        temp = out_dir / f"{name}.{os.getpid()}.exe"
        subprocess.run([compiler, "-std=c++20", "-O2", "-s", "-municode", "-static", "-o",
                        str(temp), str(sources[0])], check=True)
        temp.replace(exe)
    return exe


def can_build_tools() -> str | None:
    """Why the Windows test programs cannot be had, or None."""
    try:
        tool_exe("uv")
        tool_exe("with_env")
    except (OSError, subprocess.CalledProcessError) as e:
        return str(e)
    return None


def _environ(prefix: WinePrefix, env: dict | None, windows_env: dict | None) -> dict:
    environ = prefix.base_env()
    for name, value in (env or {}).items():
        if value is None:
            environ.pop(name, None)
        else:
            environ[name] = value
    unset = []
    for name, value in (windows_env or {}).items():
        if value is None:
            unset.append(name)
        else:
            environ[f"WITH_ENV__{name}"] = value
    if unset:
        environ["WITH_ENV_UNSET"] = ";".join(unset)
    return environ


def wine_argv(exe, args, windows_env: dict | None) -> list[str]:
    if windows_env:
        return [str(WINE64), str(tool_exe("with_env")), windows_path(exe), *map(str, args)]
    return [str(WINE64), str(exe), *map(str, args)]


def run_windows(exe, args, *, env: dict | None = None, windows_env: dict | None = None,
                input: str | bytes | None = None, cwd=None, timeout: float = 120) -> Result:
    """Runs a Windows program under wine (standard input from a pipe, output to files).

    `env`: variables as wine passes them from Unix (None removes one);
    `windows_env`: variables wine would otherwise set itself (USERPROFILE, ...;
    None removes one).
    Output is decoded from UTF-8 and otherwise left exactly as written."""
    prefix = WinePrefix.shared()
    data = input.encode() if isinstance(input, str) else (input or b"")
    # Files, not pipes: the helper programs wine starts beside the first
    # program (services.exe, explorer.exe, ...) inherit its standard handles
    # and outlive it, so a pipe would see its end only when they go.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(wine_argv(exe, args, windows_env), input=data, stdout=out,
                              stderr=err, env=_environ(prefix, env, windows_env), cwd=cwd,
                              timeout=timeout)
        out.seek(0)
        err.seek(0)
        return Result(proc.returncode, out.read().decode("utf-8", "replace"),
                      err.read().decode("utf-8", "replace"))


def start_windows(exe, args, *, env: dict | None = None, windows_env: dict | None = None,
                  stdout=None, stderr=None) -> subprocess.Popen:
    """Starts a Windows program under wine without waiting (standard input
    empty; give files, not pipes, for its output)."""
    prefix = WinePrefix.shared()
    return subprocess.Popen(wine_argv(exe, args, windows_env), env=_environ(prefix, env, windows_env),
                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)


def windows_pids(exe) -> list[int]:
    """The Unix processes running the Windows program `exe` (wine makes a
    program's process a child of init, named by the program's Windows path)."""
    name = windows_path(exe).lower()
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            argv0 = (entry / "cmdline").read_bytes().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        if argv0.strip('"').lower() == name:
            pids.append(int(entry.name))
    return pids


def run_windows_tty(exe, args, *, env: dict | None = None, windows_env: dict | None = None,
                    input: str | None = None, cwd=None, timeout: float = 120,
                    columns: int = 200) -> Result:
    """Runs under a pseudo-terminal: wine gives the program a console (as
    wide as the terminal) and draws it on the terminal, wrapping longer lines.
    `stdout` is every byte the terminal received."""
    prefix = WinePrefix.shared()
    environ = _environ(prefix, env, windows_env)
    environ.setdefault("TERM", "xterm")
    rc, out = pty_capture(wine_argv(exe, args, windows_env), environ, input, cwd, timeout,
                          until_exit=True, size=(50, columns))
    return Result(rc, out.decode("utf-8", "replace"), "")


@dataclass
class WindowsUser:
    """A fresh Windows user: a profile folder (USERPROFILE) and a local
    application data folder (LOCALAPPDATA)."""
    root: Path

    @property
    def profile(self) -> Path:
        return self.root / "profile"

    @property
    def local_app_data(self) -> Path:
        return self.root / "profile" / "AppData" / "Local"

    @property
    def config_dir(self) -> Path:
        return self.profile / ".ZVK" / "Keelbox"

    @property
    def config_file(self) -> Path:
        return self.config_dir / "keelbox.toml"

    @property
    def data_dir(self) -> Path:
        return self.config_dir

    @property
    def cache_dir(self) -> Path:
        return self.local_app_data / "ZVK Numerics GmbH" / "Keelbox" / "Cache"

    def windows_env(self) -> dict:
        self.local_app_data.mkdir(parents=True, exist_ok=True)
        return {"USERPROFILE": windows_path(self.profile),
                "LOCALAPPDATA": windows_path(self.local_app_data)}


def main(argv: list[str]) -> int:
    """`python3 wine.py PROGRAM [ARG...]`: runs a Windows program under the
    shared prefix, for use as CMake's cross-compiling emulator. Standard input
    is passed on; output reaches this program's output once the program has
    ended (through files, for the reason run_windows gives); the status is
    the program's."""
    import sys
    if not argv:
        print("usage: wine.py PROGRAM [ARGUMENT...]", file=sys.stderr)
        return 125
    prefix = WinePrefix.shared()
    keep = {k: v for k, v in os.environ.items()
            if not k.startswith(("WINE", "LC_")) and k not in ("HOME", "PATH", "LANG", "DISPLAY")}
    environ = {**keep, **prefix.base_env()}
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([str(WINE64), *argv], stdout=out, stderr=err, env=environ).returncode
        for stream, target in ((out, sys.stdout.buffer), (err, sys.stderr.buffer)):
            stream.seek(0)
            shutil.copyfileobj(stream, target)
            target.flush()
    return status


if __name__ == "__main__":
    import sys
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Start-up benchmark of the installed tool (Release build).

Measures wall time and peak memory of whole runs, against two baselines
measured in the same run on the same machine:

  - `true`:                    the cost of starting any process at all;
  - `python3 -I -S -c pass`:   the cost of merely starting a Python interpreter,
                               which a tool written in Python pays on every run.

Runs measured: `keelbox --version`, `keelbox --help`, and
`keelbox download-examples --list-available` answered from the warm cache
(access token, entitlements and package list memoised; the sandbox cloud is
running but is not asked).

    python3 bench/startup.py --build build/release [--runs 50]
"""
from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "tools"))

from sandbox_cloud import Sandbox  # noqa: E402


def measure(argv, env, runs):
    """Median wall time (ms) and peak RSS (MiB) of `runs` runs of argv."""
    times = []
    devnull = os.open(os.devnull, os.O_RDWR)
    try:
        for _ in range(runs):
            start = time.perf_counter()
            # posix_spawn (vfork-like): the child's peak memory is its own,
            # not a copy of this interpreter's.
            pid = os.posix_spawn(argv[0], argv, env, file_actions=[
                (os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
                (os.POSIX_SPAWN_DUP2, devnull, 2)])
            _, status = os.waitpid(pid, 0)
            times.append((time.perf_counter() - start) * 1000)
            if os.waitstatus_to_exitcode(status) != 0:
                raise SystemExit(f"{argv} ended with status {os.waitstatus_to_exitcode(status)}")
    finally:
        os.close(devnull)
    # Peak memory through GNU time, whose own small process is the parent.
    out = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], env=env, capture_output=True,
                         text=True, check=True).stderr.strip().splitlines()[-1]
    peak = int(out)
    return statistics.median(times), peak / 1024


def install_tool(build, work: Path) -> str:
    """Installs the build into a fresh environment below `work`; the executable."""
    tool = work / "tool"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tool)], check=True)
    subprocess.run(["cmake", "--install", str(build), "--prefix", str(tool)], check=True,
                   stdout=subprocess.DEVNULL)
    return str(tool / "bin" / "keelbox")


def signed_in_env(keelbox: str, cloud: Sandbox, home: Path) -> dict:
    """The environment of a user whose folders are below `home` and whose
    tool reaches `cloud`, signed in with the sandbox's default credential."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "KEELBOX_"))}
    env.update(cloud.env)
    env.update({"HOME": str(home), "XDG_CONFIG_HOME": str(home / "c"),
                "XDG_DATA_HOME": str(home / "d"), "XDG_CACHE_HOME": str(home / "k")})
    subprocess.run([keelbox, "init", "--token-id", "id-1", "--token", "secret-1"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    return env


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "release"))
    parser.add_argument("--runs", type=int, default=50)
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="keelbox-bench-"))
    try:
        keelbox = install_tool(args.build, work)
        home = work / "home"
        home.mkdir()
        with Sandbox({"packages": [{"key": "zvk-sample-app-examples"}]},
                     state_dir=work / "sandbox") as cloud:
            env = signed_in_env(keelbox, cloud, home)
            # Fill the cache once: token, entitlements (30 s) and package list.
            subprocess.run([keelbox, "download-examples", "--list-available"], env=env,
                           check=True, stdout=subprocess.DEVNULL)
            cloud.clear_log()

            rows = [
                ("baseline: true", [shutil.which("true")]),
                ("baseline: python3 -I -S -c pass", [sys.executable, "-I", "-S", "-c", "pass"]),
                ("keelbox --version", [keelbox, "--version"]),
                ("keelbox --help", [keelbox, "--help"]),
                ("keelbox download-examples --list-available (warm cache)",
                 [keelbox, "download-examples", "--list-available"]),
            ]
            results = {}
            for label, argv in rows:
                if "warm cache" in label:  # keep the 30-second entitlements entry fresh
                    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
                results[label] = measure(argv, env, args.runs)
            asked = len(cloud.requests())

        python_ms = results["baseline: python3 -I -S -c pass"][0]
        print(f"{'run':58} {'median ms':>10} {'peak MiB':>9} {'vs python':>10}")
        for label, (ms, mib) in results.items():
            print(f"{label:58} {ms:10.2f} {mib:9.1f} {ms / python_ms:9.2f}x")
        print(f"service requests during the measured runs: {asked}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

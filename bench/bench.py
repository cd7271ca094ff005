#!/usr/bin/env python3
"""The tool's headline figures, each as a ratio against a baseline measured in
the same run (interleaved rounds, medians), so that a busy machine moves both
sides alike.

    python3 bench/bench.py [--build build/release] [--rounds 7] [--no-build]

Builds the Release tool (unless --no-build), installs it into a throw-away
Python environment, starts the sandbox cloud with generated example archives
and prints:

  1. `keelbox --version` against `python3 -I -S -c pass` (a bare interpreter);
  2. a whole `download-examples` of one 20,000-file archive against
     `tar -xzf` of the same file, on tmpfs (/dev/shm) and on disk;
  3. peak memory of `download-examples` with four 20 MB archives against
     `curl --parallel` and `tar -xzf` (the larger of their peaks);
  4. the time of those four downloads against `curl --parallel` through the
     same proxy and CA, followed by `tar -xzf` of each file.

Needs python3, curl and tar. Takes two to four minutes.
"""
from __future__ import annotations

import argparse
import io
import os
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "tools"))

from sandbox_cloud import Sandbox  # noqa: E402
from startup import install_tool, signed_in_env  # noqa: E402

BIG = "many"                                 # the 20,000-file archive
FOUR = ["big1", "big2", "big3", "big4"]      # the four 20 MB archives
TOKEN = "bench-access-token"
DOMAIN = "zvknumerics.com"


def run(argv, env=None, peak=False):
    """Wall time (s) of one run of argv, and with `peak` its peak resident
    memory (MiB), else 0. The peak is taken through GNU time, whose own small
    process is the parent: a child spawned straight from this interpreter
    would be charged this interpreter's peak (the kernel carries the peak of
    the memory a child replaces at exec)."""
    report = None
    if peak:
        fd, report = tempfile.mkstemp(prefix="keelbox-bench-peak-")
        os.close(fd)
        argv = ["/usr/bin/time", "-f", "%M", "-o", report, *argv]
    devnull = os.open(os.devnull, os.O_RDWR)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, env if env is not None else os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 0),
                                           (os.POSIX_SPAWN_DUP2, devnull, 1),
                                           (os.POSIX_SPAWN_DUP2, devnull, 2)])
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter() - start
        if os.waitstatus_to_exitcode(status) != 0:
            raise SystemExit(f"{' '.join(map(str, argv))} ended with status "
                             f"{os.waitstatus_to_exitcode(status)}")
        return elapsed, (int(Path(report).read_text().split()[-1]) / 1024 if report else 0.0)
    finally:
        os.close(devnull)
        if report:
            os.unlink(report)


def tar_gz(members) -> bytes:
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=6) as tar:
        for name, data in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = 1_700_000_000
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def make_archives(folder: Path) -> None:
    rng = random.Random(14)
    words = [bytes(rng.choice(b"abcdefghij ") for _ in range(40)) for _ in range(64)]
    many = [(f"examples/d{i // 100:03d}/f{i:05d}.txt", b"\n".join(rng.sample(words, 6)))
            for i in range(20_000)]
    (folder / f"{BIG}.tar.gz").write_bytes(tar_gz(many))
    for name in FOUR:  # incompressible: about 20 MB on the wire and on disk
        (folder / f"{name}.tar.gz").write_bytes(
            tar_gz([(f"data/part{i:02d}.bin", rng.randbytes(1 << 20)) for i in range(20)]))


def fresh(path: Path) -> Path:
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "release"))
    parser.add_argument("--rounds", type=int, default=7, help="rounds of the slow figures")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    args = parser.parse_args()
    build = Path(args.build)

    if not args.no_build:
        env = dict(os.environ, CMAKE_CXX_COMPILER_LAUNCHER="ccache", CCACHE_BASEDIR=str(ROOT.parent))
        if shutil.which("ccache") is None:
            env.pop("CMAKE_CXX_COMPILER_LAUNCHER")
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 2),
                        "--target", "keelbox", "keelbox_manpage"], check=True, env=env)

    load_before = os.getloadavg()
    work = Path(tempfile.mkdtemp(prefix="keelbox-bench-"))
    shm = Path(tempfile.mkdtemp(prefix="keelbox-bench-", dir="/dev/shm"))
    try:
        keelbox = install_tool(build, work)
        archives = fresh(work / "archives")
        make_archives(archives)
        home = fresh(work / "home")
        scenario = {
            "entitlements": [{"name": n, "code": f"ENT_{n.upper()}", "packages": [n],
                              "required_entitlements": []} for n in [BIG, *FOUR]],
            "packages": [{"key": f"{n}-examples"} for n in [BIG, *FOUR]],
            "access_tokens": [TOKEN],
            "examples_dir": str(archives),
        }
        with Sandbox(scenario, state_dir=work / "sandbox") as cloud:
            env = signed_in_env(keelbox, cloud, home)
            python = [sys.executable, "-I", "-S", "-c", "pass"]
            version = [keelbox, "--version"]

            def download(dest: Path, names):
                argv = [keelbox, "download-examples", "--download-dir", str(dest)]
                for n in names:
                    argv += ["-m", n]
                return run(argv, env, peak=True)

            def untar(dest: Path, names):
                total, peak = 0.0, 0.0
                for n in names:
                    t, m = run(["/usr/bin/tar", "-xzf", str(archives / f"{n}.tar.gz"), "-C", str(dest)],
                               peak=True)
                    total, peak = total + t, max(peak, m)
                return total, peak

            def curl_then_tar(dest: Path):
                argv = [shutil.which("curl"), "--silent", "--fail", "--parallel",
                        "--proxy", cloud.proxy_url, "--cacert", str(cloud.ca_file),
                        "-H", f"Authorization: Bearer {TOKEN}"]
                for n in FOUR:
                    argv += ["-o", str(dest / f"{n}.tar.gz"),
                             f"https://core.cloud.{DOMAIN}/v1/license/artifacts/examples/{n}.tar.gz"]
                total, curl_peak = run(argv, peak=True)
                tar_peak = 0.0
                for n in FOUR:
                    out = fresh(dest / n)
                    t, m = run(["/usr/bin/tar", "-xzf", str(dest / f"{n}.tar.gz"), "-C", str(out)],
                               peak=True)
                    total, tar_peak = total + t, max(tar_peak, m)
                return total, curl_peak, tar_peak

            # Warm-up: page cache, the tool's token and entitlements memo.
            download(fresh(work / "warm"), [BIG])
            untar(fresh(work / "warm"), [BIG])

            start_runs = {"python": [], "keelbox": []}
            for _ in range(60):
                start_runs["python"].append(run(python)[0])
                start_runs["keelbox"].append(run(version)[0])

            many = {key: [] for key in ("kb-shm", "tar-shm", "kb-disk", "tar-disk")}
            four = {key: [] for key in ("kb", "curl")}
            for _ in range(args.rounds):
                for where, base in (("shm", shm), ("disk", work)):
                    many[f"kb-{where}"].append(download(fresh(base / "kb"), [BIG])[0])
                    many[f"tar-{where}"].append(untar(fresh(base / "tar"), [BIG])[0])
                four["kb"].append(download(fresh(work / "kb4"), FOUR))
                four["curl"].append(curl_then_tar(fresh(work / "curl4")))
                shutil.rmtree(work / "kb4"), shutil.rmtree(work / "curl4")
                shutil.rmtree(shm / "kb"), shutil.rmtree(shm / "tar")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(shm, ignore_errors=True)
    load_after = os.getloadavg()

    med = statistics.median
    py_ms, kb_ms = med(start_runs["python"]) * 1e3, med(start_runs["keelbox"]) * 1e3
    kb_mem = max(m for _, m in four["kb"])
    curl_peak = max(c for _, c, _ in four["curl"])
    tar_peak = max(t for _, _, t in four["curl"])
    curl_mem = max(curl_peak, tar_peak)
    kb4, curl4 = med(t for t, _ in four["kb"]), med(t for t, _, _ in four["curl"])
    rows = [
        ("`keelbox --version` against `python3 -I -S -c pass`", kb_ms / py_ms,
         f"{kb_ms:.2f} against {py_ms:.2f} ms", "at most 0.25x"),
        ("`download-examples` of one 20,000-file archive against `tar -xzf`, tmpfs",
         med(many["kb-shm"]) / med(many["tar-shm"]),
         f"{med(many['kb-shm']) * 1e3:.0f} against {med(many['tar-shm']) * 1e3:.0f} ms", "at most 1.0x"),
        ("the same on disk", med(many["kb-disk"]) / med(many["tar-disk"]),
         f"{med(many['kb-disk']) * 1e3:.0f} against {med(many['tar-disk']) * 1e3:.0f} ms", "at most 1.0x"),
        ("peak memory of `download-examples`, four 20 MB archives, against curl and tar",
         kb_mem / curl_mem, f"{kb_mem:.1f} against {curl_mem:.1f} MiB (curl {curl_peak:.1f}, tar {tar_peak:.1f})", "at most 40 MiB"),
        ("the four downloads against `curl --parallel` and `tar -xzf`", kb4 / curl4,
         f"{kb4 * 1e3:.0f} against {curl4 * 1e3:.0f} ms", "at most 0.6x"),
    ]
    print(f"\nload average {load_before[0]:.1f} before, {load_after[0]:.1f} after "
          f"({os.cpu_count()} cores); medians of {args.rounds} interleaved rounds (60 for start-up)\n")
    print("| figure | ratio | measured | goal |")
    print("|---|---|---|---|")
    for label, ratio, detail, goal in rows:
        print(f"| {label} | {ratio:.2f}x | {detail} | {goal} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Unpacking benchmark: a whole `keelbox download-examples` of one archive of
many small files against `tar -xzf` of the same file (Release build).

`--case files` (the default): small files in folders of 100. `--case links`:
10,000 files, each with two hard links and two symbolic links (one to its
neighbour in the same folder, one to a file of another folder through "..").
`--case deep`: 20 chains of 200 nested folders, a small file in each folder.

Both unpack into a fresh folder on each round, on tmpfs (/dev/shm) and on disk
(a folder beside the build); rounds alternate between the two programs, so
that a change in the machine's load hits both alike. Reported: the median wall
time of each, their ratio, and system calls per member (strace -c, one run
each; tar's count includes its gzip child).

    python3 bench/extract.py --build build/release [--case files|links|deep]
        [--files 20000] [--rounds 7] [--places tmpfs,disk] [--reference OTHER_BUILD]

With --reference the tool of another Release build is measured alongside
(its rounds interleaved with the other two, its executable copied into an
environment of its own), for a before-and-after in one run.

`measure_extraction()` is what a larger benchmark calls.
"""
from __future__ import annotations

import argparse
import io
import os
import random
import re
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

ARCHIVE_NAME = "zvk_sample_app"          # served for the package below
PACKAGE = "zvk-sample-app-examples"      # the folder it unpacks to


def make_archive(files: int, per_folder: int = 100, seed: int = 14) -> bytes:
    """`files` small text files (100 B to 4 KiB) in folders of `per_folder`."""
    rng = random.Random(seed)
    words = [f"word{i}" for i in range(500)]
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        folders = set()
        for i in range(files):
            folder = f"examples/part{i // per_folder // 10}/group{i // per_folder}"
            for depth in range(1, folder.count("/") + 2):
                name = "/".join(folder.split("/")[:depth])
                if name not in folders:
                    folders.add(name)
                    info = tarfile.TarInfo(name)
                    info.type = tarfile.DIRTYPE
                    info.mode = 0o755
                    tar.addfile(info)
            text = " ".join(rng.choice(words) for _ in range(rng.randint(15, 600))).encode()
            info = tarfile.TarInfo(f"{folder}/file{i}.txt")
            info.size = len(text)
            info.mode = 0o644
            info.mtime = 1_700_000_000
            tar.addfile(info, io.BytesIO(text))
    return buf.getvalue()


def _folder_info(tar, name: str) -> None:
    info = tarfile.TarInfo(name)
    info.type = tarfile.DIRTYPE
    info.mode = 0o755
    tar.addfile(info)


def _file_info(tar, name: str, text: bytes) -> None:
    info = tarfile.TarInfo(name)
    info.size = len(text)
    info.mode = 0o644
    info.mtime = 1_700_000_000
    tar.addfile(info, io.BytesIO(text))


def _link_info(tar, name: str, kind: bytes, target: str) -> None:
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = target
    info.mode = 0o644
    info.mtime = 1_700_000_000
    tar.addfile(info)


def make_links_archive(files: int = 10000, per_folder: int = 100) -> bytes:
    """`files` small files in folders of `per_folder`, each followed by two
    hard links to it and two symbolic links: one to the previous file of the
    same folder, one through ".." to a file of the previous folder."""
    buf = io.BytesIO()
    groups = (files + per_folder - 1) // per_folder
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        _folder_info(tar, "examples")
        for g in range(groups):
            folder = f"examples/group{g}"
            _folder_info(tar, folder)
            for i in range(g * per_folder, min(files, (g + 1) * per_folder)):
                _file_info(tar, f"{folder}/file{i}.txt", f"file {i}\n".encode() * 8)
                _link_info(tar, f"{folder}/hard{i}a.txt", tarfile.LNKTYPE, f"{folder}/file{i}.txt")
                _link_info(tar, f"{folder}/hard{i}b.txt", tarfile.LNKTYPE, f"{folder}/file{i}.txt")
                near = max(g * per_folder, i - 1)
                _link_info(tar, f"{folder}/near{i}.txt", tarfile.SYMTYPE, f"file{near}.txt")
                other = max(0, g - 1)
                _link_info(tar, f"{folder}/far{i}.txt", tarfile.SYMTYPE,
                           f"../group{other}/file{other * per_folder + i % per_folder}.txt")
    return buf.getvalue()


def make_deep_archive(chains: int = 20, depth: int = 200) -> bytes:
    """`chains` chains of `depth` nested folders (the deepest the tool keeps),
    a small file in each."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        _folder_info(tar, "examples")
        for c in range(chains):
            folder = f"examples/chain{c}"
            for level in range(depth - 1):  # "examples" is the first of them
                folder = folder if level == 0 else f"{folder}/d{level}"
                _folder_info(tar, folder)
                _file_info(tar, f"{folder}/file.txt", f"chain {c} level {level}\n".encode())
    return buf.getvalue()


def make_case(case: str, files: int) -> bytes:
    if case == "links":
        return make_links_archive()
    if case == "deep":
        return make_deep_archive()
    return make_archive(files)


def _timed(argv, env) -> float:
    start = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def _syscalls(argv, env) -> int:
    """Total system calls of one run (children included), from strace -c."""
    out = subprocess.run(["strace", "-f", "-c", "-o", "/dev/stdout", *argv], env=env, check=True,
                         capture_output=True, text=True).stdout
    total = re.search(r"^\s*100\.00\s+\S+\s+\S+\s+(\d+)\s", out, re.M)
    return int(total.group(1)) if total else -1


def measure_extraction(keelbox: str, env: dict, cloud: Sandbox, places: dict[str, Path],
                       files: int = 20000, rounds: int = 7, case: str = "files",
                       reference: tuple[str, dict] | None = None) -> list[dict]:
    """Rows {place, keelbox_ms, tar_ms, ratio, keelbox_calls, tar_calls} per place
    (with `reference`, the executable and environment of another build, also
    reference_ms, reference_ratio and reference_calls)."""
    data = make_case(case, files)
    cloud.add_example_archive(ARCHIVE_NAME, data)
    members = len(tarfile.open(fileobj=io.BytesIO(data)).getmembers())
    rows = []
    for label, place in places.items():
        work = Path(tempfile.mkdtemp(prefix="keelbox-extract-", dir=place))
        try:
            archive = work / "archive.tar.gz"
            archive.write_bytes(data)

            def fresh(name: str) -> Path:
                folder = work / name
                shutil.rmtree(folder, ignore_errors=True)
                folder.mkdir()
                return folder

            def run_keelbox(tool: str = keelbox, name: str = "k") -> list[str]:
                return [tool, "download-examples", "--download-dir", str(fresh(name))]

            def run_tar() -> list[str]:
                return ["tar", "-xzf", str(archive), "-C", str(fresh("t"))]

            _timed(run_keelbox(), env)  # warm: caches, page cache of the binary
            if not (work / "k" / PACKAGE / "examples").is_dir():
                raise SystemExit("keelbox did not unpack the archive")
            if reference:
                _timed(run_keelbox(reference[0], "r"), reference[1])
            k_ms, t_ms, r_ms = [], [], []
            for _ in range(rounds):
                k_ms.append(_timed(run_keelbox(), env))
                if reference:
                    r_ms.append(_timed(run_keelbox(reference[0], "r"), reference[1]))
                t_ms.append(_timed(run_tar(), env))
            k_calls = _syscalls(run_keelbox(), env)
            t_calls = _syscalls(run_tar(), env)
            k, t = statistics.median(k_ms), statistics.median(t_ms)
            row = {"place": label, "members": members, "keelbox_ms": k, "tar_ms": t,
                   "ratio": k / t, "keelbox_calls": k_calls / members,
                   "tar_calls": t_calls / members}
            if reference:
                r = statistics.median(r_ms)
                row.update({"reference_ms": r, "reference_ratio": r / t,
                            "reference_calls": _syscalls(run_keelbox(reference[0], "r"),
                                                         reference[1]) / members})
            rows.append(row)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return rows


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "release"))
    parser.add_argument("--files", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--case", choices=["files", "links", "deep"], default="files")
    parser.add_argument("--places", default="tmpfs,disk", help="tmpfs, disk or both")
    parser.add_argument("--reference", help="another Release build, measured alongside")
    args = parser.parse_args()
    if not shutil.which("strace"):
        raise SystemExit("strace is needed (apt-get install strace)")

    build = Path(args.build).resolve()
    work = Path(tempfile.mkdtemp(prefix="keelbox-bench-", dir=build))
    try:
        keelbox = install_tool(build, work)
        home = work / "home"
        home.mkdir()
        with Sandbox({"packages": [{"key": PACKAGE}]}, state_dir=work / "sandbox") as cloud:
            env = signed_in_env(keelbox, cloud, home)
            reference = None
            if args.reference:
                from update import copy_tool  # it imports this file
                tool = copy_tool(Path(args.reference).resolve(), work / "reference")
                (work / "reference" / "home").mkdir()
                reference = (tool, signed_in_env(tool, cloud, work / "reference" / "home"))
            places = {"tmpfs": Path("/dev/shm"), "disk": work}
            wanted = args.places.split(",")
            load = os.getloadavg()[0]
            rows = measure_extraction(keelbox, env, cloud,
                                      {k: v for k, v in places.items() if k in wanted},
                                      files=args.files, rounds=args.rounds, case=args.case,
                                      reference=reference)
        print(f"case {args.case}: {rows[0]['members']} members; medians of {args.rounds} "
              f"interleaved rounds; load average {load:.1f} before, {os.getloadavg()[0]:.1f} after")
        print(f"{'place':6} {'tool':9} {'ms':>8} {'tar ms':>8} {'ratio':>7} {'calls/member':>13} "
              f"{'tar calls':>10}")
        for r in rows:
            print(f"{r['place']:6} {'this':9} {r['keelbox_ms']:8.1f} {r['tar_ms']:8.1f} "
                  f"{r['ratio']:6.2f}x {r['keelbox_calls']:13.2f} {r['tar_calls']:10.2f}")
            if "reference_ms" in r:
                print(f"{r['place']:6} {'reference':9} {r['reference_ms']:8.1f} {r['tar_ms']:8.1f} "
                      f"{r['reference_ratio']:6.2f}x {r['reference_calls']:13.2f} "
                      f"{r['tar_calls']:10.2f}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

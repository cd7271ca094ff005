#!/usr/bin/env python3
"""Large-archive benchmark: `keelbox download-examples`, which unpacks each
archive while it downloads, against `curl --parallel` (same proxy and CA)
followed by `bsdtar -xf` of each file (Release build).

`--case one`: one archive of 500 MB. `--case ten`: ten archives of 50 MB
each, downloaded at once. The members are 1 MiB files of random bytes, so
the archive is as large on the wire as unpacked. Both sides write into fresh
folders on tmpfs (/dev/shm) or on disk (a folder beside the build); rounds
alternate between them, so that a change in the machine's load hits both
alike. Reported: the median wall time of each and their ratio.

    python3 bench/stream.py --build build/release [--case one|ten|both]
        [--rounds 5] [--places tmpfs disk]

Needs curl and bsdtar (libarchive-tools).
"""
from __future__ import annotations

import argparse
import io
import os
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
sys.path.insert(0, str(ROOT / "bench"))

from sandbox_cloud import Sandbox  # noqa: E402
from startup import install_tool, signed_in_env  # noqa: E402

TOKEN = "bench-access-token"
DOMAIN = "zvknumerics.com"
CASES = {"one": [("huge", 500)], "ten": [(f"fifty{i}", 50) for i in range(10)]}


def make_archive(path: Path, megabytes: int) -> None:
    """A gzip tar archive of `megabytes` files of 1 MiB random bytes."""
    with tarfile.open(path, mode="w:gz", compresslevel=1) as tar:
        for i in range(megabytes):
            info = tarfile.TarInfo(f"data/part{i:04d}.bin")
            info.size = 1 << 20
            info.mode = 0o644
            info.mtime = 1_700_000_000
            tar.addfile(info, io.BytesIO(os.urandom(1 << 20)))


def fresh(path: Path) -> Path:
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def timed(argv, env=None) -> float:
    start = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "release"))
    parser.add_argument("--case", choices=["one", "ten", "both"], default="both")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--places", nargs="+", default=["tmpfs"], choices=["tmpfs", "disk"])
    args = parser.parse_args()
    for program in ("curl", "bsdtar"):
        if shutil.which(program) is None:
            raise SystemExit(f"{program} is needed (scripts/install-deps.sh installs it)")
    build = Path(args.build).resolve()
    cases = ["one", "ten"] if args.case == "both" else [args.case]
    names = [name for case in cases for name, _ in CASES[case]]

    work = Path(tempfile.mkdtemp(prefix="keelbox-bench-", dir=build))
    places = {"tmpfs": Path(tempfile.mkdtemp(prefix="keelbox-bench-", dir="/dev/shm")),
              "disk": work / "out"}
    load_before = os.getloadavg()
    try:
        keelbox = install_tool(build, work)
        archives = fresh(work / "archives")
        for case in cases:
            for name, megabytes in CASES[case]:
                make_archive(archives / f"{name}.tar.gz", megabytes)
        scenario = {
            "entitlements": [{"name": n, "code": f"ENT_{n.upper()}", "packages": [n],
                              "required_entitlements": []} for n in names],
            "packages": [{"key": f"{n}-examples"} for n in names],
            "access_tokens": [TOKEN],
            "examples_dir": str(archives),
        }
        with Sandbox(scenario, state_dir=work / "sandbox") as cloud:
            env = signed_in_env(keelbox, cloud, fresh(work / "home"))

            def run_keelbox(out: Path, case: str) -> float:
                argv = [keelbox, "download-examples", "--download-dir", str(out)]
                for name, _ in CASES[case]:
                    argv += ["-m", name]
                return timed(argv, env)

            def run_reference(out: Path, case: str) -> float:
                argv = ["curl", "--silent", "--fail", "--parallel", "--proxy", cloud.proxy_url,
                        "--cacert", str(cloud.ca_file), "-H", f"Authorization: Bearer {TOKEN}"]
                for name, _ in CASES[case]:
                    argv += ["-o", str(out / f"{name}.tar.gz"),
                             f"https://core.cloud.{DOMAIN}/v1/license/artifacts/examples/{name}.tar.gz"]
                total = timed(argv)
                for name, _ in CASES[case]:
                    folder = fresh(out / name)
                    total += timed(["bsdtar", "-xf", str(out / f"{name}.tar.gz"), "-C", str(folder)])
                return total

            print(f"medians of {args.rounds} interleaved rounds")
            print(f"{'case':5} {'place':6} {'keelbox ms':>11} {'curl+bsdtar ms':>15} {'ratio':>7}")
            for case in cases:
                for place in args.places:
                    base = places[place]
                    run_keelbox(fresh(base / "warm"), case)  # caches, page cache
                    shutil.rmtree(base / "warm")
                    times = {"keelbox": [], "reference": []}
                    for _ in range(args.rounds):
                        subprocess.run(["sync"], check=True)
                        times["keelbox"].append(run_keelbox(fresh(base / "kb"), case))
                        shutil.rmtree(base / "kb")
                        subprocess.run(["sync"], check=True)
                        times["reference"].append(run_reference(fresh(base / "ref"), case))
                        shutil.rmtree(base / "ref")
                    kb, ref = (statistics.median(times[k]) for k in ("keelbox", "reference"))
                    print(f"{case:5} {place:6} {kb * 1e3:11.0f} {ref * 1e3:15.0f} {kb / ref:6.2f}x",
                          flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(places["tmpfs"], ignore_errors=True)
    load_after = os.getloadavg()
    print(f"load average before {load_before[0]:.1f}, after {load_after[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Update benchmark: a second `keelbox download-examples` of the same archive
into the folder the first one filled, against that first run into an empty
folder (Release build).

Each round runs the first (into a fresh download folder) and then the second
(the same archive again, over the folder the first left), so that a change in
the machine's load hits both alike; on tmpfs (/dev/shm) and on disk (a folder
beside the build). Reported: the median wall time of each and their ratio, per
archive size. A user's own file in the package folder must survive the second
run (checked each round).

    python3 bench/update.py --build build/release [--files 10000 100000] [--rounds 5]
    python3 bench/update.py --build build/release --reference OTHER_BUILD

With --reference the same figures are measured for the tool of another
Release build too (the rounds of both interleaved), for a before-and-after;
its executable is copied into an environment of its own, so that nothing is
written into that tree.
"""
from __future__ import annotations

import argparse
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "tools"))
sys.path.insert(0, str(ROOT / "bench"))

from extract import ARCHIVE_NAME, PACKAGE, make_archive  # noqa: E402
from sandbox_cloud import Sandbox  # noqa: E402
from startup import install_tool, signed_in_env  # noqa: E402


def copy_tool(build: Path, work: Path) -> str:
    """The executable of `build` in a fresh Python environment below `work`."""
    tool = work / "tool"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tool)], check=True)
    shutil.copy2(build / "src" / "keelbox", tool / "bin" / "keelbox")
    return str(tool / "bin" / "keelbox")


def _timed(argv, env) -> float:
    start = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1000


def measure_update(tools: dict[str, tuple[str, dict]], cloud: Sandbox, place: Path, files: int,
                   rounds: int) -> dict[str, tuple[float, float]]:
    """{tool label: (median first run ms, median second run ms)}."""
    cloud.add_example_archive(ARCHIVE_NAME, make_archive(files))
    work = Path(tempfile.mkdtemp(prefix="keelbox-update-", dir=place))
    times = {label: ([], []) for label in tools}
    try:
        def run(label: str, folder: Path) -> float:
            keelbox, env = tools[label]
            return _timed([keelbox, "download-examples", "--download-dir", str(folder)], env)

        for label in tools:  # warm: caches, page cache of the binary
            folder = work / "warm"
            folder.mkdir()
            run(label, folder)
            shutil.rmtree(folder)
        for _ in range(rounds):
            for label in tools:
                folder = work / "d"
                shutil.rmtree(folder, ignore_errors=True)
                folder.mkdir()
                subprocess.run(["sync"], check=True)
                times[label][0].append(run(label, folder))
                mine = folder / PACKAGE / "mine.txt"
                mine.write_text("mine\n")
                subprocess.run(["sync"], check=True)
                times[label][1].append(run(label, folder))
                if mine.read_text() != "mine\n" or [p.name for p in folder.iterdir()] != [PACKAGE]:
                    raise SystemExit(f"{label}: the second run did not keep the folder as it was")
        return {label: (statistics.median(first), statistics.median(second))
                for label, (first, second) in times.items()}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=str(ROOT / "build" / "release"))
    parser.add_argument("--reference", help="another Release build, measured alongside")
    parser.add_argument("--files", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--places", nargs="+", default=["tmpfs", "disk"])
    args = parser.parse_args()

    build = Path(args.build).resolve()
    work = Path(tempfile.mkdtemp(prefix="keelbox-bench-", dir=build))
    try:
        builds = {"this": build}
        if args.reference:
            builds["reference"] = Path(args.reference).resolve()
        with Sandbox({"packages": [{"key": PACKAGE}]}, state_dir=work / "sandbox") as cloud:
            tools = {}
            for label, tree in builds.items():
                keelbox = (install_tool(tree, work / label) if label == "this"
                           else copy_tool(tree, work / label))
                home = work / label / "home"
                home.mkdir()
                tools[label] = (keelbox, signed_in_env(keelbox, cloud, home))
            places = {"tmpfs": Path("/dev/shm"), "disk": work}
            print(f"medians of {args.rounds} interleaved rounds; second run over the first's folder")
            print(f"{'files':>7} {'place':6} {'tool':10} {'first ms':>9} {'second ms':>10} {'ratio':>7}")
            for files in args.files:
                for place in args.places:
                    result = measure_update(tools, cloud, places[place], files, args.rounds)
                    for label, (first, second) in result.items():
                        print(f"{files:7} {place:6} {label:10} {first:9.1f} {second:10.1f} "
                              f"{second / first:6.2f}x", flush=True)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

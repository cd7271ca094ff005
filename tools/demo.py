#!/usr/bin/env python3
"""Runs keelbox's main job end to end against the local sandbox cloud.

Starts the sandbox cloud (token and core services) with a small demo catalogue
and the private package index, installs keelbox and a uv into a fresh Python
environment, makes a second, target environment, and then runs, as a user
would:

    keelbox init --token-id ... --token ...
    keelbox modules
    keelbox install zvk-sample-app --yes
    keelbox modules
    keelbox download-examples

Everything lives in a temporary folder that is removed at the end (pass
--keep to keep it); the sandbox and the index stop when the script ends.

    python3 tools/demo.py --build build/release
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "tools"))

from package_index.index import PackageIndex  # noqa: E402
from sandbox_cloud import Sandbox  # noqa: E402

TOKEN_ID = "demo-token-id"
TOKEN_SECRET = "demo-token-secret"

DEMO_SCENARIO = {
    "credentials": [{"token_id": TOKEN_ID, "secret": TOKEN_SECRET}],
    "entitlements": [
        {"name": "ZVK Sample App", "code": "ENT_ZVK_SAMPLE_APP",
         "packages": ["zvk-sample-app", "zvk-sample-utils"], "required_entitlements": []},
        {"name": "ZVK Tracer", "code": "ENT_ZVK_TRACER_FREE",
         "packages": ["zvk-tracer"], "required_entitlements": ["ENT_ZVK_SAMPLE_APP"]},
    ],
    "packages": [
        {"key": "zvk-sample-app"}, {"key": "zvk-sample-utils"}, {"key": "zvk-tracer"},
        {"key": "zvk-sample-app-examples"}, {"key": "zvk-tracer-examples"},
    ],
}

EXAMPLES = {
    "zvk_sample_app": {
        "README.md": "# ZVK Sample App examples\n",
        "quickstart/run.py": "import zvk_sample_app\nprint(zvk_sample_app.__name__)\n",
        "quickstart/requirements.txt": "zvk-sample-utils\n",
    },
    "zvk_tracer": {
        "README.md": "# ZVK Tracer examples\n",
        "trace.py": "print('tracing')\n",
    },
}


def banner(text: str) -> None:
    print(f"\n\033[1m$ {text}\033[0m" if sys.stdout.isatty() else f"\n$ {text}", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "release"),
                        help="the CMake build folder of keelbox")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="keelbox-demo-"))
    try:
        with Sandbox(DEMO_SCENARIO, state_dir=work / "sandbox") as cloud, \
                PackageIndex(work / "index") as index:
            cloud.update(pip_location=index.url)
            for name, files in EXAMPLES.items():
                cloud.add_example(name, files)

            print(f"Sandbox cloud on 127.0.0.1:{cloud.port}, package index at {index.url}")
            print(f"Working folder: {work}")

            # The tool's installation: keelbox and uv beside a base interpreter.
            tool = work / "tool-env"
            subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tool)], check=True)
            subprocess.run(["cmake", "--install", args.build, "--prefix", str(tool)],
                           check=True, stdout=subprocess.DEVNULL)
            real_uv = shutil.which("uv")
            if real_uv:
                shutil.copy2(real_uv, tool / "bin" / "uv")
                print(f"Using the real uv from {real_uv}")
            else:
                shutil.copy2(ROOT / "tests" / "tools" / "uv" / "uv", tool / "bin" / "uv")
                print("Using the uv stand-in (tests/tools/uv), which drives pip")

            # The target environment the packages go into.
            target = work / "project-env"
            subprocess.run([sys.executable, "-m", "venv", str(target)], check=True)

            home = work / "home"
            home.mkdir()
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith(("XDG_", "KEELBOX_", "CONDA_"))}
            env.update(cloud.env)
            env.update({
                "HOME": str(home),
                "XDG_CONFIG_HOME": str(home / ".config"),
                "XDG_DATA_HOME": str(home / ".local" / "share"),
                "XDG_CACHE_HOME": str(home / ".cache"),
                "VIRTUAL_ENV": str(target),
                "PIP_DISABLE_PIP_VERSION_CHECK": "1",
            })
            keelbox = tool / "bin" / "keelbox"

            def run(*words: str) -> None:
                banner("keelbox " + " ".join(words))
                proc = subprocess.run([str(keelbox), *words], env=env, stdin=subprocess.DEVNULL)
                if proc.returncode != 0:
                    raise SystemExit(f"keelbox {' '.join(words)} ended with status {proc.returncode}")

            run("init", "--token-id", TOKEN_ID, "--token", TOKEN_SECRET)
            run("modules")
            run("install", "zvk-sample-app", "--yes")
            run("modules")
            run("download-examples")

            examples = home / ".local" / "share" / "Keelbox" / "examples"
            banner(f"find {examples} -type f")
            for path in sorted(p for p in examples.rglob("*") if p.is_file()):
                print(path.relative_to(examples))
            print("\nDemo finished: the sandbox cloud and the package index are stopped.")
        return 0
    finally:
        if args.keep:
            print(f"Kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

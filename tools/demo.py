#!/usr/bin/env python3
"""Runs keelbox's main job end to end against the local sandbox cloud.

Starts the sandbox cloud (token and core services) with a small demo catalogue
and the private package index, installs keelbox's wheel into a fresh Python
environment with pip, as a user would (pip brings `uv` from the index), makes a
second, target environment, and then runs:

    keelbox init --token-id ... --token ...
    keelbox modules
    keelbox install zvk-sample-app --yes
    keelbox modules
    keelbox download-examples

Each step is announced by one line saying what it does. Everything lives in a
temporary folder that is removed at the end (pass --keep to keep it); the
sandbox and the index stop when the script ends.

    python3 tools/demo.py --wheel-dir build/release/wheel
"""
from __future__ import annotations

import argparse
import json
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


def say(text: str) -> None:
    """One line saying what the next step does."""
    print(f"\n\033[1m# {text}\033[0m" if sys.stdout.isatty() else f"\n# {text}", flush=True)


def show_command(text: str) -> None:
    print(f"$ {text}", flush=True)


def installed_packages(env_dir: Path) -> dict[str, str]:
    out = subprocess.run([str(env_dir / "bin" / "python"), "-m", "pip", "list", "--format", "json",
                          "--disable-pip-version-check"], check=True, capture_output=True, text=True)
    return {p["name"]: p["version"] for p in json.loads(out.stdout)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wheel-dir", default=str(ROOT / "build" / "release" / "wheel"),
                        help="the folder holding keelbox's wheel (made by `cmake --build ... --target wheel`)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    wheels = sorted(Path(args.wheel_dir).glob("keelbox-*.whl"))
    if len(wheels) != 1:
        raise SystemExit(f"expected one keelbox wheel in {args.wheel_dir}, found {len(wheels)}")
    wheel = wheels[0]

    work = Path(tempfile.mkdtemp(prefix="keelbox-demo-"))
    try:
        say("Start the sandbox cloud (the vendor's services with a demo account) and a package index")
        with Sandbox(DEMO_SCENARIO, state_dir=work / "sandbox") as cloud, \
                PackageIndex(work / "index") as index:
            cloud.update(pip_location=index.url)
            for name, files in EXAMPLES.items():
                cloud.add_example(name, files)
            print(f"Sandbox cloud on 127.0.0.1:{cloud.port}, package index at {index.url}")
            print(f"Working folder: {work}")

            say("Install keelbox from its wheel into a fresh Python environment; pip brings uv from the index")
            tool = work / "tool-env"
            subprocess.run([sys.executable, "-m", "venv", str(tool)], check=True)
            show_command(f"{tool}/bin/python -m pip install --index-url {index.url} {wheel.name}")
            pip = subprocess.run([str(tool / "bin" / "python"), "-m", "pip", "install",
                                  "--disable-pip-version-check", "--index-url", index.url, str(wheel)],
                                 capture_output=True, text=True)
            if pip.returncode != 0:
                raise SystemExit(f"pip install ended with status {pip.returncode}:\n{pip.stdout}{pip.stderr}")
            print("\n".join(line for line in pip.stdout.splitlines()
                            if line.startswith("Successfully installed")))

            say("Make the project's environment, where the modules' packages will go")
            target = work / "project-env"
            subprocess.run([sys.executable, "-m", "venv", str(target)], check=True)
            print(f"{target} (VIRTUAL_ENV names it)")

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
                show_command("keelbox " + " ".join(words))
                proc = subprocess.run([str(keelbox), *words], env=env, stdin=subprocess.DEVNULL)
                if proc.returncode != 0:
                    raise SystemExit(f"keelbox {' '.join(words)} ended with status {proc.returncode}")

            say("Sign in: store the account's token in keelbox's configuration")
            run("init", "--token-id", TOKEN_ID, "--token", TOKEN_SECRET)
            say("List the account's modules and their packages (green: installed, red: not)")
            run("modules")
            say("Install the module ZVK Sample App into the project's environment with uv")
            before = installed_packages(target)
            run("install", "zvk-sample-app", "--yes")
            if not sys.stdout.isatty():
                after = installed_packages(target)
                new = [f"{name} {version}" for name, version in sorted(after.items())
                       if before.get(name) != version]
                print("The install step installed " + (", ".join(new) if new else "nothing")
                      + " into the project's environment.")
            say("List the modules again: the installed packages are now green")
            run("modules")
            say("Download and unpack the examples of the account's modules")
            run("download-examples")

            examples = home / ".local" / "share" / "Keelbox" / "examples"
            say("The files the examples brought")
            show_command(f"find {examples} -type f")
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

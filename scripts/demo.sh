#!/usr/bin/env bash
# The main job end to end against the local sandbox cloud: installs the Debian
# packages, builds keelbox's wheel (Release; the compiler's output goes to
# build/demo-build.log), then installs the wheel with pip into a fresh Python
# environment, as a user would, and runs init, modules, install and
# download-examples (tools/demo.py). Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
mkdir -p build
log=build/demo-build.log
printf 'building keelbox and its wheel (Release; compiler output in %s) ... ' "$log"
if cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 &&
   cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target wheel >>"$log" 2>&1; then
  echo done
else
  echo failed
  tail -n 40 "$log" >&2
  exit 1
fi
exec python3 tools/demo.py --wheel-dir build/release/wheel "$@"

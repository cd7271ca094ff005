#!/usr/bin/env bash
# The main job end to end against the local sandbox cloud: installs the Debian
# packages, builds keelbox (Release), then runs init, modules, install and
# download-examples as a user would (tools/demo.py). Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target keelbox keelbox_manpage
exec python3 tools/demo.py --build build/release "$@"

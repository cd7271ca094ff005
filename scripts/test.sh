#!/usr/bin/env bash
# Builds keelbox twice (Release, and Debug with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds with ctest.
# Installs the Debian packages it needs first. Exits non-zero on any failure.
#
#   bash scripts/test.sh            # both builds
#   KEELBOX_BUILDS=release bash scripts/test.sh   # only one of them
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
builds=${KEELBOX_BUILDS:-"release asan"}
status=0
for b in $builds; do
  case "$b" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan)    flags=(-DCMAKE_BUILD_TYPE=Debug -DKEELBOX_SANITIZE=ON -DKEELBOX_BUILD_BENCH=OFF) ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  echo "=== $b build"
  cmake -S . -B "build/$b" "${flags[@]}" >/dev/null
  cmake --build "build/$b" -j "$jobs"
  echo "=== $b tests"
  # Sanitizer reports end the test that triggers them.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  if ! ctest --test-dir "build/$b" -j "$jobs" --output-on-failure --timeout 900; then
    status=1
  fi
done
exit $status

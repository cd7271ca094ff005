#!/usr/bin/env bash
# Builds keelbox twice and runs every test of both builds with ctest:
#
#   release    g++, Release, warnings as errors; every unit and black-box test,
#              the wheel's included.
#   sanitize   clang, AddressSanitizer and UndefinedBehaviorSanitizer, with
#              libFuzzer's coverage; every unit and black-box test, then each
#              fuzz harness of fuzz/ for a bounded time (KEELBOX_FUZZ_SECONDS,
#              20 by default; 0 skips them).
#
# Installs the Debian packages it needs first. Exits non-zero on any failure.
#
#   bash scripts/test.sh                           # both builds
#   KEELBOX_BUILDS=release bash scripts/test.sh    # only one of them
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
builds=${KEELBOX_BUILDS:-"release sanitize"}
fuzz_seconds=${KEELBOX_FUZZ_SECONDS:-20}
status=0
for b in $builds; do
  compilers=()
  case "$b" in
    release)
      flags=(-DCMAKE_BUILD_TYPE=Release -DKEELBOX_WERROR=ON) ;;
    sanitize)
      compilers=(CC=clang CXX=clang++)
      flags=(-DCMAKE_BUILD_TYPE=Debug -DKEELBOX_SANITIZE=ON -DKEELBOX_FUZZ=ON -DKEELBOX_BUILD_BENCH=OFF) ;;
    *) echo "unknown build: $b" >&2; exit 2 ;;
  esac
  echo "=== $b build"
  env "${compilers[@]}" cmake -S . -B "build/$b" "${flags[@]}" >/dev/null
  cmake --build "build/$b" -j "$jobs"
  echo "=== $b tests"
  # Sanitizer reports end the test that triggers them.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  if ! ctest --test-dir "build/$b" -j "$jobs" --output-on-failure --timeout 1200; then
    status=1
  fi
  if [ "$b" = sanitize ] && [ "$fuzz_seconds" != 0 ]; then
    echo "=== fuzzing, ${fuzz_seconds}s a harness"
    if ! KEELBOX_FUZZ_BUILD="build/$b" bash scripts/fuzz.sh "$fuzz_seconds"; then
      status=1
    fi
  fi
done
exit $status

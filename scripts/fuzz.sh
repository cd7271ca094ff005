#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz) and runs each for a bounded time,
# starting from its seed corpus in fuzz/corpus/<name>. Exits non-zero when a
# harness finds anything (crash, sanitizer report, leak, time-out, broken
# property); the input that did it is kept in build/fuzz/findings/.
#
#   bash scripts/fuzz.sh                 # every harness, 20 s each
#   bash scripts/fuzz.sh 600             # every harness, 10 minutes each
#   bash scripts/fuzz.sh 60 extract      # only the named harnesses
#
# Inputs found along the way collect in build/fuzz/corpus/<name> (not in the
# repository), so later runs go on from there.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(extract json_records config_toml requirements pip_show pip_location)
fi

bash scripts/install-deps.sh

build=build/fuzz
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKEELBOX_FUZZ=ON \
  -DKEELBOX_BUILD_TESTS=OFF -DKEELBOX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/findings"
status=0
for h in "${harnesses[@]}"; do
  work="$build/corpus/$h"
  mkdir -p "$work"
  log="$build/fuzz_$h.log"
  dict=()
  if [ -f "fuzz/dict/$h.dict" ]; then dict=(-dict="fuzz/dict/$h.dict"); fi
  echo "=== fuzz $h for ${seconds}s"
  # New inputs go to the first folder; the seeds are only read.
  if "$build/fuzz/fuzz_$h" "$work" "fuzz/corpus/$h" \
       -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       "${dict[@]}" -artifact_prefix="$build/findings/$h-" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "    ok: ${execs:-?} executions, no finding"
  else
    status=1
    echo "    FINDING (log: $log):"
    grep -E "ERROR|SUMMARY|fuzz property broken|detail:|Test unit written" "$log" | head -20 | sed 's/^/    /'
  fi
done
exit $status

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
# repository), so later runs go on from there. Harnesses run side by side, as
# many at once as there are cores (KEELBOX_FUZZ_JOBS sets another number).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(extract json_records config_toml requirements pip_show pip_location)
fi

# KEELBOX_FUZZ_BUILD names a build folder already configured with
# -DKEELBOX_FUZZ=ON (the test command's sanitizer build is one), which is
# then reused as it is.
build=${KEELBOX_FUZZ_BUILD:-}
if [ -z "$build" ]; then
  bash scripts/install-deps.sh
  build=build/fuzz
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKEELBOX_FUZZ=ON \
    -DKEELBOX_BUILD_TESTS=OFF -DKEELBOX_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
fi
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/findings"

# One harness: writes its verdict to $build/fuzz_<name>.verdict (ok or
# FINDING, with the lines that matter).
fuzz_one() {
  local h=$1 work="$build/corpus/$1" log="$build/fuzz_$1.log" verdict="$build/fuzz_$1.verdict"
  local dict=()
  mkdir -p "$work"
  if [ -f "fuzz/dict/$h.dict" ]; then dict=(-dict="fuzz/dict/$h.dict"); fi
  # New inputs go to the first folder; the seeds are only read.
  if "$build/fuzz/fuzz_$h" "$work" "fuzz/corpus/$h" \
       -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       "${dict[@]}" -artifact_prefix="$build/findings/$h-" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "    ok: ${execs:-?} executions, no finding" >"$verdict"
  else
    { echo "    FINDING (log: $log):"
      grep -E "ERROR|SUMMARY|fuzz property broken|detail:|Test unit written" "$log" | head -20 | sed 's/^/    /'
    } >"$verdict"
  fi
}

# Each harness is one process on one core: as many run at once as there are
# cores (KEELBOX_FUZZ_JOBS), and their verdicts are shown in order at the end.
parallel=${KEELBOX_FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
echo "=== fuzz ${harnesses[*]} for ${seconds}s each, $parallel at a time"
for h in "${harnesses[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  rm -f "$build/fuzz_$h.verdict"
  fuzz_one "$h" &
done
wait
status=0
for h in "${harnesses[@]}"; do
  echo "=== fuzz $h"
  if [ -f "$build/fuzz_$h.verdict" ]; then cat "$build/fuzz_$h.verdict"; else echo "    no verdict"; fi
  if ! grep -q "^    ok:" "$build/fuzz_$h.verdict" 2>/dev/null; then status=1; fi
done
exit $status

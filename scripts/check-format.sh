#!/usr/bin/env bash
# Fails when a C++ source file deviates from .clang-format, naming each such
# file; with --fix, formats them in place instead. One formatter for everyone
# (Debian's clang-format), so that diffs show only meaning.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is missing (bash scripts/install-deps.sh installs it)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp' '*.h' '*.cc' '*.cpp.in' '*.hpp.in')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run --Werror "${files[@]}" 2>/dev/null; then
  echo "check-format: these files deviate from .clang-format (bash scripts/check-format.sh --fix):"
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "  $f"
  done
  exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"

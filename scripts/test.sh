#!/usr/bin/env bash
# Builds keelbox three times and runs the tests with ctest. The trees are the
# presets of CMakePresets.json (flags, compilers and test selections live
# there); this script orders them. Each test runs where it finds the most, so
# that nothing is built or run twice for nothing:
#
#   windows    the mingw-w64 cross build, with libcurl, libarchive, SQLite and
#              GoogleTest cross-built from Debian's sources by
#              scripts/deps.sh windows (cached, reused by later runs). Its unit
#              tests run under wine; its keelbox.exe is what the release
#              tree's test_windows drives, so it is built first.
#   release    the binary users get, in the wheel (its static libraries
#              built by scripts/deps.sh linux, which configuring runs, as
#              for the sanitize tree): the black-box tests
#              labelled "pip" (real installations) and "product" (the
#              wheel's, and those that start Windows programs). Alone, it
#              runs every black-box test (test preset release-all).
#   sanitize   clang, ASan and UBSan: every unit test and every other
#              black-box test; then each fuzz harness of fuzz/ for
#              KEELBOX_FUZZ_SECONDS (5 by default; 0 skips them), as many at
#              once as there are cores.
#
# The first tree builds with every core; the others build from the start in
# the background at the lowest priorities, in the processor time the
# foreground leaves unused. ctest runs twice as many tests at once as there
# are cores: many tests mostly wait (on pip, the sandbox cloud, a stall
# period). docs/testing.md explains the choices.
#
# Installs the Debian packages it needs first. Exits non-zero on any failure.
#
#   bash scripts/test.sh                           # all three builds
#   KEELBOX_BUILDS=release bash scripts/test.sh    # only one of them
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/check-format.sh

jobs=$(nproc 2>/dev/null || echo 2)
# ccache keeps compiled objects between runs, in its own folder outside the
# clone, so a later run builds only what changed. CCACHE_BASEDIR makes the
# objects independent of where the clone lies; the sloppiness lets it cache
# the objects compiled with the unit tests' precompiled header. (A preset
# cannot ask whether ccache is there, so the launcher is given here.)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros}
fi
builds=${KEELBOX_BUILDS:-"windows release sanitize"}
fuzz_seconds=${KEELBOX_FUZZ_SECONDS:-5}
status=0
win_tree=
# What a tree needs beyond its preset.
tree_options() {
  flags=()
  case "$1" in
    windows)
      # The Windows libraries' prefix: a preset cannot run the script that
      # builds them.
      echo "=== Windows libraries (scripts/deps.sh windows)"
      local stage_start=$SECONDS
      local win_deps
      win_deps=$(bash scripts/deps.sh windows | tail -n 1)
      flags=(-DKEELBOX_WIN_DEPS="$win_deps")
      echo "=== Windows libraries took $((SECONDS - stage_start)) s"
      win_tree=yes ;;
    release)
      # Its Windows tests drive build/windows only when this run built it first.
      if [ -z "$win_tree" ]; then flags=(-DKEELBOX_WIN_BUILD_DIR=); fi ;;
    sanitize) ;;
    *) echo "unknown build: $1" >&2; exit 2 ;;
  esac
}

# Configures and builds one tree.
build_tree() {
  local b=$1 generator=() cached
  # The presets use Ninja (scripts/install-deps.sh installs it), which starts
  # a module's objects before the modules it links with are linked; a tree
  # made earlier keeps its generator.
  cached=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "build/$b/CMakeCache.txt" 2>/dev/null || true)
  if [ -n "$cached" ]; then generator=(-G "$cached"); fi
  cmake --preset "$b" "${generator[@]}" "${flags[@]}" "${launcher[@]}" >/dev/null &&
    cmake --build --preset "$b" -j "$jobs"
}

# The second tree builds at nice 19, the third at the idle scheduling
# priority (chrt --idle), below that. They take only the processor time that
# the foreground leaves unused, which is much of it while tests wait on pip,
# wine, the sandbox cloud or a stall period, and while a build ends in a long
# compile or link of its own; the third takes what the second leaves. A
# tree's tests start once it is built; its build output is shown then.
# Sanitizer reports end the test that triggers them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
read -r -a trees <<<"$builds"
mkdir -p build
rm -f build/*.build.log build/*.build.status
echo "=== ${trees[0]} build"
stage_start=$SECONDS
tree_options "${trees[0]}"
background=()
for i in "${!trees[@]}"; do
  [ "$i" -gt 0 ] || continue
  b=${trees[$i]}
  # Each in a process group of its own, so that an early end stops all of it.
  set -m
  (
    if [ "$i" -eq 1 ]; then
      renice -n 19 -p "$BASHPID" >/dev/null
    elif command -v chrt >/dev/null; then
      chrt --idle -p 0 "$BASHPID" >/dev/null
    fi
    tree_options "$b" >"build/$b.build.log"
    rc=0
    build_tree "$b" >>"build/$b.build.log" 2>&1 || rc=$?
    echo "$rc $SECONDS" >"build/$b.build.status"
  ) &
  background+=("$!")
  set +m
done
tests_tmp=
cleanup() {
  for pid in "${background[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
  if [ -n "$tests_tmp" ]; then rm -rf "$tests_tmp"; fi
}
trap cleanup EXIT
if ! build_tree "${trees[0]}"; then echo "=== ${trees[0]} build FAILED"; exit 1; fi
echo "=== ${trees[0]} build took $((SECONDS - stage_start)) s"
for i in "${!trees[@]}"; do
  b=${trees[$i]}
  if [ "$i" -gt 0 ]; then
    pid=${background[$((i - 1))]}
    while [ ! -f "build/$b.build.status" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.2; done
    cat "build/$b.build.log" 2>/dev/null || true
    read -r rc ended 2>/dev/null <"build/$b.build.status" || rc=1
    if [ "$rc" != 0 ]; then echo "=== $b build FAILED"; exit 1; fi
    echo "=== $b build, in the background, was done ${ended} s into this run"
  fi
  echo "=== $b tests"
  stage_start=$SECONDS
  # The release tree runs its share only when the sanitize tree runs the rest.
  preset=$b
  if [ "$b" = release ] && [[ " $builds " != *" sanitize "* ]]; then preset=release-all; fi
  # The sanitize tree's tests make and remove tens of thousands of small
  # files (extraction above all); on a disk file system finding a free inode
  # among many just freed takes a third of their time, so their temporary
  # files go to a tmpfs when there is one. (The other trees keep TMPDIR: wine
  # keeps its prefix there between runs.)
  tmp_env=()
  if [ "$b" = sanitize ] && [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] &&
     tests_tmp=$(mktemp -d /dev/shm/kb.XXXXXX 2>/dev/null); then
    chmod 1777 "$tests_tmp"  # like /tmp: some tests run a step as another user
    tmp_env=(env TMPDIR="$tests_tmp")
  fi
  if ! "${tmp_env[@]}" ctest --preset "$preset" -j "$((jobs * 2))"; then
    status=1
  fi
  if [ -n "$tests_tmp" ]; then rm -rf "$tests_tmp"; tests_tmp=; fi
  echo "=== $b tests took $((SECONDS - stage_start)) s"
  if [ "$b" = sanitize ] && [ "$fuzz_seconds" != 0 ]; then
    echo "=== fuzzing, ${fuzz_seconds}s a harness"
    if ! KEELBOX_FUZZ_BUILD="build/$b" bash scripts/fuzz.sh "$fuzz_seconds"; then
      status=1
    fi
  fi
done
echo "=== all took $SECONDS s"
exit $status

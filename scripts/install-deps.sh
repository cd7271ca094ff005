#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: packages already present are skipped; the package lists are
# refreshed once, and only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev nlohmann-json3-dev libtomlplusplus-dev
  libsqlite3-dev sqlite3 libarchive-dev zlib1g-dev libssl-dev unicode-data
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-venv python3-pip openssl ca-certificates
  tmux time man-db ccache ninja-build clang-format
  squid nginx
  patchelf debootstrap
  # The Windows cross build (scripts/deps.sh windows builds libcurl, libarchive
  # and SQLite from Debian's sources with these) and its tests under wine.
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine64 unicode-data
  dpkg-dev autoconf automake libtool tcl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: packages already present are skipped; the package lists are
# refreshed once, and only when something is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  nlohmann-json3-dev libtomlplusplus-dev sqlite3 unicode-data
  # The static libraries (scripts/deps.sh): OpenSSL's, zlib's and libdeflate's archives,
  # and the -dev packages whose versions the sources built must have.
  libssl-dev zlib1g-dev libdeflate-dev libcurl4-openssl-dev libarchive-dev libsqlite3-dev
  dpkg-dev autoconf automake libtool tcl
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-venv python3-pip openssl ca-certificates
  tmux time man-db ccache ninja-build clang-format
  squid nginx
  debootstrap
  # The reference of the streaming benchmark (bench/stream.py).
  libarchive-tools
  # The Windows cross build (scripts/deps.sh windows) and its tests under wine.
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine64
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

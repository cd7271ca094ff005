#!/usr/bin/env bash
# Cross-builds the libraries keelbox.exe links statically (libcurl with
# Schannel, libarchive, SQLite) from Debian's own source packages, for the
# mingw-w64 toolchain of cmake/mingw-w64.cmake, and GoogleTest, which its unit
# tests link, from the sources Debian's googletest package installs. zlib comes
# from Debian's libz-mingw-w64-dev.
#
#   scripts/win-deps.sh            # builds what is missing, prints the prefix
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DKEELBOX_WIN_DEPS="$(scripts/win-deps.sh | tail -n 1)"
#
# The sources are fetched with `apt-get source` through a private apt
# configuration (a deb-src list of the archives and suites the machine's apt
# already uses, and lists and caches of its own under the cache folder), so
# the machine's apt configuration and state stay untouched. Each source must
# carry exactly the version Debian gives the matching binary -dev package
# here (installed, else the candidate), so Linux and Windows builds use the
# same code.
#
# Results live in ${KEELBOX_WIN_DEPS_CACHE:-/var/cache/keelbox/win-deps}:
#   <pkg>-<version>/   the install prefix of one package (include/, lib/)
#   prefix/            all of them together: the prefix for CMake
# A stamp in each folder records the version and a hash of the package's
# build recipe and of the toolchain file; a run whose stamps all match does
# nothing. The last line on stdout is the prefix; progress goes to stderr.
set -euo pipefail
shopt -s inherit_errexit

readonly HOST=x86_64-w64-mingw32
readonly SYSROOT=/usr/$HOST
readonly JOBS=${KEELBOX_WIN_DEPS_JOBS:-2}
readonly SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly TOOLCHAIN=$SRC_DIR/cmake/mingw-w64.cmake
readonly CACHE=${KEELBOX_WIN_DEPS_CACHE:-/var/cache/keelbox/win-deps}
readonly PREFIX=$CACHE/prefix

# Source package and the binary package whose version it must match.
readonly PACKAGES=(curl:libcurl4-openssl-dev libarchive:libarchive-dev sqlite3:libsqlite3-dev
                   googletest:googletest)
# Binary packages that install their own sources: nothing is fetched for them.
declare -A INSTALLED_SOURCES=([googletest]=/usr/src/googletest)

log() { echo "win-deps: $*" >&2; }
die() { log "$*"; exit 1; }


# The source version Debian pins for a binary package: that of the installed
# package, else that of the candidate apt would install.
pinned_version() {
  local bin=$1 version
  version=$(dpkg-query -W -f='${db:Status-Status} ${source:Version}' "$bin" 2>/dev/null || true)
  if [[ $version == installed\ * ]]; then
    echo "${version#installed }"
    return
  fi
  version=$(apt-cache policy "$bin" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
  [[ -n $version && $version != "(none)" ]] || die "no version of $bin is known to apt"
  # A binary-only rebuild (+bN) is built from the unchanged source.
  echo "${version%+b[0-9]*}"
}

stamp_matches() { [[ -f $1/.keelbox-stamp && $(<"$1/.keelbox-stamp") == "$2" ]]; }

# ---------------------------------------------------------------- sources --

APT_DIR=$CACHE/apt
apt_private() {
  apt-get -q -o Dir::Etc::sourcelist="$APT_DIR/deb-src.sources" -o Dir::Etc::sourceparts=- \
    -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" "$@"
}

# A deb-src entry for every deb entry of the machine's deb822 sources, same
# archive, suites, components and keys.
write_source_list() {
  local list=/etc/apt/sources.list.d/debian.sources
  [[ -r $list ]] || die "$list is missing: no Debian archive to fetch sources from"
  mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
  sed -e 's/^Types:.*/Types: deb-src/' -e '/^#/d' "$list" > "$APT_DIR/deb-src.sources.new"
  mv "$APT_DIR/deb-src.sources.new" "$APT_DIR/deb-src.sources"
}

APT_UPDATED=0
update_source_lists() {
  [[ $APT_UPDATED -eq 0 ]] || return 0
  write_source_list
  log "updating the private deb-src lists"
  apt_private update >&2
  APT_UPDATED=1
}

# Fetches and unpacks (Debian's patches applied) a source package into dest;
# prints the unpacked folder.
fetch_source() {
  local pkg=$1 version=$2 dest=$3
  rm -rf "$dest"
  mkdir -p "$dest"
  # apt drops to the _apt user for downloads when it can write the folder.
  if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$dest"; fi
  log "fetching source $pkg $version"
  (cd "$dest" && apt_private source --only-source "$pkg=$version" >&2) \
    || die "apt-get source could not fetch $pkg $version"
  local dsc upstream
  dsc=$(ls "$dest"/"${pkg}"_*.dsc)
  [[ $(awk '$1 == "Version:" { print $2 }' "$dsc") == "$version" ]] \
    || die "$dsc does not have the pinned version $version"
  upstream=${version#*:}
  upstream=${upstream%-*}
  [[ -d $dest/$pkg-$upstream ]] || die "the source of $pkg did not unpack into $pkg-$upstream"
  echo "$dest/$pkg-$upstream"
}

# ----------------------------------------------------------------- builds --

CMAKE_CROSS=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release
             -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF
             -DZLIB_INCLUDE_DIR="$SYSROOT/include" -DZLIB_LIBRARY="$SYSROOT/lib/libz.a")

# libcurl for HTTP and HTTPS (proxies included) over Schannel, zlib for
# compressed answers, nothing else. ENABLE_UNICODE makes it read file names
# (the CA file) as UTF-8.
build_curl() {
  local src=$1 build=$2 prefix=$3
  cmake -S "$src" -B "$build" "${CMAKE_CROSS[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_CURL_EXE=OFF -DENABLE_MANUAL=OFF -DCURL_ENABLE_EXPORT_TARGET=ON -DPICKY_COMPILER=OFF \
    -DHTTP_ONLY=ON -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_WINDOWS_SSPI=ON \
    -DCURL_ZLIB=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON -DENABLE_UNICODE=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none >&2
  cmake --build "$build" -j"$JOBS" >&2
  cmake --install "$build" >&2
}

# libarchive for reading and writing gzip'd tar and extracting to disk: zlib
# only, no crypto, XML, other compressors, iconv, ACLs or extended attributes.
build_libarchive() {
  local src=$1 build=$2 prefix=$3
  cmake -S "$src" -B "$build" "${CMAKE_CROSS[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_TEST=OFF -DENABLE_WERROR=OFF \
    -DENABLE_COVERAGE=OFF -DENABLE_INSTALL=ON -DENABLE_ZLIB=ON \
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF \
    -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_LZMA=OFF -DENABLE_LZO=OFF \
    -DENABLE_BZip2=OFF -DENABLE_ZSTD=OFF -DENABLE_LZ4=OFF -DENABLE_LIBB2=OFF \
    -DENABLE_PCREPOSIX=OFF -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF >&2
  # Only the static library: the shared one is built by default otherwise.
  cmake --build "$build" -j"$JOBS" --target archive_static >&2
  mkdir -p "$prefix/include" "$prefix/lib"
  cp "$src/libarchive/archive.h" "$src/libarchive/archive_entry.h" "$prefix/include/"
  cp "$build/libarchive/libarchive_static.a" "$prefix/lib/libarchive.a"
}

# SQLite: the amalgamation made by its own build system (run natively, it
# needs tclsh), compiled for Windows with the options Debian's build gives
# the library the Linux build links, read from the package's debian/rules.
build_sqlite3() {
  local src=$1 build=$2 prefix=$3 cflags
  cflags=$(sed -n '/^export CFLAGS += /,/[^\\]$/p' "$src/debian/rules" \
    | sed -e 's/^export CFLAGS += //' -e 's/\\$//' | tr -s ' \t\n' ' ')
  [[ $(grep -o -- '-DSQLITE_' <<<"$cflags" | wc -l) -ge 10 ]] \
    || die "could not read SQLite's compile options from debian/rules"
  # Debian patches configure.ac; regenerate configure as its build does.
  (cd "$src" && autoreconf -fi >/dev/null 2>&1) || die "autoreconf of sqlite3 failed"
  mkdir -p "$build"
  # The feature switches of Debian's configure line add their options to
  # the build's OPT_FEATURE_FLAGS.
  (cd "$build" && "$src/configure" --enable-threadsafe --enable-load-extension --enable-json \
     --enable-fts4 --enable-fts5 --disable-tcl --disable-readline >&2 && make -j"$JOBS" sqlite3.c >&2)
  cflags+=" $(sed -n 's/^OPT_FEATURE_FLAGS = //p' "$build/Makefile")"
  # shellcheck disable=SC2086 # the options are words
  "$HOST-gcc-posix" $cflags -c "$build/sqlite3.c" -I"$build" -o "$build/sqlite3.o"
  mkdir -p "$prefix/include" "$prefix/lib"
  rm -f "$prefix/lib/libsqlite3.a"
  "$HOST-gcc-ar-posix" rcs "$prefix/lib/libsqlite3.a" "$build/sqlite3.o"
  cp "$build/sqlite3.h" "$src/src/sqlite3ext.h" "$prefix/include/"
  echo "$cflags" > "$prefix/lib/sqlite3-cflags.txt"
}

# GoogleTest for the unit tests of the Windows tree (GoogleMock is not used).
# Built here, once per version, rather than in every Windows tree.
build_googletest() {
  local src=$1 build=$2 prefix=$3
  cmake -S "$src" -B "$build" "${CMAKE_CROSS[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >&2
  cmake --build "$build" -j"$JOBS" >&2
  cmake --install "$build" >&2
}

# ------------------------------------------------------------------- main --

# What a package's build depends on: its build function, the common CMake
# options and the toolchain file (comments aside), but not where the checkout
# lives, so that every checkout shares the cache. Fetching and caching may
# change without rebuilding anything.
recipe_hash() {
  { declare -f "build_$1"; declare -p CMAKE_CROSS HOST SYSROOT; grep -v '^[[:space:]]*#' "$TOOLCHAIN"; } \
    | sed "s|$SRC_DIR||g" | sha256sum | cut -c1-16
}

mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9

all_stamps=""
prefixes=()
# The packages are fetched one after the other (apt) and built side by side:
# most of a build is its configure step's checks, one compiler at a time, so
# three builds keep two cores busy. Each build writes to its own log, shown
# when it fails.
builds=()
for entry in "${PACKAGES[@]}"; do
  pkg=${entry%%:*}
  bin=${entry#*:}
  version=$(pinned_version "$bin")
  dir=$CACHE/$pkg-$version
  stamp="$pkg $version $(recipe_hash "$pkg")"
  all_stamps+="$stamp;"
  prefixes+=("$dir")
  if stamp_matches "$dir" "$stamp"; then
    continue
  fi
  command -v "$HOST-gcc-posix" >/dev/null || die "$HOST-gcc-posix is missing (scripts/install-deps.sh)"
  work=$CACHE/work/$pkg
  rm -rf "$work" "$dir" "$work.log"
  mkdir -p "$CACHE/work"
  if [[ -n ${INSTALLED_SOURCES[$pkg]:-} ]]; then
    src=${INSTALLED_SOURCES[$pkg]}
    [[ -f $src/CMakeLists.txt ]] || die "the sources of $pkg are missing in $src (scripts/install-deps.sh)"
  else
    update_source_lists
    src=$(fetch_source "$pkg" "$version" "$work/src")
  fi
  log "building $pkg $version (log: $work.log)"
  (
    start=$SECONDS
    "build_$pkg" "$src" "$work/build" "$dir"
    echo "$stamp" > "$dir/.keelbox-stamp"
    rm -rf "$work"
    log "$pkg $version built in $((SECONDS - start)) s"
  ) >"$work.log" 2>&1 &
  builds+=("$!:$pkg:$work.log")
done
failed=0
for build in "${builds[@]}"; do
  IFS=: read -r pid pkg build_log <<<"$build"
  if wait "$pid"; then
    tail -n 1 "$build_log" >&2
    rm -f "$build_log"
  else
    tail -n 40 "$build_log" >&2
    log "building $pkg failed; its whole log: $build_log"
    failed=1
  fi
done
[[ $failed -eq 0 ]] || exit 1

if ! stamp_matches "$PREFIX" "$all_stamps"; then
  rm -rf "$PREFIX.new"
  mkdir -p "$PREFIX.new"
  for dir in "${prefixes[@]}"; do
    cp -a "$dir/." "$PREFIX.new/"
  done
  echo "$all_stamps" > "$PREFIX.new/.keelbox-stamp"
  rm -rf "$PREFIX"
  mv "$PREFIX.new" "$PREFIX"
fi
echo "$PREFIX"

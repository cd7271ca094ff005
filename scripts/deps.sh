#!/usr/bin/env bash
# Builds the libraries keelbox links statically from Debian's own source
# packages, for one target:
#
#   linux     libcurl (HTTP and HTTPS over OpenSSL), libarchive and SQLite,
#             with the build machine's gcc; OpenSSL, zlib and libdeflate are
#             Debian's static archives (libssl-dev, zlib1g-dev,
#             libdeflate-dev).
#   windows   libcurl (HTTP and HTTPS over Schannel), libarchive, SQLite and
#             libdeflate for the mingw-w64 toolchain of cmake/mingw-w64.cmake, and
#             GoogleTest, which the Windows unit tests link, from the sources
#             Debian's googletest package installs; zlib is Debian's
#             libz-mingw-w64-dev.
#
#   scripts/deps.sh linux      # builds what is missing, prints the prefix
#   scripts/deps.sh windows
#
# CMake runs it when no prefix is given (-DKEELBOX_DEPS= on Linux,
# -DKEELBOX_WIN_DEPS= for Windows): see cmake/KeelboxDeps.cmake.
#
# The sources are fetched with `apt-get source` through a private apt
# configuration (a deb-src list of the archives and suites the machine's apt
# already uses, and lists and caches of its own under the cache folder), so
# the machine's apt configuration and state stay untouched. Each source must
# carry exactly the version Debian gives the matching binary -dev package
# here (installed, else the candidate), so that both targets build the same
# code, and the code Debian's security updates fix.
#
# Results live in ${KEELBOX_DEPS_CACHE:-/var/cache/keelbox/deps}/<target>:
#   <pkg>-<version>/   the install prefix of one package (include/, lib/)
#   prefix/            all of them together: the prefix for CMake, with
#                      DEPENDENCIES (the Debian source package and version of
#                      every library linked in) and licenses/ (their Debian
#                      copyright files), which the wheel carries
# A stamp in each folder records the version and a hash of the package's
# build recipe, of the toolchain and of the Debian packages it builds on; a
# run whose stamps all match does nothing. The last line on stdout is the
# prefix; progress goes to stderr.
set -euo pipefail
shopt -s inherit_errexit

log() { echo "deps: $*" >&2; }
die() { log "$*"; exit 1; }

readonly TARGET=${1:-}
case "$TARGET" in
  linux | windows) ;;
  *) die "usage: scripts/deps.sh linux|windows" ;;
esac
readonly JOBS=${KEELBOX_DEPS_JOBS:-2}
readonly SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly CACHE_ROOT=${KEELBOX_DEPS_CACHE:-/var/cache/keelbox/deps}
readonly CACHE=$CACHE_ROOT/$TARGET
readonly PREFIX=$CACHE/prefix

# Per target: the compilers, the CMake options every build shares, the
# source packages (with the binary package whose version each must match)
# and the Debian binary packages linked as they are (library name, package).
if [[ $TARGET == windows ]]; then
  readonly HOST=x86_64-w64-mingw32
  readonly SYSROOT=/usr/$HOST
  readonly TOOLCHAIN=$SRC_DIR/cmake/mingw-w64.cmake
  readonly CC=$HOST-gcc-posix AR=$HOST-gcc-ar-posix
  readonly ZLIB_INCLUDE=$SYSROOT/include ZLIB_ARCHIVE=$SYSROOT/lib/libz.a
  CMAKE_TARGET=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release)
  PACKAGES=(curl:libcurl4-openssl-dev libarchive:libarchive-dev sqlite3:libsqlite3-dev
            libdeflate:libdeflate-dev googletest:googletest)
  SYSTEM_PACKAGES=(zlib:libz-mingw-w64-dev)
else
  readonly HOST=x86_64-linux-gnu
  readonly TOOLCHAIN=
  readonly CC=gcc AR=gcc-ar
  readonly ZLIB_INCLUDE=/usr/include ZLIB_ARCHIVE=/usr/lib/$HOST/libz.a
  # Debian's hardening flags (dpkg-buildflags) without debugging
  # information, each function and object in a section of its own so that
  # the linker keeps only what keelbox calls.
  readonly LINUX_CFLAGS="-O2 -fstack-protector-strong -D_FORTIFY_SOURCE=2 -fPIC -ffunction-sections -fdata-sections"
  CMAKE_TARGET=(-DCMAKE_C_COMPILER=gcc -DCMAKE_BUILD_TYPE=Release -DCMAKE_POSITION_INDEPENDENT_CODE=ON
                "-DCMAKE_C_FLAGS_RELEASE=$LINUX_CFLAGS -DNDEBUG")
  PACKAGES=(curl:libcurl4-openssl-dev libarchive:libarchive-dev sqlite3:libsqlite3-dev)
  SYSTEM_PACKAGES=(openssl:libssl-dev zlib:zlib1g-dev libdeflate:libdeflate-dev)
fi
readonly CMAKE_TARGET PACKAGES SYSTEM_PACKAGES
# Binary packages that install their own sources: nothing is fetched for them.
declare -A INSTALLED_SOURCES=([googletest]=/usr/src/googletest)
# Packages that only the tests link: not part of what the product carries.
declare -A TEST_ONLY=([googletest]=1)

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

# The installed version of a binary package that is linked as it is.
installed_version() {
  local version
  version=$(dpkg-query -W -f='${db:Status-Status} ${source:Version}' "$1" 2>/dev/null || true)
  [[ $version == installed\ * ]] || die "$1 is not installed (scripts/install-deps.sh)"
  echo "${version#installed }"
}

stamp_matches() { [[ -f $1/.keelbox-stamp && $(<"$1/.keelbox-stamp") == "$2" ]]; }

# ---------------------------------------------------------------- sources --

# The apt state is shared by both targets, under a lock of its own.
APT_DIR=$CACHE_ROOT/apt
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
  exec 8>"$CACHE_ROOT/.apt-lock"
  flock 8
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

CMAKE_COMMON=(-G "Unix Makefiles" "${CMAKE_TARGET[@]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF
              -DZLIB_INCLUDE_DIR="$ZLIB_INCLUDE" -DZLIB_LIBRARY="$ZLIB_ARCHIVE")

# The TLS backend of libcurl: the system's own on Windows (Schannel, the
# system's certificate store; ENABLE_UNICODE makes it read file names, the
# CA file, as UTF-8), OpenSSL's static archives of libssl-dev on Linux.
# Neither has a certificate bundle built in: on Linux keelbox looks for the
# system's bundle where the distributions keep it (http/ca_bundle.hpp).
curl_tls_options() {
  if [[ $TARGET == windows ]]; then
    echo -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_WINDOWS_SSPI=ON -DUSE_WIN32_IDN=OFF \
      -DENABLE_UNICODE=ON
  else
    echo -DCURL_USE_OPENSSL=ON -DOPENSSL_USE_STATIC_LIBS=ON -DCURL_DISABLE_NTLM=ON \
      -DENABLE_THREADED_RESOLVER=ON -DENABLE_ARES=OFF
  fi
}

# libcurl for HTTP and HTTPS (proxies included, HTTPS proxies and NO_PROXY
# too; Basic and Digest authentication) with zlib for compressed answers,
# nothing else: no other protocol, LDAP, SSH, IDN, PSL, HTTP/2, brotli, zstd
# or GSSAPI.
build_curl() {
  local src=$1 build=$2 prefix=$3
  # shellcheck disable=SC2046 # the options are words
  cmake -S "$src" -B "$build" "${CMAKE_COMMON[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_CURL_EXE=OFF -DENABLE_MANUAL=OFF -DCURL_ENABLE_EXPORT_TARGET=ON -DPICKY_COMPILER=OFF \
    -DHTTP_ONLY=ON $(curl_tls_options) \
    -DCURL_ZLIB=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none >&2
  cmake --build "$build" -j"$JOBS" >&2
  cmake --install "$build" >&2
}

# libarchive for reading and writing gzip'd tar and extracting to disk: zlib
# only, no crypto, XML, other compressors, iconv, ACLs or extended attributes.
build_libarchive() {
  local src=$1 build=$2 prefix=$3
  cmake -S "$src" -B "$build" "${CMAKE_COMMON[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
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
  # (named libarchive_static.a beside the import library on Windows)
  cp "$(ls "$build"/libarchive/libarchive{_static,}.a 2>/dev/null | head -n 1)" "$prefix/lib/libarchive.a"
}

# SQLite: the amalgamation made by its own build system (run natively, it
# needs tclsh), compiled with the options Debian's build gives the library,
# read from the package's debian/rules.
build_sqlite3() {
  local src=$1 build=$2 prefix=$3 cflags
  cflags=$(sed -n '/^export CFLAGS += /,/[^\\]$/p' "$src/debian/rules" \
    | sed -e 's/^export CFLAGS += //' -e 's/\\$//' | tr -s ' \t\n' ' ')
  [[ $(grep -o -- '-DSQLITE_' <<<"$cflags" | wc -l) -ge 10 ]] \
    || die "could not read SQLite's compile options from debian/rules"
  if [[ $TARGET == linux ]]; then cflags="$LINUX_CFLAGS $cflags"; fi
  # Debian patches configure.ac; regenerate configure as its build does.
  (cd "$src" && autoreconf -fi >/dev/null 2>&1) || die "autoreconf of sqlite3 failed"
  mkdir -p "$build"
  # The feature switches of Debian's configure line add their options to
  # the build's OPT_FEATURE_FLAGS.
  (cd "$build" && "$src/configure" --enable-threadsafe --enable-load-extension --enable-json \
     --enable-fts4 --enable-fts5 --disable-tcl --disable-readline >&2 && make -j"$JOBS" sqlite3.c >&2)
  cflags+=" $(sed -n 's/^OPT_FEATURE_FLAGS = //p' "$build/Makefile")"
  # shellcheck disable=SC2086 # the options are words
  "$CC" $cflags -c "$build/sqlite3.c" -I"$build" -o "$build/sqlite3.o"
  mkdir -p "$prefix/include" "$prefix/lib"
  rm -f "$prefix/lib/libsqlite3.a"
  "$AR" rcs "$prefix/lib/libsqlite3.a" "$build/sqlite3.o"
  cp "$build/sqlite3.h" "$src/src/sqlite3ext.h" "$prefix/include/"
  echo "$cflags" > "$prefix/lib/sqlite3-cflags.txt"
}

# libdeflate, for its CRC-32 (the gzip stream's check): the library's C
# files compiled as Debian's build compiles them (-O2), into one archive.
build_libdeflate() {
  local src=$1 build=$2 prefix=$3 file object
  mkdir -p "$build" "$prefix/include" "$prefix/lib"
  for file in "$src"/lib/*.c "$src"/lib/x86/*.c; do
    object=$build/$(basename "$(dirname "$file")")_$(basename "${file%.c}").o
    "$CC" -O2 -I"$src" -c "$file" -o "$object"
  done
  rm -f "$prefix/lib/libdeflate.a"
  "$AR" rcs "$prefix/lib/libdeflate.a" "$build"/*.o
  cp "$src/libdeflate.h" "$prefix/include/"
}

# GoogleTest for the unit tests of the Windows tree (GoogleMock is not used).
# Built here, once per version, rather than in every Windows tree.
build_googletest() {
  local src=$1 build=$2 prefix=$3
  cmake -S "$src" -B "$build" "${CMAKE_COMMON[@]}" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >&2
  cmake --build "$build" -j"$JOBS" >&2
  cmake --install "$build" >&2
}

# ------------------------------------------------------------------- main --

# The Debian packages linked as they are, with their versions: part of every
# recipe, since the libraries built here compile against their headers.
SYSTEM_VERSIONS=()
for entry in "${SYSTEM_PACKAGES[@]}"; do
  SYSTEM_VERSIONS+=("${entry#*:}=$(installed_version "${entry#*:}")")
done
readonly SYSTEM_VERSIONS

# What a package's build depends on: its build function and those it calls,
# the common CMake options, the toolchain file (comments aside) and the
# versions of the packages linked as they are, but not where the checkout
# lives, so that every checkout shares the cache. Fetching and caching may
# change without rebuilding anything.
recipe_hash() {
  {
    declare -f "build_$1" curl_tls_options
    declare -p TARGET CMAKE_COMMON HOST SYSTEM_VERSIONS
    if [[ -n $TOOLCHAIN ]]; then grep -v '^[[:space:]]*#' "$TOOLCHAIN"; fi
  } | sed "s|$SRC_DIR||g" | sha256sum | cut -c1-16
}

mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9

all_stamps=""
prefixes=()
record=()
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
  [[ -n ${TEST_ONLY[$pkg]:-} ]] || record+=("$pkg $version (source of $bin, built here)")
  if stamp_matches "$dir" "$stamp"; then
    continue
  fi
  command -v "$CC" >/dev/null || die "$CC is missing (scripts/install-deps.sh)"
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
  log "building $pkg $version for $TARGET (log: $work.log)"
  (
    start=$SECONDS
    "build_$pkg" "$src" "$work/build" "$dir"
    if [[ -z ${TEST_ONLY[$pkg]:-} ]]; then
      mkdir -p "$dir/licenses"
      cp "$src/debian/copyright" "$dir/licenses/$pkg.copyright"
    fi
    echo "$stamp" > "$dir/.keelbox-stamp"
    rm -rf "$work"
    log "$pkg $version built in $((SECONDS - start)) s"
  ) >"$work.log" 2>&1 &
  builds+=("$!:$pkg:$work.log")
done
if [[ $APT_UPDATED -eq 1 ]]; then flock -u 8; fi
for entry in "${SYSTEM_PACKAGES[@]}"; do
  record+=("${entry%%:*} $(installed_version "${entry#*:}") (source of ${entry#*:}, linked as Debian ships it)")
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

# The prefix, with the record of what it holds.
all_stamps+="${SYSTEM_VERSIONS[*]}"
if ! stamp_matches "$PREFIX" "$all_stamps"; then
  rm -rf "$PREFIX.new"
  mkdir -p "$PREFIX.new/licenses"
  for dir in "${prefixes[@]}"; do
    cp -a "$dir/." "$PREFIX.new/"
  done
  rm -f "$PREFIX.new/.keelbox-stamp"
  for entry in "${SYSTEM_PACKAGES[@]}"; do
    cp "/usr/share/doc/${entry#*:}/copyright" "$PREFIX.new/licenses/${entry%%:*}.copyright"
  done
  {
    # shellcheck disable=SC1091 # the build machine's
    distribution=$(. /etc/os-release && echo "$PRETTY_NAME")
    echo "# The libraries linked into keelbox, as Debian source package and version"
    echo "# ($distribution, $HOST). A security advisory of one of them names the"
    echo "# versions that fix it: a keelbox built with an older one needs a new build."
    printf '%s\n' "${record[@]}"
  } > "$PREFIX.new/DEPENDENCIES"
  echo "$all_stamps" > "$PREFIX.new/.keelbox-stamp"
  rm -rf "$PREFIX"
  mv "$PREFIX.new" "$PREFIX"
fi
echo "$PREFIX"

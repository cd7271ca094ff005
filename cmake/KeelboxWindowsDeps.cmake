# The libraries of the Windows build (see cmake/mingw-w64.cmake).
#
# libcurl (Schannel), libarchive and SQLite are static libraries that
# scripts/deps.sh windows cross-builds from Debian's source packages into one
# prefix; zlib is Debian's libz-mingw-w64-dev in the mingw sysroot. All of
# them are linked into keelbox.exe: nothing is opened at run time.
#
# Sets KEELBOX_WIN_DEPS (the prefix) and the imported targets
# keelbox_win::curl, keelbox_win::archive, keelbox_win::sqlite3,
# keelbox_win::zlib, nlohmann_json::nlohmann_json, TOMLPP_INCLUDE_DIRS, and
# the library targets src/CMakeLists.txt makes on Linux.

if(DEFINED ENV{KEELBOX_DEPS_CACHE})
  set(_win_deps_default "$ENV{KEELBOX_DEPS_CACHE}/windows/prefix")
else()
  set(_win_deps_default "/var/cache/keelbox/deps/windows/prefix")
endif()
if(NOT KEELBOX_WIN_DEPS AND EXISTS "${_win_deps_default}/.keelbox-stamp")
  set(_found_win_deps "${_win_deps_default}")
endif()
set(KEELBOX_WIN_DEPS "${_found_win_deps}" CACHE PATH
    "Install prefix of the Windows libraries (the last line scripts/deps.sh windows prints)")
if(NOT KEELBOX_WIN_DEPS OR NOT EXISTS "${KEELBOX_WIN_DEPS}/include/curl/curl.h")
  message(FATAL_ERROR "The Windows libraries are missing: run scripts/deps.sh windows and pass "
                      "-DKEELBOX_WIN_DEPS=<the prefix it prints> (now: '${KEELBOX_WIN_DEPS}')")
endif()

# One static library of the prefix (or, for zlib, of the mingw sysroot; the
# file name keeps the import library libz.dll.a out).
function(_keelbox_win_library target file)
  cmake_parse_arguments(W "" "" "DEFINES;LIBS" ${ARGN})
  if(NOT KEELBOX_MINGW_SYSROOT)
    set(KEELBOX_MINGW_SYSROOT /usr/x86_64-w64-mingw32)
  endif()
  find_library(_path NAMES ${file} PATHS "${KEELBOX_WIN_DEPS}/lib" "${KEELBOX_MINGW_SYSROOT}/lib"
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE REQUIRED)
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${_path}"
    INTERFACE_COMPILE_DEFINITIONS "${W_DEFINES}"
    INTERFACE_LINK_LIBRARIES "${W_LIBS}")
  if(NOT file STREQUAL "libz.a")
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${KEELBOX_WIN_DEPS}/include")
  endif()
endfunction()

_keelbox_win_library(keelbox_win::zlib libz.a)
_keelbox_win_library(keelbox_win::curl libcurl.a DEFINES CURL_STATICLIB
                     LIBS keelbox_win::zlib ws2_32 winmm advapi32 crypt32 bcrypt)
_keelbox_win_library(keelbox_win::archive libarchive.a DEFINES LIBARCHIVE_STATIC LIBS keelbox_win::zlib advapi32)
_keelbox_win_library(keelbox_win::sqlite3 libsqlite3.a)

# Header-only libraries are the same on every platform: the build machine's
# Debian packages provide them, through a folder that holds only them (the
# build machine's /usr/include must not be searched by the cross compiler).
set(_host_headers "${PROJECT_BINARY_DIR}/host-headers")
foreach(_dir IN ITEMS nlohmann toml++)
  if(NOT EXISTS "/usr/include/${_dir}")
    message(FATAL_ERROR "/usr/include/${_dir} is missing (scripts/install-deps.sh)")
  endif()
  file(MAKE_DIRECTORY "${_host_headers}")
  file(CREATE_LINK "/usr/include/${_dir}" "${_host_headers}/${_dir}" SYMBOLIC)
endforeach()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_host_headers}")
set(TOMLPP_INCLUDE_DIRS "${_host_headers}")

# The targets the modules use (src/CMakeLists.txt makes them on Linux). The
# engines call libcurl and libarchive directly, without the loaders of the
# Linux build.
add_library(keelbox_curl_headers INTERFACE)
target_link_libraries(keelbox_curl_headers INTERFACE keelbox_win::curl)
add_library(keelbox_libarchive_headers INTERFACE)
target_link_libraries(keelbox_libarchive_headers INTERFACE keelbox_win::archive)
add_library(keelbox_sqlite3 INTERFACE)
target_link_libraries(keelbox_sqlite3 INTERFACE keelbox_win::sqlite3)
add_library(keelbox_zlib INTERFACE)
target_link_libraries(keelbox_zlib INTERFACE keelbox_win::zlib)

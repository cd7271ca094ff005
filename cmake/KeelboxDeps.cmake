# The libraries keelbox links statically, on Linux as on Windows.
#
# libcurl, libarchive and SQLite are static libraries that scripts/deps.sh
# builds from Debian's source packages into one prefix per target (Linux:
# libcurl over OpenSSL; Windows: libcurl over Schannel, and GoogleTest for
# the unit tests; libdeflate). OpenSSL, zlib and libdeflate are Debian's
# static archives on Linux (libssl-dev, zlib1g-dev, libdeflate-dev); for
# Windows zlib is libz-mingw-w64-dev in the mingw sysroot.
# Everything is linked into the executable: it opens no library of its own
# at run time and needs nothing from the system but the C library (and, on
# Linux, the C++ runtime).
#
# The prefix is KEELBOX_DEPS on Linux and KEELBOX_WIN_DEPS on Windows; when
# it is not given, configuring runs scripts/deps.sh <target> (at once when
# its cache is current, some minutes the first time) and takes the prefix it
# prints.
#
# Sets the targets the modules link: keelbox_curl, keelbox_libarchive,
# keelbox_libdeflate, keelbox_sqlite3 and keelbox_zlib; on Windows also
# nlohmann_json::nlohmann_json and TOMLPP_INCLUDE_DIRS from the build
# machine's headers.

if(WIN32)
  set(_deps_target windows)
  set(_deps_var KEELBOX_WIN_DEPS)
else()
  set(_deps_target linux)
  set(_deps_var KEELBOX_DEPS)
endif()
set(${_deps_var} "" CACHE PATH
    "Prefix of the static libraries (the last line of scripts/deps.sh ${_deps_target}); empty: run that script")
if(NOT ${_deps_var})
  message(STATUS "Running scripts/deps.sh ${_deps_target} (builds the static libraries when they are not current)")
  execute_process(COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/deps.sh" ${_deps_target}
                  OUTPUT_VARIABLE _deps_out RESULT_VARIABLE _deps_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _deps_rc EQUAL 0)
    message(FATAL_ERROR "scripts/deps.sh ${_deps_target} failed (${_deps_rc})")
  endif()
  string(REGEX REPLACE ".*\n" "" _deps_prefix "${_deps_out}")
else()
  set(_deps_prefix "${${_deps_var}}")
endif()
if(NOT EXISTS "${_deps_prefix}/include/curl/curl.h" OR NOT EXISTS "${_deps_prefix}/DEPENDENCIES")
  message(FATAL_ERROR "The static libraries are missing in '${_deps_prefix}': run "
                      "scripts/deps.sh ${_deps_target} and pass -D${_deps_var}=<the prefix it prints>")
endif()
# The prefix the wheel takes its record of the libraries from.
set(KEELBOX_DEPS_PREFIX "${_deps_prefix}")
if(WIN32)
  set(KEELBOX_WIN_DEPS_PREFIX "${_deps_prefix}")
  list(PREPEND CMAKE_FIND_ROOT_PATH "${_deps_prefix}")
  set(_system_lib_dir /usr/x86_64-w64-mingw32/lib)
else()
  set(_system_lib_dir /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

# One static library of the prefix, or of the system (zlib, OpenSSL: found
# by its archive's file name, so that no shared library is taken).
function(_keelbox_static_library target file)
  cmake_parse_arguments(S "" "" "DEFINES;LIBS" ${ARGN})
  find_library(_path NAMES ${file} PATHS "${KEELBOX_DEPS_PREFIX}/lib" "${_system_lib_dir}"
               NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT _path)
    message(FATAL_ERROR "${file} is missing in ${KEELBOX_DEPS_PREFIX}/lib and ${_system_lib_dir} "
                        "(scripts/install-deps.sh, scripts/deps.sh)")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${_path}"
    INTERFACE_COMPILE_DEFINITIONS "${S_DEFINES}"
    INTERFACE_LINK_LIBRARIES "${S_LIBS}")
  if(_path MATCHES "^${KEELBOX_DEPS_PREFIX}/")
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${KEELBOX_DEPS_PREFIX}/include")
  endif()
endfunction()

_keelbox_static_library(keelbox_deps::zlib libz.a)
_keelbox_static_library(keelbox_deps::deflate libdeflate.a)
if(WIN32)
  _keelbox_static_library(keelbox_deps::curl libcurl.a DEFINES CURL_STATICLIB
                          LIBS keelbox_deps::zlib ws2_32 winmm advapi32 crypt32 bcrypt)
  _keelbox_static_library(keelbox_deps::archive libarchive.a DEFINES LIBARCHIVE_STATIC
                          LIBS keelbox_deps::zlib advapi32)
  _keelbox_static_library(keelbox_deps::sqlite3 libsqlite3.a)
else()
  _keelbox_static_library(keelbox_deps::crypto libcrypto.a LIBS Threads::Threads ${CMAKE_DL_LIBS})
  _keelbox_static_library(keelbox_deps::ssl libssl.a LIBS keelbox_deps::crypto)
  _keelbox_static_library(keelbox_deps::curl libcurl.a DEFINES CURL_STATICLIB
                          LIBS keelbox_deps::ssl keelbox_deps::zlib Threads::Threads)
  _keelbox_static_library(keelbox_deps::archive libarchive.a DEFINES LIBARCHIVE_STATIC
                          LIBS keelbox_deps::zlib)
  _keelbox_static_library(keelbox_deps::sqlite3 libsqlite3.a LIBS m ${CMAKE_DL_LIBS} Threads::Threads)
endif()

# The targets the modules link.
add_library(keelbox_curl INTERFACE)
target_link_libraries(keelbox_curl INTERFACE keelbox_deps::curl)
add_library(keelbox_libarchive INTERFACE)
target_link_libraries(keelbox_libarchive INTERFACE keelbox_deps::archive)
add_library(keelbox_sqlite3 INTERFACE)
target_link_libraries(keelbox_sqlite3 INTERFACE keelbox_deps::sqlite3)
add_library(keelbox_zlib INTERFACE)
target_link_libraries(keelbox_zlib INTERFACE keelbox_deps::zlib)
add_library(keelbox_libdeflate INTERFACE)
target_link_libraries(keelbox_libdeflate INTERFACE keelbox_deps::deflate)

if(WIN32)
  # Header-only libraries are the same on every platform: the build
  # machine's Debian packages provide them, through a folder that holds only
  # them (the build machine's /usr/include must not be searched by the cross
  # compiler).
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
endif()

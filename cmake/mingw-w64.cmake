# Cross build for 64-bit Windows with Debian's mingw-w64 compilers, the
# POSIX-thread flavour (std::thread and friends on winpthreads):
#
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         [-DKEELBOX_WIN_DEPS=<prefix printed by scripts/deps.sh windows>]
#
# Every executable links libstdc++, libgcc and winpthreads statically, so it
# needs no DLL beyond those Windows ships. Libraries, headers and packages
# are looked up in the dependency prefix (when given) and the mingw sysroot
# only, never on the build machine; programs on the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEELBOX_MINGW_TRIPLE x86_64-w64-mingw32)
set(KEELBOX_MINGW_SYSROOT /usr/${KEELBOX_MINGW_TRIPLE})

find_program(CMAKE_C_COMPILER NAMES ${KEELBOX_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KEELBOX_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KEELBOX_MINGW_TRIPLE}-windres REQUIRED)
find_program(CMAKE_AR NAMES ${KEELBOX_MINGW_TRIPLE}-gcc-ar-posix ${KEELBOX_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${KEELBOX_MINGW_TRIPLE}-gcc-ranlib-posix ${KEELBOX_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH ${KEELBOX_MINGW_SYSROOT})
if(KEELBOX_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${KEELBOX_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Programs built for the host are run under wine (tests, generators),
# through the runner of the black-box tests: one shared wine prefix, a
# lingering wineserver (0.1 s a start instead of 1.5 s), output through files
# rather than wine's slow pipes.
find_program(KEELBOX_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(KEELBOX_WINE_PYTHON NAMES python3)
if(KEELBOX_WINE AND KEELBOX_WINE_PYTHON)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEELBOX_WINE_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/../tests/e2e/wine.py)
elseif(KEELBOX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEELBOX_WINE})
endif()

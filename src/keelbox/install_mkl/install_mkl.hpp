#pragma once
// Check for, install and symlink MKL library.
//
// Makes sure the distribution "mkl" is installed in the target environment and
// that its runtime library is reachable under its unversioned name
// (lib/libmkl_rt.so, or Library\bin\mkl_rt.dll on Windows) as a symbolic link
// to the lowest-numbered versioned file present (.1 to .5).
//
// The context's runner starts the target environment's python and uv.
#include "keelbox/context/context.hpp"

namespace keelbox {

// Whether the target environment's python finds an installed "mkl"
// distribution. A probe that cannot start (no python) fails with
// ProcessStartError.
bool is_mkl_present(const Context& context);

// "Installing MKL via pip." and the installer run for ["mkl"] with upgrade.
void install_mkl(const Context& context);

// Create the link when missing. No versioned file: FileNotFoundError
// "MKL RT not found.". POSIX: a failing link creation is a FileSystemError.
// Windows: KeelboxException "Permission denied to create symlink. ..." with
// the system error chained.
void _create_mkl_symlinks_posix(const Context& context);
void _create_mkl_symlinks_windows(const Context& context);
void create_mkl_symlinks(const Context& context);

// Presence check, installation when absent, then the link.
void ensure_mkl_in_environment(const Context& context);

}  // namespace keelbox

#pragma once
// The symbolic link of the MKL runtime as each system makes it
// (install_mkl_posix.cpp, install_mkl_win32.cpp).
#include <filesystem>

namespace keelbox {

// The link `link` to `target`, a file name in the link's folder; a failure
// is a filesystem_error carrying the system's error.
void create_file_link(const std::filesystem::path& target, const std::filesystem::path& link);

}  // namespace keelbox

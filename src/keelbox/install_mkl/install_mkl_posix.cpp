// The MKL runtime's link on POSIX systems: a plain symbolic link.
#include <filesystem>

#include "keelbox/install_mkl/install_mkl_internal.hpp"

namespace keelbox {

void create_file_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::filesystem::create_symlink(target, link);
}

}  // namespace keelbox

// The archive's file on POSIX systems (archive_file.hpp): read with pread,
// which leaves the descriptor's position alone.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "keelbox/archive/archive_file.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::archive_detail {

std::uint64_t archive_file_size(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode))
    throw ExtractionError("Cannot read the archive: it is not a regular file");
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t read_archive_file(int fd, std::uint64_t offset, char* into, std::size_t room) {
  for (;;) {
    const ssize_t n = ::pread(fd, into, room, static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) {
      throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
    }
  }
}

int write_archive_file(int fd, std::uint64_t offset, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

}  // namespace keelbox::archive_detail

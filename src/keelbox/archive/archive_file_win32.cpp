// The archive's file on Windows (archive_file.hpp): a C runtime descriptor.
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "keelbox/archive/archive_file.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::archive_detail {

std::uint64_t archive_file_size(int fd) {
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) {
    throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  }
  if ((st.st_mode & _S_IFMT) != _S_IFREG)
    throw ExtractionError("Cannot read the archive: it is not a regular file");
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t read_archive_file(int fd, std::uint64_t offset, char* into, std::size_t room) {
  // C runtime descriptors have no positioned read; the descriptor is ours alone meanwhile.
  if (::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
    throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  }
  const int n = ::_read(fd, into, room > INT_MAX ? unsigned{INT_MAX} : static_cast<unsigned>(room));
  if (n < 0) throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  return static_cast<std::size_t>(n);
}

int write_archive_file(int fd, std::uint64_t offset, std::string_view data) noexcept {
  if (::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return errno;
  while (!data.empty()) {
    const unsigned piece =
        data.size() > INT_MAX ? unsigned{INT_MAX} : static_cast<unsigned>(data.size());
    const int n = ::_write(fd, data.data(), piece);
    if (n < 0) return errno;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace keelbox::archive_detail

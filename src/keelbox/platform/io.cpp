#include "keelbox/platform/io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

int write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return EIO;  // no progress and no reason: give up rather than spin
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {  // a non-blocking descriptor inherited
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, -1);
      continue;
    }
    return err;
  }
  return 0;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor open_nameless_file(const std::filesystem::path& folder, std::string_view prefix) {
  std::string name = (folder / prefix).string();
  name += "XXXXXX";
  // mkostemp creates the file with O_EXCL and mode 0600.
  FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) {
    throw FileSystemError("Cannot create a temporary file in " + folder.string() + ": " + std::strerror(errno));
  }
  if (::unlink(name.c_str()) != 0) {
    const int err = errno;
    throw FileSystemError("Cannot remove the temporary file " + name + ": " + std::strerror(err));
  }
  return fd;
}

}  // namespace keelbox

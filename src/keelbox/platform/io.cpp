#include "keelbox/platform/io.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

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

}  // namespace keelbox

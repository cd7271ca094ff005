// The tool's standard output and error on POSIX systems: a terminal shows
// the colour and cursor codes and takes UTF-8 as it is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "keelbox/platform/io.hpp"
#include "keelbox/terminal/console.hpp"

namespace keelbox {

void prepare_console() {}

bool is_ansi_terminal(int fd) { return ::isatty(fd) == 1; }

int write_output(int fd, std::string_view data) noexcept { return write_all(fd, data); }

void open_missing_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = ::open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
      }
    }
  }
}

}  // namespace keelbox

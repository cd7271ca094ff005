#include "keelbox/platform/io.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <random>
#include <system_error>

#include "keelbox/platform/wide.hpp"
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

#ifdef _WIN32

// The C runtime's descriptors: a descriptor opened in text mode (the standard
// streams unless switched) writes a line feed as CR LF, as Windows programs do.
int write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const unsigned piece =
        data.size() > INT_MAX ? unsigned{INT_MAX} : static_cast<unsigned>(data.size());
    const int n = ::_write(fd, data.data(), piece);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return ENOSPC;  // no progress: the disk is full
    const int err = errno;
    if (err == EINTR) continue;
    return err;
  }
  return 0;
}

int close_descriptor(int fd) noexcept { return ::_close(fd); }

// Windows removes a file opened for deletion on close when its last handle
// closes, also when the process is killed; other openers must allow that
// (FILE_SHARE_DELETE), and the name stays visible until then. The DACL Windows
// gives a new file in a user's folder is that of the folder: the user's own.
FileDescriptor open_nameless_file(const std::filesystem::path& folder, std::string_view prefix) {
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    const std::filesystem::path name = folder / path_from_utf8(std::string(prefix) + suffix);
    HANDLE handle = ::CreateFileW(
        name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < 100) continue;
      throw FileSystemError("Cannot create a temporary file in " + path_to_utf8(folder) + ": " +
                            std::system_category().message(static_cast<int>(error)));
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      ::CloseHandle(handle);
      throw FileSystemError("Cannot create a temporary file in " + path_to_utf8(folder) + ": " +
                            std::strerror(errno));
    }
    return FileDescriptor(fd);
  }
}

#else

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

int close_descriptor(int fd) noexcept { return ::close(fd); }

FileDescriptor open_nameless_file(const std::filesystem::path& folder, std::string_view prefix) {
  std::string name = (folder / prefix).string();
  name += "XXXXXX";
  // mkostemp creates the file with O_EXCL and mode 0600.
  FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd) {
    throw FileSystemError("Cannot create a temporary file in " + folder.string() + ": " +
                          std::strerror(errno));
  }
  if (::unlink(name.c_str()) != 0) {
    const int err = errno;
    throw FileSystemError("Cannot remove the temporary file " + name + ": " + std::strerror(err));
  }
  return fd;
}

#endif

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close_descriptor(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close_descriptor(fd_);
}

}  // namespace keelbox

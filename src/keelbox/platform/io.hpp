#pragma once
// Writing to file descriptors, and files that never outlive their process.
#include <filesystem>
#include <string_view>

namespace keelbox {

// Writes all of `data` to `fd`: a write cut short goes on with the rest, one
// interrupted by a signal is repeated, and a non-blocking descriptor that is
// full is waited for. Returns 0, or the errno of the write that failed.
// Async-signal-safe (it calls only write and poll), so signal handlers use it
// too. On Windows `fd` is a C runtime descriptor (_write).
int write_all(int fd, std::string_view data) noexcept;

// Closes `fd` (close; _close on Windows): 0, or -1 with errno set.
int close_descriptor(int fd) noexcept;

// An open file descriptor, closed with its owner.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  int get() const noexcept { return fd_; }
  // The descriptor, no longer closed by this object.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A new, empty file in `folder` that has no name: created as a hidden
// "<prefix>XXXXXX" (a fresh name, readable and writable by the owner only) and
// removed at once, so nothing is left behind however the process ends. Its
// data lives on the folder's file system until the descriptor is closed.
// On Windows a name cannot be removed while the file is open: the file is
// opened for deletion on close instead (gone when its last handle closes, also
// when the process is killed) and its name is visible until then.
// Throws FileSystemError naming the folder and the system's reason.
FileDescriptor open_nameless_file(const std::filesystem::path& folder, std::string_view prefix);

}  // namespace keelbox

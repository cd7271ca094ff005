#pragma once
// A small tmpfs for tests of a full disk, and a way to fill it.
//
//   keelbox::testing::SmallDisk disk(dir / "disk", 256 * 1024);
//   if (!disk.mounted()) GTEST_SKIP() << disk.why_not();
//   ... disk.fill(); ... disk.free(); ...
//
// The test process first moves into a mount namespace of its own (once), so a
// mount left behind by a crashed test vanishes with the process. Mounting
// needs root (CI runs as root); elsewhere the tests skip with the reason.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace keelbox::testing {

class SmallDisk {
 public:
  SmallDisk(std::filesystem::path dir, std::size_t bytes) : dir_(std::move(dir)) {
    static const std::string namespace_error = [] {
      if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("private mounts: ") + std::strerror(errno);
      }
      return std::string();
    }();
    if (!namespace_error.empty()) {
      why_not_ = "cannot mount a tmpfs (" + namespace_error + ")";
      return;
    }
    std::filesystem::create_directories(dir_);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      why_not_ = std::string("cannot mount a tmpfs (") + std::strerror(errno) + ")";
      return;
    }
    mounted_ = true;
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }

  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }
  const std::filesystem::path& path() const { return dir_; }

  // Writes a filler file until the disk refuses even one more byte.
  void fill() {
    int fd = ::open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::vector<char> block(65536, 'f');
    for (std::size_t size = block.size(); size > 0; size /= 2) {
      while (::write(fd, block.data(), size) > 0) {
      }
    }
    ::close(fd);
  }
  void free() { std::filesystem::remove(filler()); }

 private:
  std::filesystem::path filler() const { return dir_ / "filler"; }
  std::filesystem::path dir_;
  bool mounted_ = false;
  std::string why_not_;
};

}  // namespace keelbox::testing

#include "keelbox/archive/staging.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/io.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::archive_detail {
namespace {

namespace fs = std::filesystem;

constexpr const char* PREFIX = ".keelbox-unpack-";
// Folders copied from the previous contents hold two descriptors per level.
constexpr int MAX_KEPT_DEPTH = 200;

#ifndef _WIN32

std::string reason() { return std::strerror(errno); }

Fd open_dir(int at, const char* name) {
  return Fd(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::vector<std::string> names_in(int dir) {
  std::vector<std::string> names;
  Fd listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) return names;
  DIR* stream = ::fdopendir(listing.get());
  if (!stream) return names;
  listing.release();
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  return names;
}

class Keeper {
 public:
  explicit Keeper(const fs::path& destination) : destination_(destination) {}

  // Everything below `from` recreated below `to`: folders anew, the rest as
  // hard links (a copy where a link cannot be made).
  void copy(int from, int to, const fs::path& shown, int depth) {
    if (depth > MAX_KEPT_DEPTH) {
      fail(shown, "folders nested more than " + std::to_string(MAX_KEPT_DEPTH) + " deep");
    }
    for (const std::string& name : names_in(from)) {
      const fs::path item = shown / name;
      struct stat st {};
      if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail(item, reason());
      if (S_ISDIR(st.st_mode)) {
        if (::mkdirat(to, name.c_str(), 0700) != 0) fail(item, reason());
        Fd sub_from = open_dir(from, name.c_str());
        Fd sub_to = open_dir(to, name.c_str());
        if (!sub_from || !sub_to) fail(item, reason());
        copy(sub_from.get(), sub_to.get(), item, depth + 1);
        if (::fchmod(sub_to.get(), st.st_mode & 07777) != 0) fail(item, reason());
      } else if (::linkat(from, name.c_str(), to, name.c_str(), 0) != 0) {
        const int link_error = errno;
        if (S_ISREG(st.st_mode)) {
          copy_file(from, to, name, st, item);
        } else if (S_ISLNK(st.st_mode)) {
          copy_symlink(from, to, name, st, item);
        } else {
          fail(item, std::strerror(link_error));
        }
      }
    }
  }

 private:
  void copy_file(int from, int to, const std::string& name, const struct stat& st,
                 const fs::path& item) {
    Fd in(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) fail(item, reason());
    Fd out(::openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    st.st_mode & 07777));
    if (!out) fail(item, reason());
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) fail(item, reason());
      if (got == 0) break;
      if (const int err =
              write_all(out.get(), std::string_view(buffer, static_cast<std::size_t>(got)))) {
        fail(item, std::strerror(err));
      }
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) fail(item, reason());
    if (::close(out.release()) != 0) fail(item, reason());
  }

  void copy_symlink(int from, int to, const std::string& name, const struct stat& st,
                    const fs::path& item) {
    std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
    const ssize_t length = ::readlinkat(from, name.c_str(), target.data(), target.size());
    if (length < 0) fail(item, reason());
    target.resize(static_cast<std::size_t>(length));
    if (::symlinkat(target.c_str(), to, name.c_str()) != 0) fail(item, reason());
  }

  [[noreturn]] void fail(const fs::path& item, const std::string& why) const {
    throw ExtractionError("Could not keep '" + item.string() + "' of the previous folder " +
                          destination_.string() + ": " + why);
  }

  fs::path destination_;
};

#endif

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close_descriptor(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) close_descriptor(fd_);
}

#ifdef _WIN32
namespace {

std::string windows_reason(DWORD code) {
  std::string text = std::system_category().message(static_cast<int>(code));
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

std::string last_reason() { return windows_reason(::GetLastError()); }

// Attributes of `path` itself (a link not followed); INVALID_FILE_ATTRIBUTES when not there.
DWORD attributes_of(const fs::path& path) { return ::GetFileAttributesW(path.c_str()); }

bool is_plain_folder(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The names in `folder`.
std::vector<fs::path> names_in(const fs::path& folder) {
  std::vector<fs::path> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  return names;
}

// Removes `path` and, when it is a plain folder, everything in it; a link
// (to a folder too) or a junction is removed itself, never what it leads
// to. The C++ library cannot be used here: on Windows it cannot tell a link
// from what it names, and would empty a folder outside through a link.
// Returns false when something could not be removed.
bool remove_tree(const fs::path& path, int depth = 0) {
  const DWORD attributes = attributes_of(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  bool ok = true;
  if (is_plain_folder(attributes) && depth <= MAX_KEPT_DEPTH) {
    for (const fs::path& name : names_in(path)) ok = remove_tree(path / name, depth + 1) && ok;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(path.c_str())
                                                               : ::DeleteFileW(path.c_str());
  return removed && ok;
}

class Keeper {
 public:
  explicit Keeper(const fs::path& destination) : destination_(destination) {}

  // Everything below `from` recreated below `to`: folders anew, files as
  // hard links (a copy where a link cannot be made), links as links.
  void copy(const fs::path& from, const fs::path& to, const fs::path& shown, int depth) {
    if (depth > MAX_KEPT_DEPTH) {
      fail(shown, "folders nested more than " + std::to_string(MAX_KEPT_DEPTH) + " deep");
    }
    for (const fs::path& name : names_in(from)) {
      const fs::path item = shown / name;
      const fs::path source = from / name;
      const fs::path target = to / name;
      const DWORD attributes = attributes_of(source);
      if (attributes == INVALID_FILE_ATTRIBUTES) fail(item, last_reason());
      if (is_plain_folder(attributes)) {
        if (!::CreateDirectoryW(target.c_str(), nullptr)) fail(item, last_reason());
        copy(source, target, item, depth + 1);
      } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // The link itself, not what it names.
        if (!::CopyFileExW(source.c_str(), target.c_str(), nullptr, nullptr, nullptr,
                           COPY_FILE_FAIL_IF_EXISTS | COPY_FILE_COPY_SYMLINK)) {
          fail(item, last_reason());
        }
      } else if (!::CreateHardLinkW(target.c_str(), source.c_str(), nullptr) &&
                 !::CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        fail(item, last_reason());
      }
    }
  }

 private:
  [[noreturn]] void fail(const fs::path& item, const std::string& why) const {
    throw ExtractionError("Could not keep '" + path_to_utf8(item) + "' of the previous folder " +
                          path_to_utf8(destination_) + ": " + why);
  }

  fs::path destination_;
};

}  // namespace

Staging::Staging(const fs::path& destination) : destination_(destination) {
  const std::string shown = path_to_utf8(destination);
  std::error_code ec;
  const fs::path absolute = fs::absolute(destination, ec);
  if (ec) throw ExtractionError("Cannot locate " + shown + ": " + ec.message());
  const DWORD attributes = attributes_of(absolute);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
      ::GetLastError() != ERROR_PATH_NOT_FOUND) {
    throw ExtractionError("Cannot unpack into " + shown + ": " + last_reason());
  }
  if (exists && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    throw ExtractionError("Cannot unpack into " + shown + ": it is not a folder");
  }
  // The real folder (a link to it followed), so that the exchange happens there.
  const fs::path real = exists ? fs::canonical(absolute, ec) : fs::weakly_canonical(absolute, ec);
  if (ec) throw ExtractionError("Cannot locate " + shown + ": " + ec.message());
  name_ = path_to_utf8(real.filename());
  if (name_.empty() || name_ == "." || name_ == "..") {
    throw ExtractionError("Cannot unpack into " + shown + ": it has no folder name");
  }
  fs::create_directories(real.parent_path(), ec);
  if (ec)
    throw ExtractionError("Cannot create " + path_to_utf8(real.parent_path()) + ": " +
                          ec.message());
  parent_ = fs::canonical(real.parent_path(), ec);
  if (ec)
    throw ExtractionError("Cannot locate " + path_to_utf8(real.parent_path()) + ": " +
                          ec.message());

  // Folders cannot be locked on Windows: a byte of a lock file in the parent can.
  const fs::path lock_file = parent_ / ".keelbox-unpack.lock";
  HANDLE lock = ::CreateFileW(lock_file.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    throw ExtractionError("Cannot lock " + path_to_utf8(parent_) + ": " + last_reason());
  }
  lock_ = lock;
  OVERLAPPED whole{};
  if (!::LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
    const std::string why = last_reason();
    ::CloseHandle(lock);
    lock_ = nullptr;
    throw ExtractionError("Cannot lock " + path_to_utf8(parent_) + ": " + why);
  }

  // Leftovers of runs that ended without cleaning up: under the lock, no
  // other run is using one.
  for (const fs::path& name : names_in(parent_)) {
    if (path_to_utf8(name).rfind(PREFIX, 0) == 0) remove_tree(parent_ / name);
  }

  try {
    std::random_device random;
    fs::path beside;
    for (int attempt = 0;; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", random());
      beside = parent_ / path_from_utf8(PREFIX + std::string(suffix));
      if (::CreateDirectoryW(beside.c_str(), nullptr)) break;
      if (::GetLastError() != ERROR_ALREADY_EXISTS || attempt > 100) {
        throw ExtractionError("Cannot create a folder in " + path_to_utf8(parent_) + ": " +
                              last_reason());
      }
    }
    path_ = beside;
    if (exists) Keeper(destination_).copy(parent_ / path_from_utf8(name_), path_, fs::path(), 0);
  } catch (...) {
    // No destructor runs for a constructor that throws.
    if (!path_.empty()) remove_tree(path_);
    ::CloseHandle(static_cast<HANDLE>(lock_));
    throw;
  }
}

Staging::~Staging() {
  if (!path_.empty()) remove_tree(path_);                // what is left: nothing to report it to
  if (lock_) ::CloseHandle(static_cast<HANDLE>(lock_));  // closing the handle releases the lock
}

// No exchange of two folders on Windows: the old folder steps aside (to a
// name the next run removes as a leftover), the new one takes its name, and
// should that fail the old one comes back.
void Staging::install() {
  const fs::path target = parent_ / path_from_utf8(name_);
  const fs::path old = fs::path(path_) += L"-old";
  const bool had_old = attributes_of(target) != INVALID_FILE_ATTRIBUTES;
  if (had_old && !::MoveFileExW(target.c_str(), old.c_str(), MOVEFILE_WRITE_THROUGH)) {
    throw ExtractionError("Cannot put the unpacked folder in place of " +
                          path_to_utf8(destination_) + ": " + last_reason());
  }
  if (!::MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const std::string why = last_reason();
    if (had_old) ::MoveFileExW(old.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    throw ExtractionError("Cannot put the unpacked folder in place of " +
                          path_to_utf8(destination_) + ": " + why);
  }
  installed_ = true;
  path_ = old;  // removed on leaving
}
#else

Staging::Staging(const fs::path& destination) : destination_(destination) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(destination, ec);
  if (ec) throw ExtractionError("Cannot locate " + destination.string() + ": " + ec.message());
  for (const fs::path& part : absolute) {
    if (part.native().size() > NAME_MAX) {
      throw ExtractionError("Cannot unpack into " + destination.string() + ": the folder name '" +
                            part.string() + "' is " + std::to_string(part.native().size()) +
                            " bytes long, more than the " + std::to_string(NAME_MAX) +
                            " the system allows");
    }
  }
  struct stat st {};
  const bool exists = ::stat(absolute.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    throw ExtractionError("Cannot unpack into " + destination.string() + ": " + reason());
  }
  if (exists && !S_ISDIR(st.st_mode)) {
    throw ExtractionError("Cannot unpack into " + destination.string() + ": it is not a folder");
  }
  // The real folder (a link to it followed), so that the exchange happens there.
  const fs::path real = exists ? fs::canonical(absolute, ec) : fs::weakly_canonical(absolute, ec);
  if (ec) throw ExtractionError("Cannot locate " + destination.string() + ": " + ec.message());
  name_ = real.filename().string();
  if (name_.empty() || name_ == "." || name_ == "..") {
    throw ExtractionError("Cannot unpack into " + destination.string() + ": it has no folder name");
  }
  fs::create_directories(real.parent_path(), ec);
  if (ec) {
    throw ExtractionError("Cannot create " + real.parent_path().string() + ": " + ec.message());
  }
  parent_ = fs::canonical(real.parent_path(), ec);
  if (ec)
    throw ExtractionError("Cannot locate " + real.parent_path().string() + ": " + ec.message());

  parent_fd_ = Fd(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent_fd_) throw ExtractionError("Cannot open " + parent_.string() + ": " + reason());
  while (::flock(parent_fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) throw ExtractionError("Cannot lock " + parent_.string() + ": " + reason());
  }

  // Leftovers of runs that ended without cleaning up: under the lock, no
  // other run is using one.
  for (const std::string& name : names_in(parent_fd_.get())) {
    if (name.rfind(PREFIX, 0) == 0) fs::remove_all(parent_ / name, ec);
  }

  std::random_device random;
  std::string beside;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", random());
    beside = PREFIX + std::string(suffix);
    if (::mkdirat(parent_fd_.get(), beside.c_str(), 0777) == 0) break;
    if (errno != EEXIST || attempt > 100) {
      throw ExtractionError("Cannot create a folder in " + parent_.string() + ": " + reason());
    }
  }
  path_ = parent_ / beside;

  if (!exists) return;
  try {
    Fd from = open_dir(parent_fd_.get(), name_.c_str());
    Fd to = open_dir(parent_fd_.get(), beside.c_str());
    if (!from || !to)
      throw ExtractionError("Cannot open " + destination.string() + ": " + reason());
    Keeper(destination_).copy(from.get(), to.get(), fs::path(), 0);
    if (::fchmod(to.get(), st.st_mode & 07777) != 0) {
      throw ExtractionError("Cannot prepare " + path_.string() + ": " + reason());
    }
  } catch (...) {
    fs::remove_all(path_, ec);  // no destructor runs for a constructor that throws
    throw;
  }
}

Staging::~Staging() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);  // what is left: nothing to report it to
}

void Staging::install() {
  const std::string beside = path_.filename().string();
  const int dir = parent_fd_.get();
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (::renameat2(dir, beside.c_str(), dir, name_.c_str(), RENAME_EXCHANGE) == 0) {
      installed_ = true;  // the old contents are beside now, removed on leaving
      return;
    }
    if (errno == ENOENT) {
      if (::renameat2(dir, beside.c_str(), dir, name_.c_str(), RENAME_NOREPLACE) == 0) {
        installed_ = true;
        return;
      }
      if (errno == EEXIST) continue;  // appeared meanwhile: exchange with it
    }
    if (errno == EINVAL || errno == ENOSYS) {
      // No exchange on this file system: the old folder steps aside first.
      const std::string old = beside + "-old";
      if (::renameat(dir, name_.c_str(), dir, old.c_str()) != 0 && errno != ENOENT) break;
      if (::renameat(dir, beside.c_str(), dir, name_.c_str()) != 0) {
        const int error = errno;
        ::renameat(dir, old.c_str(), dir, name_.c_str());
        errno = error;
        break;
      }
      std::error_code ec;
      fs::remove_all(parent_ / old, ec);
      installed_ = true;
      return;
    }
    break;
  }
  throw ExtractionError("Cannot put the unpacked folder in place of " + destination_.string() +
                        ": " + reason());
}

#endif

}  // namespace keelbox::archive_detail

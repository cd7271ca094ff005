// The placer on POSIX systems (placer.hpp): members are written through
// folder descriptors, each folder opened relative to the root without
// following links (or in one step with openat2 where the system has it), and
// the folders opened stay open for the members that follow.
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "keelbox/archive/placer.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/io.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::archive_detail {
namespace {

namespace fs = std::filesystem;

// The process's umask, read without changing it (other threads may be
// creating files meanwhile). Unknown: every bit, so that modes are always set
// explicitly.
mode_t current_umask() {
  FileDescriptor status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
  if (!status) return 0777;
  char text[4096];
  const ssize_t got = ::read(status.get(), text, sizeof text - 1);
  if (got <= 0) return 0777;
  text[got] = '\0';
  const char* line = std::strstr(text, "\nUmask:");
  if (!line) return 0777;
  char* end = nullptr;
  const unsigned long value = std::strtoul(line + 7, &end, 8);
  return end == line + 7 ? mode_t{0777} : static_cast<mode_t>(value & 0777);
}

// A folder below the root reached by its physical path, or how far that got.
struct Located {
  int fd = -1;              // the folder (or the deepest one reached)
  FileDescriptor owned;     // set when `fd` is not held by the cache
  std::size_t reached = 0;  // components of the path that exist as folders
  bool missing = false;     // the next component is not there
  bool blocked = false;     // the next component is no plain folder (a link, a file, no access)
  int error = 0;            // why it is blocked
};

// The system's reason added to what could not be done.
[[noreturn]] void cannot(const std::string& member, const std::string& what, int error) {
  cannot_text(member, what, std::strerror(error));
}

// Where MemberData::write() puts a file's data: a descriptor.
struct PosixOutput : Output {
  explicit PosixOutput(int file) : fd(file) {}
  int fd;
  std::string seek(std::uint64_t offset) const override {
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? std::strerror(errno)
                                                                 : std::string();
  }
  std::string write(const char* data, std::size_t size) const override {
    for (std::size_t done = 0; done < size;) {
      const ssize_t put = ::write(fd, data + done, size - done);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return std::strerror(errno);
      done += static_cast<std::size_t>(put);
    }
    return {};
  }
  std::string extend(std::uint64_t size) const override {
    return ::ftruncate(fd, static_cast<off_t>(size)) != 0 ? std::strerror(errno) : std::string();
  }
};

struct Times {
  bool set = false;
  std::array<timespec, 2> value{};
};

// The member's time of last change (and of last access, when stored).
Times times_of(archive_entry* entry) {
  Times times;
  if (!archive_entry_mtime_is_set(entry)) return times;
  times.set = true;
  times.value[1] = {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
  times.value[0] = archive_entry_atime_is_set(entry)
                       ? timespec{archive_entry_atime(entry), archive_entry_atime_nsec(entry)}
                       : timespec{0, UTIME_OMIT};
  return times;
}

}  // namespace

const std::size_t Placer::NAME_LIMIT = NAME_MAX;
const char* const Placer::NAME_UNIT = " bytes";
std::size_t Placer::name_length(const std::string& name) { return name.size(); }

// The mode a regular file or hard link gets: at most 0755, no execute bits
// when the owner has none, owner read and write always.
unsigned Placer::file_mode(unsigned mode) {
  mode &= 0755;
  if (!(mode & S_IXUSR)) mode &= ~mode_t{0111};
  return mode | 0600;
}

NameLook look_at_name(const fs::path& path, bool read_target) {
  NameLook out;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    // Only a name that is not there (or lies below a file) is certain not to be a link.
    if (errno != ENOENT && errno != ENOTDIR) out.error = std::strerror(errno);
    return out;
  }
  out.link = S_ISLNK(st.st_mode);
  if (!out.link || !read_target) return out;
  std::error_code ec;
  out.target = fs::read_symlink(path, ec).native();
  if (ec) out.error = ec.message();
  if (!out.target.empty() && out.target.front() == '/') out.restart = "/";
  return out;
}

bool non_folder_at(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

class Placer::Impl {
 public:
  Impl(const fs::path& root, const fs::path& previous, Progress& progress)
      : root_(root), progress_(progress) {
    root_fd_ =
        FileDescriptor(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root_fd_)
      throw ExtractionError("Cannot open " + root_.string() + ": " + std::strerror(errno));
    if (!previous.empty()) {
      previous_fd_ =
          FileDescriptor(::open(previous.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!previous_fd_)
        throw ExtractionError("Cannot open " + previous.string() + ": " + std::strerror(errno));
    }
    umask_ = current_umask();
    // A root that starts empty holds only what this extraction places there
    // (the folder beside is the run's own): every file in it is one it wrote
    // but the previous files brought in on a member's way (kept_),
    // and the symbolic links it places are all there are (when its folders
    // can be searched).
    root_started_empty_ = empty_folder(root_fd_.get());
    progress_.links_tracked = root_started_empty_ && (umask_ & S_IXUSR) == 0;
  }

  void next_member() {
    // Between members no kept folder is in use: room is made here only.
    make_room();
  }

  // The member at its own name, when every folder on the way is a plain
  // folder (or missing): the folders are opened without following links, and
  // one that is a link (or a link at the member's own name) sends the member
  // to place_resolved() before anything is written, and so does a refusal
  // (to be refused there with the reason that comes first). False then.
  bool place_directly(Member& m, MemberData& data, const Judge& judge) {
    const bool plain = std::find(m.parts.begin(), m.parts.end(), "..") == m.parts.end() &&
                       root_.native().size() + 1 + m.name.size() < PATH_MAX;
    if (!plain || m.parts.empty()) return false;
    const std::size_t above = m.parts.size() - 1;
    Located at = locate(m.parts, above);
    if (at.blocked) return false;
    // Refused all the same, with the reason that comes first.
    const std::string path = join(m.parts, m.parts.size());
    const std::size_t folder_size = above == 0 ? 0 : path.size() - m.parts.back().size() - 1;
    if (!judge(m, std::string_view(path).substr(0, folder_size))) return false;
    const int folder = create_missing(at, m.parts, above, m.name);
    return place(data, m, folder, path, false);
  }

  void place_resolved(const Member& m, MemberData& data, const std::string& relative) {
    const std::vector<std::string> physical = split(relative);
    Located at = locate(physical, physical.size() - 1);
    if (at.blocked) cannot(m.name, "Can't create '" + relative + "'", errno);
    const int folder = create_missing(at, physical, physical.size() - 1, m.name);
    place(data, m, folder, relative, true);
  }

  Found hardlink_target(const std::string& relative) {
    const std::vector<std::string> parts = split(relative);
    if (parts.empty()) return Found::Other;
    Located at = locate(parts, parts.size() - 1);
    if (at.missing || (at.blocked && at.error == ENOTDIR)) {  // not there, or below a file
      return at.missing && in_previous(parts, parts.size()) ? Found::Other : Found::Nothing;
    }
    if (at.blocked) return Found::Other;
    struct stat st {};
    if (::fstatat(at.fd, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return Found::Other;
      // Kept from the previous folder in the end: no file of this archive.
      return in_previous(parts, parts.size()) ? Found::Other : Found::Nothing;
    }
    const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
    const bool written = S_ISREG(st.st_mode) &&
                         (root_started_empty_ ? kept_.count(id) == 0 : written_.count(id) != 0);
    if (written) {
      target_checked_ = relative;
      target_mode_ = st.st_mode & 07777;
    }
    return written ? Found::WrittenFile : Found::Other;
  }

  // Folders get the times of their members last: writing into a folder
  // changes its time. A folder replaced since is left as it is.
  void finish() {
    for (const auto& [path, times] : folder_times_) {
      make_room();
      std::vector<std::string> parts = split(path);
      Located at = locate(parts, parts.size());
      if (!at.missing && !at.blocked) ::futimens(at.fd, times.data());
    }
    folder_times_.clear();
  }

 private:
  // The folder `parts[0..count)` below the root, opened without following
  // links: from the deepest folder of it already open, in one step where the
  // system can resolve beneath a folder without links, else component by
  // component. Opened folders are kept for the next members.
  Located locate(const std::vector<std::string>& parts, std::size_t count) {
    // The path once; the folder `parts[0..i)` is its first `ends[i]` characters.
    std::string path;
    std::vector<std::size_t> ends(count + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0) path += '/';
      path += parts[i];
      ends[i + 1] = path.size();
    }
    Located at = locate_open(parts, count, path, ends);
    if (at.reached > 0) last_folder_.assign(path, 0, ends[at.reached]);
    return at;
  }

  Located locate_open(const std::vector<std::string>& parts, std::size_t count,
                      const std::string& path, const std::vector<std::size_t>& ends) {
    const auto prefix = [&](std::size_t i) { return std::string_view(path).substr(0, ends[i]); };
    Located at;
    at.fd = root_fd_.get();
    for (std::size_t i = count; i > 0; --i) {
      const auto found = folders_.find(prefix(i));
      if (found != folders_.end()) {
        at.fd = found->second.get();
        at.reached = i;
        break;
      }
    }
    if (count - at.reached >= 2 && beneath_) {
      const std::size_t from = at.reached == 0 ? 0 : ends[at.reached] + 1;
      if (open_beneath(at, std::string_view(path).substr(from), path, count)) return at;
    }
    bool brought = false;
    while (at.reached < count) {
      FileDescriptor next(::openat(at.fd, parts[at.reached].c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) {
        const int error = errno;
        if (error == ENOENT && !brought && bring_previous(at, parts, count)) {
          brought = true;
          continue;  // met now as the member would have met it in the previous folder
        }
        (error == ENOENT ? at.missing : at.blocked) = true;
        at.error = errno = error;
        return at;
      }
      ++at.reached;
      keep(at, std::move(next), prefix(at.reached));
    }
    return at;
  }

  // Room for the folders of the next members: the folder the last one went
  // to stays open (a deep chain goes on there or below it), the rest are
  // closed.
  void make_room() {
    if (folders_.size() < MAX_OPEN_FOLDERS) return;
    auto last = folders_.extract(last_folder_);
    folders_.clear();
    if (!last.empty()) folders_.insert(std::move(last));
  }

  // Whether `folder` has no entry.
  static bool empty_folder(int folder) {
    FileDescriptor listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = listing ? ::fdopendir(listing.get()) : nullptr;
    if (!stream) return false;
    listing.release();
    bool empty = true;
    while (const dirent* entry = ::readdir(stream)) {
      const std::string_view n = entry->d_name;
      if (n != "." && n != "..") {
        empty = false;
        break;
      }
    }
    ::closedir(stream);
    return empty;
  }

  // The unpacking starts in an empty folder laid over the previous one
  // (staging.hpp), whose contents the archive did not write are kept
  // afterwards. What is no folder there (a link, a file) on the way of
  // `parts[at.reached..count)`, where the new folder has nothing yet, is
  // hard-linked into place first, so that a member meets it as it would in
  // the previous folder: a link is judged and followed, a file where a
  // folder must go refuses the member. True when one was.
  bool bring_previous(const Located& at, const std::vector<std::string>& parts, std::size_t count) {
    if (!previous_fd_) return false;
    FileDescriptor old = previous_folder(parts, at.reached);
    if (!old) return false;
    for (std::size_t j = at.reached; j < count; ++j) {
      struct stat st {};
      if (::fstatat(old.get(), parts[j].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
      if (S_ISDIR(st.st_mode)) {
        old = FileDescriptor(
            ::openat(old.get(), parts[j].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!old) return false;
        continue;
      }
      // Its folders first (they are in the previous folder too).
      int folder = at.fd;
      FileDescriptor held;
      for (std::size_t k = at.reached; k < j; ++k) {
        if (::mkdirat(folder, parts[k].c_str(), 0777) != 0 && errno != EEXIST) return false;
        held = FileDescriptor(
            ::openat(folder, parts[k].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!held) return false;
        folder = held.get();
      }
      if (::linkat(old.get(), parts[j].c_str(), folder, parts[j].c_str(), 0) != 0) return false;
      progress_.links.insert(join(parts, j + 1));  // a link, or a file: either way looked at
      if (S_ISREG(st.st_mode)) kept_.emplace(st.st_dev, st.st_ino);  // no file of this archive
      return true;
    }
    return false;
  }

  // The member at `name` in `folder` (`path` below the root) meets what the
  // previous folder has there as it would if it were there already: a link
  // is judged and followed first (false: the member is to be resolved; the
  // link is in place now), and a folder with contents is not replaced by
  // anything but a folder. Only where the new folder has nothing of its own
  // (or a folder) at that name.
  bool meet_previous(const Member& m, int folder, const std::string& path, const char* name,
                     bool replace_links) {
    if (!previous_fd_) return true;
    const int old = previous_parent(path);
    const Previous kind = old < 0 ? Previous::Nothing : previous_kind(old, name);
    if (kind == Previous::Link && !replace_links) {
      if (::linkat(old, name, folder, name, 0) != 0) return true;
      progress_.links.insert(path);
      return false;
    }
    if (kind == Previous::Folder && m.kind != Kind::Directory && filled(old, name)) {
      struct stat own {};
      if (::fstatat(folder, name, &own, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(own.st_mode)) {
        cannot(m.name, "Can't replace the folder '" + path + "'", ENOTEMPTY);
      }
    }
    return true;
  }

  // Whether the previous folder has a folder with contents at `path`.
  bool previous_folder_filled(const std::string& path, const char* name) {
    if (!previous_fd_) return false;
    const int old = previous_parent(path);
    return old >= 0 && previous_kind(old, name) == Previous::Folder && filled(old, name);
  }

  // What the previous folder has at `name` in its folder `old` (the one
  // previous_parent() returned): from that folder's listing, read once for
  // the members that go there in turn, or by a look at the name when the
  // listing says nothing or archive order would have it read again and
  // again.
  enum class Previous { Nothing, Link, Folder, Other };
  Previous previous_kind(int old, const char* name) {
    ++previous_looks_;
    if (!previous_listed_ && previous_listing_read_ <= 2 * previous_looks_ + 10000) {
      previous_listed_ = true;
      previous_listing_.clear();
      FileDescriptor listing(::openat(old, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      DIR* stream = listing ? ::fdopendir(listing.get()) : nullptr;
      if (stream) {
        listing.release();
        while (const dirent* entry = ::readdir(stream)) {
          previous_listing_.emplace(entry->d_name, entry->d_type);
          ++previous_listing_read_;
        }
        ::closedir(stream);
        previous_from_listing_ = true;
      }
    }
    if (previous_from_listing_) {
      const auto found = previous_listing_.find(name);
      if (found == previous_listing_.end()) return Previous::Nothing;
      if (found->second == DT_LNK) return Previous::Link;
      if (found->second == DT_DIR) return Previous::Folder;
      if (found->second != DT_UNKNOWN) return Previous::Other;
    }
    struct stat st {};
    if (::fstatat(old, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return Previous::Nothing;
    if (S_ISLNK(st.st_mode)) return Previous::Link;
    return S_ISDIR(st.st_mode) ? Previous::Folder : Previous::Other;
  }

  // Whether the folder `name` in `folder` has any entry.
  static bool filled(int folder, const char* name) {
    FileDescriptor listing(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!listing) return false;
    DIR* stream = ::fdopendir(listing.get());
    if (!stream) return false;
    listing.release();
    bool any = false;
    while (const dirent* entry = ::readdir(stream)) {
      const std::string_view n = entry->d_name;
      if (n != "." && n != "..") {
        any = true;
        break;
      }
    }
    ::closedir(stream);
    return any;
  }

  // The previous folder's counterpart of the folder that holds `path` (a
  // physical path below the root), -1 when it has none; the last one is
  // kept open.
  int previous_parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
    if (!previous_parent_known_ || parent != previous_parent_path_) {
      const std::vector<std::string> parts = split(parent);
      previous_parent_ = previous_folder(parts, parts.size());
      previous_parent_path_ = parent;
      previous_parent_known_ = true;
      previous_listed_ = previous_from_listing_ = false;
    }
    return previous_parent_.get();
  }

  // The previous folder's folder `parts[0..count)`, opened without following
  // links; none when it is not a folder there.
  FileDescriptor previous_folder(const std::vector<std::string>& parts, std::size_t count) const {
    FileDescriptor folder(::openat(previous_fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t i = 0; i < count && folder; ++i) {
      folder = FileDescriptor(::openat(folder.get(), parts[i].c_str(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return folder;
  }

  // Whether the previous folder has anything at `parts[0..count)`.
  bool in_previous(const std::vector<std::string>& parts, std::size_t count) const {
    if (!previous_fd_ || count == 0) return false;
    const FileDescriptor folder = previous_folder(parts, count - 1);
    struct stat st {};
    return folder &&
           ::fstatat(folder.get(), parts[count - 1].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // The rest of `parts` up to `count` in one call (openat2, resolving beneath
  // the folder with no link allowed on the way), where the system has it.
  bool open_beneath(Located& at, std::string_view rest_view, const std::string& path,
                    std::size_t count) {
#ifdef SYS_openat2
    const std::string rest(rest_view);
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, at.fd, rest.c_str(), &how, sizeof how);
    if (fd >= 0) {
      at.reached = count;
      keep(at, FileDescriptor(static_cast<int>(fd)), path);
      return true;
    }
    // Not on this system (or not allowed here): component by component from now on.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == EINVAL) beneath_ = false;
#else
    (void)at, (void)rest_view, (void)path, (void)count;
    beneath_ = false;
#endif
    return false;
  }

  // `folder` becomes the place reached; kept open for later members while
  // there is room (made between members only: a kept folder may be in use).
  void keep(Located& at, FileDescriptor folder, std::string_view path) {
    at.fd = folder.get();
    if (folders_.size() < 2 * MAX_OPEN_FOLDERS) {
      folders_.insert_or_assign(std::string(path), std::move(folder));
      at.owned = FileDescriptor();
    } else {
      at.owned = std::move(folder);
    }
  }

  // The folders of `parts[at.reached..count)` that are not there yet.
  int create_missing(Located& at, const std::vector<std::string>& parts, std::size_t count,
                     const std::string& member) {
    if (at.reached < count) progress_.wrote = true;
    while (at.reached < count) {
      const char* name = parts[at.reached].c_str();
      if (::mkdirat(at.fd, name, 0777) != 0 && errno != EEXIST) {
        cannot(member, "Can't create '" + join(parts, at.reached + 1) + "'", errno);
      }
      FileDescriptor next(::openat(at.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) cannot(member, "Can't create '" + join(parts, at.reached + 1) + "'", errno);
      ++at.reached;
      keep(at, std::move(next), join(parts, at.reached));
    }
    return at.fd;
  }

  // Writes the member as `name` in `folder` (`path` below the root). What
  // stands there is replaced, a folder only by a folder or when empty. A
  // symbolic link there is replaced only when `replace_links` (its target was
  // judged); otherwise false, with nothing written.
  bool place(MemberData& data, const Member& m, int folder, const std::string& path,
             bool replace_links) {
    const std::size_t slash = path.rfind('/');
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    if (!meet_previous(m, folder, path, name, replace_links)) return false;
    for (int attempt = 0;; ++attempt) {
      if (create(data, m, folder, name, path)) {
        progress_.wrote = true;
        return true;
      }
      if (errno != EEXIST || attempt > 0) cannot(m.name, "Can't create '" + path + "'", errno);
      struct stat st {};
      if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        cannot(m.name, "Can't create '" + path + "'", errno);
      }
      if (S_ISLNK(st.st_mode) && !replace_links) return false;
      if (S_ISDIR(st.st_mode)) {
        if (m.kind == Kind::Directory) {  // an existing folder stays
          progress_.wrote = true;
          data.skip();
          remember_folder_time(data.entry(), path);
          return true;
        }
        if (previous_folder_filled(path, name)) {
          cannot(m.name, "Can't replace the folder '" + path + "'", ENOTEMPTY);
        }
        if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) {
          cannot(m.name, "Can't replace the folder '" + path + "'", errno);
        }
        forget_folders(path);
      } else if (::unlinkat(folder, name, 0) != 0) {
        cannot(m.name, "Can't replace '" + path + "'", errno);
      }
    }
  }

  // One attempt at creating the member; false with errno set when it failed.
  bool create(MemberData& data, const Member& m, int folder, const char* name,
              const std::string& path) {
    switch (m.kind) {
      case Kind::File: {
        FileDescriptor out(
            ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m.mode));
        if (!out) return false;
        if (!root_started_empty_) {
          struct stat st {};
          if (::fstat(out.get(), &st) != 0) cannot(m.name, "Can't create '" + path + "'", errno);
          written_.emplace(st.st_dev, st.st_ino);
        }
        progress_.written += m.bytes;
        data.write(m, PosixOutput{out.get()});
        // The umask took bits the mode keeps.
        if ((m.mode & umask_) != 0 && ::fchmod(out.get(), m.mode) != 0)
          cannot(m.name, "Can't set the mode", errno);
        const Times times = times_of(data.entry());
        if (times.set && ::futimens(out.get(), times.value.data()) != 0) {
          cannot(m.name, "Can't set the time", errno);
        }
        if (::close(out.release()) != 0) cannot(m.name, "Write failed", errno);
        return true;
      }
      case Kind::Directory:
        if (::mkdirat(folder, name, 0777) != 0) return false;
        data.skip();
        remember_folder_time(data.entry(), path);
        return true;
      case Kind::Symlink: {
        if (::symlinkat(m.link_text.c_str(), folder, name) != 0) return false;
        progress_.links.insert(path);
        const Times times = times_of(data.entry());
        if (times.set) ::utimensat(folder, name, times.value.data(), AT_SYMLINK_NOFOLLOW);
        return true;
      }
      case Kind::Hardlink: {
        // A hard link is a name and no more: data stored with it would be
        // written into the file it names. Its target is a file this run
        // created (judged before), so the mode given here changes no file
        // that was there before.
        std::vector<std::string> target = split(m.link_text);
        Located at = locate(target, target.size() - 1);
        if (at.missing || at.blocked) cannot(m.name, "Can't create '" + path + "'", errno);
        if (::linkat(at.fd, target.back().c_str(), folder, name, 0) != 0) return false;
        // The mode the target was seen with moments ago needs no setting.
        const bool same_mode = m.link_text == target_checked_ && m.mode == target_mode_;
        if (!same_mode && ::fchmodat(folder, name, m.mode, 0) != 0)
          cannot(m.name, "Can't set the mode", errno);
        return true;
      }
    }
    return true;
  }

  void remember_folder_time(archive_entry* entry, const std::string& path) {
    const Times times = times_of(entry);
    if (times.set) folder_times_.emplace_back(path, times.value);
  }

  // `path` was removed: folders opened at it or below it are forgotten.
  void forget_folders(const std::string& path) {
    for (auto it = folders_.begin(); it != folders_.end();) {
      const std::string& key = it->first;
      const bool below = key.size() > path.size() && key.compare(0, path.size(), path) == 0 &&
                         key[path.size()] == '/';
      it = key == path || below ? folders_.erase(it) : std::next(it);
    }
  }

  // Folders kept open between members: enough for the folders an archive
  // usually visits in turn, few enough to stay far from the process's limit.
  static constexpr std::size_t MAX_OPEN_FOLDERS = 64;

  fs::path root_;  // absolute, links resolved
  Progress& progress_;
  FileDescriptor root_fd_;
  FileDescriptor previous_fd_;  // the previous folder, when the unpacking is laid over one
  // The previous folder's counterpart of the folder the last member went to.
  bool previous_parent_known_ = false;
  std::string previous_parent_path_;
  FileDescriptor previous_parent_;
  bool previous_listed_ = false;                                     // its listing was tried
  bool previous_from_listing_ = false;                               // and read
  std::unordered_map<std::string, unsigned char> previous_listing_;  // name -> kind
  std::size_t previous_looks_ = 0;         // names looked up in the previous folder
  std::size_t previous_listing_read_ = 0;  // names read from its listings
  mode_t umask_ = 0777;
  bool beneath_ = true;  // openat2 may be tried
  // Looked up by the prefixes of one path string, without copying them.
  struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const {
      return std::hash<std::string_view>{}(path);
    }
  };
  std::unordered_map<std::string, FileDescriptor, PathHash, std::equal_to<>>
      folders_;              // physical path below the root -> open folder
  std::string last_folder_;  // the folder the last member located
  std::vector<std::pair<std::string, std::array<timespec, 2>>> folder_times_;
  bool root_started_empty_ = false;
  // The files created, by device and inode, where the root did not start
  // empty (else every file in it is one).
  std::set<std::pair<dev_t, ino_t>> written_;
  // Where it started empty: the previous files brought in on a member's way.
  std::set<std::pair<dev_t, ino_t>> kept_;
  // The last hard link target found a file of this extraction, and its mode then.
  std::string target_checked_;
  unsigned target_mode_ = 0;
};

Placer::Placer(const fs::path& root, const fs::path& previous, Progress& progress)
    : impl_(std::make_unique<Impl>(root, previous, progress)) {}
Placer::~Placer() = default;
void Placer::next_member() { impl_->next_member(); }
bool Placer::place_directly(Member& m, MemberData& data, const Judge& judge) {
  return impl_->place_directly(m, data, judge);
}
void Placer::place_resolved(const Member& m, MemberData& data, const std::string& relative) {
  impl_->place_resolved(m, data, relative);
}
Placer::Found Placer::hardlink_target(const std::string& relative) {
  return impl_->hardlink_target(relative);
}
void Placer::finish() { impl_->finish(); }

}  // namespace keelbox::archive_detail

// Preparing and exchanging the folder beside on POSIX systems (staging.hpp):
// through folder descriptors, under a lock on the parent folder, exchanged
// with the destination by one rename.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "keelbox/archive/staging.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/platform/helper_thread_posix.hpp"
#include "keelbox/platform/io.hpp"
#include "keelbox/platform/remove_tree_posix.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_posix.hpp"

namespace keelbox::archive_detail {
namespace {

namespace fs = std::filesystem;

std::string reason() { return std::strerror(errno); }

FileDescriptor open_dir(int at, const char* name) {
  return FileDescriptor(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::vector<std::string> names_in(int dir) {
  std::vector<std::string> names;
  FileDescriptor listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

// The names in `dir` with their kinds as the listing gives them (DT_UNKNOWN
// where the file system does not say).
std::vector<std::pair<std::string, unsigned char>> entries_in(int dir) {
  std::vector<std::pair<std::string, unsigned char>> entries;
  FileDescriptor listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) return entries;
  DIR* stream = ::fdopendir(listing.get());
  if (!stream) return entries;
  listing.release();
  while (const dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.emplace_back(name, entry->d_type);
  }
  ::closedir(stream);
  return entries;
}

class Keeper {
 public:
  // `kept`, when given, is told the place below the top of each entry kept.
  Keeper(const fs::path& destination, const std::function<void(std::string_view place)>& kept)
      : destination_(destination), kept_(kept) {}

  // Everything below `from` that `to` has no name for recreated below `to`:
  // folders anew, the rest as hard links (a copy where a link cannot be
  // made). A folder in both is kept with its contents merged the same way and
  // its previous mode; anything else in `to` (what the archive wrote) stays
  // as it is.
  //
  // The two trees are read first, by two threads where the machine has two
  // cores (reading is nearly all of the work: the archive wrote most names),
  // and only then is anything linked in, by this thread alone: a signal that
  // ends the run meanwhile finds no other thread adding to the folder its
  // handler removes.
  void merge(int from, int to) {
    for (const Found& found : find_all(from, to)) apply(from, to, found);
  }

 private:
  // What a folder in both trees needs, found without changing anything.
  struct Found {
    std::vector<std::string> folder;  // its names below the top, the same in both trees
    int depth = 0;
    std::vector<std::string> kept;  // previous entries the archive did not write
    std::optional<unsigned> mode;   // the previous mode, where the new folder's differs
  };
  // A folder in both trees, not looked into yet: the last of `folder` in the
  // open folders `from` and `to`.
  struct Shared {
    int from;
    int to;
    std::vector<std::string> folder;
    int depth;
    std::optional<unsigned> mode;
  };

  static bool may_be_folder(unsigned char type) { return type == DT_DIR || type == DT_UNKNOWN; }

  static fs::path shown_of(const std::vector<std::string>& folder) {
    fs::path shown;
    for (const std::string& name : folder) shown /= name;
    return shown;
  }

  // The folders `from` and `to` (`here`) compared: what the archive did not
  // write goes to `here.kept`, the folders in both to `shared`.
  void look(int from, int to, Found& here, std::vector<Shared>& shared) const {
    check_depth(shown_of(here.folder), here.depth);
    // What the archive wrote here, with its kind as the listing gives it:
    // one listing rather than a look per name.
    std::unordered_map<std::string, unsigned char> written;
    std::vector<std::pair<std::string, unsigned char>> entries = entries_in(to);
    written.reserve(entries.size());
    for (auto& [name, type] : entries) written.emplace(std::move(name), type);
    entries = entries_in(from);
    for (auto& [name, type] : entries) {
      const auto found = written.find(name);
      if (found == written.end()) {
        here.kept.push_back(std::move(name));
        continue;
      }
      // Anything else the archive wrote stays as it is.
      if (!may_be_folder(type) || !may_be_folder(found->second)) continue;
      struct stat there {};
      struct stat st {};
      if (::fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
          ::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(shown_of(here.folder) / name, reason());
      }
      if (!S_ISDIR(there.st_mode) || !S_ISDIR(st.st_mode)) continue;
      std::vector<std::string> folder = here.folder;
      folder.push_back(name);
      std::optional<unsigned> mode;
      if ((there.st_mode & 07777) != (st.st_mode & 07777)) mode = st.st_mode & 07777;
      shared.push_back({from, to, std::move(folder), here.depth + 1, mode});
    }
  }

  // The folder in both trees `shared` and everything below it, into `out`
  // (a folder after the folders in it).
  void walk(const Shared& shared, std::vector<Found>& out) const {
    const std::string& name = shared.folder.back();
    FileDescriptor from = open_dir(shared.from, name.c_str());
    FileDescriptor to = open_dir(shared.to, name.c_str());
    if (!from || !to) fail(shown_of(shared.folder), reason());
    Found here{shared.folder, shared.depth, {}, shared.mode};
    std::vector<Shared> inside;
    look(from.get(), to.get(), here, inside);
    for (const Shared& sub : inside) walk(sub, out);
    if (!here.kept.empty() || here.mode) out.push_back(std::move(here));
  }

  // What both trees need, in the order it is to be done: a folder's mode
  // after everything in it. The top levels are read here until there are
  // enough folders to share out; the two threads take those in turn.
  std::vector<Found> find_all(int from, int to) const {
    constexpr std::size_t ENOUGH = 32;
    constexpr int SHARED_LEVELS = 8;
    std::vector<Found> top;  // the folders read before sharing out, level by level
    std::vector<Shared> level;
    std::vector<FileDescriptor> held;  // the folders `level` is in
    top.push_back(Found{});
    look(from, to, top.back(), level);
    for (int n = 1; n < SHARED_LEVELS && !level.empty() && level.size() < ENOUGH; ++n) {
      std::vector<Shared> next;
      std::vector<FileDescriptor> next_held;
      for (const Shared& shared : level) {
        const std::string& name = shared.folder.back();
        FileDescriptor sub_from = open_dir(shared.from, name.c_str());
        FileDescriptor sub_to = open_dir(shared.to, name.c_str());
        if (!sub_from || !sub_to) fail(shown_of(shared.folder), reason());
        top.push_back(Found{shared.folder, shared.depth, {}, shared.mode});
        look(sub_from.get(), sub_to.get(), top.back(), next);
        next_held.push_back(std::move(sub_from));
        next_held.push_back(std::move(sub_to));
      }
      level = std::move(next);
      held = std::move(next_held);
    }

    std::vector<std::vector<Found>> below(level.size());
    std::atomic<std::size_t> next_branch{0};
    std::atomic<bool> failed{false};
    auto work = [&]() -> std::exception_ptr {
      try {
        for (std::size_t i = next_branch++; i < level.size() && !failed; i = next_branch++) {
          walk(level[i], below[i]);
        }
      } catch (...) {
        failed = true;
        return std::current_exception();
      }
      return nullptr;
    };
    std::exception_ptr helper_error;
    std::thread helper;
    if (level.size() > 1 && std::thread::hardware_concurrency() >= 2) {
      helper = start_helper_thread([&] { helper_error = work(); });
    }
    const std::exception_ptr error = work();
    if (helper.joinable()) helper.join();
    if (error) std::rethrow_exception(error);
    if (helper_error) std::rethrow_exception(helper_error);

    std::vector<Found> all;
    for (std::vector<Found>& branch : below) {
      for (Found& found : branch) all.push_back(std::move(found));
    }
    for (auto found = top.rbegin(); found != top.rend(); ++found) {
      if (!found->kept.empty() || found->mode) all.push_back(std::move(*found));
    }
    return all;
  }

  // What was found for one folder, done. A previous folder gone since it
  // was read has nothing left to keep.
  void apply(int from, int to, const Found& found) {
    const fs::path shown = shown_of(found.folder);
    FileDescriptor sub_from;
    FileDescriptor sub_to;
    for (const std::string& name : found.folder) {
      FileDescriptor next_to = open_dir(to, name.c_str());
      if (!next_to) fail(shown, reason());
      sub_to = std::move(next_to);
      to = sub_to.get();
      if (from < 0) continue;
      sub_from = open_dir(from, name.c_str());
      if (!sub_from && errno != ENOENT) fail(shown, reason());
      from = sub_from ? sub_from.get() : -1;
    }
    if (from >= 0) {
      for (const std::string& name : found.kept) keep(from, to, name, shown / name, found.depth);
    }
    if (found.mode && ::fchmod(to, *found.mode) != 0) fail(shown, reason());
  }

  void check_depth(const fs::path& shown, int depth) const {
    if (depth > MAX_KEPT_DEPTH) {
      fail(shown, "folders nested more than " + std::to_string(MAX_KEPT_DEPTH) + " deep");
    }
  }

  // `name` of `from`, not in `to`, recreated there (nothing when it is gone
  // from `from` since the listing: there is nothing left to keep).
  void keep(int from, int to, const std::string& name, const fs::path& item, int depth) {
    if (::linkat(from, name.c_str(), to, name.c_str(), 0) == 0) return told(item);
    const int link_error = errno;
    struct stat st {};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return;
      fail(item, reason());
    }
    if (S_ISDIR(st.st_mode)) {
      if (::mkdirat(to, name.c_str(), 0700) != 0) fail(item, reason());
      FileDescriptor sub_from = open_dir(from, name.c_str());
      FileDescriptor sub_to = open_dir(to, name.c_str());
      if (!sub_from || !sub_to) fail(item, reason());
      copy(sub_from.get(), sub_to.get(), item, depth + 1);
      if (::fchmod(sub_to.get(), st.st_mode & 07777) != 0) fail(item, reason());
    } else if (S_ISREG(st.st_mode)) {
      copy_file(from, to, name, st, item);
    } else if (S_ISLNK(st.st_mode)) {
      copy_symlink(from, to, name, st, item);
    } else {
      fail(item, std::strerror(link_error));
    }
    told(item);
  }

  void told(const fs::path& item) const {
    if (kept_) kept_(item.native());
  }

  // Everything below `from` recreated below `to` (empty).
  void copy(int from, int to, const fs::path& shown, int depth) {
    check_depth(shown, depth);
    for (const std::string& name : names_in(from)) keep(from, to, name, shown / name, depth);
  }

  void copy_file(int from, int to, const std::string& name, const struct stat& st,
                 const fs::path& item) {
    FileDescriptor in(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in) fail(item, reason());
    FileDescriptor out(::openat(to, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
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
  const std::function<void(std::string_view place)>& kept_;
};

}  // namespace

// The lock file in the parent folder: made by the run that takes the lock,
// owner-only, and removed by it while it still holds the lock.
constexpr const char* LOCK_NAME = ".keelbox-unpack.lock";

// A signal that ends the run removes the folder beside and the lock file
// (remove_on_interrupt): the run's own leftovers go with it.
struct Staging::Lock {
  FileDescriptor parent;  // the parent folder
  FileDescriptor file;    // its lock file, locked
  int file_slot = -1;     // the lock file, removed on a signal
};

void Staging::LockCloser::operator()(Lock* lock) const noexcept {
  // Removed while locked: a run waiting for it finds its name gone and makes
  // a new one.
  forget_removal_on_interrupt(lock->file_slot);
  if (lock->file) ::unlinkat(lock->parent.get(), LOCK_NAME, 0);
  delete lock;
}

std::optional<unsigned> Staging::look_at_destination(const fs::path& absolute) const {
  // A link another user made on the way (in a shared folder, say) could send
  // the user's files anywhere the user may write: it is not followed. Links
  // of the user's own and of the system's (root's) are.
  fs::path prefix;
  for (const fs::path& part : absolute) {
    prefix /= part;
    struct stat link {};
    if (::lstat(prefix.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) continue;
    if (link.st_uid != ::geteuid() && link.st_uid != 0) {
      throw ExtractionError("Cannot unpack into " + destination_.string() + ": " + prefix.string() +
                            " is a link that another user made");
    }
  }
  struct stat st {};
  const bool exists = ::stat(absolute.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    throw ExtractionError("Cannot unpack into " + destination_.string() + ": " + reason());
  }
  if (exists && !S_ISDIR(st.st_mode)) {
    throw ExtractionError("Cannot unpack into " + destination_.string() + ": it is not a folder");
  }
  if (!exists) return std::nullopt;
  return static_cast<unsigned>(st.st_mode);
}

std::unique_ptr<Staging::Lock, Staging::LockCloser> Staging::take_lock() const {
  FileDescriptor parent(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent) throw ExtractionError("Cannot open " + parent_.string() + ": " + reason());
  std::unique_ptr<Lock, LockCloser> lock(new Lock{std::move(parent), FileDescriptor()});
  const int dir = lock->parent.get();
  const std::string shown = (parent_ / LOCK_NAME).string();
  bool told = false;
  for (int attempt = 0;; ++attempt) {
    // Never a link, never a file of another user's: anyone who may open the
    // lock file could hold it forever.
    FileDescriptor file(
        ::openat(dir, LOCK_NAME, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!file && errno != ELOOP) {
      throw ExtractionError("Cannot lock " + parent_.string() + ": " + shown + ": " + reason());
    }
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || st.st_nlink > 1) {
      throw ExtractionError("Cannot unpack into " + destination_.string() + ": the lock file " +
                            shown + " was not made by this user (remove it to go on)");
    }
    if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        throw ExtractionError("Cannot lock " + parent_.string() + ": " + reason());
      }
      if (!told) {
        send_message("Waiting for another keelbox run unpacking into " + parent_.string() + " ...");
        told = true;
      }
      const WritingPaused waiting;  // an ending run need not wait for this one
      while (::flock(file.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
          throw ExtractionError("Cannot lock " + parent_.string() + ": " + reason());
      }
    }
    // The run that held it may have removed it meanwhile: then this one is
    // no lock any more, and the name is tried again.
    struct stat now {};
    if (::fstatat(dir, LOCK_NAME, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino) {
      lock->file = std::move(file);
      lock->file_slot = remove_on_interrupt(dir, LOCK_NAME);
      return lock;
    }
    if (attempt > 1000) {
      throw ExtractionError("Cannot lock " + parent_.string() + ": " + shown + " keeps changing");
    }
  }
}

void Staging::remove_leftovers() {
  const int dir = lock_->parent.get();
  for (const std::string& name : names_in(dir)) {
    if (name.rfind(STAGING_PREFIX, 0) != 0) continue;
    // Only the user's own: another user's are not this run's to remove.
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == ::geteuid()) {
      remove_tree_at(dir, name.c_str());
    }
  }
}

void Staging::prepare(const std::optional<unsigned>& folder_mode) {
  const int parent = lock_->parent.get();
  std::random_device random;
  std::string beside;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", random());
    beside = STAGING_PREFIX + std::string(suffix);
    if (::mkdirat(parent, beside.c_str(), 0777) == 0) break;
    if (errno != EEXIST || attempt > 100) {
      throw ExtractionError("Cannot create a folder in " + parent_.string() + ": " + reason());
    }
  }
  path_ = parent_ / beside;
  folder_slot_ = remove_on_interrupt(parent, beside.c_str());

  (void)folder_mode;  // given to the folder in keep_previous()
}

fs::path Staging::previous() const { return folder_mode_ ? parent_ / name_ : fs::path(); }

bool Staging::keep_previous(const std::function<void(std::string_view place)>& kept) {
  if (!folder_mode_) return true;
  const int parent = lock_->parent.get();
  FileDescriptor from = open_dir(parent, name_.c_str());
  FileDescriptor to = open_dir(parent, path_.filename().c_str());
  if (!from || !to) throw ExtractionError("Cannot open " + destination_.string() + ": " + reason());
  Keeper(destination_, kept).merge(from.get(), to.get());
  if (::fchmod(to.get(), *folder_mode_ & 07777) != 0) {
    throw ExtractionError("Cannot prepare " + path_.string() + ": " + reason());
  }
  return true;
}

Staging::~Staging() {
  if (path_.empty()) return;
  // What is left: nothing to report it to. After install() the old
  // contents, as many entries as the previous folder had: a second core
  // halves the wait.
  remove_tree_at_in_parallel(lock_->parent.get(), path_.filename().c_str());
  forget_removal_on_interrupt(folder_slot_);
}

void Staging::install() {
  const std::string beside = path_.filename().string();
  const int dir = lock_->parent.get();
  // A signal meanwhile waits until the folders have changed places: then
  // the name beside holds the old contents, which it removes.
  if (!hold_removal_on_interrupt(folder_slot_)) {
    throw ExtractionError("Cannot put the unpacked folder in place of " + destination_.string() +
                          ": the run is ending");
  }
  struct Resume {
    int slot;
    ~Resume() { resume_removal_on_interrupt(slot); }
  } resume{folder_slot_};
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
      remove_tree_at_in_parallel(dir, old.c_str());
      installed_ = true;
      return;
    }
    break;
  }
  throw ExtractionError("Cannot put the unpacked folder in place of " + destination_.string() +
                        ": " + reason());
}

}  // namespace keelbox::archive_detail

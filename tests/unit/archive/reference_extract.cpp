// The extraction as it was written before members were placed through
// folder descriptors: every member's path resolved from the root by lstat of
// each component, libarchive's disk writer with its secure flags, the working
// folder changed to the root. Slow and plainly correct; the differential test
// holds the fast extraction to the same trees and the same refusals.
#include "reference_extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox::reference {
namespace {

using keelbox::normalize_link_target;

namespace fs = std::filesystem;

// Symbolic links followed at most while resolving one path (as the system does).
constexpr int MAX_LINKS = 40;

struct ReadDeleter {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};
struct WriteDeleter {
  void operator()(archive* a) const noexcept { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReadDeleter>;
using Writer = std::unique_ptr<archive, WriteDeleter>;

// A member judged unfit (by a rule or a limit): the members before it are
// put in place all the same.
class RefusedMember : public ExtractionError {
 public:
  using ExtractionError::ExtractionError;
};

[[noreturn]] void refuse(const std::string& member, const std::string& reason) {
  throw RefusedMember("Refused archive member '" + member + "': " + reason);
}

std::string archive_text(archive* a) {
  const char* text = archive_error_string(a);
  if (text && *text) return text;
  const int error = archive_errno(a);
  return error > 0 ? std::strerror(error) : "no reason given";
}

[[noreturn]] void damaged(const std::string& reason) {
  throw ExtractionError("Damaged archive: " + reason);
}

// "a//b/./c/" -> {"a", "b", ".", "c"}: components between slashes, empty ones dropped.
std::vector<std::string> split(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// `base` joined with `components` the way the system resolves a path: "."
// is skipped, ".." climbs, an existing symbolic link is replaced by its target
// (an absolute target restarts at "/"); components that do not exist are taken
// as they stand. The last component is followed only when `follow_last`.
// `base` must be absolute and free of links. A name that cannot be looked up
// for any other reason (too long, no access, ...) leaves the answer unknown:
// reading it as a plain name could miss a link, so `error` tells why instead.
struct Resolved {
  fs::path path;
  std::string error;  // empty when `path` is the answer
};

Resolved resolve(const fs::path& base, const std::vector<std::string>& components,
                 bool follow_last) {
  fs::path current = base;
  std::deque<std::string> work(components.begin(), components.end());
  int links = 0;
  while (!work.empty()) {
    std::string part = std::move(work.front());
    work.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = current.parent_path();
      continue;
    }
    fs::path next = current / part;
    const bool last = work.empty();
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) {
      // Only a name that is not there (or lies below a file) is certain not to be a link.
      if (errno != ENOENT && errno != ENOTDIR) {
        return {{}, "its path cannot be checked (" + std::string(std::strerror(errno)) + ")"};
      }
      current = std::move(next);
      continue;
    }
    if ((last && !follow_last) || !S_ISLNK(st.st_mode)) {
      current = std::move(next);
      continue;
    }
    if (++links > MAX_LINKS) return {{}, "too many levels of symbolic links"};
    std::error_code ec;
    fs::path target = fs::read_symlink(next, ec);
    if (ec) return {{}, "its path cannot be checked (" + ec.message() + ")"};
    const std::string& text = target.native();
    if (!text.empty() && text.front() == '/') current = "/";
    std::vector<std::string> parts = split(text);
    work.insert(work.begin(), parts.begin(), parts.end());
  }
  return {current, {}};
}

// Whether `path` is `root` or lies below it (both absolute and normal).
bool inside(const fs::path& path, const fs::path& root) {
  fs::path rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

// Restores the working folder on leaving. libarchive's secure extraction only
// accepts relative names, so members are written relative to the destination.
class WorkingDirGuard {
 public:
  WorkingDirGuard() = default;
  WorkingDirGuard(const WorkingDirGuard&) = delete;
  WorkingDirGuard& operator=(const WorkingDirGuard&) = delete;
  ~WorkingDirGuard() {
    if (saved_ >= 0) {
      if (::fchdir(saved_) != 0) {
        // Nothing sensible is left to do: the folder we came from is gone.
      }
      ::close(saved_);
    }
  }

  void enter(const fs::path& dir) {
    if (saved_ < 0) {
#ifdef O_PATH
      saved_ = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
      saved_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
      if (saved_ < 0) {
        throw ExtractionError(std::string("Cannot remember the working folder: ") +
                              std::strerror(errno));
      }
    }
    if (::chdir(dir.c_str()) != 0) {
      throw ExtractionError("Cannot enter " + dir.string() + ": " + std::strerror(errno));
    }
  }

 private:
  int saved_ = -1;
};

enum class Kind { File, Directory, Symlink, Hardlink };

// The mode a regular file or hard link gets: at most 0755, no execute bits
// when the owner has none, owner read and write always.
mode_t file_mode(mode_t mode) {
  mode &= 0755;
  if (!(mode & S_IXUSR)) mode &= ~mode_t{0111};
  return mode | 0600;
}

class Extraction {
 public:
  // Unpacks into `root` (absolute, free of links); `destination` names it in messages.
  Extraction(const fs::path& destination, const fs::path& root, const ExtractionLimits& limits)
      : limits_(limits), destination_(destination), root_(root) {}

  // Whether anything was written (the folder itself counts).
  bool wrote_any() const { return static_cast<bool>(writer_); }

  void run(std::string_view data) {
    Reader reader(archive_read_new());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), data.data(), data.size()) != ARCHIVE_OK) {
      damaged(archive_text(reader.get()));
    }
    for (;;) {
      archive_entry* entry = nullptr;
      int r = archive_read_next_header(reader.get(), &entry);
      if (r == ARCHIVE_EOF) break;
      if (r < ARCHIVE_WARN) damaged(archive_text(reader.get()));
      extract_member(reader.get(), entry);
    }
    if (writer_ && archive_write_close(writer_.get()) != ARCHIVE_OK) {
      throw ExtractionError("Could not finish the extraction: " + archive_text(writer_.get()));
    }
  }

 private:
  void extract_member(archive* reader, archive_entry* entry) {
    const char* raw_name = archive_entry_pathname(entry);
    if (!raw_name) refuse("?", "the member has no readable name");
    const std::string member = raw_name;

    std::string name = member;
    // Leading slashes go; on this system nothing absolute is left after that.
    name.erase(0, std::min(name.size(), name.find_first_not_of('/')));
    const std::vector<std::string> parts = split(name);

    for (const std::string& part : parts) {
      if (part.size() > NAME_MAX) {
        refuse(member, "a name in its path is " + std::to_string(part.size()) +
                           " bytes long, more than the " + std::to_string(NAME_MAX) +
                           " the system allows: '" + part.substr(0, 40) + "...'");
      }
    }

    if (++members_ > limits_.max_members) {
      refuse(member, "the archive has more members than the limit of " +
                         std::to_string(limits_.max_members));
    }

    // The kind first: special files are refused whatever their name.
    Kind kind;
    const char* hardlink = archive_entry_hardlink(entry);
    if (hardlink) {
      kind = Kind::Hardlink;
    } else {
      switch (archive_entry_filetype(entry)) {
        case AE_IFREG: kind = Kind::File; break;
        case AE_IFDIR: kind = Kind::Directory; break;
        case AE_IFLNK: kind = Kind::Symlink; break;
        case AE_IFCHR:
        case AE_IFBLK: refuse(member, "device files are not allowed");
        case AE_IFIFO: refuse(member, "pipes are not allowed");
        case AE_IFSOCK: refuse(member, "sockets are not allowed");
        default: refuse(member, "special files are not allowed");
      }
    }

    // Where it goes: both the place itself (an existing link there replaced)
    // and that place with a link at it followed must stay inside.
    const Resolved followed_at = resolve(root_, parts, true);
    const Resolved location_at = resolve(root_, parts, false);
    if (!followed_at.error.empty()) refuse(member, followed_at.error);
    if (!location_at.error.empty()) refuse(member, location_at.error);
    const fs::path* location = &location_at.path;
    if (!inside(followed_at.path, root_) || !inside(*location, root_)) {
      refuse(member, "its path leads outside " + destination_.string());
    }
    if (*location == root_) {
      if (kind == Kind::Directory) {
        writer();  // the folder itself: it exists from now on, nothing else to do
        skip_data(reader);
        return;
      }
      refuse(member, "it would replace the destination folder itself");
    }

    // A file (or anything but a folder) where a folder of its path must go.
    for (fs::path above = location->parent_path(); above != root_ && inside(above, root_);
         above = above.parent_path()) {
      struct stat st {};
      if (::lstat(above.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        throw RefusedMember("Could not extract archive member '" + member + "': '" +
                            above.lexically_relative(root_).string() +
                            "' is a file where a folder must go");
      }
    }

    std::string link_text;
    if (kind == Kind::Symlink) {
      const char* target = archive_entry_symlink(entry);
      if (!target) refuse(member, "the link has no readable target");
      if (*target == '/') refuse(member, std::string("absolute link target ") + target);
      // Judged twice, each as the system resolves it from the link's folder
      // (links on disk followed before a ".." applies): the text as stored in
      // the archive, and the normalised text that is written. "l/../x" with l
      // a link to "." normalises to "x", yet leads out of the folder.
      const std::string raw_target = target;
      link_text = normalize_link_target(target);
      for (const std::string* text : {&std::as_const(link_text), &raw_target}) {
        const Resolved resolved = resolve(location->parent_path(), split(*text), true);
        if (!resolved.error.empty())
          refuse(member, "link target " + raw_target + ": " + resolved.error);
        if (!inside(resolved.path, root_)) {
          refuse(member, "link target " + raw_target + " leads outside " + destination_.string());
        }
      }
    } else if (kind == Kind::Hardlink) {
      if (*hardlink == '/') refuse(member, std::string("absolute link target ") + hardlink);
      const Resolved resolved = resolve(root_, split(hardlink), true);
      if (!resolved.error.empty()) {
        refuse(member, "link target " + std::string(hardlink) + ": " + resolved.error);
      }
      if (!inside(resolved.path, root_) || resolved.path == root_) {
        refuse(member,
               "link target " + std::string(hardlink) + " leads outside " + destination_.string());
      }
      link_text = resolved.path.lexically_relative(root_).string();
      // Only a file this archive wrote may be linked: the mode is given to it.
      struct stat st {};
      if (::lstat(resolved.path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        refuse(member, "link target " + std::string(hardlink) + " does not exist");
      }
      if (!S_ISREG(st.st_mode) || written_files_.count({st.st_dev, st.st_ino}) == 0) {
        refuse(member, "link target " + std::string(hardlink) +
                           " is not a file unpacked from this archive");
      }
    }

    if (kind == Kind::Hardlink) {
      // A hard link is a name and no more: data stored with it would be
      // written into the file it names.
      archive_entry_set_size(entry, 0);
    }
    if (kind == Kind::File) {
      // The full size, holes of a sparse member included.
      const la_int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
      const std::uint64_t bytes = size > 0 ? static_cast<std::uint64_t>(size) : 0;
      if (bytes > limits_.max_bytes - written_) {
        refuse(member, "it would unpack the archive to more than the limit of " +
                           std::to_string(limits_.max_bytes) + " bytes");
      }
      written_ += bytes;
    }

    // The entry as it is written: checked name, no owner, tamed mode.
    const std::string relative = location->lexically_relative(root_).string();
    archive_entry_set_pathname(entry, relative.c_str());
    if (kind == Kind::Symlink) archive_entry_set_symlink(entry, link_text.c_str());
    if (kind == Kind::Hardlink) archive_entry_set_hardlink(entry, link_text.c_str());
    archive_entry_set_uid(entry, 0);
    archive_entry_set_gid(entry, 0);
    archive_entry_set_uname(entry, nullptr);
    archive_entry_set_gname(entry, nullptr);
    const mode_t mode = file_mode(archive_entry_perm(entry));
    if (kind == Kind::File || kind == Kind::Hardlink) {
      archive_entry_set_perm(entry, mode);
    } else {
      archive_entry_set_perm(entry, 0777);  // the umask decides, as for any new folder
    }

    // libarchive reports a failed write (a full disk, a quota, an I/O error)
    // as a mere warning: anything short of ARCHIVE_OK is a failure here.
    archive* out = writer();
    if (archive_write_header(out, entry) != ARCHIVE_OK) fail(member, out);
    if (kind == Kind::File) copy_data(member, reader, out);
    if (archive_write_finish_entry(out) != ARCHIVE_OK) fail(member, out);
    if (kind == Kind::File || kind == Kind::Hardlink) {
      // libarchive applied the umask; the mode itself is what was decided above.
      if (::chmod(relative.c_str(), mode) != 0) {
        throw ExtractionError("Could not extract archive member '" + member +
                              "': " + std::strerror(errno));
      }
    }
    struct stat st {};
    if (kind == Kind::File && ::lstat(relative.c_str(), &st) == 0) {
      written_files_.emplace(st.st_dev, st.st_ino);
    }
  }

  // The writer's text ("Write failed", "Can't create 'x'") with the system's
  // reason added when the text does not give it already.
  [[noreturn]] static void fail(const std::string& member, archive* out) {
    std::string text = archive_text(out);
    const int error = archive_errno(out);
    if (error > 0) {
      const std::string reason = std::strerror(error);
      if (text.find(reason) == std::string::npos) text += ": " + reason;
    }
    throw ExtractionError("Could not extract archive member '" + member + "': " + text);
  }

  void skip_data(archive* reader) {
    if (archive_read_data_skip(reader) < ARCHIVE_WARN) {
      damaged(archive_text(reader));
    }
  }

  void copy_data(const std::string& member, archive* reader, archive* out) {
    for (;;) {
      const void* buffer = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      int r = archive_read_data_block(reader, &buffer, &size, &offset);
      if (r == ARCHIVE_EOF) return;
      if (r < ARCHIVE_WARN) damaged(archive_text(reader));
      if (archive_write_data_block(out, buffer, size, offset) != ARCHIVE_OK) fail(member, out);
    }
  }

  // The disk writer, created at the first member that is written.
  archive* writer() {
    if (writer_) return writer_.get();
    cwd_.enter(root_);
    writer_.reset(archive_write_disk_new());
    if (!writer_) throw ExtractionError("Cannot write the archive: out of memory");
    archive_write_disk_set_options(writer_.get(), ARCHIVE_EXTRACT_TIME |
                                                      ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                      ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                      ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
    return writer_.get();
  }

  ExtractionLimits limits_;
  std::uint64_t written_ = 0;                        // bytes of file data counted against the limit
  std::set<std::pair<dev_t, ino_t>> written_files_;  // by device and inode
  std::uint64_t members_ = 0;
  fs::path destination_;  // as given, for messages
  fs::path root_;         // absolute, links resolved
  WorkingDirGuard cwd_;   // declared before the writer: restored after its last write
  Writer writer_;
};

}  // namespace

void reference_extract(std::string_view archive, const std::filesystem::path& destination) {
  fs::create_directories(destination);
  const fs::path root = fs::canonical(destination);
  Extraction extraction(destination, root, {UINT64_MAX, UINT64_MAX});
  extraction.run(archive);
}

}  // namespace keelbox::reference

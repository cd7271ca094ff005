#include "keelbox/archive/extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winioctl.h>
#else
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "keelbox/archive/member_names.hpp"
#include "keelbox/archive/staging.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;

// Symbolic links followed at most while resolving one path (as the system does).
constexpr int MAX_LINKS = 40;

struct ReadDeleter {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReadDeleter>;
using archive_detail::Fd;

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

// Where the compressed archive is read from, a piece at a time: memory or an
// open file. `size` is the archive's length.
class ArchiveInput {
 public:
  explicit ArchiveInput(std::string_view data) : data_(data), size_(data.size()) {}
  ArchiveInput(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  std::uint64_t size() const { return size_; }

  // Up to `room` further bytes into `into`; 0 at the end.
  std::size_t read(char* into, std::size_t room) {
    if (fd_ < 0) {
      const std::size_t n = std::min(room, data_.size() - static_cast<std::size_t>(offset_));
      std::memcpy(into, data_.data() + offset_, n);
      offset_ += n;
      return n;
    }
#ifdef _WIN32
    // C runtime descriptors have no positioned read; the descriptor is ours alone meanwhile.
    if (::_lseeki64(fd_, static_cast<__int64>(offset_), SEEK_SET) < 0) {
      throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
    }
    const int n =
        ::_read(fd_, into, room > INT_MAX ? unsigned{INT_MAX} : static_cast<unsigned>(room));
    if (n < 0)
      throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
    offset_ += static_cast<std::uint64_t>(n);
    return static_cast<std::size_t>(n);
#else
    for (;;) {
      const ssize_t n = ::pread(fd_, into, room, static_cast<off_t>(offset_));
      if (n >= 0) {
        offset_ += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
      }
      if (errno != EINTR) {
        throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
      }
    }
#endif
  }

 private:
  std::string_view data_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
};

// The tar stream inside a gzip stream. zlib checks every gzip member's
// CRC-32 and length as it reaches its trailer; libarchive's own gzip filter
// does not report a mismatch, so libarchive is given the inflated tar stream.
// Members of a gzip stream that follow one another are one stream (as gzip
// reads them); zero bytes after the last one are padding; anything else
// after it is damage. The compressed input is read in pieces of 64 KiB.
class GzipStream {
 public:
  explicit GzipStream(ArchiveInput& input) : input_(input) {
    if (input_.size() == 0) damaged("the archive is empty");
    if (inflateInit2(&z_, 15 + 16) != Z_OK)
      throw ExtractionError("Cannot inflate the archive: out of memory");
  }
  ~GzipStream() { inflateEnd(&z_); }
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // The next piece of the tar stream; empty at its verified end.
  std::string_view read() {
    if (ended_) return {};
    z_.next_out = reinterpret_cast<Bytef*>(buffer_);
    z_.avail_out = sizeof buffer_;
    while (z_.avail_out == sizeof buffer_ && !ended_) {
      refill(1);
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) {
        next_member();
      } else if (r == Z_BUF_ERROR) {  // no progress: the input is used up
        damaged("the compressed data end early (the archive is cut off)");
      } else if (r != Z_OK) {
        damaged(reason(r));
      }
    }
    return {buffer_, sizeof buffer_ - z_.avail_out};
  }

 private:
  // Makes at least `wanted` bytes of input pending for zlib (fewer at the end).
  void refill(std::size_t wanted) {
    if (z_.avail_in >= wanted) return;
    if (z_.avail_in != 0) std::memmove(input_buffer_, z_.next_in, z_.avail_in);
    std::size_t pending = z_.avail_in;
    while (pending < wanted) {
      const std::size_t n = input_.read(input_buffer_ + pending, sizeof input_buffer_ - pending);
      if (n == 0) break;
      pending += n;
      read_ += n;
    }
    z_.next_in = reinterpret_cast<Bytef*>(input_buffer_);
    z_.avail_in = static_cast<uInt>(pending);
  }

  // A gzip member ended with a matching trailer: what follows decides.
  void next_member() {
    refill(2);
    const std::uint64_t rest = input_.size() - (read_ - z_.avail_in);
    if (z_.avail_in == 0) {
      ended_ = true;
    } else if (z_.avail_in >= 2 && z_.next_in[0] == 0x1f && z_.next_in[1] == 0x8b) {
      if (inflateReset(&z_) != Z_OK) damaged("the next compressed part cannot be read");
    } else if (rest_is_zero()) {
      ended_ = true;
    } else {
      damaged("data after the end of the compressed stream (" + std::to_string(rest) + " bytes)");
    }
  }

  // Whether all the input left is zero bytes (it is used up).
  bool rest_is_zero() {
    for (;;) {
      const Bytef* begin = z_.next_in;
      const Bytef* end = begin + z_.avail_in;
      if (std::find_if(begin, end, [](Bytef b) { return b != 0; }) != end) return false;
      z_.avail_in = 0;
      refill(1);
      if (z_.avail_in == 0) return true;
    }
  }

  std::string reason(int code) const {
    const std::string text = z_.msg ? z_.msg : "";
    if (text == "incorrect data check")
      return "the CRC-32 of the content does not match (" + text + ")";
    if (text == "incorrect length check")
      return "the length of the content does not match (" + text + ")";
    if (text == "incorrect header check" || text == "unknown compression method") {
      return "not gzip-compressed (" + text + ")";
    }
    if (!text.empty()) return "unreadable compressed data (" + text + ")";
    if (code == Z_MEM_ERROR) return "out of memory while inflating";
    return "unreadable compressed data (zlib error " + std::to_string(code) + ")";
  }

  ArchiveInput& input_;
  std::uint64_t read_ = 0;  // bytes of the input read so far
  z_stream z_{};
  bool ended_ = false;
  char input_buffer_[64 * 1024];
  char buffer_[64 * 1024];
};

// libarchive's view of the tar stream. An exception cannot pass through
// libarchive's C code: it is kept and thrown again once libarchive returns.
struct TarSource {
  explicit TarSource(ArchiveInput& input) : gzip(input) {}
  GzipStream gzip;
  std::exception_ptr error;

  static la_ssize_t read(archive* a, void* self, const void** buffer) {
    auto* source = static_cast<TarSource*>(self);
    try {
      const std::string_view piece = source->gzip.read();
      *buffer = piece.data();
      return static_cast<la_ssize_t>(piece.size());
    } catch (...) {
      source->error = std::current_exception();
      archive_set_error(a, EIO, "damaged compressed data");
      return ARCHIVE_FATAL;
    }
  }

  void rethrow() const {
    if (error) std::rethrow_exception(error);
  }
};

// "a//b/./c/" -> {"a", "b", ".", "c"}: components between slashes (and
// backslashes on Windows), empty ones dropped.
std::vector<std::string> split(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_path_separator(path[end])) ++end;
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
#ifdef _WIN32
// The text of a Windows error.
std::string windows_error_text(DWORD code) {
  std::string text = std::system_category().message(static_cast<int>(code));
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

// What a name on disk is, links not followed. A reparse point other than a
// symbolic link (a junction, a mount point, a file of a cloud service) leads
// somewhere this code cannot judge: an error.
struct OnDisk {
  enum Kind { Missing, Directory, File, Link } kind = Missing;
  std::string target;     // a link's target as stored
  bool absolute = false;  // the target is absolute (with a drive, or from the root)
  std::string error;
};

// The layout of a symbolic link's reparse data (REPARSE_DATA_BUFFER).
struct SymlinkReparseData {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  DWORD flags;  // 1: relative
};

OnDisk look_at(const fs::path& path) {
  OnDisk out;
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    // Only a name that is not there (or lies below a file) is certain not to be a link.
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND && code != ERROR_DIRECTORY) {
      out.error = windows_error_text(code);
    }
    return out;
  }
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    out.kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? OnDisk::Directory : OnDisk::File;
    return out;
  }
  HANDLE handle = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    out.error = windows_error_text(::GetLastError());
    return out;
  }
  std::vector<DWORD> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE / sizeof(DWORD));
  DWORD got = 0;
  const BOOL ok =
      ::DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size() * sizeof(DWORD)), &got, nullptr);
  const DWORD code = ::GetLastError();
  ::CloseHandle(handle);
  if (!ok) {
    out.error = windows_error_text(code);
    return out;
  }
  SymlinkReparseData header{};
  if (got < sizeof header) {
    out.error = "unreadable reparse point";
    return out;
  }
  std::memcpy(&header, buffer.data(), sizeof header);
  if (header.tag != IO_REPARSE_TAG_SYMLINK) {
    out.error = "a junction or another reparse point that is not a symbolic link";
    return out;
  }
  const std::size_t start = sizeof header + header.substitute_offset;
  if (start + header.substitute_length > got) {
    out.error = "unreadable reparse point";
    return out;
  }
  std::wstring target(header.substitute_length / sizeof(wchar_t), L'\0');
  std::memcpy(target.data(), reinterpret_cast<const char*>(buffer.data()) + start,
              header.substitute_length);
  out.kind = OnDisk::Link;
  out.target = from_wide(target);
  out.absolute = (header.flags & 1) == 0;
  return out;
}
#endif

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
    fs::path next = current / path_from_utf8(part);
    const bool last = work.empty();
#ifdef _WIN32
    const OnDisk there = look_at(next);
    if (!there.error.empty()) return {{}, "its path cannot be checked (" + there.error + ")"};
    if (there.kind != OnDisk::Link || (last && !follow_last)) {
      current = std::move(next);
      continue;
    }
    if (++links > MAX_LINKS) return {{}, "too many levels of symbolic links"};
    // An absolute target starts at its drive (and so lies outside).
    if (there.absolute) current = path_from_utf8(there.target).root_path();
    std::vector<std::string> parts = split(there.target);
    work.insert(work.begin(), parts.begin(), parts.end());
    continue;
#else
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
#endif
  }
  return {current, {}};
}

// Whether `path` is `root` or lies below it (both absolute and normal).
bool inside(const fs::path& path, const fs::path& root) {
  fs::path rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

// The longest name of one path component: bytes on POSIX systems, UTF-16
// units on Windows.
#ifdef _WIN32
constexpr std::size_t NAME_LIMIT = 255;
constexpr const char* NAME_UNIT = " UTF-16 units";
std::size_t name_length(const std::string& name) { return to_wide(name).size(); }
#else
constexpr std::size_t NAME_LIMIT = NAME_MAX;
constexpr const char* NAME_UNIT = " bytes";
std::size_t name_length(const std::string& name) { return name.size(); }
#endif

enum class Kind { File, Directory, Symlink, Hardlink };

#ifndef _WIN32
// The mode a regular file or hard link gets: at most 0755, no execute bits
// when the owner has none, owner read and write always.
mode_t file_mode(mode_t mode) {
  mode &= 0755;
  if (!(mode & S_IXUSR)) mode &= ~mode_t{0111};
  return mode | 0600;
}

// The process's umask, read without changing it (other threads may be
// creating files meanwhile). Unknown: every bit, so that modes are always set
// explicitly.
mode_t current_umask() {
  Fd status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
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
#endif

// `parts[0..count)` joined with "/".
std::string join(const std::vector<std::string>& parts, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i) text += '/';
    text += parts[i];
  }
  return text;
}

#ifdef _WIN32
using mode_t = unsigned;  // the modes of the archive: Windows has none to apply
#endif

// A folder below the root reached by its physical path, or how far that got.
struct Located {
  int fd = -1;              // the folder (or the deepest one reached)
  Fd owned;                 // set when `fd` is not held by the cache
  std::size_t reached = 0;  // components of the path that exist as folders
  bool missing = false;     // the next component is not there
  bool blocked = false;     // the next component is no plain folder (a link, a file, no access)
};

// What is known about a member before anything of it is written.
struct Member {
  std::string name;                // as in the archive
  std::vector<std::string> parts;  // the name's components, leading "/" gone
  Kind kind = Kind::File;
  std::string stored_link;  // a link's target as the archive has it
  bool readable_link = true;
  std::string link_text;    // a symbolic link's target as written, or a hard link's physical target
  std::uint64_t bytes = 0;  // a regular file's full size
  mode_t mode = 0;          // tamed, for files and hard links
};

class Extraction {
 public:
  // Unpacks into `root` (absolute, free of links); `destination` names it in messages.
  Extraction(const fs::path& destination, const fs::path& root, const ExtractionLimits& limits)
      : limits_(limits), destination_(destination), root_(root) {
#ifndef _WIN32
    root_fd_ = Fd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root_fd_)
      throw ExtractionError("Cannot open " + root_.string() + ": " + std::strerror(errno));
    umask_ = current_umask();
#endif
  }

  // Whether anything was written (the folder itself counts).
  bool wrote_any() const { return wrote_; }

  void run(ArchiveInput& input) {
    // Exactly one layer of gzip, inflated here, around a plain tar stream: no
    // filter of libarchive's own is enabled, so a plain or twice compressed
    // tar is not read.
    TarSource source(input);
    source_ = &source;
    Reader reader(archive_read_new());
    if (!reader) throw ExtractionError("Cannot open the archive: out of memory");
    archive_read_support_format_tar(reader.get());
    if (archive_read_open(reader.get(), &source, nullptr, &TarSource::read, nullptr) !=
        ARCHIVE_OK) {
      source.rethrow();
      damaged(archive_text(reader.get()));
    }
    for (;;) {
      archive_entry* entry = nullptr;
      int r = archive_read_next_header(reader.get(), &entry);
      if (r == ARCHIVE_EOF) break;
      if (r < ARCHIVE_WARN) {
        source.rethrow();
        damaged(archive_text(reader.get()));
      }
      extract_member(reader.get(), entry);
    }
    // The rest of the stream (tar padding) up to the gzip trailer, which is
    // checked only there; no more of it is inflated than the limit on bytes.
    std::uint64_t after_end = 0;
    for (std::string_view piece; !(piece = source.gzip.read()).empty();) {
      after_end += piece.size();
      if (after_end > limits_.max_bytes) {
        damaged("more data after the end of the tar archive than the limit of " +
                std::to_string(limits_.max_bytes) + " bytes unpacked allows");
      }
    }
  }

  // Folders get the times of their members last: writing into a folder
  // changes its time. A folder replaced since is left as it is.
  void finish() {
#ifdef _WIN32
    for (const auto& [path, time] : folder_times_) {
      HANDLE folder = ::CreateFileW(
          (root_ / path_from_utf8(path)).c_str(), FILE_WRITE_ATTRIBUTES,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (folder == INVALID_HANDLE_VALUE) continue;
      ::SetFileTime(folder, nullptr, nullptr, &time);
      ::CloseHandle(folder);
    }
#else
    for (const auto& [path, times] : folder_times_) {
      if (folders_.size() >= MAX_OPEN_FOLDERS) folders_.clear();
      std::vector<std::string> parts = split(path);
      Located at = locate(parts, parts.size());
      if (!at.missing && !at.blocked) ::futimens(at.fd, times.data());
    }
#endif
    folder_times_.clear();
  }

 private:
  void extract_member(archive* reader, archive_entry* entry) {
#ifndef _WIN32
    // Between members no kept folder is in use: room is made here only.
    if (folders_.size() >= MAX_OPEN_FOLDERS) folders_.clear();
#endif
    Member m = prepare(entry);
    // The common case: a name of plain components, no link on its way, short
    // enough for the system to look up (beyond that a link on it could not
    // be judged). Anything else is judged by resolving the name as the system
    // would, component by component.
#ifndef _WIN32
    const bool plain = std::find(m.parts.begin(), m.parts.end(), "..") == m.parts.end() &&
                       root_.native().size() + 1 + m.name.size() < PATH_MAX;
    if (plain && !m.parts.empty() && place_directly(reader, entry, m)) return;
#endif
    place_resolved(reader, entry, m);
  }

  // The member's name, kind and mode, and the checks that need no disk.
  Member prepare(archive_entry* entry) {
    const char* raw_name = archive_entry_pathname(entry);
    if (!raw_name) refuse("?", "the member has no readable name");
    Member m;
    m.name = raw_name;
    // Leading separators go; on POSIX systems nothing absolute is left after
    // that, on Windows a drive may be.
    MemberName name = split_member_name(m.name, runs_on_windows());
    if (!name.refusal.empty()) refuse(m.name, name.refusal);
    for (const std::string& part : name.parts) {
      if (name_length(part) > NAME_LIMIT) {
        refuse(m.name, "a name in its path is " + std::to_string(name_length(part)) + NAME_UNIT +
                           " long, more than the " + std::to_string(NAME_LIMIT) +
                           " the system allows: '" + part.substr(0, 40) + "...'");
      }
    }
    m.parts = std::move(name.parts);

    if (++members_ > limits_.max_members) {
      refuse(m.name, "the archive has more members than the limit of " +
                         std::to_string(limits_.max_members));
    }

    // The kind first: special files are refused whatever their name.
    const char* hardlink = archive_entry_hardlink(entry);
    if (hardlink) {
      m.kind = Kind::Hardlink;
      m.stored_link = hardlink;
    } else {
      switch (archive_entry_filetype(entry)) {
        case AE_IFREG: m.kind = Kind::File; break;
        case AE_IFDIR: m.kind = Kind::Directory; break;
        case AE_IFLNK: m.kind = Kind::Symlink; break;
        case AE_IFCHR:
        case AE_IFBLK: refuse(m.name, "device files are not allowed");
        case AE_IFIFO: refuse(m.name, "pipes are not allowed");
        case AE_IFSOCK: refuse(m.name, "sockets are not allowed");
        default: refuse(m.name, "special files are not allowed");
      }
    }
    if (m.kind == Kind::Symlink) {
      const char* target = archive_entry_symlink(entry);
      m.readable_link = target != nullptr;
      if (target) m.stored_link = target;
    }
    if (m.kind == Kind::File) {
      // The full size, holes of a sparse member included.
      const la_int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
      m.bytes = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }
#ifndef _WIN32
    m.mode = file_mode(archive_entry_perm(entry));
#endif
    return m;
  }

#ifndef _WIN32
  // The member at its own name, when every folder on the way is a plain
  // folder (or missing): the folders are opened without following links, and
  // one that is a link (or a link at the member's own name) sends the member
  // to place_resolved() before anything is written, and so does a refusal
  // (to be refused there with the reason that comes first). False then.
  bool place_directly(archive* reader, archive_entry* entry, Member& m) {
    const std::size_t above = m.parts.size() - 1;
    Located at = locate(m.parts, above);
    if (at.blocked) return false;
    try {
      check_link_target(m, above == 0 ? root_ : root_ / join(m.parts, above));
      check_size(m);
    } catch (const RefusedMember&) {
      return false;  // refused all the same, with the reason that comes first
    }
    const int folder = create_missing(at, m.parts, above, m.name);
    return place(reader, entry, m, folder, join(m.parts, m.parts.size()), false);
  }

#endif

  // The member where the system would put it, every link on disk followed:
  // both the place itself (a link there is replaced) and that place with a
  // link at it followed must stay inside.
  void place_resolved(archive* reader, archive_entry* entry, Member& m) {
    const Resolved followed_at = resolve(root_, m.parts, true);
    const Resolved location_at = resolve(root_, m.parts, false);
    if (!followed_at.error.empty()) refuse(m.name, followed_at.error);
    if (!location_at.error.empty()) refuse(m.name, location_at.error);
    const fs::path& location = location_at.path;
    if (!inside(followed_at.path, root_) || !inside(location, root_)) {
      refuse(m.name, "its path leads outside " + path_to_utf8(destination_));
    }
    if (location == root_) {
      if (m.kind == Kind::Directory) {
        wrote_ = true;  // the folder itself: it exists from now on, nothing else to do
        skip_data(reader);
        return;
      }
      refuse(m.name, "it would replace the destination folder itself");
    }

    // A file (or anything but a folder) where a folder of its path must go.
    for (fs::path up = location.parent_path(); up != root_ && inside(up, root_);
         up = up.parent_path()) {
#ifdef _WIN32
      const OnDisk there = look_at(up);
      if (there.kind == OnDisk::File || there.kind == OnDisk::Link) {
#else
      struct stat st {};
      if (::lstat(up.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
#endif
        throw RefusedMember("Could not extract archive member '" + m.name + "': '" +
                            path_to_utf8(up.lexically_relative(root_)) +
                            "' is a file where a folder must go");
      }
    }
    check_link_target(m, location.parent_path());
    check_size(m);

    const std::string relative = path_to_utf8(location.lexically_relative(root_));
    const std::vector<std::string> physical = split(relative);
#ifdef _WIN32
    place_windows(reader, entry, m, physical);
#else
    Located at = locate(physical, physical.size() - 1);
    if (at.blocked) cannot(m.name, "Can't create '" + relative + "'", errno);
    const int folder = create_missing(at, physical, physical.size() - 1, m.name);
    place(reader, entry, m, folder, relative, true);
#endif
  }

  // Link targets must stay inside. A symbolic link's target is judged twice,
  // each as the system resolves it from the link's folder `from` (links on
  // disk followed before a ".." applies): the text as stored in the archive,
  // and the normalised text that is written. "l/../x" with l a link to "."
  // normalises to "x", yet leads out of the folder. A hard link's target is
  // resolved from the root and replaced by the place it names.
  void check_link_target(Member& m, const fs::path& from) {
    if (m.kind == Kind::Symlink) {
      if (!m.readable_link) refuse(m.name, "the link has no readable target");
      const std::string& raw_target = m.stored_link;
      if (!raw_target.empty() && raw_target.front() == '/') {
        refuse(m.name, "absolute link target " + raw_target);
      }
      if (runs_on_windows()) {
        const MemberName checked = split_link_target(raw_target, true);
        if (!checked.refusal.empty()) refuse(m.name, checked.refusal + " " + raw_target);
      }
      const std::string normal = normalize_link_target(raw_target);
      for (const std::string* text : {&normal, &raw_target}) {
        const Resolved resolved = resolve(from, split(*text), true);
        if (!resolved.error.empty())
          refuse(m.name, "link target " + raw_target + ": " + resolved.error);
        if (!inside(resolved.path, root_)) {
          refuse(m.name,
                 "link target " + raw_target + " leads outside " + path_to_utf8(destination_));
        }
      }
      m.link_text = normal;
    } else if (m.kind == Kind::Hardlink) {
      const std::string& target = m.stored_link;
      if (!target.empty() && target.front() == '/')
        refuse(m.name, "absolute link target " + target);
      if (runs_on_windows()) {
        const MemberName checked = split_link_target(target, true);
        if (!checked.refusal.empty()) refuse(m.name, checked.refusal + " " + target);
      }
      const Resolved resolved = resolve(root_, split(target), true);
      if (!resolved.error.empty()) refuse(m.name, "link target " + target + ": " + resolved.error);
      if (!inside(resolved.path, root_) || resolved.path == root_) {
        refuse(m.name, "link target " + target + " leads outside " + path_to_utf8(destination_));
      }
      m.link_text = path_to_utf8(resolved.path.lexically_relative(root_));
    }
  }

  void check_size(const Member& m) const {
    if (m.kind == Kind::File && m.bytes > limits_.max_bytes - written_) {
      refuse(m.name, "it would unpack the archive to more than the limit of " +
                         std::to_string(limits_.max_bytes) + " bytes");
    }
  }

#ifndef _WIN32
  // The folder `parts[0..count)` below the root, opened without following
  // links: from the deepest folder of it already open, in one step where the
  // system can resolve beneath a folder without links, else component by
  // component. Opened folders are kept for the next members.
  Located locate(const std::vector<std::string>& parts, std::size_t count) {
    std::vector<std::string> prefixes(count + 1);
    for (std::size_t i = 1; i <= count; ++i) {
      prefixes[i] = i == 1 ? parts[0] : prefixes[i - 1] + '/' + parts[i - 1];
    }
    Located at;
    at.fd = root_fd_.get();
    for (std::size_t i = count; i > 0; --i) {
      const auto found = folders_.find(prefixes[i]);
      if (found != folders_.end()) {
        at.fd = found->second.get();
        at.reached = i;
        break;
      }
    }
    if (count - at.reached >= 2 && beneath_ && open_beneath(at, parts, prefixes, count)) return at;
    while (at.reached < count) {
      Fd next(::openat(at.fd, parts[at.reached].c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) {
        (errno == ENOENT ? at.missing : at.blocked) = true;
        return at;
      }
      ++at.reached;
      keep(at, std::move(next), prefixes[at.reached]);
    }
    return at;
  }

  // The rest of `parts` up to `count` in one call (openat2, resolving beneath
  // the folder with no link allowed on the way), where the system has it.
  bool open_beneath(Located& at, const std::vector<std::string>& parts,
                    const std::vector<std::string>& prefixes, std::size_t count) {
#ifdef SYS_openat2
    std::string rest = parts[at.reached];
    for (std::size_t i = at.reached + 1; i < count; ++i) rest += '/' + parts[i];
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, at.fd, rest.c_str(), &how, sizeof how);
    if (fd >= 0) {
      at.reached = count;
      keep(at, Fd(static_cast<int>(fd)), prefixes[count]);
      return true;
    }
    // Not on this system (or not allowed here): component by component from now on.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == EINVAL) beneath_ = false;
#else
    (void)at, (void)parts, (void)prefixes, (void)count;
    beneath_ = false;
#endif
    return false;
  }

  // `folder` becomes the place reached; kept open for later members while
  // there is room (made between members only: a kept folder may be in use).
  void keep(Located& at, Fd folder, const std::string& path) {
    at.fd = folder.get();
    if (folders_.size() < 2 * MAX_OPEN_FOLDERS) {
      folders_[path] = std::move(folder);
      at.owned = Fd();
    } else {
      at.owned = std::move(folder);
    }
  }

  // The folders of `parts[at.reached..count)` that are not there yet.
  int create_missing(Located& at, const std::vector<std::string>& parts, std::size_t count,
                     const std::string& member) {
    if (at.reached < count) wrote_ = true;
    while (at.reached < count) {
      const char* name = parts[at.reached].c_str();
      if (::mkdirat(at.fd, name, 0777) != 0 && errno != EEXIST) {
        cannot(member, "Can't create '" + join(parts, at.reached + 1) + "'", errno);
      }
      Fd next(::openat(at.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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
  bool place(archive* reader, archive_entry* entry, const Member& m, int folder,
             const std::string& path, bool replace_links) {
    const std::size_t slash = path.rfind('/');
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    for (int attempt = 0;; ++attempt) {
      if (create(reader, entry, m, folder, name, path)) {
        wrote_ = true;
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
          wrote_ = true;
          skip_data(reader);
          remember_folder_time(entry, path);
          return true;
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
  bool create(archive* reader, archive_entry* entry, const Member& m, int folder, const char* name,
              const std::string& path) {
    switch (m.kind) {
      case Kind::File: {
        Fd out(
            ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m.mode));
        if (!out) return false;
        written_ += m.bytes;
        write_data(reader, m, PosixOutput{out.get()});
        // The umask took bits the mode keeps.
        if ((m.mode & umask_) != 0 && ::fchmod(out.get(), m.mode) != 0)
          cannot(m.name, "Can't set the mode", errno);
        const Times times = times_of(entry);
        if (times.set && ::futimens(out.get(), times.value.data()) != 0) {
          cannot(m.name, "Can't set the time", errno);
        }
        if (::close(out.release()) != 0) cannot(m.name, "Write failed", errno);
        return true;
      }
      case Kind::Directory:
        if (::mkdirat(folder, name, 0777) != 0) return false;
        skip_data(reader);
        remember_folder_time(entry, path);
        return true;
      case Kind::Symlink: {
        if (::symlinkat(m.link_text.c_str(), folder, name) != 0) return false;
        const Times times = times_of(entry);
        if (times.set) ::utimensat(folder, name, times.value.data(), AT_SYMLINK_NOFOLLOW);
        return true;
      }
      case Kind::Hardlink: {
        // A hard link is a name and no more: data stored with it would be
        // written into the file it names.
        std::vector<std::string> target = split(m.link_text);
        Located at = locate(target, target.size() - 1);
        if (at.missing || at.blocked) cannot(m.name, "Can't create '" + path + "'", errno);
        if (::linkat(at.fd, target.back().c_str(), folder, name, 0) != 0) return false;
        if (::fchmodat(folder, name, m.mode, 0) != 0) cannot(m.name, "Can't set the mode", errno);
        return true;
      }
    }
    return true;
  }

  // Where write_data() puts a file's data: a descriptor.
  struct PosixOutput {
    int fd;
    std::string seek(std::uint64_t offset) const {
      return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? std::strerror(errno)
                                                                   : std::string();
    }
    std::string write(const char* data, std::size_t size) const {
      for (std::size_t done = 0; done < size;) {
        const ssize_t put = ::write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return std::strerror(errno);
        done += static_cast<std::size_t>(put);
      }
      return {};
    }
    std::string extend(std::uint64_t size) const {
      return ::ftruncate(fd, static_cast<off_t>(size)) != 0 ? std::strerror(errno) : std::string();
    }
  };

  struct Times {
    bool set = false;
    std::array<timespec, 2> value{};
  };

  // The member's time of last change (and of last access, when stored).
  static Times times_of(archive_entry* entry) {
    Times times;
    if (!archive_entry_mtime_is_set(entry)) return times;
    times.set = true;
    times.value[1] = {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
    times.value[0] = archive_entry_atime_is_set(entry)
                         ? timespec{archive_entry_atime(entry), archive_entry_atime_nsec(entry)}
                         : timespec{0, UTIME_OMIT};
    return times;
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

#else
  // Windows has no descriptor-relative calls: every member is placed by its
  // path, found by resolve() with every link on disk followed and judged
  // inside before anything is written. The folder beside the destination is
  // the tool's own (staging.hpp), so nothing else changes it meanwhile.
  // Modes are not applied (Windows files have none); files, folders and
  // links inherit the folder's permissions.
  void place_windows(archive* reader, archive_entry* entry, const Member& m,
                     const std::vector<std::string>& physical) {
    const std::string shown = join(physical, physical.size());
    fs::path location = root_;
    for (std::size_t i = 0; i + 1 < physical.size(); ++i) {
      location /= path_from_utf8(physical[i]);
      if (!::CreateDirectoryW(location.c_str(), nullptr) &&
          ::GetLastError() != ERROR_ALREADY_EXISTS) {
        cannot_windows(m.name, "Can't create '" + join(physical, i + 1) + "'", ::GetLastError());
      }
      wrote_ = true;
    }
    location /= path_from_utf8(physical.back());

    const OnDisk there = look_at(location);
    if (!there.error.empty()) cannot_text(m.name, "Can't create '" + shown + "'", there.error);
    if (there.kind == OnDisk::Directory) {
      if (m.kind == Kind::Directory) {  // an existing folder stays
        wrote_ = true;
        skip_data(reader);
        remember_folder_time(entry, shown);
        return;
      }
      if (!::RemoveDirectoryW(location.c_str())) {
        cannot_windows(m.name, "Can't replace the folder '" + shown + "'", ::GetLastError());
      }
    } else if (there.kind != OnDisk::Missing) {
      // A link to a folder is removed as a folder, any other as a file.
      const DWORD attributes = ::GetFileAttributesW(location.c_str());
      const bool folder_link =
          attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      if (!(folder_link ? ::RemoveDirectoryW(location.c_str()) : ::DeleteFileW(location.c_str()))) {
        cannot_windows(m.name, "Can't replace '" + shown + "'", ::GetLastError());
      }
    }

    switch (m.kind) {
      case Kind::File: {
        HANDLE out = ::CreateFileW(location.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (out == INVALID_HANDLE_VALUE)
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        wrote_ = true;
        written_ += m.bytes;
        struct Closer {
          HANDLE handle;
          ~Closer() { ::CloseHandle(handle); }
        } closer{out};
        write_data(reader, m, WindowsOutput{out});
        const std::optional<FILETIME> time = time_of(entry);
        if (time && !::SetFileTime(out, nullptr, nullptr, &*time)) {
          cannot_windows(m.name, "Can't set the time", ::GetLastError());
        }
        closer.handle = INVALID_HANDLE_VALUE;
        if (!::CloseHandle(out)) cannot_windows(m.name, "Write failed", ::GetLastError());
        return;
      }
      case Kind::Directory:
        if (!::CreateDirectoryW(location.c_str(), nullptr)) {
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        }
        wrote_ = true;
        skip_data(reader);
        remember_folder_time(entry, shown);
        return;
      case Kind::Symlink: place_symlink(m, location, shown); return;
      case Kind::Hardlink: {
        // A hard link is a name and no more: data stored with it would be
        // written into the file it names.
        const fs::path target = root_ / path_from_utf8(m.link_text);
        if (!::CreateHardLinkW(location.c_str(), target.c_str(), nullptr)) {
          cannot_windows(m.name, "Can't create '" + shown + "'", ::GetLastError());
        }
        wrote_ = true;
        return;
      }
    }
  }

  // Windows makes symbolic links only for users with the right to create
  // them (or in developer mode). Without it, a link to a file already
  // unpacked becomes a copy of that file (its content lies inside the
  // destination, judged like the link); any other link cannot be made and
  // ends the extraction with the system's reason.
  void place_symlink(const Member& m, const fs::path& location, const std::string& shown) {
    std::string text = m.link_text;
    std::replace(text.begin(), text.end(), '/', '\\');
    const Resolved target = resolve(location.parent_path(), split(m.link_text), true);
    const DWORD attributes =
        target.error.empty() ? ::GetFileAttributesW(target.path.c_str()) : INVALID_FILE_ATTRIBUTES;
    const bool folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    DWORD flags =
        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    // A link is made only when it is there afterwards: some emulations of
    // Windows report success and make none.
    const auto made = [&] {
      if (!::CreateSymbolicLinkW(location.c_str(), to_wide(text).c_str(), flags)) return false;
      if (look_at(location).kind == OnDisk::Link) return true;
      ::SetLastError(ERROR_NOT_SUPPORTED);
      return false;
    };
    if (made()) {
      wrote_ = true;
      return;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_PARAMETER) {  // a Windows without the flag for unprivileged links
      flags &= ~DWORD{SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE};
      if (made()) {
        wrote_ = true;
        return;
      }
      error = ::GetLastError();
    }
    const bool file = attributes != INVALID_FILE_ATTRIBUTES && !folder;
    if ((error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_NOT_SUPPORTED) && file &&
        inside(target.path, root_)) {
      if (!::CopyFileW(target.path.c_str(), location.c_str(), TRUE)) {
        cannot_windows(m.name, "Can't create '" + shown + "' as a copy of its link target",
                       ::GetLastError());
      }
      wrote_ = true;
      return;
    }
    cannot_windows(m.name, "Can't create the symbolic link '" + shown + "'", error);
  }

  // Where write_data() puts a file's data on Windows.
  struct WindowsOutput {
    HANDLE handle;
    std::string seek(std::uint64_t offset) const {
      LARGE_INTEGER at;
      at.QuadPart = static_cast<LONGLONG>(offset);
      return ::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)
                 ? std::string()
                 : windows_error_text(::GetLastError());
    }
    std::string write(const char* data, std::size_t size) const {
      while (size > 0) {
        const DWORD piece = size > 1u << 30 ? DWORD{1u << 30} : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!::WriteFile(handle, data, piece, &put, nullptr))
          return windows_error_text(::GetLastError());
        if (put == 0) return windows_error_text(ERROR_DISK_FULL);
        data += put;
        size -= put;
      }
      return {};
    }
    std::string extend(std::uint64_t size) const {
      std::string error = seek(size);
      if (error.empty() && !::SetEndOfFile(handle)) error = windows_error_text(::GetLastError());
      return error;
    }
  };

  // The member's time of last change as Windows counts it.
  static std::optional<FILETIME> time_of(archive_entry* entry) {
    if (!archive_entry_mtime_is_set(entry)) return std::nullopt;
    // 100-nanosecond steps since 1601-01-01; times before that are not kept.
    constexpr std::int64_t EPOCH_OFFSET = 116444736000000000;
    const std::int64_t seconds = archive_entry_mtime(entry);
    if (seconds < -EPOCH_OFFSET / 10000000 || seconds > (INT64_MAX - EPOCH_OFFSET) / 10000000 - 1)
      return std::nullopt;
    const std::int64_t steps =
        seconds * 10000000 + archive_entry_mtime_nsec(entry) / 100 + EPOCH_OFFSET;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(steps) >> 32);
    return time;
  }

  void remember_folder_time(archive_entry* entry, const std::string& path) {
    if (const std::optional<FILETIME> time = time_of(entry))
      folder_times_.emplace_back(path, *time);
  }

  [[noreturn]] static void cannot_windows(const std::string& member, const std::string& what,
                                          DWORD error) {
    cannot_text(member, what, windows_error_text(error));
  }
#endif

  // The member's data through `out`; holes of a sparse member stay holes.
  template <class Output>
  void write_data(archive* reader, const Member& m, const Output& out) {
    std::uint64_t at = 0;
    for (;;) {
      const void* buffer = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      const int r = archive_read_data_block(reader, &buffer, &size, &offset);
      if (r == ARCHIVE_EOF) break;
      if (r < ARCHIVE_WARN) {
        source_->rethrow();
        damaged(archive_text(reader));
      }
      if (offset < 0 || static_cast<std::uint64_t>(offset) > m.bytes ||
          size > m.bytes - static_cast<std::uint64_t>(offset)) {
        damaged("the data of '" + m.name + "' go past its size");
      }
      if (static_cast<std::uint64_t>(offset) != at) {
        if (const std::string error = out.seek(static_cast<std::uint64_t>(offset));
            !error.empty()) {
          cannot_text(m.name, "Seek failed", error);
        }
      }
      if (const std::string error = out.write(static_cast<const char*>(buffer), size);
          !error.empty()) {
        cannot_text(m.name, "Write failed", error);
      }
      at = static_cast<std::uint64_t>(offset) + size;
    }
    // A hole at the end of a sparse member.
    if (at < m.bytes) {
      if (const std::string error = out.extend(m.bytes); !error.empty())
        cannot_text(m.name, "Write failed", error);
    }
  }

  // The system's reason added to what could not be done.
  [[noreturn]] static void cannot(const std::string& member, const std::string& what, int error) {
    cannot_text(member, what, std::strerror(error));
  }

  [[noreturn]] static void cannot_text(const std::string& member, const std::string& what,
                                       const std::string& reason) {
    throw ExtractionError("Could not extract archive member '" + member + "': " + what + ": " +
                          reason);
  }

  void skip_data(archive* reader) {
    if (archive_read_data_skip(reader) < ARCHIVE_WARN) {
      source_->rethrow();
      damaged(archive_text(reader));
    }
  }

  // Folders kept open between members: enough for the folders an archive
  // usually visits in turn, few enough to stay far from the process's limit.
  static constexpr std::size_t MAX_OPEN_FOLDERS = 64;

  ExtractionLimits limits_;
  std::uint64_t written_ = 0;  // bytes of file data counted against the limit
  std::uint64_t members_ = 0;
  TarSource* source_ = nullptr;  // during run()
  fs::path destination_;         // as given, for messages
  fs::path root_;                // absolute, links resolved
  bool wrote_ = false;
#ifdef _WIN32
  std::vector<std::pair<std::string, FILETIME>> folder_times_;
#else
  Fd root_fd_;
  mode_t umask_ = 0777;
  bool beneath_ = true;                          // openat2 may be tried
  std::unordered_map<std::string, Fd> folders_;  // physical path below the root -> open folder
  std::vector<std::pair<std::string, std::array<timespec, 2>>> folder_times_;
#endif
};

}  // namespace

std::string normalize_link_target(std::string_view target) {
  std::vector<std::string> out;
  for (std::string& part : split(target)) {
    if (part == ".") continue;
    if (part == ".." && !out.empty() && out.back() != "..") {
      out.pop_back();
      continue;
    }
    out.push_back(std::move(part));
  }
  if (out.empty()) return ".";
  std::string text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i) text += '/';
    text += out[i];
  }
  return text;
}

ExtractionLimits default_extraction_limits(std::size_t archive_size) {
  constexpr std::uint64_t floor = std::uint64_t{4} << 30;
  const std::uint64_t size = archive_size;
  const std::uint64_t scaled = size > UINT64_MAX / 20 ? UINT64_MAX : size * 20;
  return {std::max(scaled, floor), 1'000'000};
}

namespace {

void extract(ArchiveInput& input, const std::filesystem::path& destination,
             const ExtractionLimits& limits) {
  archive_detail::Staging staging(destination);
  bool wrote = false;
  std::exception_ptr refused;
  {
    Extraction extraction(destination, staging.path(), limits);
    try {
      extraction.run(input);
    } catch (const RefusedMember&) {
      refused = std::current_exception();
    }
    wrote = extraction.wrote_any();
    if (wrote) extraction.finish();
  }
  // A refused member keeps the members before it, in place of the old folder
  // like a complete archive; any other failure leaves the old folder as it was.
  if (wrote) staging.install();
  if (refused) std::rethrow_exception(refused);
}

std::uint64_t archive_file_size(int fd) {
#ifdef _WIN32
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) {
    throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  }
  if ((st.st_mode & _S_IFMT) != _S_IFREG)
    throw ExtractionError("Cannot read the archive: it is not a regular file");
  return static_cast<std::uint64_t>(st.st_size);
#else
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw ExtractionError(std::string("Cannot read the archive: ") + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode))
    throw ExtractionError("Cannot read the archive: it is not a regular file");
  return static_cast<std::uint64_t>(st.st_size);
#endif
}

}  // namespace

void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination,
                    const ExtractionLimits& limits) {
  ArchiveInput input(archive);
  extract(input, destination, limits);
}

void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination) {
  extract_tar_gz(archive, destination, default_extraction_limits(archive.size()));
}

void extract_tar_gz(int archive_fd, const std::filesystem::path& destination,
                    const ExtractionLimits& limits) {
  ArchiveInput input(archive_fd, archive_file_size(archive_fd));
  extract(input, destination, limits);
}

void extract_tar_gz(int archive_fd, const std::filesystem::path& destination) {
  const std::uint64_t size = archive_file_size(archive_fd);
  ArchiveInput input(archive_fd, size);
  const std::size_t counted = size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(size);
  extract(input, destination, default_extraction_limits(counted));
}

}  // namespace keelbox

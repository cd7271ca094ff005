#pragma once
// The extraction's hands on the disk (extract.hpp): the placer looks at what
// stands at a name, resolves names and link targets as the system does,
// creates the folders, files and links of members the portable code has
// judged, and gives folders their times at the end. One declaration here, one
// implementation per system: placer_posix.cpp works through folder
// descriptors, placer_win32.cpp by wide path. What may be written (names,
// link targets, kinds, limits) is decided in extract.cpp; the helpers the
// placers share with it are defined there too.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct archive;
struct archive_entry;

namespace keelbox::archive_detail {

// Symbolic links followed at most while resolving one path (as the system does).
constexpr int MAX_LINKS = 40;

enum class Kind { File, Directory, Symlink, Hardlink };

// What is known about a member before anything of it is written.
struct Member {
  std::string name;                // as in the archive
  std::vector<std::string> parts;  // the name's components, leading "/" gone
  Kind kind = Kind::File;
  std::string stored_link;  // a link's target as the archive has it
  bool readable_link = true;
  std::string link_text;    // a symbolic link's target as written, or a hard link's physical target
  std::uint64_t bytes = 0;  // a regular file's full size
  unsigned mode = 0;        // tamed, for files and hard links (none on Windows)
};

// What the extraction has written so far.
struct Progress {
  bool wrote = false;         // anything at all (the folder itself counts)
  std::uint64_t written = 0;  // bytes of file data counted against the limit
  // Where the extraction has put symbolic links (physical paths below the
  // root, also links kept from a previous folder), when the placer keeps
  // count of them (`links_tracked`: the root started empty). A path that
  // meets none of them resolves as it reads, with no look at the disk.
  bool links_tracked = false;
  std::unordered_set<std::string> links;
};

struct Resolved {
  std::filesystem::path path;
  std::string error;  // empty when `path` is the answer
};

// "a//b/./c/" -> {"a", "b", ".", "c"}: components between slashes (and
// backslashes on Windows), empty ones dropped.
std::vector<std::string> split(std::string_view path);

// `parts[0..count)` joined with "/".
std::string join(const std::vector<std::string>& parts, std::size_t count);

// Whether `path` is `root` or lies below it (both absolute and normal).
bool inside(const std::filesystem::path& path, const std::filesystem::path& root);

// `base` joined with `components` the way the system resolves a path: "."
// is skipped, ".." climbs, an existing symbolic link is replaced by its target
// (an absolute target restarts at "/"); components that do not exist are taken
// as they stand. The last component is followed only when `follow_last`.
// `base` must be absolute and free of links. A name that cannot be looked up
// for any other reason (too long, no access, ...) leaves the answer unknown:
// reading it as a plain name could miss a link, so `error` tells why instead.
Resolved resolve(const std::filesystem::path& base, const std::vector<std::string>& components,
                 bool follow_last);

// What resolve() needs to know of the name at `path` (each system's placer
// file): whether a symbolic link stands there and, when `read_target`, its
// target as stored and where an absolute one restarts ("/", or its drive);
// `error` when the name cannot be looked up for another reason than being
// absent (or below a file).
struct NameLook {
  bool link = false;
  std::string target;
  std::filesystem::path restart;  // empty: the target is relative
  std::string error;
};
NameLook look_at_name(const std::filesystem::path& path, bool read_target);

// Whether something other than a folder (a file, a link) stands at `path`,
// a link there not followed.
bool non_folder_at(const std::filesystem::path& path);

// The system's reason added to what could not be done.
[[noreturn]] void cannot_text(const std::string& member, const std::string& what,
                              const std::string& reason);

// Where a file's data go: the placer's open file. Each returns the system's
// reason, empty on success.
class Output {
 public:
  virtual ~Output() = default;
  virtual std::string seek(std::uint64_t offset) const = 0;
  virtual std::string write(const char* data, std::size_t size) const = 0;
  virtual std::string extend(std::uint64_t size) const = 0;
};

// The member being placed, as the archive holds it: its entry (times) and
// its data, read from the archive as the placer writes them.
class MemberData {
 public:
  // `source_error` is what the archive's source kept when it failed inside
  // libarchive: it is thrown again in place of libarchive's own report.
  MemberData(archive* reader, archive_entry* entry, const std::exception_ptr& source_error)
      : reader_(reader), entry_(entry), source_error_(source_error) {}

  archive_entry* entry() const { return entry_; }

  // The member's data through `out`; holes of a sparse member stay holes.
  void write(const Member& m, const Output& out);
  // The member's data passed over (a folder, a link).
  void skip();

 private:
  archive* reader_;
  archive_entry* entry_;
  const std::exception_ptr& source_error_;
};

class Placer {
 public:
  // The longest name of one path component: bytes on POSIX systems, UTF-16
  // units on Windows.
  static const std::size_t NAME_LIMIT;
  static const char* const NAME_UNIT;
  static std::size_t name_length(const std::string& name);

  // The mode a regular file or hard link gets from the archive's `mode`.
  static unsigned file_mode(unsigned mode);

  // Places members in `root` (absolute, free of links), noting in `progress`
  // what is written. `previous`, when not empty, is the folder whose
  // contents are kept where the archive writes nothing (staging.hpp): `root`
  // starts empty, and what is no folder there on a member's way is met as
  // if it were in `root`.
  Placer(const std::filesystem::path& root, const std::filesystem::path& previous,
         Progress& progress);
  Placer(const Placer&) = delete;
  Placer& operator=(const Placer&) = delete;
  ~Placer();

  // Called before each member.
  void next_member();

  // Whether `m` passes the checks that need its folder (the link target, the
  // size): `folder` below the root, "/" between names, "" for the root
  // itself; false when it would be refused.
  using Judge = std::function<bool(Member& m, std::string_view folder)>;

  // The common case: `m` at its own name, when that name is plain (no "..",
  // short enough for the system to look up) and no link is on its way.
  // False, with nothing written, when the member must be resolved instead
  // (place_resolved), also when `judge` turns it down.
  bool place_directly(Member& m, MemberData& data, const Judge& judge);

  // `m` at `relative`, its physical place below the root (every link on its
  // way resolved and judged inside): what stands there is replaced, a link
  // too.
  void place_resolved(const Member& m, MemberData& data, const std::string& relative);

  // What stands at `relative` (a physical place below the root, a link there
  // not followed) as the target of a hard link: nothing, a regular file this
  // placer created (a member of this archive, or a hard link to one), or
  // anything else (a folder, a link, a file that was there before).
  enum class Found { Nothing, WrittenFile, Other };
  Found hardlink_target(const std::string& relative);

  // Folders get the times of their members last.
  void finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace keelbox::archive_detail

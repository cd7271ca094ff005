#pragma once
// Safe unpacking of a gzip-compressed tar archive held in memory or in a file.
//
// Example archives come from the network, so their member names, link targets
// and modes are untrusted. An archive must not be able to write outside the
// folder it is unpacked into, neither directly ("../x", "/etc/x") nor through
// links (a symbolic link to "/etc" followed by a member "link/passwd", a chain
// of relative links climbing out, a hard link to a file outside), nor create
// device files, pipes or set-user-id programs. libarchive only reads the
// archive; every member is checked here against the rules below and written
// here, through descriptors.
//
// Rules, per member, in archive order:
// - leading "/" are stripped from the name; a name still absolute is refused;
// - the member's path, with every link on disk followed (also links created by
//   earlier members), must stay inside the destination folder; a path that
//   cannot be looked up (too long, no access) is refused, as a link on it
//   could not be seen;
// - link targets must be relative and, resolved, stay inside the folder;
//   symbolic link targets are stored normalised ("a/./b/../c" -> "a/c"), and
//   both the text from the archive and the normalised one are resolved as the
//   system would from the link's folder (a link on the way followed before a
//   ".." after it applies), never judged by their lexical form;
// - device files, pipes, sockets and other special files are refused;
// - modes are limited to 0755; regular files and hard links lose all execute
//   bits when the owner has none and always get owner read and write (0600);
//   directories and symbolic links keep the system defaults;
// - owner and group are never applied;
// - a hard link is a name only: data stored with it is not written;
// - a later member of the same name replaces the earlier one.
// How a member is written: its folder is opened relative to the root one
// component at a time without following links (or in one step with openat2,
// beneath the root and with no link allowed, where the system has it), and the
// member is created in it by name (an existing entry of that name removed
// first, never written into: it may be a hard link to the previous folder's
// file). Folders opened stay open for the members that follow (as long as
// they are the same folder: one removed is forgotten). A name with "..", a
// link on its way or at its own place, or a path too long to look up is
// resolved instead as the system would, by the rules above, and then written
// the same way at the place found. The working folder is never changed.
// Files get the archive's time of last change; folders get theirs after the
// last member.
//
// Windows has no descriptor-relative calls: there every member takes the way
// of a name with a link on it, resolved by path (links read from their
// reparse data; a junction or any other reparse point on the way refuses the
// member, as it cannot be judged) and written by wide path. Names are also
// held to the rules of Windows names (member_names.hpp): a drive, a data
// stream, a device name, a trailing dot or blank refuse the member. Modes are
// not applied there. A symbolic link the user has no right to make becomes a
// copy of the file it names when that is unpacked already; otherwise it ends
// the extraction with the system's reason.
//
// The destination folder is created when the first member is written (an
// archive without members creates nothing; a member naming the folder itself,
// such as "./", creates just the folder).
//
// The archive is unpacked into a folder beside the destination, the
// destination's contents the archive did not write are kept there (files
// not in the archive stay), and it is then exchanged with the destination in
// one step (staging.hpp): runs into one folder at once never mix, and a
// failure leaves the old folder.
// A refused member (by a rule or a limit) ends the extraction with an
// ExtractionError naming the member and the reason; the members extracted
// before it are put in place all the same, as a complete archive would be.
// A damaged archive ("Damaged archive: <reason>") or a failed write is an
// ExtractionError too, and leaves the old folder as it was.
//
// The gzip layer is inflated here with zlib, which checks each gzip member's
// CRC-32 and length at its trailer, and libarchive reads the plain tar stream
// that results (no filter of its own enabled). libarchive's gzip filter does
// not report a trailer that does not match, and inflating twice in parallel
// only to check it would double the work. The stream is read to its very end
// after the last member, so a cut-off stream, a wrong trailer or data after
// the end (other than zero padding or a further gzip member) is damage.
// The stream is inflated on a second thread, a few pieces of 64 KiB ahead of
// the members being written; a failure there is met where it lies in the
// stream, as before.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

class ArchiveStream;

// What one archive may unpack to. A member that would pass a limit is refused
// like any other refused member (the error names the limit; members before it
// stay). Sparse members count at their full size; their holes stay holes on
// disk, so what they occupy is at most what they count.
struct ExtractionLimits {
  std::uint64_t max_bytes = 0;    // file data written, all members together
  std::uint64_t max_members = 0;  // members of any kind
};

// 20 times the archive's size or 4 GiB, whichever is larger; 1,000,000 members.
ExtractionLimits default_extraction_limits(std::size_t archive_size);

// Unpacks the gzip-compressed tar archive `archive` below `destination`.
// Throws keelbox::ExtractionError (refused member, limit reached, damaged
// archive, write failure).
void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination,
                    const ExtractionLimits& limits);
void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination);
// The same for the archive in the regular file open as `archive_fd` (read from
// its start, in pieces, never whole; the descriptor stays open). The
// archive's size is the file's size.
void extract_tar_gz(int archive_fd, const std::filesystem::path& destination,
                    const ExtractionLimits& limits);
void extract_tar_gz(int archive_fd, const std::filesystem::path& destination);
// The same for the archive arriving through `stream` (stream.hpp), unpacked
// as it arrives; call it on the thread that reads the stream. The limits
// follow from the size the server announced; when it announced none, a
// limit the archive would pass waits for its whole size and is set from
// that (as for a file of that size).
void extract_tar_gz(ArchiveStream& stream, const std::filesystem::path& destination);

// Where extractions put the members of one file name, for a caller that
// would otherwise search the unpacked folders for such files afterwards.
// While a watch lives, each extraction in the process (on any thread) notes
// for its destination the places below it where it put a member of that
// name ("a/b/requirements.txt", "/" between names), or kept one of that
// name from the previous folder, and whether the folder it left holds
// nothing but what it noted so (what it unpacked, and what it kept and saw
// kept: on Windows the previous contents are copied unseen before the
// unpacking, so a folder that stood there is never such a folder). A place
// noted may be gone again (a later member replaced it), but in such a folder
// every entry of that name is at a place noted. The notes of an extraction
// that failed (the old folder left as it was) are dropped.
class NameWatch {
 public:
  explicit NameWatch(std::string name);
  NameWatch(const NameWatch&) = delete;
  NameWatch& operator=(const NameWatch&) = delete;
  ~NameWatch();

  // The places noted by the last extraction into `destination` (the path as
  // given to it) that put a folder there holding only what it noted;
  // nothing when there was none in this watch's lifetime, when it kept
  // previous contents unseen or when it failed.
  std::optional<std::vector<std::string>> places(const std::filesystem::path& destination) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// The symbolic link target as stored: "." and empty components removed, a
// ".." after a named component cancels it (leading ".." stay). "" -> ".".
std::string normalize_link_target(std::string_view target);

}  // namespace keelbox

#pragma once
// Files that hold secrets, and the file operations whose system calls differ
// between POSIX systems and Windows. Paths are converted at the system call
// (wide on Windows); texts in errors are UTF-8.
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

#include "keelbox/platform/io.hpp"

namespace keelbox {

// Creates `path` as an empty file that only its owner may read and write,
// unless something is there already (then errc::file_exists, and what is
// there stays as it is; a link there is not followed). POSIX: mode 0600; with
// `through_link` a link there whose target is missing gets its target
// created (and an existing file is opened and left as it is, no error).
// Windows: a protected DACL (nothing inherited) with one entry, full control
// for the current user; backup programs and administrators reach such a file
// through their privileges, as they reach a file of mode 0600.
std::error_code create_private_file(const std::filesystem::path& path, bool through_link = false);

// A new file of a fresh name "<prefix>XXXXXX" in `folder`, owner-only as
// above, open for writing. On failure `fd` is closed, `error` says why and
// `path` is the name pattern tried.
struct PrivateTemporaryFile {
  FileDescriptor fd;
  std::filesystem::path path;
  std::error_code error;
};
PrivateTemporaryFile create_private_temporary_file(const std::filesystem::path& folder,
                                                   const std::string& prefix);

// Closes `fd`, reporting the last write's failure a file system may keep for
// the close (close; _close).
std::error_code close_file(FileDescriptor& fd);

// Data written through `fd` reaches the disk (fsync; FlushFileBuffers).
std::error_code flush_to_disk(int fd);

// Puts `from` in the place of `to` in one step, replacing what is there:
// rename; on Windows MoveFileExW with MOVEFILE_REPLACE_EXISTING and
// MOVEFILE_WRITE_THROUGH. The file keeps its own permissions (ReplaceFileW
// would give it those of the file replaced).
std::error_code replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Makes a rename in `folder` durable (fsync of the folder); nothing to do on
// Windows, where MOVEFILE_WRITE_THROUGH has done it.
void flush_folder(const std::filesystem::path& folder);

// Deletes the file `path`; a file already gone is no error.
std::error_code remove_file(const std::filesystem::path& path);

// What `path` names, links followed. Windows has no FIFOs and sockets in the
// file system; its counterparts (named pipes, console and other devices,
// reached by names such as \\.\pipe\x or NUL) are told apart by their handle.
enum class FileKind {
  Missing,
  Regular,
  Directory,
  Fifo,
  Socket,
  CharacterDevice,
  BlockDevice,
  Other,
  Unknown
};
FileKind file_kind(const std::filesystem::path& path, std::error_code& error);

// The content of the regular file `path` (a link to one included), at most
// `max_bytes`. Anything else is refused without waiting on it (a FIFO would
// block the open until a writer comes, a device may never end). Throws
// FileSystemError "Cannot read '<path>': <reason>".
std::string read_regular_file(const std::filesystem::path& path, std::size_t max_bytes);

// Whether `path` itself is a symbolic link (on Windows any reparse point: a
// link, a junction), not followed. The C++ library on Windows cannot tell.
bool is_link(const std::filesystem::path& path);

// Whether the process may open `path` for reading.
bool can_read(const std::filesystem::path& path);

}  // namespace keelbox

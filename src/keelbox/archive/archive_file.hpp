#pragma once
// The archive in an open file (extract_tar_gz with a descriptor, or the
// overflow of an ArchiveStream): its size, and its bytes read and written at
// an offset, a piece at a time (archive_file_posix.cpp,
// archive_file_win32.cpp). Failures are ExtractionErrors "Cannot read the
// archive: <reason>".
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace keelbox::archive_detail {

// The size of the regular file open as `fd`; anything else is refused.
std::uint64_t archive_file_size(int fd);

// Up to `room` bytes of `fd` from `offset` into `into`; 0 at the end.
std::size_t read_archive_file(int fd, std::uint64_t offset, char* into, std::size_t room);

// Writes all of `data` into `fd` at `offset`: 0, or the system's errno. A
// reader of the same descriptor must not read meanwhile (on Windows both
// move the descriptor's one position).
int write_archive_file(int fd, std::uint64_t offset, std::string_view data) noexcept;

}  // namespace keelbox::archive_detail

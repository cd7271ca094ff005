#pragma once
// The archive in an open file (extract_tar_gz with a descriptor): its size,
// and its bytes read at an offset, a piece at a time (archive_file_posix.cpp,
// archive_file_win32.cpp). Failures are ExtractionErrors "Cannot read the
// archive: <reason>".
#include <cstddef>
#include <cstdint>

namespace keelbox::archive_detail {

// The size of the regular file open as `fd`; anything else is refused.
std::uint64_t archive_file_size(int fd);

// Up to `room` bytes of `fd` from `offset` into `into`; 0 at the end.
std::size_t read_archive_file(int fd, std::uint64_t offset, char* into, std::size_t room);

}  // namespace keelbox::archive_detail

// The libarchive functions the tool (and its tests, which build archives)
// call, as stubs that forward to libarchive opened on first use (see
// keelbox/platform/shared_library.hpp): the tool links only libarchive's
// headers, so a run that unpacks nothing never loads libarchive and its
// compression libraries. A missing libarchive is reported as a
// LibraryLoadError naming "libarchive.so.13" by the first call.
#include <archive.h>
#include <archive_entry.h>

#include <cstdarg>
#include <cstdio>

#include "keelbox/platform/shared_library.hpp"

namespace {

keelbox::SharedLibrary libarchive{"libarchive.so.13", "unpacking archives"};

}  // namespace

using entry_t = struct archive_entry;
using archive_t = struct archive;

extern "C" {

KEELBOX_FORWARD(libarchive, int, archive_version_number, (void), ())
KEELBOX_FORWARD(libarchive, int, archive_errno, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, const char*, archive_error_string, (archive_t * a), (a))

// Formatted here (libarchive offers no form that takes a va_list) and passed
// on as a plain text.
void archive_set_error(archive_t* a, int code, const char* format, ...) {
  static const auto real = libarchive.function<decltype(&archive_set_error)>("archive_set_error");
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  real(a, code, "%s", text);
}

KEELBOX_FORWARD(libarchive, int, archive_filter_count, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_filter_code, (archive_t * a, int n), (a, n))

// Reading.
KEELBOX_FORWARD(libarchive, archive_t*, archive_read_new, (void), ())
KEELBOX_FORWARD(libarchive, int, archive_read_free, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_read_support_filter_all, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_read_support_filter_gzip, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_read_support_format_tar, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_read_open,
                (archive_t * a, void* client, archive_open_callback* on_open,
                 archive_read_callback* on_read, archive_close_callback* on_close),
                (a, client, on_open, on_read, on_close))
KEELBOX_FORWARD(libarchive, int, archive_read_open_memory,
                (archive_t * a, const void* data, size_t size), (a, data, size))
KEELBOX_FORWARD(libarchive, int, archive_read_open_fd, (archive_t * a, int fd, size_t block_size),
                (a, fd, block_size))
KEELBOX_FORWARD(libarchive, int, archive_read_open_filename,
                (archive_t * a, const char* name, size_t block_size), (a, name, block_size))
KEELBOX_FORWARD(libarchive, int, archive_read_next_header, (archive_t * a, entry_t** entry),
                (a, entry))
KEELBOX_FORWARD(libarchive, int, archive_read_next_header2, (archive_t * a, entry_t* entry),
                (a, entry))
KEELBOX_FORWARD(libarchive, la_ssize_t, archive_read_data,
                (archive_t * a, void* buffer, size_t size), (a, buffer, size))
KEELBOX_FORWARD(libarchive, int, archive_read_data_block,
                (archive_t * a, const void** buffer, size_t* size, la_int64_t* offset),
                (a, buffer, size, offset))
KEELBOX_FORWARD(libarchive, int, archive_read_data_skip, (archive_t * a), (a))

// Writing archives and files.
KEELBOX_FORWARD(libarchive, archive_t*, archive_write_new, (void), ())
KEELBOX_FORWARD(libarchive, archive_t*, archive_write_disk_new, (void), ())
KEELBOX_FORWARD(libarchive, int, archive_write_disk_set_options, (archive_t * a, int flags),
                (a, flags))
KEELBOX_FORWARD(libarchive, int, archive_write_add_filter_gzip, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_write_set_format_pax_restricted, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_write_set_bytes_in_last_block, (archive_t * a, int bytes),
                (a, bytes))
KEELBOX_FORWARD(libarchive, int, archive_write_open,
                (archive_t * a, void* client, archive_open_callback* on_open,
                 archive_write_callback* on_write, archive_close_callback* on_close),
                (a, client, on_open, on_write, on_close))
KEELBOX_FORWARD(libarchive, int, archive_write_open_memory,
                (archive_t * a, void* buffer, size_t size, size_t* used), (a, buffer, size, used))
KEELBOX_FORWARD(libarchive, int, archive_write_header, (archive_t * a, entry_t* entry), (a, entry))
KEELBOX_FORWARD(libarchive, la_ssize_t, archive_write_data,
                (archive_t * a, const void* data, size_t size), (a, data, size))
KEELBOX_FORWARD(libarchive, la_ssize_t, archive_write_data_block,
                (archive_t * a, const void* data, size_t size, la_int64_t offset),
                (a, data, size, offset))
KEELBOX_FORWARD(libarchive, int, archive_write_finish_entry, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_write_close, (archive_t * a), (a))
KEELBOX_FORWARD(libarchive, int, archive_write_free, (archive_t * a), (a))

// Entries.
KEELBOX_FORWARD(libarchive, entry_t*, archive_entry_new, (void), ())
KEELBOX_FORWARD(libarchive, void, archive_entry_free, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, __LA_MODE_T, archive_entry_filetype, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, __LA_MODE_T, archive_entry_mode, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, __LA_MODE_T, archive_entry_perm, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, const char*, archive_entry_pathname, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, const char*, archive_entry_pathname_utf8, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, const char*, archive_entry_hardlink, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, const char*, archive_entry_symlink, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, la_int64_t, archive_entry_size, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, int, archive_entry_size_is_set, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, time_t, archive_entry_mtime, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, long, archive_entry_mtime_nsec, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, int, archive_entry_mtime_is_set, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, time_t, archive_entry_atime, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, long, archive_entry_atime_nsec, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, int, archive_entry_atime_is_set, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, la_int64_t, archive_entry_uid, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, la_int64_t, archive_entry_gid, (entry_t * e), (e))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_filetype, (entry_t * e, unsigned int type),
                (e, type))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_mode, (entry_t * e, __LA_MODE_T mode),
                (e, mode))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_perm, (entry_t * e, __LA_MODE_T perm),
                (e, perm))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_pathname, (entry_t * e, const char* name),
                (e, name))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_hardlink, (entry_t * e, const char* target),
                (e, target))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_symlink, (entry_t * e, const char* target),
                (e, target))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_size, (entry_t * e, la_int64_t size), (e, size))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_mtime,
                (entry_t * e, time_t seconds, long nanoseconds), (e, seconds, nanoseconds))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_rdev, (entry_t * e, dev_t device), (e, device))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_uid, (entry_t * e, la_int64_t uid), (e, uid))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_gid, (entry_t * e, la_int64_t gid), (e, gid))
KEELBOX_FORWARD(libarchive, void, archive_entry_sparse_add_entry,
                (entry_t * e, la_int64_t offset, la_int64_t length), (e, offset, length))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_uname, (entry_t * e, const char* name),
                (e, name))
KEELBOX_FORWARD(libarchive, void, archive_entry_set_gname, (entry_t * e, const char* name),
                (e, name))

}  // extern "C"

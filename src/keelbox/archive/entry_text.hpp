#pragma once
// A member's name and link targets as the tool's UTF-8 text, read the same
// way on every system (entry_text_posix.cpp, entry_text_win32.cpp). A PAX
// header stores them as UTF-8, a ustar or GNU header as bytes (UTF-8 as
// written by today's tar programs). libarchive's narrow text is in the C
// runtime's code page: on Windows that loses or mangles whatever the code page
// lacks ("日本語.txt" has no such text at all, "é" becomes a byte of its own),
// so it is not what is read there.
#include <optional>
#include <string>

struct archive;
struct archive_entry;

namespace keelbox::archive_detail {

// Sets up `reader` (a tar reader) before it is opened.
void prepare_name_reading(archive* reader);

// The member's name, its hard link's target, its symbolic link's target;
// nullopt when it has none, or none that reads as text.
std::optional<std::string> entry_pathname(archive_entry* entry);
std::optional<std::string> entry_hardlink(archive_entry* entry);
std::optional<std::string> entry_symlink(archive_entry* entry);

}  // namespace keelbox::archive_detail

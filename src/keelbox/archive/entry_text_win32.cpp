// Names on Windows (entry_text.hpp) are read as libarchive's wide text,
// which holds every character of a PAX header's UTF-8 (its UTF-8 form is
// made by way of the code page and fails for the same characters). Bytes in
// a ustar or GNU header are read as UTF-8 too, as they are written and as
// the narrow text read them before: else libarchive would read them in the
// code page, "café" as "cafÃ©". Bytes that are not UTF-8 become U+FFFD.
#include <archive.h>
#include <archive_entry.h>

#include "keelbox/archive/entry_text.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::archive_detail {
namespace {

std::optional<std::string> owned_text(const wchar_t* text) {
  if (!text) return std::nullopt;
  return from_wide(text);
}

}  // namespace

void prepare_name_reading(archive* reader) {
  archive_read_set_format_option(reader, "tar", "hdrcharset", "UTF-8");
}

std::optional<std::string> entry_pathname(archive_entry* entry) {
  return owned_text(archive_entry_pathname_w(entry));
}

std::optional<std::string> entry_hardlink(archive_entry* entry) {
  return owned_text(archive_entry_hardlink_w(entry));
}

std::optional<std::string> entry_symlink(archive_entry* entry) {
  return owned_text(archive_entry_symlink_w(entry));
}

}  // namespace keelbox::archive_detail

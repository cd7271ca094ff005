// Names on POSIX systems (entry_text.hpp) are bytes and land byte for byte,
// also those that are not UTF-8. The tool runs in the "C" locale, where
// libarchive's narrow text is the archive's bytes as stored (a PAX header's
// UTF-8 included), and it has no UTF-8 form of a name beyond ASCII.
#include <archive.h>
#include <archive_entry.h>

#include "keelbox/archive/entry_text.hpp"

namespace keelbox::archive_detail {
namespace {

std::optional<std::string> owned_text(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

}  // namespace

void prepare_name_reading(archive*) {}

std::optional<std::string> entry_pathname(archive_entry* entry) {
  return owned_text(archive_entry_pathname(entry));
}

std::optional<std::string> entry_hardlink(archive_entry* entry) {
  return owned_text(archive_entry_hardlink(entry));
}

std::optional<std::string> entry_symlink(archive_entry* entry) {
  return owned_text(archive_entry_symlink(entry));
}

}  // namespace keelbox::archive_detail

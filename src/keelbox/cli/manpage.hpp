#pragma once
// The manual page keelbox(1), written from the same command table as the help
// screens so that the two cannot drift apart.
#include <string>
#include <string_view>

namespace keelbox::cli {

// The page in roff (man macros) for the given release version and date.
std::string render_manpage(std::string_view version, std::string_view date);

}  // namespace keelbox::cli

#pragma once
// Environment variables as UTF-8 on every system (on Windows read as UTF-16
// and converted, never through the ANSI code page).
#include <optional>
#include <string>
#include <string_view>

namespace keelbox {

// The value of `name`, or nothing when it is not set (a set but empty
// variable gives an empty text).
std::optional<std::string> environment_variable(std::string_view name);

}  // namespace keelbox

#pragma once
// Requirements files, as `keelbox install -r <file>` reads them: one name or
// requirement per line.
#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace keelbox::install {

// The names of a requirements file: comment lines and the part of a line
// after "#" are dropped, entries trimmed, empty entries skipped. Lines may end
// with "\n", "\r\n" or a lone "\r".
std::vector<std::string> read_requirement_names(std::istream& in);
// The same for a file; an unreadable or missing file is a FileSystemError.
std::vector<std::string> read_requirements_file(const std::filesystem::path& path);

}  // namespace keelbox::install

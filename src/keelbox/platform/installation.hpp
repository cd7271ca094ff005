#pragma once
// Where the running tool is installed.
#include <filesystem>
#include <string>
#include <string_view>

namespace keelbox {

// The folder of the running executable, symbolic links (and on Windows
// junctions) resolved. The tool's uv and base interpreter are looked up there.
std::filesystem::path tool_installation_dir();

// The file name of the program `program` ("uv", "python3"): with ".exe" on
// Windows, as is.
std::string executable_file_name(std::string_view program);

}  // namespace keelbox

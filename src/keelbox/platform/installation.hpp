#pragma once
// Where the running tool is installed.
#include <filesystem>

namespace keelbox {

// The folder of the running executable, symbolic links resolved. The tool's
// uv and base interpreter are looked up there.
std::filesystem::path tool_installation_dir();

}  // namespace keelbox

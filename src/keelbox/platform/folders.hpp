#pragma once
// Folders the system keeps for the user.
#include <filesystem>

namespace keelbox {

// Windows' known folder "LocalAppData" (where programs keep a user's data
// that does not roam), as the shell reports it; empty when it cannot tell,
// and on every other system.
std::filesystem::path known_local_app_data_folder();

}  // namespace keelbox

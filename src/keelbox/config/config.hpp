#pragma once
// The tool's folders and the configuration file keelbox.toml.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keelbox/models/models.hpp"

namespace keelbox {

// The (major, minor) Python versions the tool runs with, in this order.
inline const std::vector<std::pair<int, int>> SUPPORTED_PYTHON_VERSIONS = {
    {3, 10}, {3, 11}, {3, 12}, {3, 13}, {3, 14}};

enum class Platform { Linux, MacOS, Windows };
Platform current_platform();

struct AppDirs {
  std::filesystem::path config_dir;
  std::filesystem::path data_dir;
  std::filesystem::path cache_dir;
};

// Environment lookup: the value of a variable, or nullopt when unset.
using EnvLookup = std::function<std::optional<std::string>(std::string_view)>;
EnvLookup process_env();

// Whether `text` names a folder from the root on `platform` ("/x"; on Windows
// "C:\x" or "\\server\share"), not one relative to the working folder.
bool names_folder_from_root(Platform platform, std::string_view text);

// The folder a variable names: nullopt when it is unset, blank or relative
// (such a value would put the tool's files, the token among them, below
// whatever folder it runs in), as the XDG base folders' rules have it.
std::optional<std::filesystem::path> folder_variable(Platform platform, const EnvLookup& env,
                                                     std::string_view name);

// The per-user folders of the application "Keelbox" (author "ZVK Numerics
// GmbH") for a platform, an environment and a home folder. Pure: creates nothing.
// On Windows the cache folder is below LOCALAPPDATA when that is set and not
// blank, else below `local_app_data` (the system's known folder) when given,
// else below %USERPROFILE%\AppData\Local.
AppDirs compute_app_dirs(Platform platform, const EnvLookup& env, const std::filesystem::path& home,
                         const std::filesystem::path& local_app_data = {});

bool _runs_on_windows();
AppDirs _get_appdirs();
std::filesystem::path _get_windows_userprofile_path();
std::filesystem::path _get_config_dir();           // created when missing
std::filesystem::path _get_data_dir();             // created when missing
std::filesystem::path _get_cache_file();           // cache folder created when missing
std::filesystem::path get_default_examples_dir();  // created when missing
std::filesystem::path get_config_file();           // folder and empty file created when missing

// Reads and validates keelbox.toml. Throws ValidationError when the content
// does not validate, ParseError when it is not TOML.
KeelboxConfig get_configparser();
// The same for the text of such a file; `source` names it in a ParseError.
KeelboxConfig parse_config_toml(std::string_view text, const std::string& source);

// The variables that give the profile of one run instead of keelbox.toml (a
// pipeline has no file to keep it in): both token variables set, not empty.
inline constexpr std::string_view TOKEN_ID_VARIABLE = "KEELBOX_TOKEN_ID";
inline constexpr std::string_view TOKEN_VARIABLE = "KEELBOX_TOKEN";
inline constexpr std::string_view CLOUD_ENVIRONMENT_VARIABLE = "KEELBOX_CLOUD_ENVIRONMENT";

// Whether either token variable is set and not empty: the run takes its
// profile from the environment (or fails, when only one of them is).
bool profile_in_environment(const EnvLookup& env);

// The profile the environment gives, nullopt when neither token variable is
// set (or both are empty). One without the other is a KeelboxException naming
// both; a cloud environment other than the profile's choices ("cloud",
// "dev.cloud"; "cloud" when unset or empty) is one too.
std::optional<KeelboxProfile> profile_from_environment(const EnvLookup& env);

// The profile of this run: the environment's when it gives one (keelbox.toml
// is then not touched), else keelbox.toml's.
KeelboxProfile active_profile();

// `text` as a single-line TOML basic string: in double quotes, with the quote,
// the backslash and every control character escaped.
std::string toml_basic_string(std::string_view text);

// The exact seven-line text of a configuration.
std::string render_config_toml(const KeelboxConfig& conf);

// Replaces keelbox.toml with the record: the text is checked by parsing it
// back, written to a temporary file (owner-only) in the same folder, flushed,
// and renamed over the old file.
void write_config_parse_to_file(const KeelboxConfig& conf);

// Deletes the plain files in the configuration folder, except backups (names
// ending with "bu" or "bak"). Folders stay.
void clean_config_dir();

}  // namespace keelbox

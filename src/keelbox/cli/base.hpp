#pragma once
// The command handlers and the helpers of the init command.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/context/context.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {

// Maps a requested cloud environment to "dev.cloud" ("dev.cloud" or "dev")
// or "cloud" (anything else, absent or empty included).
std::string derive_cloud_environment(const std::optional<std::string>& cloud_environment);

// Stores a new profile (keeping stored options when the file validates) and
// returns it.
KeelboxProfile init_user(const std::string& token_id, const std::string& token,
                         const std::optional<std::string>& cloud_environment = std::nullopt);

// The handler of `init`.
void init_keelbox(const std::optional<std::string>& token_id,
                  const std::optional<std::string>& token,
                  const std::optional<std::string>& cloud_environment);

// The handler of `modules`.
void show_modules(const Context& context);

// The handler of `install`: the names typed and those of the requirements
// file (install/requirements.hpp), in that order.
void install_modules_command(const Context& context, const std::vector<std::string>& names,
                             bool yes, const std::optional<std::filesystem::path>& requirements);

// The handler of `download-examples`.
void download_examples_command(const Context& context,
                               const std::optional<std::filesystem::path>& download_dir,
                               const std::vector<std::string>& module_names, bool list_available);

// Asks with "<text>: " until the answer is not empty. End of input is
// reported as PromptAborted.
std::string prompt_text(const std::string& text);

}  // namespace keelbox

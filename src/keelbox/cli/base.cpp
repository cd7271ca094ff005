#include "keelbox/cli/base.hpp"

#include "keelbox/build_config.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/examples/examples.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/install/requirements.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {

std::string derive_cloud_environment(const std::optional<std::string>& cloud_environment) {
  std::string value = cloud_environment.value_or("");
  if (value.empty()) value = "cloud";
  if (value == "dev.cloud" || value == "dev") return "dev.cloud";
  return "cloud";
}

KeelboxProfile init_user(const std::string& token_id, const std::string& token,
                         const std::optional<std::string>& cloud_environment) {
  std::string env = derive_cloud_environment(cloud_environment);
  KeelboxProfile profile = KeelboxProfile::from_mapping(
      nlohmann::json{{"token_id", token_id}, {"token", token}, {"cloud_environment", env}});
  KeelboxConfig config;
  try {
    config = get_configparser();
    config.profile = profile;
  } catch (const ValidationError&) {
    config = KeelboxConfig{profile, KeelboxOptions{}};
  }
  write_config_parse_to_file(config);
  return config.profile;
}

std::string prompt_text(const std::string& text) {
  std::string answer;
  prompt_until(text + ": ", [&](const std::string& line) {
    answer = line;
    return !answer.empty();
  });
  return answer;
}

void init_keelbox(const std::optional<std::string>& token_id,
                  const std::optional<std::string>& token,
                  const std::optional<std::string>& cloud_environment) {
  clean_config_dir();
  if (!token_id && !token) {
    std::string portal =
        "https://" + derive_cloud_environment(cloud_environment) + "." + build::SERVICE_DOMAIN;
    send_message("You need a token to continue. Please create an account on " +
                 style(portal, "blue") + ".\nThen " + style("create an Keelbox token", "green") +
                 " on " + style(portal + "/tokens", "blue") + ".\n");
  }
  std::string id = token_id ? *token_id : prompt_text("Enter your token id");
  std::string secret = token ? *token : prompt_text("Enter your token secret");
  init_user(id, secret, cloud_environment);

  KeelboxConfig config = get_configparser();
  config.options.advanced_mode = false;
  write_config_parse_to_file(config);

  send_message("\nKeelbox initialized and ready. Next steps:");
  send_message(style("keelbox modules", PACKAGE_COLOR) + " to show available modules.");
  send_message(style("keelbox install <modules>", PACKAGE_COLOR) +
               " to install modules and python packages.");
  send_message(style("keelbox download-examples", PACKAGE_COLOR) + " to download examples.");
  send_message(style("keelbox install mkl", PACKAGE_COLOR) +
               " to install Math Kernel Library required by some ZVK modules.");
}

void show_modules(const Context& context) { show_all_entitled_modules(context); }

void install_modules_command(const Context& context, const std::vector<std::string>& names,
                             bool yes, const std::optional<std::filesystem::path>& requirements) {
  std::vector<std::string> all = names;
  if (requirements) {
    auto from_file = install::read_requirements_file(*requirements);
    all.insert(all.end(), from_file.begin(), from_file.end());
  }
  install_modules(context, all, yes);
}

void download_examples_command(const Context& context,
                               const std::optional<std::filesystem::path>& download_dir,
                               const std::vector<std::string>& module_names, bool list_available) {
  if (list_available) {
    std::vector<std::string> names = get_entitled_examples_packages(context.http);
    for (std::string& name : names) name = show_controls(name);
    send_message("Available examples: \n" + join(names, "\n"));
    return;
  }
  download_examples(context, download_dir, module_names);
}

}  // namespace keelbox

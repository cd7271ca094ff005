// The account's entitlements and the module table.
#include <nlohmann/json.hpp>

#include "keelbox/api/api.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/catalogue.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/text/strings.hpp"
#include "keelbox/uv/uv.hpp"

namespace keelbox {
namespace {

// Code points in a UTF-8 text (a stray byte counts as one).
std::size_t code_point_count(std::string_view text) {
  std::size_t n = 0;
  for (char ch : text) {
    if ((static_cast<unsigned char>(ch) & 0xC0) != 0x80) ++n;
  }
  return n;
}

// `text` without its first `count` code points.
std::string_view drop_code_points(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  while (count > 0 && i < text.size()) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    --count;
  }
  return text.substr(i);
}

std::vector<KeelboxEntitlement> request_entitlements(http::Client& client) {
  api::RequestKWARGSDict request = api::create_get_request(client, "/entitlements");
  http::Response response = api::send_get(client, request);
  response.raise_for_status();
  return _entitlements_from_answer(response.body);
}

}  // namespace

std::vector<KeelboxEntitlement> _entitlements_from_answer(std::string_view answer) {
  const nlohmann::json body = api::parse_json_answer(answer, "entitlements answer");
  if (!body.is_array()) throw ParseError("entitlements answer is not a JSON array");
  std::vector<KeelboxEntitlement> result;
  for (const nlohmann::json& element : body) {
    if (element.is_object()) {
      auto packages = element.find("packages");
      if (packages == element.end() || (packages->is_array() && packages->empty())) continue;
    }
    // Anything else (a non-object element, "packages" of the wrong type) is
    // left to the record's validation to refuse.
    result.push_back(KeelboxEntitlement::from_mapping(element));
  }
  return result;
}

// ---- entitlements --------------------------------------------------------------

std::vector<KeelboxEntitlement> get_user_entitlements(http::Client& client) {
  static const Memoized<std::vector<KeelboxEntitlement>> memo{"keelbox.modules",
                                                              "get_user_entitlements", 30.0};
  return memo(MemoArgs{}, [&client] { return request_entitlements(client); });
}

std::vector<KeelboxEntitlement> get_all_entitled_modules(http::Client& client) {
  std::vector<KeelboxEntitlement> modules;
  for (KeelboxEntitlement& e : get_user_entitlements(client)) {
    if (!std::string_view(e.code).starts_with("ENT_PKG")) modules.push_back(std::move(e));
  }
  return modules;
}

// ---- package records ------------------------------------------------------------

std::optional<std::string> _version_from_pip_show_output(std::string_view output) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t nl = output.find('\n', start);
    if (nl == std::string_view::npos) {
      pieces.push_back(output.substr(start));
      break;
    }
    pieces.push_back(output.substr(start, nl - start));
    start = nl + 1;
  }
  if (pieces.size() < 3) return std::nullopt;

  std::optional<std::string> version;
  for (std::string_view piece : pieces) {
    std::size_t sep = piece.find(": ");
    if (sep == std::string_view::npos) continue;                        // one part
    if (piece.find(": ", sep + 2) != std::string_view::npos) continue;  // more than two
    std::string name(piece.substr(0, sep));
    // Only the entry "version" is ever read; no text outside ASCII lower-cases
    // into it, so ASCII lower-casing finds exactly the same entry.
    for (char& ch : name) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    if (name == "version") version = std::string(piece.substr(sep + 2));  // the later line wins
  }
  return version;
}

std::optional<std::string> _package_installed_version(const Context& context,
                                                      const std::string& package_key) {
  if (!is_package_name(package_key)) return std::nullopt;  // never an argument of uv
  std::string output;
  try {
    CompletedProcess done =
        run_uv_in_python(context, {"pip", "show", package_key}, /*capture_output=*/true);
    if (done.stdout_) output = *done.stdout_;
  } catch (const KeelboxUVException&) {
    // uv reports a package that is not installed with a failure status.
    output.clear();
  }
  return _version_from_pip_show_output(output);
}

std::vector<std::string> _get_available_versions(const std::string& /*_package_key*/) {
  return {"0.0.0"};
}

KeelboxPackage _package_key_to_package(const Context& context, const std::string& key,
                                       bool check_versions) {
  KeelboxPackage package;
  package.key = key;
  package.installed_version = _package_installed_version(context, key);
  if (check_versions) package.available_versions = _get_available_versions(key);
  return package;
}

std::string _package_to_styled_key(const KeelboxPackage& package) {
  const std::string key = show_controls(package.key);
  if (!package.installed_version) return style(key, "red");
  if (package.needs_update()) return style(key, "yellow");
  return style(key, "green");
}

// ---- the module table -------------------------------------------------------------

std::string _pad_column(std::string_view text, std::size_t width) {
  std::string out(text);
  std::size_t n = code_point_count(text);
  if (n < width) out.append(width - n, ' ');
  return out;
}

std::string _listing_legend(std::string_view styled_green, std::string_view styled_red) {
  const std::string indent(4, ' ');
  const std::string hang(18, ' ');
  std::string legend;
  legend += "\n";
  legend += indent + "The following tables contains all your Keelbox modules.\n";
  legend += "\n";
  legend += indent + "Modules Name: The name of the Keelbox module in human readable form.\n";
  legend +=
      indent + "Module Key  : The unique key of the Keelbox module. Use this key to install\n";
  legend += hang + "all packages of the module via `keelbox install <module_key>`.\n";
  legend +=
      indent + "Packages    : The list of packages available for this module. Keelbox modules\n";
  legend += hang + "contain one or several python packages. You can install individual\n";
  legend += hang + "packages using `keelbox install <package_key>`\n";
  legend += "\n";
  legend += indent + "Color       : " + std::string(styled_green) +
            " indicates that the package is installed, " + std::string(styled_red) +
            " indicates that\n";
  legend += hang + "the package is not installed.\n";
  legend += indent;
  return legend;
}

std::string _listing_separator() {
  const std::string bar(LISTING_COLUMN_WIDTH, '_');
  return bar + "  " + bar + "  " + bar;
}

std::string _listing_header() {
  return _pad_column("Module Name") + ": " + _pad_column("Module Key") + ": Packages";
}

std::string _listing_row(std::string_view name, std::string_view code,
                         const std::vector<std::string>& styled_keys) {
  return _pad_column(show_controls(name)) + ": " +
         _pad_column(show_controls(drop_code_points(code, 4))) + ":" + join(styled_keys, ", ");
}

void show_all_entitled_modules(const Context& context) {
  const std::string green = style("green", "green");
  const std::string red = style("red", "red");
  send_message(_listing_legend(green, red));

  const std::vector<KeelboxEntitlement> modules = get_all_entitled_modules(context.http);
  send_message(_listing_separator());
  send_message(_listing_header());
  send_message(_listing_separator());
  std::vector<std::string> refused;
  for (const KeelboxEntitlement& module : modules) {
    std::vector<std::string> styled_keys;
    styled_keys.reserve(module.packages.size());
    for (const std::string& key : module.packages) {
      if (!is_package_name(key)) refused.push_back(key);
      styled_keys.push_back(_package_to_styled_key(_package_key_to_package(context, key, false)));
    }
    send_message(_listing_row(module.name, module.code, styled_keys));
  }
  send_message(_listing_separator());
  for (const std::string& key : _unique_in_order(refused))
    send_error_line(_refused_key_warning(key));
}

std::string _refused_key_text(std::string_view key) {
  return "The package key " + quote_text(key) + " from the service is not a package name";
}

std::string _refused_key_warning(std::string_view key) {
  return "Warning: " + _refused_key_text(key) +
         "; it is shown as not installed and cannot be installed.";
}

void _check_package_keys(const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    if (!is_package_name(key))
      throw KeelboxException(_refused_key_text(key) + ": nothing is installed.");
  }
}

}  // namespace keelbox

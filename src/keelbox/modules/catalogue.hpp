#pragma once
// The catalogue side of keelbox/modules, below the operations of modules.hpp:
// name resolution, the package records of the listing, the layout of the
// module table and the pieces of the install flow. Declared here so that tests
// can reach them; the command line uses modules.hpp only.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keelbox/context/context.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {

// ---- name resolution (pure) ------------------------------------------------

// A typed name in module-code form: full Unicode upper-casing, "-" and " "
// (U+0020 only) become "_", and "ENT_" in front unless already there. Nothing
// is trimmed.
std::string _normalize_name_for_module(std::string_view name);

// The code of the first entitlement whose code equals the normalised name.
std::optional<std::string> str_to_module(std::string_view name,
                                         const std::vector<KeelboxEntitlement>& entitlements);

// `name` itself when some entitlement lists it, exactly as typed, as a package.
std::optional<std::string> str_to_package(std::string_view name,
                                          const std::vector<KeelboxEntitlement>& entitlements);

// The three lists a classification yields, each in input order, repetitions
// kept.
struct ClassifiedNames {
  std::vector<std::string> module_codes;
  std::vector<std::string> package_names;
  std::vector<std::string> error_names;
  bool operator==(const ClassifiedNames&) const = default;
};

// Each name is a module (its code), else a package key, else an error name.
ClassifiedNames install_names_to_modules_and_packages(
    const std::vector<std::string>& names, const std::vector<KeelboxEntitlement>& entitled_modules);

// The packages of the given modules in order (the last entitlement of a code
// wins; unknown codes contribute nothing; repetitions kept).
std::vector<std::string> list_of_module_codes_to_list_of_package_names(
    const std::vector<std::string>& module_codes,
    const std::vector<KeelboxEntitlement>& entitled_modules);

// The display name of a code: every "ENT_" and "FREE" removed, "_" turned into
// spaces, then each run of cased letters title-cased.
std::string _module_code_to_name(std::string_view code);

// ---- the entitlements answer ---------------------------------------------------

// The records of the entitlements answer (a JSON array of objects); members
// with no or an empty "packages" list are skipped. Throws ParseError for a
// body that is not a JSON array, ValidationError for a member that does not
// validate.
std::vector<KeelboxEntitlement> _entitlements_from_answer(std::string_view answer);

// ---- package records of the listing -------------------------------------------

// The "version" entry of `uv pip show` output (the captured bytes, decoded as
// UTF-8), or nullopt when the output says the package is not installed.
std::optional<std::string> _version_from_pip_show_output(std::string_view output);

// Asks uv for the installed version of `package_key` in the target
// environment; nullopt when uv reports failure or the output holds no version,
// and, without asking uv, when the key is not a package name.
std::optional<std::string> _package_installed_version(const Context& context,
                                                      const std::string& package_key);

// The index is not consulted: always {"0.0.0"}.
std::vector<std::string> _get_available_versions(const std::string& _package_key);

KeelboxPackage _package_key_to_package(const Context& context, const std::string& key,
                                       bool check_versions = false);

// Package keys from the service that are not package names are refused: the
// listing shows them as not installed without asking uv and warns about each
// once after the table; installing one is an error naming it.
std::string _refused_key_text(std::string_view key);
std::string _refused_key_warning(std::string_view key);
// Throws KeelboxException naming the first of `keys` that is not a package name.
void _check_package_keys(const std::vector<std::string>& keys);

// The key (its control characters made visible) in red (not installed), yellow
// (needs an update) or green.
std::string _package_to_styled_key(const KeelboxPackage& package);

// ---- layout of the module table (pure) ---------------------------------------

inline constexpr std::size_t LISTING_COLUMN_WIDTH = 25;

// `text` padded on the right with spaces to `width` code points; never cut.
std::string _pad_column(std::string_view text, std::size_t width = LISTING_COLUMN_WIDTH);

// The legend, one message of several lines, with the two styled colour words.
std::string _listing_legend(std::string_view styled_green, std::string_view styled_red);
std::string _listing_separator();
std::string _listing_header();
// One row: name and key (code without its first four characters), their
// control characters made visible, padded, then the styled package keys
// joined by ", ".
std::string _listing_row(std::string_view name, std::string_view code,
                         const std::vector<std::string>& styled_keys);

// ---- pieces of the install flow ------------------------------------------------

// Each distinct text once, in order of first occurrence.
std::vector<std::string> _unique_in_order(const std::vector<std::string>& items);

// Leading and trailing white space removed.
std::string _trim(std::string_view text);

// An answer to a yes/no question: true (yes), false (no), nullopt (not an
// answer; ask again). Trimmed, letter case ignored, empty takes the default.
std::optional<bool> _parse_confirmation_answer(std::string_view answer, bool default_yes);

// Asks `question` followed by " [Y/n]: " (or " [y/N]: ") on standard output
// and reads answers from standard input until one is valid. The end of input
// aborts the run: PromptAborted, which the command line reports as "Aborted!"
// with status 1.
bool _confirm(std::string_view question, bool default_yes = true);

}  // namespace keelbox

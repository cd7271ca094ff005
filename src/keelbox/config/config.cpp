// The tool's folders and the configuration file keelbox.toml.
#include "keelbox/config/config.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

// The TOML parser checks its own assumptions with assertions that fire on
// input it then refuses properly (fuzzing found a "+" or a NUL opening a table
// header); the tool relies on the refusal, so those checks are off in every
// build, as they are in the parser's release form.
#define TOML_ASSERT(expr) static_cast<void>(0)
#include <toml++/toml.h>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/platform/files.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/text/strings.hpp"
#include "keelbox/trace/trace.hpp"

namespace keelbox {
namespace fs = std::filesystem;

namespace {

constexpr const char* APP_NAME = "Keelbox";
constexpr const char* APP_AUTHOR = "ZVK Numerics GmbH";
constexpr const char* CONFIG_FILE_NAME = "keelbox.toml";

std::string errno_text(int err, const fs::path& path) {
  return "'" + path_to_utf8(path) + "': " + std::strerror(err);
}

std::string error_text(const std::error_code& error, const fs::path& path) {
  return "'" + path_to_utf8(path) + "': " + error.message();
}

bool is_blank(const std::string& text) {
  return text.find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

// An XDG variable when it names a folder from the root, else the fallback.
fs::path xdg_or(const EnvLookup& env, std::string_view name, const fs::path& fallback) {
  return folder_variable(Platform::Linux, env, name).value_or(fallback) / APP_NAME;
}

void create_dirs(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec)
    throw FileSystemError("Cannot create folder '" + path_to_utf8(dir) + "': " + ec.message());
}

// TOML date and time values have no JSON counterpart; they are kept as a
// mapping so that they never pass for text.
nlohmann::json toml_to_json(const toml::node& node) {
  if (auto* table = node.as_table()) {
    nlohmann::json out = nlohmann::json::object();
    for (auto&& [key, value] : *table) out[std::string(key.str())] = toml_to_json(value);
    return out;
  }
  if (auto* array = node.as_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (auto&& value : *array) out.push_back(toml_to_json(value));
    return out;
  }
  if (auto* s = node.as_string()) return s->get();
  if (auto* i = node.as_integer()) return i->get();
  if (auto* f = node.as_floating_point()) return f->get();
  if (auto* b = node.as_boolean()) return b->get();
  std::ostringstream text;
  if (auto* d = node.as_date()) text << *d;
  if (auto* t = node.as_time()) text << *t;
  if (auto* dt = node.as_date_time()) text << *dt;
  return nlohmann::json{{"datetime", text.str()}};
}

// TOML allows no control character but tab and the line ends anywhere in a
// document. The parser asserts on some (a NUL in a table header) instead of
// refusing them, so they are refused here, in its own words' form.
void refuse_control_characters(std::string_view text, const std::string& source) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if ((byte < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "U+%04X", byte);
      throw ParseError("Invalid TOML in " + source + " (line " + std::to_string(line) +
                       ", column " + std::to_string(column) + "): control character " + code +
                       " is not allowed");
    }
    if (ch == '\n') {
      ++line;
      column = 1;
    } else if ((byte & 0xC0) != 0x80) {
      ++column;
    }
  }
}

// TOML keeps letters beyond ASCII to strings and comments. The parser's
// tables of Unicode white space reach an unreachable branch (undefined
// behaviour) when it meets most such letters elsewhere, so they are refused
// before it reads the text. Strings and comments are followed as TOML
// delimits them; at a line end inside a one-line string the parser stops
// with its own error, and so does this scan.
void refuse_letters_outside_strings(std::string_view text, const std::string& source) {
  enum class In { Normal, Comment, Basic, Literal, MultiBasic, MultiLiteral };
  In in = In::Normal;
  bool bare = false;  // inside a bare word
  std::size_t line = 1;
  auto after_escape = [&](std::size_t i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) {
      throw ParseError("Invalid TOML in " + source + " (line " + std::to_string(line) +
                       "): a character beyond ASCII after a backslash");
    }
  };
  auto quotes_at = [&](std::size_t i, char q) {
    std::size_t n = 0;
    while (i + n < text.size() && text[i + n] == q) ++n;
    return n;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '\n') ++line;
    switch (in) {
      case In::Normal:
        if (static_cast<unsigned char>(ch) >= 0x80) {
          throw ParseError("Invalid TOML in " + source + " (line " + std::to_string(line) +
                           "): a character beyond ASCII outside a string or comment");
        }
        if (ch == '#') in = In::Comment;
        // The parser reads a bare word (a key, or a value it reads on to a
        // blank, ",", "]", "}" or "#", quotes and "=" included) as one: a
        // quote inside it starts no string. So `key="x"` without blanks
        // counts as one bare word here: safe, if strict.
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == ',' || ch == ']' ||
            ch == '}' || ch == '#') {
          bare = false;
        } else if ((ch == '"' || ch == '\'') && !bare) {
          const std::size_t n = quotes_at(i, ch);
          if (n >= 3) {
            in = ch == '"' ? In::MultiBasic : In::MultiLiteral;
            i += 2;
          } else if (n == 2) {
            ++i;  // an empty string
          } else {
            in = ch == '"' ? In::Basic : In::Literal;
          }
        } else if (ch != '[' && ch != '{' && ch != '=') {
          bare = true;
        }
        break;
      case In::Comment:
        if (ch == '\n') in = In::Normal;
        break;
      case In::Basic:
      case In::Literal:
        if (ch == '\n') return;  // the parser stops here
        if (in == In::Basic && ch == '\\') {
          ++i;
          if (i < text.size() && text[i] == '\n') return;
          if (i < text.size()) after_escape(i);
        } else if (ch == (in == In::Basic ? '"' : '\'')) {
          in = In::Normal;
        }
        break;
      case In::MultiBasic:
      case In::MultiLiteral:
        if (in == In::MultiBasic && ch == '\\') {
          // The parser tests what follows a backslash (and, after a line-ending
          // backslash, the first character past the blanks) for white space.
          std::size_t j = i + 1;
          while (j < text.size() &&
                 (text[j] == ' ' || text[j] == '\t' || text[j] == '\r' || text[j] == '\n')) {
            if (text[j] == '\n') ++line;
            ++j;
          }
          if (j < text.size()) after_escape(j);
          i = j > i + 1 ? j - 1 : j;
        } else if (ch == (in == In::MultiBasic ? '"' : '\'')) {
          const std::size_t n = quotes_at(i, ch);
          if (n >= 3) {
            in = In::Normal;  // up to two more quotes belong to the string
            i += std::min<std::size_t>(n, 5) - 1;
          } else {
            i += n - 1;
          }
        }
        break;
    }
  }
}

toml::table parse_toml(std::string_view text, const std::string& source) {
  refuse_control_characters(text, source);
  refuse_letters_outside_strings(text, source);
  try {
    return toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    const auto& where = e.source().begin;
    throw ParseError("Invalid TOML in " + source + " (line " + std::to_string(where.line) +
                     ", column " + std::to_string(where.column) +
                     "): " + std::string(e.description()));
  }
}

// keelbox.toml holds seven short lines; anything far larger is not ours.
constexpr std::size_t MAX_CONFIG_BYTES = 1 << 20;

// TOML holds text only: a value that is not UTF-8 cannot be stored. The
// message names the value, never shows it (it may be the secret).
void require_text(const KeelboxConfig& conf) {
  const std::pair<const char*, const std::string*> values[] = {
      {"token id", &conf.profile.token_id},
      {"token secret", &conf.profile.token},
      {"cloud environment", &conf.profile.cloud_environment},
  };
  for (const auto& [name, value] : values) {
    if (!is_valid_utf8(*value)) {
      throw KeelboxException(std::string("The ") + name +
                             " is not valid UTF-8 text and cannot be stored in " +
                             CONFIG_FILE_NAME + ".");
    }
  }
}

void write_file(int fd, std::string_view data, const fs::path& path) {
  if (const int err = write_all(fd, data)) {
    throw FileSystemError("Cannot write " + errno_text(err, path));
  }
}

// Removes a temporary file unless released.
struct TempFile {
  PrivateTemporaryFile file;
  bool keep = false;
  ~TempFile() {
    file.fd = FileDescriptor();
    if (!keep && !file.error) remove_file(file.path);
  }
};

}  // namespace

bool names_folder_from_root(Platform platform, std::string_view text) {
  if (platform != Platform::Windows) return !text.empty() && text.front() == '/';
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  // "C:\x", or "\\server\share" (and "\\?\C:\x"); not "\x" nor "C:x",
  // which depend on the current drive and its current folder.
  const bool drive = text.size() >= 3 &&
                     ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z')) &&
                     text[1] == ':' && separator(text[2]);
  return drive || (text.size() >= 2 && separator(text[0]) && separator(text[1]));
}

std::optional<fs::path> folder_variable(Platform platform, const EnvLookup& env,
                                        std::string_view name) {
  auto value = env(name);
  if (!value || is_blank(*value) || !names_folder_from_root(platform, *value)) return std::nullopt;
  return path_from_utf8(*value);
}

EnvLookup process_env() {
  return [](std::string_view name) -> std::optional<std::string> {
    return environment_variable(name);
  };
}

AppDirs compute_app_dirs(Platform platform, const EnvLookup& env, const fs::path& home,
                         const fs::path& local_app_data) {
  AppDirs dirs;
  switch (platform) {
    case Platform::Linux:
      dirs.config_dir = xdg_or(env, "XDG_CONFIG_HOME", home / ".config");
      dirs.data_dir = xdg_or(env, "XDG_DATA_HOME", home / ".local" / "share");
      dirs.cache_dir = xdg_or(env, "XDG_CACHE_HOME", home / ".cache");
      break;
    case Platform::MacOS:
      dirs.config_dir = home / "Library" / "Application Support" / APP_NAME;
      dirs.data_dir = dirs.config_dir;
      dirs.cache_dir = home / "Library" / "Caches" / APP_NAME;
      break;
    case Platform::Windows: {
      auto profile = folder_variable(platform, env, "USERPROFILE");
      if (!profile) throw KeyError("USERPROFILE");
      dirs.config_dir = *profile / ".ZVK" / APP_NAME;
      dirs.data_dir = dirs.config_dir;
      // The variable, which Windows sets for every user, wins as XDG_CACHE_HOME
      // does elsewhere: it names the known folder unless someone moved the
      // cache on purpose (a test, a roaming setup). Without it, the known folder.
      auto local = folder_variable(platform, env, "LOCALAPPDATA");
      fs::path local_dir = local                     ? *local
                           : !local_app_data.empty() ? local_app_data
                                                     : *profile / "AppData" / "Local";
      dirs.cache_dir = local_dir / APP_AUTHOR / APP_NAME / "Cache";
      break;
    }
  }
  return dirs;
}

bool _runs_on_windows() { return current_platform() == Platform::Windows; }

fs::path _get_windows_userprofile_path() {
  auto profile = folder_variable(Platform::Windows, process_env(), "USERPROFILE");
  if (!profile) throw KeyError("USERPROFILE");
  return *profile / ".ZVK" / APP_NAME;
}

fs::path _get_config_dir() {
  fs::path dir = _runs_on_windows() ? _get_windows_userprofile_path() : _get_appdirs().config_dir;
  create_dirs(dir);
  return dir;
}

fs::path _get_data_dir() {
  fs::path dir = _runs_on_windows() ? _get_windows_userprofile_path() : _get_appdirs().data_dir;
  create_dirs(dir);
  return dir;
}

fs::path _get_cache_file() {
  fs::path dir = _get_appdirs().cache_dir;
  create_dirs(dir);
  return dir / "cache.sqlite";
}

fs::path get_default_examples_dir() {
  fs::path dir = _get_data_dir() / "examples";
  create_dirs(dir);
  return dir;
}

fs::path get_config_file() {
  fs::path file = _get_config_dir() / CONFIG_FILE_NAME;
  // An existing file is left alone: it is not opened, so one that is
  // read-only still reads.
  std::error_code ec;
  if (fs::exists(file, ec)) return file;
  // The file holds a secret: it is created owner-only.
  // A link to a file not there yet gets its file, as a user linking
  // keelbox.toml elsewhere expects.
  const std::error_code error = create_private_file(file, true);
  if (error && error != std::errc::file_exists)
    throw FileSystemError("Cannot create " + error_text(error, file));
  return file;
}

KeelboxConfig get_configparser() {
  fs::path file = get_config_file();
  static std::atomic<bool> told{false};
  if (trace::enabled(trace::Level::debug) && !told.exchange(true)) {
    trace::trace(trace::Level::debug, "config", "reading " + path_to_utf8(file));
  }
  return parse_config_toml(read_regular_file(file, MAX_CONFIG_BYTES), path_to_utf8(file));
}

bool profile_in_environment(const EnvLookup& env) {
  const auto given = [&](std::string_view name) {
    const auto value = env(name);
    return value && !value->empty();
  };
  return given(TOKEN_ID_VARIABLE) || given(TOKEN_VARIABLE);
}

std::optional<KeelboxProfile> profile_from_environment(const EnvLookup& env) {
  const std::string token_id = env(TOKEN_ID_VARIABLE).value_or("");
  const std::string token = env(TOKEN_VARIABLE).value_or("");
  if (token_id.empty() && token.empty()) return std::nullopt;
  if (token_id.empty() || token.empty()) {
    throw KeelboxException(
        std::string(token_id.empty() ? TOKEN_VARIABLE : TOKEN_ID_VARIABLE) + " is set but " +
        std::string(token_id.empty() ? TOKEN_ID_VARIABLE : TOKEN_VARIABLE) + " is not: set both " +
        std::string(TOKEN_ID_VARIABLE) + " and " + std::string(TOKEN_VARIABLE) + ", or neither.");
  }
  std::string cloud = env(CLOUD_ENVIRONMENT_VARIABLE).value_or("");
  if (cloud.empty()) cloud = "cloud";
  // The short name init takes from the same variable means the same here.
  if (cloud == "dev") cloud = "dev.cloud";
  if (std::find(CLOUD_ENVS.begin(), CLOUD_ENVS.end(), cloud) == CLOUD_ENVS.end()) {
    std::vector<std::string> choices;
    for (const auto& choice : CLOUD_ENVS) choices.push_back("\"" + choice + "\"");
    throw KeelboxException(std::string(CLOUD_ENVIRONMENT_VARIABLE) + " must be " +
                           join(choices, " or ") + " when " + std::string(TOKEN_ID_VARIABLE) +
                           " and " + std::string(TOKEN_VARIABLE) + " give the profile, not \"" +
                           cloud + "\".");
  }
  return KeelboxProfile{token_id, token, cloud};
}

KeelboxProfile active_profile() {
  // Told once a run: every request asks.
  static std::atomic<bool> told{false};
  const bool tell = trace::enabled(trace::Level::info) && !told.exchange(true);
  if (auto profile = profile_from_environment(process_env())) {
    if (tell) {
      trace::trace(trace::Level::info, "config",
                   "profile from the environment: KEELBOX_TOKEN_ID " +
                       trace::short_id(profile->token_id) + ", cloud environment " +
                       profile->cloud_environment + "; " + CONFIG_FILE_NAME + " not read");
    }
    return *profile;
  }
  KeelboxProfile profile = get_configparser().profile;
  if (tell) {
    trace::trace(trace::Level::info, "config",
                 "profile from " + path_to_utf8(get_config_file()) + ": token id " +
                     trace::short_id(profile.token_id) + ", cloud environment " +
                     profile.cloud_environment);
  }
  return profile;
}

KeelboxConfig parse_config_toml(std::string_view text, const std::string& source) {
  return KeelboxConfig::from_mapping(toml_to_json(parse_toml(text, source)));
}

std::string toml_basic_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (u < 0x20 || u == 0x7f) {
          static const char* hex = "0123456789ABCDEF";
          out += "\\u00";
          out += hex[u >> 4];
          out += hex[u & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string render_config_toml(const KeelboxConfig& conf) {
  std::string out;
  out += "[profile]\n";
  out += "token_id = " + toml_basic_string(conf.profile.token_id) + "\n";
  out += "token = " + toml_basic_string(conf.profile.token) + "\n";
  out += "cloud_environment = " + toml_basic_string(conf.profile.cloud_environment) + "\n";
  out += "\n";
  out += "[options]\n";
  out += std::string("advanced_mode = ") + (conf.options.advanced_mode ? "true" : "false") + "\n";
  return out;
}

void write_config_parse_to_file(const KeelboxConfig& conf) {
  require_text(conf);
  fs::path file = get_config_file();
  std::string text = render_config_toml(conf);
  // The text must read back as the same record before anything is touched.
  KeelboxConfig back = KeelboxConfig::from_mapping(toml_to_json(parse_toml(text, "<rendered>")));
  if (!(back == conf)) throw RuntimeError("The configuration does not read back as written");

  // Write a sibling temporary file (owner-only), flush it to disk and move it
  // over the old file: a crash leaves either the old or the new file whole.
  TempFile tmp{
      create_private_temporary_file(file.parent_path(), std::string(CONFIG_FILE_NAME) + "."),
      false};
  if (tmp.file.error)
    throw FileSystemError("Cannot create " + error_text(tmp.file.error, tmp.file.path));
  write_file(tmp.file.fd.get(), text, tmp.file.path);
  if (const std::error_code error = flush_to_disk(tmp.file.fd.get())) {
    throw FileSystemError("Cannot flush " + error_text(error, tmp.file.path));
  }
  if (const std::error_code error = close_file(tmp.file.fd)) {
    throw FileSystemError("Cannot write " + error_text(error, tmp.file.path));
  }
  if (const std::error_code error = replace_file(tmp.file.path, file)) {
    throw FileSystemError("Cannot replace " + error_text(error, file));
  }
  if (trace::enabled(trace::Level::info)) {
    trace::trace(trace::Level::info, "config",
                 "profile written to " + path_to_utf8(file) + ": token id " +
                     trace::short_id(conf.profile.token_id) + ", cloud environment " +
                     conf.profile.cloud_environment);
  }
  tmp.keep = true;
  flush_folder(file.parent_path());
}

void clean_config_dir() {
  fs::path dir = _get_config_dir();
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) throw FileSystemError("Cannot list folder '" + path_to_utf8(dir) + "': " + ec.message());
  std::vector<fs::path> doomed;
  for (const auto& entry : it) {
    std::string name = path_to_utf8(entry.path().filename());
    if (name.ends_with("bu") || name.ends_with("bak")) continue;
    std::error_code status_ec;
    if (fs::is_regular_file(entry.path(), status_ec)) doomed.push_back(entry.path());
  }
  for (const auto& path : doomed) {
    if (const std::error_code error = remove_file(path)) {
      throw FileSystemError("Cannot delete " + error_text(error, path));
    }
  }
}

}  // namespace keelbox

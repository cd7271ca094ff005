// uv.exe: a stand-in for the uv installer in tests of the Windows build.
//
// It honours the command lines keelbox gives uv and answers from a state file
// instead of a real Python environment (none exists under wine):
//
//   uv pip show PKG
//   uv pip install PKG... [--upgrade-package P]... --index-url URL [--dry-run] [-r FILE]...
//
// Everything else is refused with status 2. Copied as python.exe it stands in
// for the environment's interpreter too: it logs and answers every command
// line with status 1 (no interpreter here). See README.md for the state file
// and the log.
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.hpp"

namespace {

using standin::env;
using standin::put;
using standin::utf8;
using standin::wide;

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", byte);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_optional(const std::optional<std::wstring>& value) {
  return value ? json_string(utf8(*value)) : "null";
}

std::vector<std::string> split_list(const std::wstring& text, wchar_t separator) {
  std::vector<std::string> out;
  std::wstring current;
  for (const wchar_t c : text + separator) {
    if (c == separator) {
      if (!current.empty()) out.push_back(utf8(current));
      current.clear();
    } else {
      current += c;
    }
  }
  return out;
}

// One JSON line per command line: the arguments as this program received
// them, the raw command line, and the environment variables that matter.
// False when the log is named but cannot be written.
bool log_command_line(const std::string& program, const std::vector<std::string>& args) {
  const auto path = env(L"UV_STANDIN_LOG");
  if (!path || path->empty()) return true;
  std::string record = "{\"program\": " + json_string(program) + ", \"argv\": [";
  for (std::size_t i = 0; i < args.size(); ++i) record += (i ? ", " : "") + json_string(args[i]);
  record += "], \"command_line\": " + json_string(utf8(GetCommandLineW()));
  record += ", \"virtual_env\": " + json_optional(env(L"VIRTUAL_ENV"));
  record += ", \"conda_prefix\": " + json_optional(env(L"CONDA_PREFIX"));
  if (const auto names = env(L"UV_STANDIN_LOG_ENV")) {
    record += ", \"env\": {";
    bool first = true;
    for (const std::string& name : split_list(*names, L';')) {
      record +=
          (first ? "" : ", ") + json_string(name) + ": " + json_optional(env(wide(name).c_str()));
      first = false;
    }
    record += "}";
  }
  record += "}\n";
  return standin::append_file(*path, record);
}

int refuse(const std::string& text) {
  put(STD_ERROR_HANDLE, "error: " + text + "\n");
  return 2;
}

// Lower case, and runs of '-', '_' and '.' as one '-': how package names compare.
std::string normalise(const std::string& name) {
  std::string out;
  for (const char c : name) {
    if (c == '-' || c == '_' || c == '.') {
      if (out.empty() || out.back() != '-') out += '-';
    } else {
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
  }
  return out;
}

// The distribution name of a requirement: what comes before a version
// specifier, marker, extra or blank.
std::string requirement_name(const std::string& requirement) {
  const std::size_t end = requirement.find_first_of("<>=!~;[ @\t");
  return requirement.substr(0, end);
}

struct Available {
  std::string name;
  std::string version;
  std::vector<std::string> requires_;
};

// The state file: one entry per line, blank lines and '#' comments ignored.
//   available NAME VERSION [DEPENDENCY...]   the index offers it (a later line wins)
//   installed NAME VERSION                   the environment has it
//   index URL                                the only index address accepted
struct State {
  std::map<std::string, Available> available;
  std::map<std::string, std::pair<std::string, std::string>> installed;  // key -> (name, version)
  std::optional<std::string> index;
  std::vector<std::string> order;  // installed keys in the order they arrived

  static std::optional<State> load(const std::wstring& path) {
    const auto text = standin::read_file(path);
    if (!text) return std::nullopt;
    State state;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream words(line);
      std::string kind;
      if (!(words >> kind) || kind.starts_with('#')) continue;
      if (kind == "index") {
        std::string url;
        words >> url;
        state.index = url;
      } else if (kind == "available") {
        Available a;
        words >> a.name >> a.version;
        for (std::string dep; words >> dep;) a.requires_.push_back(dep);
        state.available[normalise(a.name)] = a;
      } else if (kind == "installed") {
        std::string name, version;
        words >> name >> version;
        state.set_installed(name, version);
      }
    }
    return state;
  }

  void set_installed(const std::string& name, const std::string& version) {
    const std::string key = normalise(name);
    if (!installed.contains(key)) order.push_back(key);
    installed[key] = {name, version};
  }

  std::string text() const {
    std::string out;
    if (index) out += "index " + *index + "\n";
    for (const auto& [key, a] : available) {
      out += "available " + a.name + " " + a.version;
      for (const auto& dep : a.requires_) out += " " + dep;
      out += "\n";
    }
    for (const auto& key : order) {
      const auto& [name, version] = installed.at(key);
      out += "installed " + name + " " + version + "\n";
    }
    return out;
  }
};

int pip_show(const State& state, const std::vector<std::string>& rest, const std::wstring& venv) {
  if (rest.size() != 1) return refuse("pip show takes one package");
  const auto found = state.installed.find(normalise(rest[0]));
  if (found == state.installed.end()) {
    put(STD_ERROR_HANDLE, "warning: Package(s) not found for: " + rest[0] + "\n");
    return 1;
  }
  put(STD_OUTPUT_HANDLE, "Name: " + found->second.first + "\nVersion: " + found->second.second +
                             "\nLocation: " + utf8(venv) +
                             "\\Lib\\site-packages\nRequires: \nRequired-by: \n");
  return 0;
}

std::vector<std::string> requirements_in(const std::string& file) {
  const auto text = standin::read_file(wide(file));
  if (!text) throw std::runtime_error("cannot read the requirements file " + file);
  std::vector<std::string> out;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) continue;
    const auto end = line.find_last_not_of(" \t\r");
    out.push_back(line.substr(begin, end - begin + 1));
  }
  return out;
}

int pip_install(State& state, const std::vector<std::string>& rest,
                const std::wstring& state_file) {
  std::vector<std::string> requested;
  std::set<std::string> upgrade;
  std::optional<std::string> index_url;
  bool dry_run = false;
  try {
    for (std::size_t i = 0; i < rest.size(); ++i) {
      const std::string& a = rest[i];
      if (a == "--upgrade-package" || a == "--index-url" || a == "-r") {
        if (i + 1 >= rest.size()) return refuse(a + " needs a value");
        const std::string& value = rest[++i];
        if (a == "--upgrade-package")
          upgrade.insert(normalise(value));
        else if (a == "--index-url")
          index_url = value;
        else
          for (const auto& r : requirements_in(value)) requested.push_back(r);
      } else if (a == "--dry-run") {
        dry_run = true;
      } else if (a.starts_with('-')) {
        return refuse("unexpected argument '" + a + "'");
      } else {
        requested.push_back(a);
      }
    }
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  if (!index_url) return refuse("the stand-in needs --index-url");
  if (state.index && *state.index != *index_url) return refuse("unknown index " + *index_url);

  // Resolve: every requested name and what it needs, in order of first mention.
  std::vector<std::string> resolved;
  std::set<std::string> seen;
  std::vector<std::string> queue;
  for (const auto& r : requested) queue.push_back(requirement_name(r));
  for (std::size_t i = 0; i < queue.size(); ++i) {
    const std::string key = normalise(queue[i]);
    if (!seen.insert(key).second) continue;
    const auto found = state.available.find(key);
    if (found == state.available.end()) {
      put(STD_ERROR_HANDLE,
          "  x No solution found when resolving dependencies:\n  `-> Because " + queue[i] +
              " was not found in the package registry and you require " + queue[i] +
              ", we can conclude that your requirements are unsatisfiable.\n");
      return 1;
    }
    resolved.push_back(key);
    for (const auto& dep : found->second.requires_) queue.push_back(requirement_name(dep));
  }

  std::string changes, satisfied;
  std::vector<std::string> to_install;
  for (const auto& key : resolved) {
    const Available& a = state.available.at(key);
    const auto have = state.installed.find(key);
    if (have != state.installed.end() &&
        (have->second.second == a.version || !upgrade.contains(key))) {
      satisfied += "Requirement already satisfied: " + have->second.first + "\n";
      continue;
    }
    changes += " " + a.name + "-" + a.version;
    to_install.push_back(key);
  }
  put(STD_OUTPUT_HANDLE, satisfied);
  if (to_install.empty()) return 0;
  if (dry_run) {
    put(STD_OUTPUT_HANDLE, "Would install" + changes + "\n");
    return 0;
  }
  for (const auto& key : to_install)
    state.set_installed(state.available.at(key).name, state.available.at(key).version);
  if (!standin::write_file(state_file, state.text())) return refuse("cannot write the state file");
  put(STD_OUTPUT_HANDLE, "Successfully installed" + changes + "\n");
  return 0;
}

std::string program_name(const wchar_t* argv0) {
  std::wstring name = argv0;
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  std::string out = normalise(utf8(name));
  if (out.ends_with("-exe")) out.resize(out.size() - 4);
  return out;
}

int run(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(utf8(argv[i]));
  const std::string program = argc > 0 ? program_name(argv[0]) : "uv";
  if (!log_command_line(program, args)) {
    // A status of its own, so that a test tells a lost record from a start
    // that never reached this program.
    put(STD_ERROR_HANDLE, "uv stand-in: cannot append to the log named by UV_STANDIN_LOG\n");
    return 3;
  }
  if (const auto seconds = env(L"UV_STANDIN_SLEEP"))
    Sleep(1000 * std::wcstoul(seconds->c_str(), nullptr, 10));
  if (const auto code = env(L"UV_STANDIN_EXIT"))
    return static_cast<int>(std::wcstoul(code->c_str(), nullptr, 0));
  if (program.starts_with("python")) {
    put(STD_ERROR_HANDLE, "error: no Python interpreter here (a test stand-in)\n");
    return 1;
  }
  if (args.size() < 2 || args[0] != "pip") return refuse("unsupported command line");
  const auto venv = env(L"VIRTUAL_ENV");
  if (!venv || venv->empty())
    return refuse("No virtual environment found (VIRTUAL_ENV is not set)");
  const auto state_file = env(L"UV_STANDIN_STATE");
  if (!state_file) return refuse("UV_STANDIN_STATE names no state file");
  auto state = State::load(*state_file);
  if (!state) return refuse("cannot read the state file " + utf8(*state_file));
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  if (args[1] == "show") return pip_show(*state, rest, *venv);
  if (args[1] == "install") return pip_install(*state, rest, *state_file);
  return refuse("unsupported command line");
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return run(argc, argv); }

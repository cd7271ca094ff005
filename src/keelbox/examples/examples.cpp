#include "keelbox/examples/examples.hpp"

#include <cstdint>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "keelbox/api/api.hpp"
#include "keelbox/archive/extract.hpp"
#include "keelbox/archive/member_names.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/platform/descriptors.hpp"
#include "keelbox/platform/files.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/io.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/terminal/progress.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox {
namespace fs = std::filesystem;

namespace {

// The folder as the user reads it: "." components and repeated or trailing
// slashes dropped ("./ex/" -> "ex"), ".." kept.
fs::path tidy(const fs::path& path) {
  fs::path out;
  for (const fs::path& part : path) {
    if (part == "." || part.empty()) continue;
    out /= part;
  }
  return out.empty() ? fs::path(".") : out;
}

// The folders on the way to the places where requirements files can be
// (below the package folder, "/" between names), and those places.
struct Toward {
  std::set<std::string> ways;    // the folders below it: "a", "a/b", ...
  std::set<std::string> places;  // "a/b/requirements.txt", ...
  bool strayed = false;          // a file found at no place given
};

// Every requirements file below `folder` into `found`: the folder's own
// first, then each subfolder's in listing order. With `toward`, only the
// folders on the way to its places are listed (`relative` is `folder`'s way),
// and the answer is the same as long as the files can be nowhere else.
void walk_requirements(const fs::path& folder, std::vector<fs::path>& found,
                       Toward* toward = nullptr, const std::string& relative = {}) {
  std::error_code ec;
  std::vector<std::pair<fs::path, std::string>> subfolders;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code type_ec;
    const bool named = entry.path().filename() == "requirements.txt";
    std::string way;
    if (toward) {
      way = path_to_utf8(entry.path().filename());
      if (!relative.empty()) way = relative + "/" + way;
      if (!named && toward->ways.count(way) == 0) continue;
    }
    // A link of another name is passed over whatever it leads to (a folder
    // behind a link is not walked): its kind, known from the listing, saves
    // following it.
    if (!named && entry.is_symlink(type_ec)) continue;
    if (entry.is_directory(type_ec)) {
      if ((!toward || toward->ways.count(way) != 0) && !is_link(entry.path()))
        subfolders.emplace_back(entry.path(), std::move(way));
    } else if (named) {
      found.push_back(entry.path());
      if (toward && toward->places.count(way) == 0) toward->strayed = true;
    }
  }
  for (const auto& [sub, way] : subfolders) walk_requirements(sub, found, toward, way);
}

// The progress board as the observer of the download session.
class BoardObserver : public http::ProgressObserver {
 public:
  explicit BoardObserver(ProgressBoard& board) : board_(board) {}
  Id begun(std::string_view label, std::uint64_t total) override {
    const Id id = board_.add(std::string(label), total);
    board_.advance(id, 0);  // shown at once
    return id;
  }
  void advanced(Id id, std::uint64_t bytes) override { board_.advance(id, bytes); }
  void ended(Id id) override { board_.remove(id); }

 private:
  ProgressBoard& board_;
};

}  // namespace

// ---- the catalogue ------------------------------------------------------

nlohmann::json get_packages(http::Client& client) {
  static const Memoized<nlohmann::json> memo{"keelbox.modules", "get_packages"};
  return memo({}, [&client] {
    api::RequestKWARGSDict request = api::create_get_request(client, "/packages?limit=99");
    http::Response response = api::send_get(client, request);
    if (response.status >= 400)
      throw HTTPStatusError(response.status, response.reason, response.url);
    return api::parse_json_answer(response.body, "package list answer");
  });
}

std::vector<std::string> examples_from_packages(const nlohmann::json& packages) {
  if (!packages.is_array()) throw ParseError("package list answer is not a JSON array");
  std::vector<std::string> examples;
  for (const nlohmann::json& package : packages) {
    if (!package.is_object() || !package.contains("key")) throw KeyError("key");
    const nlohmann::json& key = package["key"];
    if (!key.is_string()) throw ParseError("package key is not text: " + key.dump());
    std::string text = key.get<std::string>();
    if (std::string_view(text).ends_with("examples")) examples.push_back(std::move(text));
  }
  return examples;
}

std::vector<std::string> get_examples_packages(http::Client& client) {
  return examples_from_packages(get_packages(client));
}

std::string code_to_package_name(std::string_view code) {
  std::string name = replace_all(replace_all(code, "ENT_", ""), "_FREE", "");
  name = trim_unicode(unicode_lower(name));
  std::replace(name.begin(), name.end(), ' ', '-');
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

std::vector<std::string> entitled_examples(const std::vector<std::string>& examples,
                                           const std::vector<KeelboxEntitlement>& modules) {
  std::vector<std::string> expected;
  for (const KeelboxEntitlement& module : modules) {
    expected.push_back(code_to_package_name(module.code) + "-examples");
  }
  std::vector<std::string> out;
  for (const std::string& name : examples) {
    if (std::find(expected.begin(), expected.end(), name) != expected.end()) out.push_back(name);
  }
  return out;
}

std::vector<std::string> get_entitled_examples_packages(http::Client& client) {
  std::vector<KeelboxEntitlement> modules = get_all_entitled_modules(client);
  return entitled_examples(get_examples_packages(client), modules);
}

// ---- the download -------------------------------------------------------

std::size_t example_download_slots(std::size_t descriptor_limit) {
  if (descriptor_limit <= EXAMPLES_RESERVED_DESCRIPTORS) return 1;
  const std::size_t slots =
      (descriptor_limit - EXAMPLES_RESERVED_DESCRIPTORS) / EXAMPLES_DESCRIPTORS_PER_DOWNLOAD;
  return std::clamp<std::size_t>(slots, 1, EXAMPLES_MAX_CONCURRENT);
}

std::string example_artifact_name(std::string_view package_name) {
  std::string name(package_name.substr(0, package_name.find("-examples")));
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

fs::path example_folder(const fs::path& download_dir, std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      std::any_of(name.begin(), name.end(), [](char c) { return is_path_separator(c); }) ||
      name.find('\0') != std::string_view::npos ||
      (runs_on_windows() && !windows_component_problem(name).empty())) {
    throw ExtractionError("Refused example package name '" + std::string(name) +
                          "': it is not a plain folder name");
  }
  return download_dir / path_from_utf8(name);
}

std::vector<std::string> select_example_packages(const std::vector<std::string>& module_names,
                                                 const std::vector<std::string>& available,
                                                 std::vector<std::string>& errors) {
  auto has = [&](const std::string& name) {
    return std::find(available.begin(), available.end(), name) != available.end();
  };
  std::vector<std::string> selected;
  for (std::string name : module_names) {
    std::replace(name.begin(), name.end(), '_', '-');
    if (has(name)) {
      selected.push_back(name);
    } else if (has(name + "-examples")) {
      selected.push_back(name + "-examples");
    } else if (has("zvk-" + name + "-examples")) {
      selected.push_back("zvk-" + name + "-examples");
    } else {
      errors.push_back("Package " + name + " not found!");
      send_message("Package " + name + " not found in examples!");
      send_message("Use " + style("keelbox modules download-examples --list-available", "green") +
                   " to see available examples.");
      send_message("\n");
    }
  }
  return selected;
}

std::vector<fs::path> requirements_files(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code ec;
  if (fs::is_directory(folder, ec)) walk_requirements(folder, found);
  return found;
}

std::vector<fs::path> requirements_files(const fs::path& folder,
                                         const std::vector<std::string>& places) {
  Toward toward;
  for (const std::string& place : places) {
    toward.places.insert(place);
    for (std::size_t slash = place.find('/'); slash != std::string::npos;
         slash = place.find('/', slash + 1)) {
      toward.ways.insert(place.substr(0, slash));
    }
  }
  std::vector<fs::path> found;
  if (toward.places.empty()) return found;
  std::error_code ec;
  if (fs::is_directory(folder, ec)) walk_requirements(folder, found, &toward);
  // Each place found as it was given, and nothing elsewhere: no file can be
  // anywhere else. Otherwise (a place replaced, a folder name the file
  // system matched in another case) the whole folder is walked.
  return found.size() == toward.places.size() && !toward.strayed ? found
                                                                 : requirements_files(folder);
}

fs::path _normalize_download_dir(const std::optional<fs::path>& download_dir) {
  fs::path dir =
      download_dir && !download_dir->empty() ? *download_dir : get_default_examples_dir();
  std::error_code ec;
  if (!fs::exists(dir, ec))
    throw KeelboxException("Could not find download directory for examples!");
  return tidy(dir);
}

void _save_tarball(std::string_view content, const fs::path& file_path) {
  extract_tar_gz(content, file_path);
}

void _save_tarball(int archive_fd, const fs::path& file_path) {
  extract_tar_gz(archive_fd, file_path);
}

std::vector<std::string> download_examples(
    const Context& context, const std::optional<fs::path>& download_dir,
    const std::optional<std::vector<std::string>>& module_names) {
  const fs::path folder = _normalize_download_dir(download_dir);
  const std::vector<std::string> available = get_entitled_examples_packages(context.http);

  std::vector<std::string> errors;
  std::vector<std::string> selected;
  if (module_names && !module_names->empty()) {
    selected = select_example_packages(*module_names, available, errors);
  } else {
    send_message("Downloading examples for all available packages to " + path_to_utf8(folder));
    selected = available;
  }

  // The requirements files of a folder unpacked anew are where its members
  // of that name went; any other folder is searched whole.
  const NameWatch requirements_places("requirements.txt");
  _download_examples(context, selected, folder);

  for (const std::string& name : selected) {
    const std::optional<std::vector<std::string>> places =
        requirements_places.places(folder / name);
    for (const fs::path& file :
         places ? requirements_files(folder / name, *places) : requirements_files(folder / name)) {
      send_message("Examples for " + show_controls(name) +
                   " require additional pacakges.To install these dependencies run the following "
                   "command:");
      send_message(style("keelbox install -r " + show_controls(path_to_utf8(file)), "yellow"));
    }
  }
  return errors;
}

std::vector<std::optional<fs::path>> _download_examples(
    const Context& context, const std::vector<std::string>& package_names,
    const fs::path& download_dir, const ExampleDownloadBounds& bounds) {
  std::vector<std::optional<fs::path>> results;
  if (package_names.empty()) return results;
  results.resize(package_names.size());

  ProgressBoard board([&clock = context.clock] { return clock.now(); });
  BoardObserver observer(board);
  const std::unique_ptr<http::Session> session = context.http.session(&observer);
  auto say = [&board](const std::string& message) {
    board.print_above([&] { send_message(message); });
  };
  // Each archive is kept in a file without a name in the download folder
  // until its download has completed (created with its first piece).
  std::vector<FileDescriptor> archives(package_names.size());
  // Declared after the session: a transfer left running leaves it first.
  std::vector<std::unique_ptr<http::Transfer>> transfers;

  auto finished = [&](std::size_t i, http::Transfer& transfer) {
    const std::string& name = package_names[i];
    http::Response response;
    try {
      response = transfer.finish();
    } catch (const http::TooManyRedirects& e) {
      say(style("Error downloading examples for " + show_controls(name) + ": Exceeded " +
                    std::to_string(http::MAX_REDIRECTS) +
                    " redirects for url: " + show_controls(e.url()),
                "red"));
      return;
    } catch (const http::TooLarge& e) {
      throw TransportError(show_controls(name) + ": " + e.what());
    }
    if (response.status >= 400) {
      say(style(
          "Error downloading examples for " + show_controls(name) + ": " +
              show_controls(HTTPStatusError(response.status, response.reason, response.url).what()),
          "red"));
      return;
    }
    const fs::path folder = example_folder(download_dir, name);
    const FileDescriptor archive = std::exchange(archives[i], FileDescriptor());
    try {
      if (archive) {
        _save_tarball(archive.get(), folder);
      } else {
        _save_tarball(std::string_view(), folder);  // no data at all
      }
    } catch (const ExtractionError& e) {
      // Several archives unpack in one run: the error says which.
      throw ExtractionError(show_controls(name) + ": " + e.what());
    }
    say(style("Successfully downloaded examples for " + show_controls(name) + " to " +
                  show_controls(path_to_utf8(folder)),
              "green"));
    results[i] = folder;
  };

  for (std::size_t i = 0; i < package_names.size(); ++i) {
    const std::string& name = package_names[i];
    example_folder(download_dir, name);  // refused before anything is asked for
    const api::RequestKWARGSDict description = api::create_get_request(
        context.http, "/artifacts/examples/" + example_artifact_name(name) + ".tar.gz");
    // Only the address and the headers: the description's 5-second time-out is
    // for short answers; an archive may take longer, bounded by the stall guard.
    http::Request request;
    request.url = description.url;
    request.headers = description.headers;
    request.stall_seconds = bounds.stall_seconds;
    request.max_body_bytes = bounds.max_archive_bytes;
    auto transfer = std::make_unique<http::Transfer>(
        std::move(request),
        [&archives, &package_names, &download_dir, i](std::string_view chunk) {
          FileDescriptor& archive = archives[i];
          if (!archive) archive = open_nameless_file(download_dir, ".keelbox-download-");
          if (const int err = write_all(archive.get(), chunk)) {
            throw FileSystemError(
                "Could not save the download of examples for " + show_controls(package_names[i]) +
                " in " + show_controls(path_to_utf8(download_dir)) + ": " + std::strerror(err));
          }
        },
        // The body of a refused answer is not wanted.
        [](const http::Response& head) { return head.status < 400; });
    transfer->set_chunk_size(EXAMPLES_CHUNK_SIZE);
    transfers.push_back(std::move(transfer));
  }
  // At most `slots` at once, so that the descriptors last; each that ends
  // makes way for the next.
  const std::size_t slots = bounds.max_concurrent ? bounds.max_concurrent
                                                  : example_download_slots(open_descriptor_limit());
  std::size_t started = 0;
  std::function<void()> start_next = [&] {
    const std::size_t i = started++;
    session->add(*transfers[i], "Downloading examples for " + show_controls(package_names[i]),
                 [&finished, &start_next, &started, &transfers, i](http::Transfer& done) {
                   finished(i, done);
                   if (started < transfers.size()) start_next();
                 });
  };
  while (started < std::min(slots, transfers.size())) start_next();
  session->run();
  return results;
}

}  // namespace keelbox

#include "keelbox/examples/examples.hpp"

#include <cstdint>

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "keelbox/api/api.hpp"
#include "keelbox/archive/extract.hpp"
#include "keelbox/archive/member_names.hpp"
#include "keelbox/archive/stream.hpp"
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
#include "keelbox/process/interrupt.hpp"
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

// The progress board as the observer of the download session, drawn in
// turns with the lines printed above it.
class LockedBoardObserver : public http::ProgressObserver {
 public:
  LockedBoardObserver(ProgressBoard& board, std::mutex& turn) : board_(board), turn_(turn) {}
  Id begun(std::string_view label, std::uint64_t total) override {
    const std::lock_guard<std::mutex> turn(turn_);
    const Id id = board_.add(std::string(label), total);
    board_.advance(id, 0);  // shown at once
    return id;
  }
  void advanced(Id id, std::uint64_t bytes) override {
    const std::lock_guard<std::mutex> turn(turn_);
    board_.advance(id, bytes);
  }
  void ended(Id id) override {
    const std::lock_guard<std::mutex> turn(turn_);
    board_.remove(id);
  }

 private:
  ProgressBoard& board_;
  std::mutex& turn_;
};

// The length an answer's head announces; 0 when it announces none (or
// nothing readable).
std::uint64_t announced_length(const http::Response& head) {
  const std::optional<std::string> value = head.header("Content-Length");
  if (!value || value->empty() || value->size() > 19) return 0;
  std::uint64_t length = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9') return 0;
    length = length * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return length;
}

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

std::size_t example_unpacking_slots(std::size_t descriptor_limit, std::size_t download_slots) {
  const std::size_t taken =
      EXAMPLES_RESERVED_DESCRIPTORS + download_slots * EXAMPLES_DESCRIPTORS_PER_DOWNLOAD;
  if (descriptor_limit <= taken) return 1;
  return std::clamp<std::size_t>((descriptor_limit - taken) / EXAMPLES_DESCRIPTORS_PER_UNPACKING, 1,
                                 EXAMPLES_MAX_UNPACKING);
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

namespace {

// One archive unpacked while it downloads: the stream the transfer feeds,
// and the thread that unpacks from it. One dropped before it has finished
// (the run ends otherwise) breaks the stream off and waits for its thread,
// which leaves the old folder as it was.
class Unpacking {
 public:
  Unpacking(const fs::path& download_dir, std::uint64_t announced, std::size_t held_in_memory)
      : stream_([download_dir] { return open_nameless_file(download_dir, ".keelbox-download-"); },
                announced, held_in_memory) {}
  Unpacking(const Unpacking&) = delete;
  Unpacking& operator=(const Unpacking&) = delete;
  ~Unpacking() {
    if (!thread_.joinable()) return;
    stream_.abort();
    thread_.join();
  }

  ArchiveStream& stream() { return stream_; }
  bool started() const { return thread_.joinable(); }

  // Unpacks into `folder` on a thread of its own; its lines go to `messages`.
  void start(const fs::path& folder, std::function<void(std::string_view)> messages) {
    thread_ = start_stoppable_thread([this, folder, messages = std::move(messages)] {
      const MessagesTo to(messages);
      try {
        extract_tar_gz(stream_, folder);
      } catch (...) {
        error_ = std::current_exception();
      }
      stream_.stop_reading();
    });
  }

  // The download is whole: waits for the unpacking (unpacks here when no
  // thread was started) and throws its error.
  void finish(const fs::path& folder) {
    stream_.close();
    if (!thread_.joinable()) {
      extract_tar_gz(stream_, folder);
      return;
    }
    thread_.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  ArchiveStream stream_;
  std::thread thread_;
  std::exception_ptr error_;
};

}  // namespace

std::vector<std::optional<fs::path>> _download_examples(
    const Context& context, const std::vector<std::string>& package_names,
    const fs::path& download_dir, const ExampleDownloadBounds& bounds) {
  std::vector<std::optional<fs::path>> results;
  if (package_names.empty()) return results;
  results.resize(package_names.size());

  ProgressBoard board([&clock = context.clock] { return clock.now(); });
  // The bars are drawn on this thread; lines from the unpacking threads
  // (a wait for another run's lock) are printed above them in turn.
  std::mutex board_turn;
  LockedBoardObserver observer(board, board_turn);
  const std::unique_ptr<http::Session> session = context.http.session(&observer);
  auto say = [&board, &board_turn](std::string_view message) {
    const std::lock_guard<std::mutex> turn(board_turn);
    board.print_above([&] { send_message(message); });
  };
  // The sizes the answers announce (0: none).
  std::vector<std::uint64_t> announced(package_names.size(), 0);
  // Each archive is unpacked as it arrives, on a thread of its own while
  // fewer than `bounds.max_unpacking` are; the others are held until their
  // download has completed and then unpacked here. Declared after the
  // session: a transfer left running leaves it first.
  std::vector<std::unique_ptr<Unpacking>> unpackings(package_names.size());
  std::size_t unpacking_now = 0;
  // Declared after the unpackings: a transfer left running feeds none.
  std::vector<std::unique_ptr<http::Transfer>> transfers;

  auto finished = [&](std::size_t i, http::Transfer& transfer) {
    const std::string& name = package_names[i];
    // Ends with this call, whatever its outcome.
    const std::unique_ptr<Unpacking> unpacking = std::move(unpackings[i]);
    if (unpacking && unpacking->started()) --unpacking_now;
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
    try {
      if (unpacking) {
        unpacking->finish(folder);
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

  // At most `slots` downloads at once and `max_unpacking` unpackings, so
  // that the descriptors last; each download that ends makes way for the next.
  const std::size_t descriptors = open_descriptor_limit();
  const std::size_t slots =
      bounds.max_concurrent ? bounds.max_concurrent : example_download_slots(descriptors);
  const std::size_t max_unpacking =
      bounds.max_unpacking ? bounds.max_unpacking : example_unpacking_slots(descriptors, slots);
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
        [&, i](std::string_view chunk) {
          std::unique_ptr<Unpacking>& unpacking = unpackings[i];
          if (!unpacking) {
            unpacking =
                std::make_unique<Unpacking>(download_dir, announced[i], bounds.held_in_memory);
            if (unpacking_now < max_unpacking) {
              unpacking->start(example_folder(download_dir, package_names[i]), say);
              ++unpacking_now;
            }
          }
          try {
            unpacking->stream().write(chunk);
          } catch (const std::system_error& e) {
            throw FileSystemError("Could not save the download of examples for " +
                                  show_controls(package_names[i]) + " in " +
                                  show_controls(path_to_utf8(download_dir)) + ": " +
                                  std::strerror(e.code().value()));
          }
        },
        // The body of a refused answer is not wanted.
        [&announced, i](const http::Response& head) {
          announced[i] = announced_length(head);
          return head.status < 400;
        });
    transfer->set_chunk_size(EXAMPLES_CHUNK_SIZE);
    transfers.push_back(std::move(transfer));
  }

  // In order, except that an archive whose folder is being downloaded into
  // already (a name given twice) waits until that one has ended: one
  // folder is never unpacked into twice at once, or the second could keep
  // from the first's previous contents what the first is removing.
  std::vector<bool> begun(transfers.size(), false);
  std::vector<std::string> busy;  // the folders of the transfers running
  const auto folder_key = [&](std::size_t i) { return ascii_lower(package_names[i]); };
  std::size_t running = 0;
  std::function<bool()> start_next = [&] {
    for (std::size_t i = 0; i < transfers.size(); ++i) {
      if (begun[i]) continue;
      const std::string key = folder_key(i);
      if (std::find(busy.begin(), busy.end(), key) != busy.end()) continue;
      begun[i] = true;
      busy.push_back(key);
      ++running;
      session->add(*transfers[i], "Downloading examples for " + show_controls(package_names[i]),
                   [&, i, key](http::Transfer& done) {
                     busy.erase(std::find(busy.begin(), busy.end(), key));
                     --running;
                     finished(i, done);
                     while (running < slots && start_next()) {
                     }
                   });
      return true;
    }
    return false;
  };
  while (running < slots && start_next()) {
  }
  session->run();
  return results;
}

}  // namespace keelbox

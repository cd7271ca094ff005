#include "keelbox/examples/examples.hpp"

#include <cstdint>

#include <algorithm>
#include <cctype>
#include <memory>
#include <system_error>

#include "keelbox/api/api.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/messages/messages.hpp"
#include "keelbox/modules/modules.hpp"
#include "keelbox/archive/extract.hpp"
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

void walk_requirements(const fs::path& folder, std::vector<fs::path>& found) {
  std::error_code ec;
  std::vector<fs::path> subfolders;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code type_ec;
    if (entry.is_directory(type_ec)) {
      if (!entry.is_symlink(type_ec)) subfolders.push_back(entry.path());
    } else if (entry.path().filename() == "requirements.txt") {
      found.push_back(entry.path());
    }
  }
  for (const fs::path& sub : subfolders) walk_requirements(sub, found);
}

}  // namespace

// ---- the catalogue ------------------------------------------------------

nlohmann::json get_packages() {
  static const Memoized<nlohmann::json> memo{"keelbox.modules", "get_packages"};
  return memo({}, [] {
    api::RequestKWARGSDict request = api::create_get_request("/packages?limit=99");
    http::Response response = api::send_get(request);
    if (response.status >= 400) throw HTTPStatusError(response.status, response.reason, response.url);
    try {
      return nlohmann::json::parse(response.body);
    } catch (const nlohmann::json::parse_error& e) {
      throw ParseError(std::string("package list answer is not JSON: ") + e.what());
    }
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

std::vector<std::string> get_examples_packages() { return examples_from_packages(get_packages()); }

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

std::vector<std::string> get_entitled_examples_packages() {
  std::vector<KeelboxEntitlement> modules = get_all_entitled_modules();
  return entitled_examples(get_examples_packages(), modules);
}

// ---- the download -------------------------------------------------------

std::string example_artifact_name(std::string_view package_name) {
  std::string name(package_name.substr(0, package_name.find("-examples")));
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

fs::path example_folder(const fs::path& download_dir, std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    throw ExtractionError("Refused example package name '" + std::string(name) +
                          "': it is not a plain folder name");
  }
  return download_dir / name;
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

fs::path _normalize_download_dir(const std::optional<fs::path>& download_dir) {
  fs::path dir = download_dir && !download_dir->empty() ? *download_dir : get_default_examples_dir();
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw KeelboxException("Could not find download directory for examples!");
  return tidy(dir);
}

void _save_tarball(std::string_view content, const fs::path& file_path) {
  extract_tar_gz(content, file_path);
}

std::vector<std::string> download_examples(const std::optional<fs::path>& download_dir,
                                           const std::optional<std::vector<std::string>>& module_names) {
  const fs::path folder = _normalize_download_dir(download_dir);
  const std::vector<std::string> available = get_entitled_examples_packages();

  std::vector<std::string> errors;
  std::vector<std::string> selected;
  if (module_names && !module_names->empty()) {
    selected = select_example_packages(*module_names, available, errors);
  } else {
    send_message("Downloading examples for all available packages to " + folder.string());
    selected = available;
  }

  _download_examples(selected, folder);

  for (const std::string& name : selected) {
    for (const fs::path& file : requirements_files(folder / name)) {
      send_message("Examples for " + name +
                   " require additional pacakges.To install these dependencies run the following "
                   "command:");
      send_message(style("keelbox install -r " + file.string(), "yellow"));
    }
  }
  return errors;
}

std::vector<std::optional<fs::path>> _download_examples(const std::vector<std::string>& package_names,
                                                        const fs::path& download_dir) {
  std::vector<std::optional<fs::path>> results;
  if (package_names.empty()) return results;
  ExamplesSession session;
  std::vector<std::unique_ptr<_download_example>> downloads;
  for (const std::string& name : package_names) {
    downloads.push_back(std::make_unique<_download_example>(name, download_dir, session));
    downloads.back()->start();
  }
  session.run();
  for (const auto& download : downloads) results.push_back(download->result());
  return results;
}

// ---- the session --------------------------------------------------------

ExamplesSession::ExamplesSession() : multi_(http::make_multi()) {
  if (!multi_) throw TransportError("Could not open an HTTP session");
}

ExamplesSession::~ExamplesSession() {
  for (const auto& [handle, download] : active_) curl_multi_remove_handle(multi_.get(), handle);
}

void ExamplesSession::say(std::string_view message) {
  board_.print_above([&] { send_message(message); });
}

void ExamplesSession::add(_download_example* download, CURL* handle) {
  CURLMcode rc = curl_multi_add_handle(multi_.get(), handle);
  if (rc != CURLM_OK) {
    throw TransportError(std::string("Could not start a download: ") + curl_multi_strerror(rc));
  }
  active_[handle] = download;
  // Let curl begin (name lookup, connection) before the next download is prepared.
  int running = 0;
  curl_multi_perform(multi_.get(), &running);
}

void ExamplesSession::remove(CURL* handle) {
  if (active_.erase(handle)) curl_multi_remove_handle(multi_.get(), handle);
}

void ExamplesSession::run() {
  while (!active_.empty()) {
    int running = 0;
    CURLMcode rc = curl_multi_perform(multi_.get(), &running);
    if (rc != CURLM_OK) throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* handle = msg->easy_handle;
      const CURLcode result = msg->data.result;
      auto it = active_.find(handle);
      if (it == active_.end()) continue;
      _download_example* download = it->second;
      remove(handle);
      download->finish(result);
    }
    if (!active_.empty() && running > 0) {
      rc = curl_multi_poll(multi_.get(), nullptr, 0, 100, nullptr);
      if (rc != CURLM_OK) throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    }
  }
}

// ---- one download -------------------------------------------------------

_download_example::_download_example(std::string name, fs::path download_dir,
                                     ExamplesSession& session, std::size_t chunk_size)
    : name_(std::move(name)),
      download_dir_(std::move(download_dir)),
      session_(session),
      chunk_size_(chunk_size == 0 ? EXAMPLES_CHUNK_SIZE : chunk_size) {}

_download_example::~_download_example() {
  if (easy_) session_.remove(easy_.get());
  if (bar_) session_.board().remove(*bar_);
}

void _download_example::start() {
  example_folder(download_dir_, name_);  // refused before anything is asked for
  api::RequestKWARGSDict description =
      api::create_get_request("/artifacts/examples/" + example_artifact_name(name_) + ".tar.gz");
  // Only the address and the headers: the description's 5-second time-out is
  // for short answers; an archive may take longer, bounded by the stall guard.
  request_.method = "GET";
  request_.url = description.url;
  request_.headers = description.headers;
  request_.follow_redirects = true;
  request_.timeout_seconds = std::nullopt;
  request_.stall_seconds = http::DEFAULT_STALL_SECONDS;

  easy_ = http::make_easy();
  CURL* h = easy_.get();
  http::apply_common_options(h, request_);
  idle_.attach(h, request_);
  curl_easy_setopt(h, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf_);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(chunk_size_));
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &_download_example::on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &_download_example::on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_slist* list = nullptr;
  for (const auto& [field, value] : request_.headers) {
    const std::string line = value.empty() ? field + ";" : field + ": " + value;
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) {
      curl_slist_free_all(list);
      throw TransportError("Could not prepare the request headers for " + request_.url);
    }
    list = next;
  }
  header_list_.reset(list);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  session_.add(this, h);
}

size_t _download_example::on_header(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<_download_example*>(self);
  const size_t length = size * count;
  d->idle_.data();
  try {
    std::string line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {  // a new answer (after an interim one or a redirect)
      d->header_lines_.clear();
      d->headers_done_ = false;
    }
    d->header_lines_.push_back(std::move(line));
    if (trim_ascii(d->header_lines_.back()).empty()) {
      d->headers_complete();
      if (d->refused_) return 0;  // the body of a refused answer is not wanted
    }
  } catch (...) {
    d->error_ = std::current_exception();
    return 0;
  }
  return length;
}

std::optional<std::string> _download_example::current_header(std::string_view name) const {
  for (const std::string& line : header_lines_) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || line.rfind("HTTP/", 0) == 0) continue;
    if (iequals_ascii(trim_ascii(std::string_view(line).substr(0, colon)), name)) {
      return std::string(trim_ascii(std::string_view(line).substr(colon + 1)));
    }
  }
  return std::nullopt;
}

void _download_example::headers_complete() {
  long status = 0;
  curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) return;  // interim answer: the real one follows
  if (status >= 300 && status < 400 && current_header("location")) {  // followed by curl
    idle_.headers_done(status, true);
    return;
  }
  headers_done_ = true;
  if (status >= 400) {
    refused_ = true;
    return;
  }
  std::uint64_t total = 0;
  if (std::optional<std::string> length = current_header("content-length")) {
    const std::string& text = *length;
    if (text.empty() || !std::all_of(text.begin(), text.end(),
                                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
      throw ParseError("Unreadable content-length '" + text + "' from " + request_.url);
    }
    try {
      total = std::stoull(text);
    } catch (const std::exception&) {
      throw ParseError("Unreadable content-length '" + text + "' from " + request_.url);
    }
  }
  bar_ = session_.board().add("Downloading examples for " + name_, total);
  session_.board().advance(*bar_, 0);
}

size_t _download_example::on_body(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<_download_example*>(self);
  const size_t length = size * count;
  d->idle_.data();
  try {
    if (!d->headers_done_) d->headers_complete();
    if (d->refused_) return 0;
    for (size_t offset = 0; offset < length; offset += d->chunk_size_) {
      const size_t piece = std::min(d->chunk_size_, length - offset);
      d->buffer_.append(data + offset, piece);
      if (d->bar_) d->session_.board().advance(*d->bar_, piece);
    }
  } catch (...) {
    d->error_ = std::current_exception();
    return 0;
  }
  return length;
}

void _download_example::finish(CURLcode result) {
  finished_ = true;
  if (error_) std::rethrow_exception(error_);
  if (result == CURLE_OK && !headers_done_) headers_complete();

  if (refused_ || result == CURLE_TOO_MANY_REDIRECTS) {
    if (bar_) {
      session_.board().remove(*bar_);
      bar_.reset();
    }
    http::Response response = http::make_response(easy_.get(), header_lines_, "");
    std::string text;
    if (refused_) {
      text = HTTPStatusError(response.status, response.reason, response.url).what();
    } else {
      text = "Exceeded " + std::to_string(http::MAX_REDIRECTS) + " redirects for url: " + response.url;
    }
    session_.say(style("Error downloading examples for " + name_ + ": " + text, "red"));
    return;
  }
  if (result == CURLE_ABORTED_BY_CALLBACK && idle_.stalled()) {
    throw TransportError(request_.method + " " + request_.url + " failed: no data received for " +
                         std::to_string(idle_.period()) + " seconds");
  }
  if (result != CURLE_OK) {
    throw TransportError(
        http::transport_error_text(request_, result, errbuf_, request_.stall_seconds));
  }

  if (bar_) {
    session_.board().remove(*bar_);
    bar_.reset();
  }
  const fs::path folder = example_folder(download_dir_, name_);
  std::string content = std::move(buffer_);
  buffer_.clear();
  _save_tarball(content, folder);
  session_.say(style("Successfully downloaded examples for " + name_ + " to " + folder.string(), "green"));
  result_ = folder;
}

}  // namespace keelbox

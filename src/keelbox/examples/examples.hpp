#pragma once
// The example catalogue and the example download.
//
// Example material is published as packages whose keys end with "examples".
// The entitled ones are those whose key is the package name derived from the
// code of an entitled module plus "-examples". They are downloaded all at
// once on this one thread: one curl multi handle is the shared session, every
// selected name gets its transfer and progress bar, each archive is held in
// memory until it is complete and then unpacked safely into
// <download folder>/<package name>.
//
// The command line uses get_entitled_examples_packages() and
// download_examples() from modules.hpp; the rest is declared here for tests.
#include <curl/curl.h>

#include <cstddef>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "keelbox/models/models.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/terminal/progress.hpp"

namespace keelbox {

// Largest piece of an archive read from the network at a time.
inline constexpr std::size_t EXAMPLES_CHUNK_SIZE = 8192;

// ---- the catalogue ------------------------------------------------------

// The package list (GET "/packages?limit=99", first page only) as parsed
// from the JSON body; memoised on disk without expiry. An error status throws
// HTTPStatusError, a body that is not JSON ParseError; nothing is memoised then.
nlohmann::json get_packages();
// The keys of get_packages() that end with "examples", in order.
std::vector<std::string> get_examples_packages();

// The package-name form of a module code: every "ENT_" and then every "_FREE"
// removed, lower-cased, trimmed, blanks and "_" turned into "-".
std::string code_to_package_name(std::string_view code);

// The keys ending with "examples" (case-sensitive), in order, duplicates kept.
// A member without "key" throws KeyError; a key that is not text ParseError.
std::vector<std::string> examples_from_packages(const nlohmann::json& packages);
// The example names that belong to one of `modules`, in the order of `examples`.
std::vector<std::string> entitled_examples(const std::vector<std::string>& examples,
                                           const std::vector<KeelboxEntitlement>& modules);

// ---- the download -------------------------------------------------------

// The name in the archive address: the package name up to its first
// "-examples", every "-" turned into "_".
std::string example_artifact_name(std::string_view package_name);

// <download_dir>/<name>, the folder an example package is unpacked into. The
// name comes from the service; one that is not a plain folder name (empty,
// "." or "..", or holding "/" or a NUL) would put the folder elsewhere, so it
// is refused with an ExtractionError.
std::filesystem::path example_folder(const std::filesystem::path& download_dir,
                                     std::string_view name);

// The chosen names for what the user typed (each "_" becomes "-"; tried as it
// is, with "-examples" appended, with "zvk-" and "-examples" around). Each
// unmatched name adds "Package <name> not found!" to `errors` and prints the
// three not-found messages.
std::vector<std::string> select_example_packages(const std::vector<std::string>& module_names,
                                                 const std::vector<std::string>& available,
                                                 std::vector<std::string>& errors);

// Every file named "requirements.txt" below `folder` (the folder itself
// first, then its subfolders one by one, in listing order; links to folders
// are not entered). Nothing when `folder` does not exist.
std::vector<std::filesystem::path> requirements_files(const std::filesystem::path& folder);

// The download folder: `download_dir`, or the default examples folder (created
// when missing) when absent or empty. KeelboxException "Could not find
// download directory for examples!" when it does not exist.
std::filesystem::path _normalize_download_dir(
    const std::optional<std::filesystem::path>& download_dir = std::nullopt);

// Downloads and unpacks every name concurrently; per name, in order, the
// package folder, or nullopt when the request was refused (error status or
// too many redirects: a red message, no folder). Transport failures, damaged
// archives and refused members end the whole run with their error.
std::vector<std::optional<std::filesystem::path>> _download_examples(
    const std::vector<std::string>& package_names, const std::filesystem::path& download_dir);

// Unpacks the in-memory gzip tar archive below `file_path` (safe extraction).
void _save_tarball(std::string_view content, const std::filesystem::path& file_path);

class _download_example;

// The shared HTTP session of one run: one curl multi handle driven on this
// thread, and the progress bars of the transfers in flight.
class ExamplesSession {
 public:
  ExamplesSession();
  ExamplesSession(const ExamplesSession&) = delete;
  ExamplesSession& operator=(const ExamplesSession&) = delete;
  ~ExamplesSession();

  ProgressBoard& board() { return board_; }
  // Prints one message line, with the progress bars kept below it.
  void say(std::string_view message);

  void add(_download_example* download, CURL* handle);
  void remove(CURL* handle);
  // Drives all transfers until every one has finished. A failure of one ends
  // the run at once (the others are abandoned).
  void run();

 private:
  http::MultiHandle multi_;
  ProgressBoard board_;
  std::map<CURL*, _download_example*> active_;
};

// One download on the shared session (what a cooperative task is elsewhere):
// start() obtains the request description and begins the transfer; the
// session calls finish() when curl is done with it; result() is then the
// package folder, or nullopt for a refused request.
class _download_example {
 public:
  _download_example(std::string name, std::filesystem::path download_dir, ExamplesSession& session,
                    std::size_t chunk_size = EXAMPLES_CHUNK_SIZE);
  _download_example(const _download_example&) = delete;
  _download_example& operator=(const _download_example&) = delete;
  ~_download_example();

  void start();
  void finish(CURLcode result);
  bool finished() const { return finished_; }
  const std::optional<std::filesystem::path>& result() const { return result_; }

 private:
  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static size_t on_body(char* data, size_t size, size_t count, void* self);
  void headers_complete();
  std::optional<std::string> current_header(std::string_view name) const;

  std::string name_;
  std::filesystem::path download_dir_;
  ExamplesSession& session_;
  std::size_t chunk_size_;

  http::Request request_;
  http::IdleWatch idle_;  // outlives the easy handle, whose callbacks point at it
  http::EasyHandle easy_;
  http::HeaderList header_list_;
  std::vector<std::string> header_lines_;  // of the answer being received
  bool headers_done_ = false;
  bool refused_ = false;
  std::string buffer_;
  std::optional<ProgressBoard::Id> bar_;
  std::exception_ptr error_;
  char errbuf_[CURL_ERROR_SIZE] = {};
  bool finished_ = false;
  std::optional<std::filesystem::path> result_;
};

}  // namespace keelbox

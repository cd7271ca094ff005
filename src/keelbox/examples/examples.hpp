#pragma once
// The example catalogue and the example download.
//
// Example material is published as packages whose keys end with "examples".
// The entitled ones are those whose key is the package name derived from the
// code of an entitled module plus "-examples". They are downloaded all at
// once on this one thread: one HTTP session carries them all, every selected
// name gets its transfer and progress bar, and each archive is unpacked
// safely into <download folder>/<package name> as it arrives, on a thread of
// its own (archive/stream.hpp: what the unpacking has not taken yet waits in
// memory, beyond a bound in a file without a name). What was unpacked takes
// the old folder's place only once the download is complete.
//
// The command line uses get_entitled_examples_packages() and
// download_examples(); the rest is declared here for tests.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "keelbox/context/context.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {
namespace http {
class Client;
}  // namespace http

// Largest piece of an archive handed to its unpacking at a time (the network
// is read in larger ones: http.cpp).
inline constexpr std::size_t EXAMPLES_CHUNK_SIZE = 8192;
// An archive download that receives nothing for this long ends the run.
inline constexpr long EXAMPLES_STALL_SECONDS = 60;
// The largest example archive (as downloaded, compressed) taken: an answer
// that announces more is refused before its body is read, and one that
// passes it while arriving is ended there, so a server that never ends its
// body cannot fill the disk. Example archives are a few MiB; 4 GiB is far
// above any of them and equals the least an archive may unpack to.
inline constexpr std::size_t EXAMPLES_MAX_ARCHIVE_BYTES = std::size_t{4} * 1024 * 1024 * 1024;

// Archive downloads at once: each holds a connection, a spill file and the
// name lookup's pair of sockets (4 descriptors); a reserve of 32 is left for
// the standard streams, the cache, libcurl's own and the unpacking of a
// finished archive. The rest wait for a place. Never more than 64 (enough
// to fill any line to one host), and always at least 1.
inline constexpr std::size_t EXAMPLES_RESERVED_DESCRIPTORS = 32;
inline constexpr std::size_t EXAMPLES_DESCRIPTORS_PER_DOWNLOAD = 4;
inline constexpr std::size_t EXAMPLES_MAX_CONCURRENT = 64;
// The downloads at once that `descriptor_limit` open descriptors allow.
std::size_t example_download_slots(std::size_t descriptor_limit);

// Archives unpacked at once while they download, each on a thread of its
// own; one that begins while these are all taken is held (in memory, beyond
// a bound in a file without a name) and unpacked when its download is
// complete. Each holds up to 128 folders open and a few more descriptors
// (the stream's file, the staging's folders and lock), so the places are
// what the descriptors left by the downloads allow: at most 16, at least 1.
inline constexpr std::size_t EXAMPLES_MAX_UNPACKING = 16;
inline constexpr std::size_t EXAMPLES_DESCRIPTORS_PER_UNPACKING = 160;
// The unpackings at once that `descriptor_limit` open descriptors allow
// beside `download_slots` downloads.
std::size_t example_unpacking_slots(std::size_t descriptor_limit, std::size_t download_slots);

// What bounds one run of the example download.
struct ExampleDownloadBounds {
  // An archive that receives nothing for this long ends the run.
  long stall_seconds = EXAMPLES_STALL_SECONDS;
  // An archive larger than this ends the run (EXAMPLES_MAX_ARCHIVE_BYTES).
  std::size_t max_archive_bytes = EXAMPLES_MAX_ARCHIVE_BYTES;
  // Downloads at once (the others wait); 0: example_download_slots() of the
  // descriptors this process may open.
  std::size_t max_concurrent = 0;
  // Archives unpacked at once while they download; 0:
  // example_unpacking_slots() of the descriptors this process may open.
  std::size_t max_unpacking = 0;
  // Bytes of one archive held in memory until its unpacking takes them; the
  // rest waits in a file without a name in the download folder.
  std::size_t held_in_memory = std::size_t{4} << 20;
};

// ---- the operations of the command line ------------------------------------

// The example packages the account is entitled to, in catalogue order.
std::vector<std::string> get_entitled_examples_packages(http::Client& client);

// Downloads the examples of `module_names` (all entitled ones when absent or
// empty) into `download_dir` (see _normalize_download_dir), then names the
// requirements files they bring. Returns the "Package <name> not found!"
// errors of the names without examples.
std::vector<std::string> download_examples(
    const Context& context, const std::optional<std::filesystem::path>& download_dir = std::nullopt,
    const std::optional<std::vector<std::string>>& module_names = std::nullopt);

// ---- the catalogue ------------------------------------------------------

// The package list (GET "/packages?limit=99", first page only) as parsed
// from the JSON body; memoised on disk without expiry. An error status throws
// HTTPStatusError, a body that is not JSON ParseError; nothing is memoised then.
nlohmann::json get_packages(http::Client& client);
// The keys of get_packages() that end with "examples", in order.
std::vector<std::string> get_examples_packages(http::Client& client);

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
// The same, when such files can be nowhere but at `places` (below `folder`,
// "/" between names: what NameWatch noted for a folder unpacked anew): only
// the folders on their way are listed. The whole folder is walked when a
// place is not found as given.
std::vector<std::filesystem::path> requirements_files(const std::filesystem::path& folder,
                                                      const std::vector<std::string>& places);

// The download folder: `download_dir`, or the default examples folder (created
// when missing) when absent or empty. KeelboxException "Could not find
// download directory for examples!" when it does not exist.
std::filesystem::path _normalize_download_dir(
    const std::optional<std::filesystem::path>& download_dir = std::nullopt);

// Downloads and unpacks every name concurrently through `client` (at most
// `bounds.max_concurrent` at once, in order); per name, in order, the
// package folder, or nullopt when the request was refused (error status or
// too many redirects: a red message, no folder). Transport failures, damaged
// archives and refused members end the whole run with their error (an
// ExtractionError with the package name before it, "<name>: Damaged archive:
// ..."); so does
// an archive that sends no data for `bounds.stall_seconds` or more than
// `bounds.max_archive_bytes` ("<name>: GET <url> failed: the answer is
// larger than 4 GiB"). The progress bars measure their rates with the
// context's clock.
std::vector<std::optional<std::filesystem::path>> _download_examples(
    const Context& context, const std::vector<std::string>& package_names,
    const std::filesystem::path& download_dir, const ExampleDownloadBounds& bounds = {});

// Unpacks the gzip tar archive, in memory or in the file open as
// `archive_fd`, below `file_path` (safe extraction).
void _save_tarball(std::string_view content, const std::filesystem::path& file_path);
void _save_tarball(int archive_fd, const std::filesystem::path& file_path);

}  // namespace keelbox

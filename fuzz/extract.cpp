// Tar extraction under the filter rules. The input is a tar archive, which
// the harness gzips (so that mutations reach the members), or, when it starts
// with the gzip magic, the compressed archive as downloaded. Each input is
// unpacked into a fresh folder beside a sentinel folder; afterwards nothing
// outside the destination may have changed and everything inside must obey
// the rules. The folder is removed after each input. With KEELBOX_FUZZ_DEBUG
// set, the reason an archive was refused is printed (for replaying a finding).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "keelbox/archive/extract.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using keelbox::fuzz::broken;

constexpr std::string_view SENTINEL_TEXT = "outside the destination\n";

// Stored blocks: the archive as downloaded, with the least work per input.
std::string gzip(std::string_view raw) {
  z_stream z{};
  if (deflateInit2(&z, Z_NO_COMPRESSION, Z_DEFLATED, 9 + 16, 1, Z_DEFAULT_STRATEGY) != Z_OK) {
    broken("deflateInit2");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(raw.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) broken("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A folder on tmpfs when there is one: every input writes files.
fs::path scratch_root() {
  const char* const candidates[] = {"/dev/shm", std::getenv("TMPDIR"), "/tmp"};
  for (const char* candidate : candidates) {
    if (candidate && *candidate && ::access(candidate, W_OK | X_OK) == 0) return candidate;
  }
  return fs::temp_directory_path();
}

struct Scratch {
  fs::path root;
  Scratch() {
    std::string name = (scratch_root() / "keelbox-fuzz-XXXXXX").string();
    if (!::mkdtemp(name.data())) broken("mkdtemp");
    root = name;
    fs::create_directory(root / "outside");
    std::ofstream(root / "outside" / "keep") << SENTINEL_TEXT;
  }
  ~Scratch() {
    std::error_code ec;
    // Folders an archive left without owner access still have to go.
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(root, ec);
  }
};

bool inside(const fs::path& path, const fs::path& folder) {
  auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return f == folder.end();
}

void check_outside_untouched(const Scratch& s) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(s.root, ec)) {
    const std::string name = entry.path().filename().string();
    if (name != "dest" && name != "outside") broken("a file beside the destination", name);
  }
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(s.root / "outside", ec)) {
    ++count;
    if (entry.path().filename() != "keep")
      broken("a file in the sentinel folder", entry.path().string());
  }
  struct stat st {};
  if (count != 1 || ::lstat((s.root / "outside" / "keep").c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      static_cast<std::size_t>(st.st_size) != SENTINEL_TEXT.size()) {
    broken("the sentinel file was changed or linked");
  }
}

void check_destination(const fs::path& dest) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dest, ec))) return;
  const fs::path real_dest = fs::canonical(dest, ec);
  if (ec || real_dest != dest) broken("the destination is not a plain folder", dest.string());
  for (auto it = fs::recursive_directory_iterator(dest, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& path = it->path();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    const std::string shown = path.lexically_relative(dest).string();
    if (S_ISLNK(st.st_mode)) {
      const fs::path target = fs::read_symlink(path, ec);
      if (ec) continue;
      if (target.is_absolute()) broken("an absolute link target", shown + " -> " + target.string());
      std::error_code resolve_ec;
      const fs::path resolved = fs::weakly_canonical(path.parent_path() / target, resolve_ec);
      if (!resolve_ec && !inside(resolved, dest)) {
        broken("a link resolving outside", shown + " -> " + target.string());
      }
    } else if (S_ISREG(st.st_mode)) {
      if ((st.st_mode & 07777 & ~0755u) != 0) broken("a file mode beyond 0755", shown);
      if ((st.st_mode & 0600) != 0600) broken("a file without owner read and write", shown);
    } else if (S_ISDIR(st.st_mode)) {
      if ((st.st_mode & 07000) != 0) broken("a folder with special mode bits", shown);
    } else {
      broken("a special file", shown);
    }
  }
}

// zlib's own verdict on a gzip stream, every member's CRC-32 and length
// checked by zlib itself, up to the first member that is not followed by
// another. Unknown: damage of another kind, or more output than is worth
// inflating twice.
enum class Checks { Intact, Mismatch, Unknown };
Checks zlib_checks(std::string_view gz) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) broken("inflateInit2");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  z.avail_in = static_cast<uInt>(gz.size());
  static char out[1 << 16];
  std::uint64_t produced = 0;
  Checks verdict = Checks::Unknown;
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = sizeof out;
    const int r = inflate(&z, Z_NO_FLUSH);
    produced += sizeof out - z.avail_out;
    if (produced > (std::uint64_t{64} << 20)) break;
    if (r == Z_STREAM_END) {
      if (z.avail_in >= 2 && z.next_in[0] == 0x1f && z.next_in[1] == 0x8b) {
        if (inflateReset(&z) != Z_OK) broken("inflateReset");
        continue;
      }
      verdict = Checks::Intact;
      break;
    }
    if (r == Z_OK) continue;
    const std::string text = z.msg ? z.msg : "";
    if (text == "incorrect data check" || text == "incorrect length check")
      verdict = Checks::Mismatch;
    break;
  }
  inflateEnd(&z);
  return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = keelbox::fuzz::as_text(data, size);
  const bool compressed = input.size() >= 2 && input[0] == '\x1f' && input[1] == '\x8b';
  const std::string archive = compressed ? std::string(input) : gzip(input);
  Scratch scratch;
  const fs::path dest = scratch.root / "dest";
  try {
    keelbox::extract_tar_gz(archive, dest);
    // Unpacked: every member's trailer was read and found intact.
    if (compressed && zlib_checks(archive) == Checks::Mismatch) {
      broken("a gzip member whose check zlib refuses was accepted");
    }
  } catch (const keelbox::ExtractionError& e) {
    if (std::getenv("KEELBOX_FUZZ_DEBUG")) std::fprintf(stderr, "%s\n", e.what());
    // Refused or damaged: what was unpacked before must still obey the rules.
    const std::string_view text = e.what();
    const bool mismatch = text.find("of the content does not match") != std::string_view::npos;
    if (mismatch && zlib_checks(archive) != Checks::Mismatch) {
      broken("a gzip check mismatch that zlib does not find", std::string(text));
    }
  }
  check_outside_untouched(scratch);
  check_destination(dest);
  return 0;
}

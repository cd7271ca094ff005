#include "keelbox/archive/extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "keelbox/archive/archive_file.hpp"
#include "keelbox/archive/entry_text.hpp"
#include "keelbox/archive/member_names.hpp"
#include "keelbox/archive/placer.hpp"
#include "keelbox/archive/staging.hpp"
#include "keelbox/archive/stream.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/trace/trace.hpp"

namespace keelbox {

namespace archive_detail {

// Helpers of the placers (placer.hpp), shared with the portable code below.

// "a//b/./c/" -> {"a", "b", ".", "c"}: components between slashes (and
// backslashes on Windows), empty ones dropped.
std::vector<std::string> split(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !is_path_separator(path[end])) ++end;
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

Resolved resolve(const std::filesystem::path& base, const std::vector<std::string>& components,
                 bool follow_last) {
  std::filesystem::path current = base;
  std::deque<std::string> work(components.begin(), components.end());
  int links = 0;
  while (!work.empty()) {
    std::string part = std::move(work.front());
    work.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = current.parent_path();
      continue;
    }
    std::filesystem::path next = current / path_from_utf8(part);
    const bool follow = !work.empty() || follow_last;
    const NameLook there = look_at_name(next, follow);
    if (!there.error.empty()) return {{}, "its path cannot be checked (" + there.error + ")"};
    if (!there.link || !follow) {
      current = std::move(next);
      continue;
    }
    if (++links > MAX_LINKS) return {{}, "too many levels of symbolic links"};
    if (!there.restart.empty()) current = there.restart;
    std::vector<std::string> parts = split(there.target);
    work.insert(work.begin(), parts.begin(), parts.end());
  }
  return {current, {}};
}

// `parts[0..count)` joined with "/".
std::string join(const std::vector<std::string>& parts, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i) text += '/';
    text += parts[i];
  }
  return text;
}

// Whether `path` is `root` or lies below it (both absolute and normal).
bool inside(const std::filesystem::path& path, const std::filesystem::path& root) {
  std::filesystem::path rel = path.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

void cannot_text(const std::string& member, const std::string& what, const std::string& reason) {
  throw ExtractionError("Could not extract archive member '" + member + "': " + what + ": " +
                        reason);
}

}  // namespace archive_detail

namespace {

namespace fs = std::filesystem;
using archive_detail::archive_file_size;
using archive_detail::entry_hardlink;
using archive_detail::entry_pathname;
using archive_detail::entry_symlink;
using archive_detail::inside;
using archive_detail::join;
using archive_detail::Kind;
using archive_detail::Member;
using archive_detail::MemberData;
using archive_detail::non_folder_at;
using archive_detail::Placer;
using archive_detail::prepare_name_reading;
using archive_detail::Progress;
using archive_detail::resolve;
using archive_detail::Resolved;
using archive_detail::split;

struct ReadDeleter {
  void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using Reader = std::unique_ptr<archive, ReadDeleter>;

// A member judged unfit (by a rule or a limit): the members before it are
// put in place all the same.
class RefusedMember : public ExtractionError {
 public:
  using ExtractionError::ExtractionError;
};

[[noreturn]] void refuse(const std::string& member, const std::string& reason) {
  throw RefusedMember("Refused archive member '" + member + "': " + reason);
}

std::string archive_text(archive* a) {
  const char* text = archive_error_string(a);
  if (text && *text) return text;
  const int error = archive_errno(a);
  return error > 0 ? std::strerror(error) : "no reason given";
}

[[noreturn]] void damaged(const std::string& reason) {
  throw ExtractionError("Damaged archive: " + reason);
}

// Where the compressed archive is read from, a piece at a time: memory, an
// open file, or a stream that is still arriving.
class ArchiveInput {
 public:
  explicit ArchiveInput(std::string_view data) : data_(data), size_(data.size()) {}
  ArchiveInput(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  explicit ArchiveInput(ArchiveStream& stream) : stream_(&stream) {}

  // The archive's length (a stream's: waits for its end).
  std::uint64_t size() { return stream_ ? stream_->size() : size_; }
  // Whether size() is the final length without waiting.
  bool size_known() { return !stream_ || stream_->size_known(); }
  bool empty() { return stream_ ? stream_->empty() : size_ == 0; }
  // Nothing more is read; a stream's download must end whole (else
  // ExtractionError) before what was unpacked takes the old folder's place.
  void wait_for_end() {
    if (stream_) stream_->wait_for_end();
  }

  // Up to `most` further bytes, valid until the next call; empty at the end.
  // Bytes in memory are not copied.
  std::string_view next(std::size_t most) {
    if (stream_) return stream_->next(most);
    if (fd_ < 0) {
      const std::size_t n = std::min(most, data_.size() - static_cast<std::size_t>(offset_));
      const std::string_view bytes = data_.substr(static_cast<std::size_t>(offset_), n);
      offset_ += n;
      return bytes;
    }
    file_buffer_.resize(std::min<std::size_t>(most, 256 * 1024));
    const std::size_t n =
        archive_detail::read_archive_file(fd_, offset_, file_buffer_.data(), file_buffer_.size());
    offset_ += n;
    return {file_buffer_.data(), n};
  }

 private:
  std::string_view data_;
  int fd_ = -1;
  std::string file_buffer_;  // what next() last read from the file
  ArchiveStream* stream_ = nullptr;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
};

// The tar stream inside a gzip stream. Every gzip member's CRC-32 and length
// are checked as its trailer is reached; libarchive's own gzip filter does
// not report a mismatch, so libarchive is given the inflated tar stream.
// zlib checks a member's header; once that is read, the member's content is
// checked here instead, with libdeflate's CRC-32, which uses the processor's
// carry-less multiplication and takes a tenth of the time of zlib's (on a
// large archive zlib's took as long as decrypting it). Members of a gzip
// stream that follow one another are one stream (as gzip reads them); zero
// bytes after the last one are padding; anything else after it is damage.
// The compressed input is read where it lies, the tar stream is inflated in
// pieces of 256 KiB.
class GzipStream {
 public:
  explicit GzipStream(ArchiveInput& input) : input_(input) {
    if (input_.empty()) damaged("the archive is empty");
    if (inflateInit2(&z_, 15 + 16) != Z_OK)
      throw ExtractionError("Cannot inflate the archive: out of memory");
    start_member();
  }
  ~GzipStream() { inflateEnd(&z_); }
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // The next piece of the tar stream; empty at its verified end.
  std::string_view read() {
    if (ended_) return {};
    z_.next_out = reinterpret_cast<Bytef*>(buffer_.get());
    z_.avail_out = PIECE_BYTES;
    while (z_.avail_out == PIECE_BYTES && !ended_) {
      refill(1);
      const Bytef* in = z_.next_in;
      const Bytef* out = z_.next_out;
      const int r = inflate(&z_, Z_NO_FLUSH);
      note_read(in, static_cast<std::size_t>(z_.next_in - in));
      check_content(out, static_cast<std::size_t>(z_.next_out - out), r == Z_STREAM_END);
      if (r == Z_STREAM_END) {
        if (checking_) check_trailer();
        next_member();
      } else if (r == Z_BUF_ERROR) {  // no progress: the input is used up
        damaged("the compressed data end early (the archive is cut off)");
      } else if (r != Z_OK) {
        damaged(reason(r));
      }
    }
    return {buffer_.get(), PIECE_BYTES - z_.avail_out};
  }

 private:
  // zlib reads the next member's header (and checks its CRC-16, if any).
  void start_member() {
    header_ = gz_header{};
    checking_ = false;
    if (inflateValidate(&z_, 1) != Z_OK || inflateGetHeader(&z_, &header_) != Z_OK)
      damaged("the next compressed part cannot be read");
  }

  // Takes over the check of a member's content from zlib once its header is
  // read: zlib's CRC-32 of what it inflated since is where this one goes on.
  // A member that ends in the call that read its header was checked by zlib.
  void check_content(const Bytef* out, std::size_t produced, bool member_ended) {
    if (checking_) {
      crc_ = libdeflate_crc32(crc_, out, produced);
    } else if (header_.done == 1 && !member_ended) {
      crc_ = static_cast<std::uint32_t>(z_.adler);
      if (inflateValidate(&z_, 0) != Z_OK) damaged("the compressed data cannot be checked");
      checking_ = true;
    }
  }

  // The member's trailer (its last eight bytes read): the CRC-32 and the
  // length modulo 2^32 of its content, little-endian.
  void check_trailer() {
    const auto le32 = [this](int at) {
      return static_cast<std::uint32_t>(tail_[at]) |
             static_cast<std::uint32_t>(tail_[at + 1]) << 8 |
             static_cast<std::uint32_t>(tail_[at + 2]) << 16 |
             static_cast<std::uint32_t>(tail_[at + 3]) << 24;
    };
    if (le32(0) != crc_) damaged("the CRC-32 of the content does not match (incorrect data check)");
    if (le32(4) != static_cast<std::uint32_t>(z_.total_out & 0xffffffffU))
      damaged("the length of the content does not match (incorrect length check)");
  }

  // Keeps the last eight bytes zlib has read, which hold a member's trailer
  // when it reports the member's end.
  void note_read(const Bytef* from, std::size_t n) {
    constexpr std::size_t keep = sizeof tail_;
    if (n >= keep) {
      std::memcpy(tail_, from + n - keep, keep);
    } else if (n > 0) {
      std::memmove(tail_, tail_ + n, keep - n);
      std::memcpy(tail_ + keep - n, from, n);
    }
  }

  // Makes at least `wanted` bytes of input pending for zlib (fewer at the
  // end): the input's own bytes where they are, copied only to join what is
  // left of them with what follows.
  void refill(std::size_t wanted) {
    if (z_.avail_in >= wanted) return;
    std::size_t pending = z_.avail_in;
    if (pending == 0) {
      const std::string_view bytes = input_.next(INPUT_AT_ONCE);
      read_ += bytes.size();
      // (zlib only reads through next_in)
      z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
      z_.avail_in = static_cast<uInt>(bytes.size());
      if (bytes.size() >= wanted || bytes.empty()) return;
      pending = bytes.size();
    }
    std::memmove(joined_, z_.next_in, pending);
    while (pending < wanted) {
      const std::string_view bytes = input_.next(sizeof joined_ - pending);
      if (bytes.empty()) break;
      std::memcpy(joined_ + pending, bytes.data(), bytes.size());
      pending += bytes.size();
      read_ += bytes.size();
    }
    z_.next_in = joined_;
    z_.avail_in = static_cast<uInt>(pending);
  }

  // A gzip member ended with a matching trailer: what follows decides.
  void next_member() {
    refill(2);
    const std::uint64_t rest = input_.size() - (read_ - z_.avail_in);
    if (z_.avail_in == 0) {
      ended_ = true;
    } else if (z_.avail_in >= 2 && z_.next_in[0] == 0x1f && z_.next_in[1] == 0x8b) {
      if (inflateReset(&z_) != Z_OK) damaged("the next compressed part cannot be read");
      start_member();
    } else if (rest_is_zero()) {
      ended_ = true;
    } else {
      damaged("data after the end of the compressed stream (" + std::to_string(rest) + " bytes)");
    }
  }

  // Whether all the input left is zero bytes (it is used up).
  bool rest_is_zero() {
    for (;;) {
      const Bytef* begin = z_.next_in;
      const Bytef* end = begin + z_.avail_in;
      if (std::find_if(begin, end, [](Bytef b) { return b != 0; }) != end) return false;
      z_.avail_in = 0;
      refill(1);
      if (z_.avail_in == 0) return true;
    }
  }

  std::string reason(int code) const {
    const std::string text = z_.msg ? z_.msg : "";
    if (text == "incorrect data check")
      return "the CRC-32 of the content does not match (" + text + ")";
    if (text == "incorrect length check")
      return "the length of the content does not match (" + text + ")";
    if (text == "incorrect header check" || text == "unknown compression method") {
      return "not gzip-compressed (" + text + ")";
    }
    if (!text.empty()) return "unreadable compressed data (" + text + ")";
    if (code == Z_MEM_ERROR) return "out of memory while inflating";
    return "unreadable compressed data (zlib error " + std::to_string(code) + ")";
  }

  ArchiveInput& input_;
  std::uint64_t read_ = 0;  // bytes of the input read so far
  z_stream z_{};
  gz_header header_{};     // of the member being read: done once it is
  bool checking_ = false;  // this member's content is checked here, not by zlib
  std::uint32_t crc_ = 0;  // of its content so far, while checking_
  Bytef tail_[8] = {};     // the last bytes zlib read
  bool ended_ = false;
  static constexpr std::size_t INPUT_AT_ONCE = std::size_t{1} << 30;  // at once, for zlib's counts
  Bytef joined_[16];  // the input's last bytes and the next ones (refill)
  // A larger piece makes zlib copy less of it into its window of 32 KiB.
  static constexpr std::size_t PIECE_BYTES = 256 * 1024;
  std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(PIECE_BYTES);
};

// libarchive's view of the tar stream. An exception cannot pass through
// libarchive's C code: it is kept and thrown again once libarchive returns.
// The tar stream inflated ahead of libarchive on a second thread, a few
// pieces at most, so that inflating and checking the gzip stream overlaps
// with writing the members (GNU tar has gzip inflate in a process of its
// own). Each piece is a copy of what GzipStream::read() returned; a failure
// comes in its place, after the pieces before it; the end is an empty piece.
// What is inflated ahead but never read (the extraction ended early) is
// dropped: the thread stops at its next piece.
//
// An archive still arriving is inflated here, as it is read, until it is
// whole: its download is a thread of work beside this one already, and a
// third would only add copies and hand-overs on a machine of two cores.
class ReadAhead {
 public:
  ReadAhead(GzipStream& gzip, ArchiveInput& input) : gzip_(gzip), input_(input) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    room_.notify_all();
    thread_.join();
  }

  // As GzipStream::read(): valid until the next call.
  std::string_view read() {
    if (!thread_.joinable()) {
      if (tried_ || !input_.size_known()) return gzip_.read();
      tried_ = true;
      try {
        thread_ = thread_without_interrupts([this] { work(); });
      } catch (const std::system_error&) {
        return gzip_.read();  // no thread to be had: inflated here, as it is read
      }
    }
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !pieces_.empty() || ended_; });
    if (pieces_.empty()) {
      if (failure_) std::rethrow_exception(failure_);
      return {};
    }
    current_ = std::move(pieces_.front());
    pieces_.pop_front();
    lock.unlock();
    room_.notify_one();
    return current_;
  }

 private:
  static constexpr std::size_t AHEAD = 2;  // pieces of up to 256 KiB

  void work() {
    for (;;) {
      std::string piece;
      std::exception_ptr failure;
      try {
        piece = std::string(gzip_.read());
      } catch (...) {
        failure = std::current_exception();
      }
      std::unique_lock lock(mutex_);
      if (failure || piece.empty()) {
        failure_ = failure;
        ended_ = true;
        ready_.notify_one();
        return;
      }
      pieces_.push_back(std::move(piece));
      ready_.notify_one();
      room_.wait(lock, [this] { return stop_ || pieces_.size() < AHEAD; });
      if (stop_) return;
    }
  }

  GzipStream& gzip_;
  ArchiveInput& input_;
  bool tried_ = false;  // to start the thread
  std::mutex mutex_;
  std::condition_variable ready_;  // a piece, or the end
  std::condition_variable room_;   // room for a piece, or the stop
  std::deque<std::string> pieces_;
  std::string current_;  // the piece last read
  bool ended_ = false;
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // started once all of the above is
};

struct TarSource {
  explicit TarSource(ArchiveInput& input) : gzip(input), ahead(gzip, input) {}
  GzipStream gzip;
  ReadAhead ahead;  // of `gzip`, ended before it
  std::exception_ptr error;
  std::uint64_t handed = 0;  // bytes of the tar stream given to libarchive

  static la_ssize_t read(archive* a, void* self, const void** buffer) {
    auto* source = static_cast<TarSource*>(self);
    try {
      const std::string_view piece = source->ahead.read();
      source->handed += piece.size();
      *buffer = piece.data();
      return static_cast<la_ssize_t>(piece.size());
    } catch (...) {
      source->error = std::current_exception();
      archive_set_error(a, EIO, "damaged compressed data");
      return ARCHIVE_FATAL;
    }
  }

  void rethrow() const {
    if (error) std::rethrow_exception(error);
  }
};

}  // namespace

namespace archive_detail {

void MemberData::write(const Member& m, const Output& out) {
  std::uint64_t at = 0;
  for (;;) {
    const void* buffer = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(reader_, &buffer, &size, &offset);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      if (source_error_) std::rethrow_exception(source_error_);
      damaged(archive_text(reader_));
    }
    stop_point();
    if (offset < 0 || static_cast<std::uint64_t>(offset) > m.bytes ||
        size > m.bytes - static_cast<std::uint64_t>(offset)) {
      damaged("the data of '" + m.name + "' go past its size");
    }
    if (static_cast<std::uint64_t>(offset) != at) {
      if (const std::string error = out.seek(static_cast<std::uint64_t>(offset)); !error.empty()) {
        cannot_text(m.name, "Seek failed", error);
      }
    }
    if (const std::string error = out.write(static_cast<const char*>(buffer), size);
        !error.empty()) {
      cannot_text(m.name, "Write failed", error);
    }
    at = static_cast<std::uint64_t>(offset) + size;
  }
  // A hole at the end of a sparse member.
  if (at < m.bytes) {
    if (const std::string error = out.extend(m.bytes); !error.empty())
      cannot_text(m.name, "Write failed", error);
  }
}

void MemberData::skip() {
  if (archive_read_data_skip(reader_) < ARCHIVE_WARN) {
    if (source_error_) std::rethrow_exception(source_error_);
    damaged(archive_text(reader_));
  }
}

}  // namespace archive_detail

struct NameWatch::State {
  std::string name;
  mutable std::mutex mutex;
  // The last extraction into each destination: its places, or nothing.
  std::vector<std::pair<std::filesystem::path, std::optional<std::vector<std::string>>>> folders;
};

namespace {

// The watches alive (NameWatch).
std::mutex& watches_mutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::shared_ptr<NameWatch::State>>& watches() {
  static std::vector<std::shared_ptr<NameWatch::State>> all;
  return all;
}

// What one extraction notes for the watches alive when it starts. Notes of
// an earlier extraction into the same destination are dropped at once: they
// come back only when this one puts its folder in place.
class WatchNotes {
 public:
  explicit WatchNotes(const fs::path& destination) : destination_(destination) {
    {
      const std::lock_guard lock(watches_mutex());
      watches_ = watches();
    }
    places_.resize(watches_.size());
    for (const auto& watch : watches_) set(*watch, std::nullopt);
  }

  // A member put at the physical place `relative` below the root: noted
  // when its last name is one a watch looks for.
  void note(std::string_view relative) {
    if (watches_.empty()) return;
    std::vector<std::string> names = split(relative);
    if (names.empty()) return;
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      if (names.back() == watches_[i]->name) places_[i].push_back(join(names, names.size()));
    }
  }
  // The same for a member at its own plain name.
  void note(const std::vector<std::string>& parts) {
    if (watches_.empty() || parts.empty()) return;
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      if (parts.back() == watches_[i]->name) places_[i].push_back(join(parts, parts.size()));
    }
  }

  // The extraction's folder is in place (or nothing was written): what it
  // noted is all there is when it holds only what was unpacked or seen kept.
  void done(bool only_unpacked) {
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      set(*watches_[i], only_unpacked ? std::optional(std::move(places_[i])) : std::nullopt);
    }
  }

 private:
  void set(NameWatch::State& watch, std::optional<std::vector<std::string>> places) const {
    const std::lock_guard lock(watch.mutex);
    for (auto& [folder, noted] : watch.folders) {
      if (folder == destination_) {
        noted = std::move(places);
        return;
      }
    }
    watch.folders.emplace_back(destination_, std::move(places));
  }

  fs::path destination_;
  std::vector<std::shared_ptr<NameWatch::State>> watches_;
  std::vector<std::vector<std::string>> places_;  // per watch
};

// Paths up to this long can be looked up on every system whose placer keeps
// count of the links it places (PATH_MAX is 4096 on Linux, 1024 on the BSDs).
constexpr std::size_t LOOKUP_PATH_LIMIT = 1024;

class Extraction {
 public:
  // Unpacks into `root` (absolute, free of links); `destination` names it in messages.
  // `previous`: the folder laid under `root` (placer.hpp), or empty.
  // `provisional`: the limits follow from a size not known yet (an archive
  // still arriving that announced none); they are set again from the whole
  // size before a limit refuses anything.
  Extraction(const fs::path& destination, const fs::path& root, const fs::path& previous,
             const ExtractionLimits& limits, WatchNotes& notes, bool provisional = false)
      : limits_(limits),
        provisional_(provisional),
        notes_(notes),
        destination_(destination),
        root_(root),
        placer_(root_, previous, progress_) {}

  // Whether anything was written (the folder itself counts).
  bool wrote_any() const { return progress_.wrote; }
  // The members met and the bytes of file data written so far (for the trace).
  std::uint64_t members() const { return members_; }
  std::uint64_t bytes() const { return progress_.written; }

  void run(ArchiveInput& input) {
    // Exactly one layer of gzip, inflated here, around a plain tar stream: no
    // filter of libarchive's own is enabled, so a plain or twice compressed
    // tar is not read.
    TarSource source(input);
    source_ = &source;
    input_ = &input;
    Reader reader(archive_read_new());
    if (!reader) throw ExtractionError("Cannot open the archive: out of memory");
    archive_read_support_format_tar(reader.get());
    prepare_name_reading(reader.get());
    if (archive_read_open(reader.get(), &source, nullptr, &TarSource::read, nullptr) !=
        ARCHIVE_OK) {
      source.rethrow();
      damaged(archive_text(reader.get()));
    }
    for (;;) {
      archive_entry* entry = nullptr;
      int r = archive_read_next_header(reader.get(), &entry);
      if (r == ARCHIVE_EOF) break;
      if (r < ARCHIVE_WARN) {
        source.rethrow();
        damaged(archive_text(reader.get()));
      }
      extract_member(reader.get(), entry);
    }
    // The rest of the stream (tar padding) up to the gzip trailer, which is
    // checked only there; no more of it is inflated than the limit on bytes.
    // It begins in what libarchive was given but did not read.
    const la_int64_t read_by_tar = archive_filter_bytes(reader.get(), 0);
    std::uint64_t after_end =
        read_by_tar < 0
            ? 0
            : source.handed - std::min(source.handed, static_cast<std::uint64_t>(read_by_tar));
    for (std::string_view piece;;) {
      if (after_end > max_bytes(after_end)) {
        damaged("more data after the end of the tar archive than the limit of " +
                std::to_string(limits_.max_bytes) + " bytes unpacked allows");
      }
      if ((piece = source.ahead.read()).empty()) break;
      after_end += piece.size();
    }
  }

  // Folders get the times of their members last: writing into a folder
  // changes its time. A folder replaced since is left as it is.
  void finish() { placer_.finish(); }

 private:
  void extract_member(archive* reader, archive_entry* entry) {
    stop_point();  // a run ending meanwhile stops here (interrupt.hpp)
    placer_.next_member();
    Member m = prepare(entry);
    MemberData data(reader, entry, source_->error);
    // The common case: a name of plain components, no link on its way, short
    // enough for the system to look up (beyond that a link on it could not
    // be judged). Anything else is judged by resolving the name as the system
    // would, component by component.
    const auto judge = [this](Member& member, std::string_view folder) {
      try {
        check_depth(member, member.parts.size());
        // Only a symbolic link's target is resolved from its folder.
        const bool from_folder = member.kind == Kind::Symlink && !folder.empty();
        check_link_target(member, from_folder ? root_ / path_from_utf8(folder) : root_);
        check_size(member);
      } catch (const RefusedMember&) {
        return false;  // refused all the same, with the reason that comes first
      }
      return true;
    };
    if (placer_.place_directly(m, data, judge)) {
      notes_.note(m.parts);
      return;
    }
    place_resolved(data, m);
  }

  // The member's name, kind and mode, and the checks that need no disk.
  Member prepare(archive_entry* entry) {
    std::optional<std::string> raw_name = entry_pathname(entry);
    if (!raw_name) refuse("?", "the member has no readable name");
    Member m;
    m.name = std::move(*raw_name);
    // Leading separators go; on POSIX systems nothing absolute is left after
    // that, on Windows a drive may be.
    MemberName name = split_member_name(m.name, runs_on_windows());
    if (!name.refusal.empty()) refuse(m.name, name.refusal);
    for (const std::string& part : name.parts) {
      if (Placer::name_length(part) > Placer::NAME_LIMIT) {
        refuse(m.name, "a name in its path is " + std::to_string(Placer::name_length(part)) +
                           Placer::NAME_UNIT + " long, more than the " +
                           std::to_string(Placer::NAME_LIMIT) + " the system allows: '" +
                           part.substr(0, 40) + "...'");
      }
    }
    m.parts = std::move(name.parts);

    if (++members_ > limits_.max_members) {
      refuse(m.name, "the archive has more members than the limit of " +
                         std::to_string(limits_.max_members));
    }

    // The kind first: special files are refused whatever their name.
    std::optional<std::string> hardlink = entry_hardlink(entry);
    if (hardlink) {
      m.kind = Kind::Hardlink;
      m.stored_link = std::move(*hardlink);
    } else {
      switch (archive_entry_filetype(entry)) {
        case AE_IFREG: m.kind = Kind::File; break;
        case AE_IFDIR: m.kind = Kind::Directory; break;
        case AE_IFLNK: m.kind = Kind::Symlink; break;
        case AE_IFCHR:
        case AE_IFBLK: refuse(m.name, "device files are not allowed");
        case AE_IFIFO: refuse(m.name, "pipes are not allowed");
        case AE_IFSOCK: refuse(m.name, "sockets are not allowed");
        default: refuse(m.name, "special files are not allowed");
      }
    }
    if (m.kind == Kind::Symlink) {
      std::optional<std::string> target = entry_symlink(entry);
      m.readable_link = target.has_value();
      if (target) m.stored_link = std::move(*target);
    }
    if (m.kind == Kind::File) {
      // The full size, holes of a sparse member included.
      const la_int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
      m.bytes = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }
    m.mode = Placer::file_mode(archive_entry_perm(entry));
    return m;
  }

  // The member where the system would put it, every link on disk followed:
  // both the place itself (a link there is replaced) and that place with a
  // link at it followed must stay inside.
  void place_resolved(MemberData& data, Member& m) {
    const Resolved followed_at = resolve(root_, m.parts, true);
    const Resolved location_at = resolve(root_, m.parts, false);
    if (!followed_at.error.empty()) refuse(m.name, followed_at.error);
    if (!location_at.error.empty()) refuse(m.name, location_at.error);
    const fs::path& location = location_at.path;
    if (!inside(followed_at.path, root_) || !inside(location, root_)) {
      refuse(m.name, "its path leads outside " + path_to_utf8(destination_));
    }
    if (location == root_) {
      if (m.kind == Kind::Directory) {
        progress_.wrote = true;  // the folder itself: it exists from now on, nothing else to do
        data.skip();
        return;
      }
      refuse(m.name, "it would replace the destination folder itself");
    }

    // A file (or anything but a folder) where a folder of its path must go.
    for (fs::path up = location.parent_path(); up != root_ && inside(up, root_);
         up = up.parent_path()) {
      if (non_folder_at(up)) {
        // Named with "/" as the archive names it, also on Windows.
        const std::vector<std::string> names = split(path_to_utf8(up.lexically_relative(root_)));
        throw RefusedMember("Could not extract archive member '" + m.name + "': '" +
                            join(names, names.size()) + "' is a file where a folder must go");
      }
    }
    const std::string relative = path_to_utf8(location.lexically_relative(root_));
    check_depth(m, split(relative).size());
    check_link_target(m, location.parent_path());
    check_size(m);

    notes_.note(relative);
    placer_.place_resolved(m, data, relative);
  }

  // What one run writes, the next must be able to keep: the previous
  // contents are copied folder by folder to at most MAX_KEPT_DEPTH deep
  // (staging.hpp), so no member may put a folder deeper than that (a file
  // may lie in the deepest one). `components` counts the names of the
  // member's physical place below the root.
  static void check_depth(const Member& m, std::size_t components) {
    const std::size_t folders = m.kind == Kind::Directory ? components : components - 1;
    if (folders > static_cast<std::size_t>(archive_detail::MAX_KEPT_DEPTH)) {
      refuse(m.name, "folders nested more than " + std::to_string(archive_detail::MAX_KEPT_DEPTH) +
                         " deep");
    }
  }

  // Link targets must stay inside. A symbolic link's target is judged twice,
  // each as the system resolves it from the link's folder `from` (links on
  // disk followed before a ".." applies): the text as stored in the archive,
  // and the normalised text that is written. "l/../x" with l a link to "."
  // normalises to "x", yet leads out of the folder. A hard link's target is
  // resolved from the root and replaced by the place it names, where a file
  // this archive wrote must stand.
  void check_link_target(Member& m, const fs::path& from) {
    if (m.kind == Kind::Symlink) {
      if (!m.readable_link) refuse(m.name, "the link has no readable target");
      const std::string& raw_target = m.stored_link;
      if (!raw_target.empty() && raw_target.front() == '/') {
        refuse(m.name, "absolute link target " + raw_target);
      }
      if (runs_on_windows()) {
        const MemberName checked = split_link_target(raw_target, true);
        if (!checked.refusal.empty()) refuse(m.name, checked.refusal + " " + raw_target);
      }
      const std::string normal = normalize_link_target(raw_target);
      for (const std::string* text : {&normal, &raw_target}) {
        if (resolves_beneath(from, *text)) continue;
        const Resolved resolved = resolve(from, split(*text), true);
        if (!resolved.error.empty())
          refuse(m.name, "link target " + raw_target + ": " + resolved.error);
        if (!inside(resolved.path, root_)) {
          refuse(m.name,
                 "link target " + raw_target + " leads outside " + path_to_utf8(destination_));
        }
      }
      m.link_text = normal;
    } else if (m.kind == Kind::Hardlink) {
      const std::string& target = m.stored_link;
      if (!target.empty() && target.front() == '/')
        refuse(m.name, "absolute link target " + target);
      if (runs_on_windows()) {
        const MemberName checked = split_link_target(target, true);
        if (!checked.refusal.empty()) refuse(m.name, checked.refusal + " " + target);
      }
      std::vector<std::string> beneath;
      if (resolves_beneath(root_, target, &beneath)) {
        m.link_text = join(beneath, beneath.size());
      } else {
        const Resolved resolved = resolve(root_, split(target), true);
        if (!resolved.error.empty())
          refuse(m.name, "link target " + target + ": " + resolved.error);
        if (!inside(resolved.path, root_) || resolved.path == root_) {
          refuse(m.name, "link target " + target + " leads outside " + path_to_utf8(destination_));
        }
        m.link_text = path_to_utf8(resolved.path.lexically_relative(root_));
      }
      // A hard link shares its target's inode, and the member's mode is given
      // to that inode. The previous contents are kept as hard links to the
      // user's files (staging.hpp), which may in turn be hard links to files
      // outside: such a target is refused rather than linked without its
      // mode, so that a hard link only ever names a file this archive wrote
      // before it. A target that is not there is refused too (not left to
      // the system as a write error): a link on its way may have been
      // re-pointed by an earlier member, and the member is judged like any
      // other whose target is unfit.
      switch (placer_.hardlink_target(m.link_text)) {
        case Placer::Found::WrittenFile: break;
        case Placer::Found::Nothing: refuse(m.name, "link target " + target + " does not exist");
        case Placer::Found::Other:
          refuse(m.name, "link target " + target + " is not a file unpacked from this archive");
      }
    }
  }

  // Whether `target`, resolved from the folder `from` (the root or below
  // it), is certain to stay below the root without a look at the disk:
  // resolve() reads names as they stand except at links, so a path that
  // meets no link this extraction placed, never climbs above the root and
  // whose names can all be looked up resolves to what it reads. Its
  // components below the root go to `physical`. False when the answer needs
  // the disk (or resolve()'s own verdict and reasons).
  bool resolves_beneath(const fs::path& from, std::string_view target,
                        std::vector<std::string>* physical = nullptr) const {
    if (!progress_.links_tracked) return false;
    if (root_text_.empty()) root_text_ = path_to_utf8(root_);
    const std::string& base = root_text_;
    const std::string start = path_to_utf8(from);
    if (start.compare(0, base.size(), base) != 0) return false;
    if (start.size() > base.size() && start[base.size()] != '/') return false;
    std::vector<std::string> parts = start.size() > base.size()
                                         ? split(std::string_view(start).substr(base.size() + 1))
                                         : std::vector<std::string>();
    std::string path = join(parts, parts.size());
    for (std::string& part : split(target)) {
      if (part == ".") continue;
      if (part == "..") {
        if (parts.empty()) return false;  // above the root: resolve() says where
        parts.pop_back();
        path = join(parts, parts.size());
        continue;
      }
      if (Placer::name_length(part) > Placer::NAME_LIMIT) return false;
      if (!path.empty()) path += '/';
      path += part;
      parts.push_back(std::move(part));
      // The path the system would be asked about, with room to spare.
      if (base.size() + 1 + path.size() + 2 >= LOOKUP_PATH_LIMIT) return false;
      if (progress_.links.count(path) != 0) return false;
    }
    if (parts.empty()) return false;  // the root itself
    if (physical) *physical = std::move(parts);
    return true;
  }

  // The limit on bytes written, for a check that needs `needed` of them.
  std::uint64_t max_bytes(std::uint64_t needed) {
    if (needed > limits_.max_bytes && provisional_ && input_ && !input_->size_known()) {
      const std::uint64_t size = input_->size();  // waits for the rest
      const std::size_t counted = size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(size);
      limits_.max_bytes = std::max(limits_.max_bytes, default_extraction_limits(counted).max_bytes);
      provisional_ = false;
    }
    return limits_.max_bytes;
  }

  void check_size(const Member& m) {
    const std::uint64_t needed =
        m.bytes > UINT64_MAX - progress_.written ? UINT64_MAX : progress_.written + m.bytes;
    if (m.kind == Kind::File && m.bytes > max_bytes(needed) - progress_.written) {
      refuse(m.name, "it would unpack the archive to more than the limit of " +
                         std::to_string(limits_.max_bytes) + " bytes");
    }
  }

  ExtractionLimits limits_;
  bool provisional_ = false;
  WatchNotes& notes_;
  ArchiveInput* input_ = nullptr;  // during run()
  Progress progress_;
  std::uint64_t members_ = 0;
  TarSource* source_ = nullptr;    // during run()
  fs::path destination_;           // as given, for messages
  fs::path root_;                  // absolute, links resolved
  mutable std::string root_text_;  // the root as text, once links are resolved by text
  Placer placer_;
};

}  // namespace

NameWatch::NameWatch(std::string name) : state_(std::make_shared<State>()) {
  state_->name = std::move(name);
  const std::lock_guard lock(watches_mutex());
  watches().push_back(state_);
}

NameWatch::~NameWatch() {
  const std::lock_guard lock(watches_mutex());
  auto& all = watches();
  all.erase(std::remove(all.begin(), all.end(), state_), all.end());
}

std::optional<std::vector<std::string>> NameWatch::places(
    const std::filesystem::path& destination) const {
  const std::lock_guard lock(state_->mutex);
  for (const auto& [folder, noted] : state_->folders) {
    if (folder == destination) return noted;
  }
  return std::nullopt;
}

std::string normalize_link_target(std::string_view target) {
  std::vector<std::string> out;
  for (std::string& part : split(target)) {
    if (part == ".") continue;
    if (part == ".." && !out.empty() && out.back() != "..") {
      out.pop_back();
      continue;
    }
    out.push_back(std::move(part));
  }
  if (out.empty()) return ".";
  std::string text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i) text += '/';
    text += out[i];
  }
  return text;
}

ExtractionLimits default_extraction_limits(std::size_t archive_size) {
  constexpr std::uint64_t floor = std::uint64_t{4} << 30;
  const std::uint64_t size = archive_size;
  const std::uint64_t scaled = size > UINT64_MAX / 20 ? UINT64_MAX : size * 20;
  return {std::max(scaled, floor), 1'000'000};
}

namespace {

// The extraction's line on the trace.
void trace_extraction(const std::filesystem::path& destination, std::uint64_t members,
                      std::uint64_t bytes, std::chrono::steady_clock::time_point started,
                      const std::string& ending) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  trace::trace(trace::Level::info, "extract",
               path_to_utf8(destination) + ": " + std::to_string(members) + " members, " +
                   std::to_string(bytes) + " bytes, " + std::to_string(ms) + " ms" + ending);
}

void extract(ArchiveInput& input, const std::filesystem::path& destination,
             const ExtractionLimits& limits, bool provisional = false) {
  const auto started = std::chrono::steady_clock::now();
  WatchNotes notes(destination);
  archive_detail::Staging staging(destination);
  bool wrote = false;
  bool kept_told = false;  // every entry kept from the previous folder noted
  std::exception_ptr refused;
  {
    Extraction extraction(destination, staging.path(), staging.previous(), limits, notes,
                          provisional);
    try {
      extraction.run(input);
    } catch (const RefusedMember& e) {
      refused = std::current_exception();
      if (trace::enabled(trace::Level::info)) {
        trace_extraction(destination, extraction.members(), extraction.bytes(), started,
                         ", ended by: " + std::string(e.what()));
      }
    } catch (const std::exception& e) {
      if (trace::enabled(trace::Level::info)) {
        trace_extraction(destination, extraction.members(), extraction.bytes(), started,
                         ", failed: " + std::string(e.what()));
      }
      throw;
    }
    if (!refused && trace::enabled(trace::Level::info)) {
      trace_extraction(destination, extraction.members(), extraction.bytes(), started, "");
    }
    wrote = extraction.wrote_any();
    if (wrote) {
      // What is kept is noted as what was unpacked is.
      kept_told = staging.keep_previous([&notes](std::string_view place) { notes.note(place); });
      extraction.finish();
    }
  }
  // A refused member keeps the members before it, in place of the old folder
  // like a complete archive; any other failure leaves the old folder as it
  // was, a download that breaks off after a refused member too.
  if (wrote) {
    input.wait_for_end();
    staging.install();
  }
  notes.done(!staging.replaces_folder() || kept_told);
  if (refused) std::rethrow_exception(refused);
}

}  // namespace

void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination,
                    const ExtractionLimits& limits) {
  ArchiveInput input(archive);
  extract(input, destination, limits);
}

void extract_tar_gz(std::string_view archive, const std::filesystem::path& destination) {
  extract_tar_gz(archive, destination, default_extraction_limits(archive.size()));
}

void extract_tar_gz(int archive_fd, const std::filesystem::path& destination,
                    const ExtractionLimits& limits) {
  ArchiveInput input(archive_fd, archive_file_size(archive_fd));
  extract(input, destination, limits);
}

void extract_tar_gz(int archive_fd, const std::filesystem::path& destination) {
  const std::uint64_t size = archive_file_size(archive_fd);
  ArchiveInput input(archive_fd, size);
  const std::size_t counted = size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(size);
  extract(input, destination, default_extraction_limits(counted));
}

void extract_tar_gz(ArchiveStream& stream, const std::filesystem::path& destination) {
  ArchiveInput input(stream);
  const std::uint64_t announced = stream.announced();
  const std::size_t counted = announced > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(announced);
  extract(input, destination, default_extraction_limits(counted), announced == 0);
}

}  // namespace keelbox

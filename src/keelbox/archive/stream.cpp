#include "keelbox/archive/stream.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "keelbox/archive/archive_file.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/process/interrupt.hpp"

namespace keelbox {

namespace {
// Pieces held in memory grow to this size before the next one starts.
constexpr std::size_t PIECE_BYTES = 256 * 1024;
// A waiting reader is woken when this much is held (or the stream ends), so
// that it does not wake for every small piece that arrives.
constexpr std::uint64_t WAKE_BYTES = 64 * 1024;
// Bytes of the file read back at a time.
constexpr std::size_t FILE_READ_BYTES = 256 * 1024;
// Memory of pieces read kept for the writer's next ones.
constexpr std::size_t SPARE_PIECES = 2;
}  // namespace

ArchiveStream::ArchiveStream(std::function<FileDescriptor()> open_overflow, std::uint64_t announced,
                             std::size_t memory_bound)
    : open_overflow_(std::move(open_overflow)),
      announced_(announced),
      memory_bound_(memory_bound) {}

void ArchiveStream::write(std::string_view data) {
  if (data.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_ || aborted_ || closed_) return;
  if (in_memory_ + data.size() <= memory_bound_) {
    if (pieces_.empty() || pieces_.back().in_file() ||
        pieces_.back().data.size() + data.size() > PIECE_BYTES) {
      pieces_.emplace_back();
      if (!spare_.empty()) {
        pieces_.back().data = std::move(spare_.back());
        spare_.pop_back();
      }
      pieces_.back().data.reserve(std::max(PIECE_BYTES, data.size()));
    }
    pieces_.back().data.append(data);
    in_memory_ += data.size();
  } else {
    // Into the file first, then told to the reader, which never reads what
    // is not written yet. Only this thread moves the file's end.
    lock.unlock();
    const std::uint64_t offset = file_end_;
    {
      const std::lock_guard<std::mutex> file_lock(file_mutex_);
      if (!file_) file_ = open_overflow_();
      if (const int error = archive_detail::write_archive_file(file_.get(), offset, data))
        throw std::system_error(error, std::generic_category());
    }
    file_end_ += data.size();
    lock.lock();
    if (stopped_ || aborted_) return;
    Piece* last = pieces_.empty() ? nullptr : &pieces_.back();
    if (last && last->in_file() && last->file_offset + last->file_length == offset) {
      last->file_length += data.size();
    } else {
      pieces_.push_back(Piece{{}, offset, data.size()});
    }
    in_file_ += data.size();
  }
  total_ += data.size();
  if (reader_waiting_ && in_memory_ + in_file_ >= WAKE_BYTES) changed_.notify_one();
}

void ArchiveStream::close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_one();
}

void ArchiveStream::abort() {
  const std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = true;
  changed_.notify_one();
}

void ArchiveStream::wait_for(std::unique_lock<std::mutex>& lock,
                             const std::function<bool()>& ready) {
  while (!ready() && !aborted_) {
    reader_waiting_ = true;
    changed_.wait(lock);
    reader_waiting_ = false;
  }
  if (aborted_) throw ExtractionError("the download of the archive broke off");
}

std::string_view ArchiveStream::next(std::size_t most) {
  if (most == 0) return {};
  if (taken_ == current_.length()) {
    // The next piece, taken whole: the writer waits for no copying.
    const WritingPaused waiting;  // waiting for bytes is no writing
    std::unique_lock<std::mutex> lock(mutex_);
    if (!current_.in_file() && current_.data.capacity() >= PIECE_BYTES &&
        spare_.size() < SPARE_PIECES) {
      current_.data.clear();
      spare_.push_back(std::move(current_.data));
    }
    current_ = Piece{};
    taken_ = 0;
    wait_for(lock, [this] { return !pieces_.empty() || closed_; });
    if (pieces_.empty()) return {};
    current_ = std::move(pieces_.front());
    pieces_.pop_front();
    if (current_.in_file()) {
      in_file_ -= current_.file_length;
    } else {
      in_memory_ -= current_.data.size();
    }
  }
  const std::uint64_t left = current_.length() - taken_;
  const std::size_t n = most < left ? most : static_cast<std::size_t>(left);
  if (!current_.in_file()) {
    const std::string_view bytes(current_.data.data() + taken_, n);
    taken_ += n;
    return bytes;
  }
  file_buffer_.resize(std::min(n, FILE_READ_BYTES));
  {
    const std::lock_guard<std::mutex> file_lock(file_mutex_);
    std::size_t got = 0;
    while (got < file_buffer_.size()) {
      const std::size_t piece =
          archive_detail::read_archive_file(file_.get(), current_.file_offset + taken_ + got,
                                            file_buffer_.data() + got, file_buffer_.size() - got);
      if (piece == 0) throw ExtractionError("Cannot read the archive: its file ends early");
      got += piece;
    }
  }
  taken_ += file_buffer_.size();
  return file_buffer_;
}

std::size_t ArchiveStream::read(char* into, std::size_t room) {
  const std::string_view bytes = next(room);
  if (!bytes.empty()) std::memcpy(into, bytes.data(), bytes.size());
  return bytes.size();
}

bool ArchiveStream::empty() {
  const WritingPaused waiting;
  std::unique_lock<std::mutex> lock(mutex_);
  wait_for(lock, [this] { return total_ > 0 || closed_; });
  return total_ == 0;
}

std::uint64_t ArchiveStream::size() {
  const WritingPaused waiting;
  std::unique_lock<std::mutex> lock(mutex_);
  wait_for(lock, [this] { return closed_; });
  return total_;
}

bool ArchiveStream::size_known() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void ArchiveStream::stop_reading() {
  const std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  pieces_.clear();
  spare_.clear();
  in_memory_ = 0;
  in_file_ = 0;
}

void ArchiveStream::wait_for_end() {
  stop_reading();
  const WritingPaused waiting;
  std::unique_lock<std::mutex> lock(mutex_);
  wait_for(lock, [this] { return closed_; });
}

std::size_t ArchiveStream::held_in_memory() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return in_memory_;
}

std::uint64_t ArchiveStream::held_in_file() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return in_file_;
}

}  // namespace keelbox

#pragma once
// The bytes of one archive on their way from the thread that downloads it to
// the thread that unpacks it as they arrive (extract_tar_gz with a stream).
//
// The downloading side never waits: what the unpacking side has not taken
// yet is held in memory up to a bound, and beyond it in a file without a
// name (made when first needed, by the function given), read back in order.
// So an archive that unpacks slowly (a slow disk, a run that waits for
// another's lock) stalls no download, and memory stays bounded however far
// the unpacking falls behind. The unpacking side waits for bytes as they
// come, and learns the archive's whole size only at its end.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "keelbox/platform/io.hpp"

namespace keelbox {

class ArchiveStream {
 public:
  // `open_overflow` makes the file for what memory does not hold (it may
  // throw; the error reaches the writer). `announced`: the size the server
  // announced, 0 when it did not. `memory_bound`: the bytes not yet read
  // that memory holds before the file takes the rest.
  ArchiveStream(std::function<FileDescriptor()> open_overflow, std::uint64_t announced,
                std::size_t memory_bound);
  ArchiveStream(const ArchiveStream&) = delete;
  ArchiveStream& operator=(const ArchiveStream&) = delete;

  // ---- the downloading side (one thread) ----

  // The next bytes of the archive. Never waits for the reader. Throws what
  // `open_overflow` throws, or std::system_error when the file cannot take
  // them. Dropped once the reader has stopped.
  void write(std::string_view data);
  // The archive is whole: the reader gets 0 after the last byte.
  void close();
  // The download failed: a waiting or later read() throws ExtractionError.
  void abort();

  // ---- the unpacking side (one thread) ----

  // Up to `most` further bytes, waiting for at least one; empty at the end
  // of a closed stream. The bytes are not copied out of memory: the view is
  // valid until the next call. Throws ExtractionError after abort(), and
  // what reading the file back fails with.
  std::string_view next(std::size_t most);
  // As next(), into `into`.
  std::size_t read(char* into, std::size_t room);
  // Whether the archive has no byte at all (waits for its first or its end).
  bool empty();
  // The archive's whole size (waits for the end; what arrives meanwhile is
  // kept for reading).
  std::uint64_t size();
  // Whether size() would answer without waiting.
  bool size_known();
  std::uint64_t announced() const { return announced_; }
  // The reader takes no more: later writes are dropped.
  void stop_reading();
  // stop_reading(), then waits until the download has ended: returns when it
  // is whole, throws ExtractionError when it broke off.
  void wait_for_end();

  // Bytes held in memory and in the file, not yet taken by the reader (for tests).
  std::size_t held_in_memory();
  std::uint64_t held_in_file();

 private:
  // A run of the archive's bytes in order: in `data`, or in the file.
  struct Piece {
    std::string data;
    std::uint64_t file_offset = 0;
    std::uint64_t file_length = 0;
    bool in_file() const { return file_length != 0; }
    std::uint64_t length() const { return in_file() ? file_length : data.size(); }
  };
  void wait_for(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready);

  std::function<FileDescriptor()> open_overflow_;
  const std::uint64_t announced_;
  const std::size_t memory_bound_;

  // The piece being read (the reader's alone) and how much of it is read.
  Piece current_;
  std::uint64_t taken_ = 0;
  std::string file_buffer_;  // what next() last read back from the file

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> pieces_;  // not yet taken by the reader
  // Memory of pieces read, for the next ones: fresh memory costs the writer
  // a page fault every 4 KiB.
  std::vector<std::string> spare_;
  std::size_t in_memory_ = 0;
  std::uint64_t in_file_ = 0;
  std::uint64_t total_ = 0;
  bool closed_ = false;
  bool aborted_ = false;
  bool stopped_ = false;
  bool reader_waiting_ = false;

  // The file, its end (the writer's alone) and the turns taken on it.
  std::mutex file_mutex_;
  FileDescriptor file_;
  std::uint64_t file_end_ = 0;
};

}  // namespace keelbox

// The stream between an archive's download and its unpacking: bytes come
// out in order whether memory or the overflow file held them, the writer
// never waits, and a broken-off download reaches a waiting reader.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "../support/portable.hpp"
#include "keelbox/archive/stream.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/io.hpp"

namespace fs = std::filesystem;
using keelbox::ArchiveStream;
using keelbox::ExtractionError;
using keelbox::FileDescriptor;

namespace {

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = keelbox::testing::make_temp_dir("keelbox-stream"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::function<FileDescriptor()> overflow() {
    return [this] {
      ++files_opened_;
      return keelbox::open_nameless_file(dir_, "overflow-");
    };
  }
  static std::string read_all(ArchiveStream& stream, std::size_t room) {
    std::string out;
    std::vector<char> buffer(room);
    while (const std::size_t n = stream.read(buffer.data(), buffer.size()))
      out.append(buffer.data(), n);
    return out;
  }

  fs::path dir_;
  int files_opened_ = 0;
};

TEST_F(StreamTest, BytesComeOutInOrderFromMemoryAndTheFile) {
  struct Case {
    const char* label;
    std::size_t bound, piece, room;
    bool overflows;
  };
  const std::vector<Case> cases = {
      {"all in memory", 1 << 20, 1000, 4096, false},
      {"memory, file, memory again as the reader catches up", 2500, 1000, 700, true},
      {"nothing fits in memory", 0, 333, 64 * 1024, true},
  };
  std::string data(50000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    files_opened_ = 0;
    ArchiveStream stream(overflow(), data.size(), c.bound);
    std::string out;
    std::vector<char> buffer(c.room);
    // Written ahead of the reader in bursts, so that memory fills and empties.
    for (std::size_t at = 0; at < data.size(); at += c.piece) {
      stream.write(std::string_view(data).substr(at, c.piece));
      EXPECT_LE(stream.held_in_memory(), c.bound);
      if ((at / c.piece) % 5 == 4) out.append(buffer.data(), stream.read(buffer.data(), c.room));
    }
    stream.close();
    out += read_all(stream, c.room);
    EXPECT_EQ(out, data);
    EXPECT_EQ(stream.size(), data.size());
    EXPECT_EQ(files_opened_, c.overflows ? 1 : 0);
    EXPECT_EQ(stream.held_in_memory() + stream.held_in_file(), 0u);
  }
}

// A view from next() holds its bytes until the next call, while the writer
// goes on filling pieces (made of the memory of pieces read) and the file.
TEST_F(StreamTest, AViewHoldsItsBytesWhileTheWriterGoesOn) {
  std::string data(6 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4093);
  ArchiveStream stream(overflow(), data.size(), 1 << 20);
  std::thread writer([&] {
    for (std::size_t at = 0; at < data.size(); at += 8192) {
      stream.write(std::string_view(data).substr(at, 8192));
      if (at % (512 << 10) == 0) std::this_thread::yield();
    }
    stream.close();
  });
  std::size_t at = 0;
  std::size_t mismatches = 0;
  for (std::size_t most = 1;; most = most * 7 % 400009 + 1) {
    const std::string_view bytes = stream.next(most);
    if (bytes.empty()) break;
    EXPECT_LE(bytes.size(), most);
    std::this_thread::yield();  // the writer moves on meanwhile
    if (bytes != std::string_view(data).substr(at, bytes.size())) ++mismatches;
    at += bytes.size();
  }
  writer.join();
  EXPECT_EQ(at, data.size());
  EXPECT_EQ(mismatches, 0u);
}

TEST_F(StreamTest, AReaderWaitsForBytesAndLearnsHowTheDownloadEnded) {
  for (const bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "whole" : "broken off");
    ArchiveStream stream(overflow(), 0, 1 << 20);
    std::thread writer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      stream.write("abc");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (whole) {
        stream.close();
      } else {
        stream.abort();
      }
    });
    if (whole) {
      EXPECT_FALSE(stream.empty());
      EXPECT_EQ(stream.size(), 3u);  // waits for the end
      EXPECT_EQ(read_all(stream, 2), "abc");
    } else {
      EXPECT_THROW(stream.size(), ExtractionError);
      char c;
      EXPECT_THROW(stream.read(&c, 1), ExtractionError);
    }
    writer.join();
  }
}

TEST_F(StreamTest, EmptyStreamsAndStoppedReaders) {
  ArchiveStream empty(overflow(), 0, 16);
  empty.close();
  EXPECT_TRUE(empty.empty());

  // A reader that stopped takes nothing more: what arrives later is dropped.
  ArchiveStream stopped(overflow(), 0, 16);
  stopped.write(std::string(100, 'x'));
  stopped.stop_reading();
  stopped.write(std::string(100, 'y'));
  EXPECT_EQ(stopped.held_in_memory() + stopped.held_in_file(), 0u);
  stopped.close();
  stopped.wait_for_end();
}

TEST_F(StreamTest, AFileThatCannotBeMadeFailsTheWrite) {
  ArchiveStream stream([]() -> FileDescriptor { throw std::runtime_error("no room"); }, 0, 4);
  stream.write("abcd");  // held in memory
  EXPECT_THROW(stream.write("e"), std::runtime_error);
}

}  // namespace

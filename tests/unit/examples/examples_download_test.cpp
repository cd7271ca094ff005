// The example catalogue and the concurrent example download on the scripted
// HTTP engine: what is asked, which answers give a folder, which a red line,
// and which failures end the whole run. A silence of 60 s costs no time here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../support/fake_context.hpp"
#include "../support/fake_http.hpp"
#include "../support/portable.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/api/api.hpp"
#include "keelbox/build_config.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/examples/examples.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/modules/modules.hpp"

namespace fs = std::filesystem;
using keelbox::testing::FakeAnswer;
using keelbox::testing::FakeHttp;
using nlohmann::json;

namespace {

// A gzip tar archive of "requirements.txt" ("numpy\n") and "demo/main.py".
const std::string ARCHIVE(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xed\xd4\xb1\x0e\x82\x30\x10\xc6\xf1\xce\x3e\x85\x61"
    "\xd2\x05\xdb\xe6\x84\xe7\x21\xb1\x89\x1d\x5a\xb1\x94\x44\xde\x9e\xe2\xc8\xe2\x04\x89\xe1\xff"
    "\x5b\x2e\xb9\x1b\xee\x96\xef\x92\x7b\x8f\x3e\xb9\xe0\x62\x1e\xea\xfc\xc9\x6a\x03\xba\x68\x44"
    "\xbe\xb5\x58\xd7\x65\xaa\x8c\xdc\xad\xb4\xad\x96\xa5\x6f\x8c\x6d\x5a\x75\xd6\x6a\x07\xe3\x90"
    "\xbb\x54\x4e\x51\xc7\x14\xc7\xd0\x4f\x27\x85\x83\x7a\xb8\xf0\xba\x85\xce\xc7\xba\x9f\xb6\xda"
    "\xf1\x33\xff\x46\x56\xf9\xd7\xd6\x0a\xf9\xdf\x43\x9f\x7c\xcc\x97\xea\xe9\xab\x2b\x5f\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xe0\x0f\xcd\xf5\x84\x71\xf0\x00\x28\x00\x00",
    159);

std::string license_url(const std::string& path) {
  return "https://core.cloud." + std::string(keelbox::build::SERVICE_DOMAIN) + "/v1/license" + path;
}
std::string archive_url(const std::string& artifact) {
  return license_url("/artifacts/examples/" + artifact + ".tar.gz");
}

std::string read(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExamplesDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = keelbox::testing::make_user_dirs("keelbox-examples");
    fs::create_directories(keelbox::get_config_file().parent_path());
    std::ofstream(keelbox::get_config_file())
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n";
    keelbox::_get_cache().clear();
    http_.on(keelbox::api::_get_token_api_url() + "/oauth/token",
             FakeAnswer(200).body(R"({"access_token": "sbx-1"})"));
    dest_ = root_ / "dl";
    fs::create_directories(dest_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // The run's outcome, with what it printed.
  std::vector<std::optional<fs::path>> download(const std::vector<std::string>& names,
                                                std::string* printed = nullptr,
                                                const keelbox::ExampleDownloadBounds& bounds = {}) {
    ::testing::internal::CaptureStdout();
    std::vector<std::optional<fs::path>> results;
    try {
      results = keelbox::_download_examples(fake_.context, names, dest_, bounds);
    } catch (...) {
      const std::string out = ::testing::internal::GetCapturedStdout();
      if (printed) *printed = keelbox::testing::plain_lines(out);
      throw;
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (printed) *printed = keelbox::testing::plain_lines(out);
    return results;
  }

  fs::path root_, dest_;
  keelbox::testing::FakeContext fake_;
  FakeHttp& http_ = fake_.http;
};

TEST_F(ExamplesDownloadTest, EachArchiveIsUnpackedOrRefusedWithARedLine) {
  http_.on(archive_url("good"), FakeAnswer(200).trickle(ARCHIVE, 40, 0.5));
  http_.on(archive_url("slow"), FakeAnswer(200).trickle(ARCHIVE, 10, 3));  // never silent for 60 s
  http_.on(archive_url("gone"), FakeAnswer(404).body("not here"));
  http_.on(archive_url("loop"), FakeAnswer::redirect(302, archive_url("loop")));
  std::string printed;
  const auto results =
      download({"good-examples", "gone-examples", "slow-examples", "loop-examples"}, &printed);

  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[0], dest_ / "good-examples");
  EXPECT_EQ(results[1], std::nullopt);
  EXPECT_EQ(results[2], dest_ / "slow-examples");
  EXPECT_EQ(results[3], std::nullopt);
  for (const char* name : {"good-examples", "slow-examples"}) {
    EXPECT_EQ(read(dest_ / name / "requirements.txt"), "numpy\n") << name;
    EXPECT_EQ(read(dest_ / name / "demo" / "main.py"), "print(\"hi\")\n") << name;
  }
  EXPECT_FALSE(fs::exists(dest_ / "gone-examples"));
  EXPECT_FALSE(fs::exists(dest_ / "loop-examples"));
  // Nothing but the folders is left in the download folder (and, on
  // Windows, the hidden lock file of the unpacking).
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(dest_)) {
    if (entry.path().filename() != ".keelbox-unpack.lock") {
      entries.push_back(entry.path().filename().string());
    }
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"good-examples", "slow-examples"}));

  EXPECT_NE(printed.find("Error downloading examples for gone-examples: 404 Client Error: Not "
                         "Found for url: " +
                         archive_url("gone")),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find("Error downloading examples for loop-examples: Exceeded 30 redirects "
                         "for url: " +
                         archive_url("loop")),
            std::string::npos)
      << printed;
  EXPECT_NE(printed.find("Successfully downloaded examples for good-examples to "),
            std::string::npos)
      << printed;

  // One token for all; every archive asked for with it, without a time-out,
  // bounded by the 60-second stall guard instead, and left encoded.
  EXPECT_EQ(http_.requests_to("https://token.").size(), 1u);
  const auto asked = http_.requests_to(license_url("/artifacts/examples/good"));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].method, "GET");
  EXPECT_EQ(asked[0].headers, (keelbox::http::Headers{{"Accept", "application/vnd.api+json"},
                                                      {"Authorization", "Bearer sbx-1"}}));
  EXPECT_FALSE(asked[0].request.timeout_seconds.has_value());
  EXPECT_EQ(asked[0].request.stall_seconds, 60);
  EXPECT_FALSE(asked[0].request.decode_content);
  // The transfers ran side by side: the slow one took 16 pieces x 3 s.
  EXPECT_LT(http_.clock.elapsed(), 60.0);
}

TEST_F(ExamplesDownloadTest, AFailedTransferEndsTheRunAndLeavesNoFolder) {
  const std::string plain = "http://127.0.0.1:8080/other.tar.gz";
  struct Case {
    std::string what;
    FakeAnswer answer;
    std::string error;  // the whole text, or its start for a damaged archive
  };
  const std::vector<Case> cases = {
      {"stalled",
       FakeAnswer(200).chunk(ARCHIVE.substr(0, 50)).silence(61).chunk(ARCHIVE.substr(50)),
       "GET " + archive_url("other") + " failed: no data received for 60 seconds"},
      {"reset", FakeAnswer(200).chunk(ARCHIVE.substr(0, 50)).reset(),
       "GET " + archive_url("other") + " failed: " + FakeHttp::RESET_REASON},
      {"redirected to http", FakeAnswer::redirect(302, plain),
       "GET " + archive_url("other") + " failed: redirected to " + plain +
           ", which is not HTTPS; only HTTPS is followed"},
      {"damaged", FakeAnswer(200).body(ARCHIVE.substr(0, 100)),
       "other-examples: Damaged archive: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    http_.on(archive_url("other"), c.answer);
    http_.on(archive_url("good"), FakeAnswer(200).trickle(ARCHIVE, 10, 10));
    try {
      download({"other-examples", "good-examples"});
      ADD_FAILURE() << "the run did not end";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
    EXPECT_FALSE(fs::exists(dest_ / "other-examples"));
  }
}

// Downloads at once are bounded by the descriptors the process may open,
// so that a low limit (ulimit -n) does not fail every download; the rest
// wait their turn and all arrive.
TEST(ExampleDownloadSlots, FollowTheDescriptorsAvailable) {
  struct Case {
    std::size_t descriptors, slots;
  };
  const std::vector<Case> cases = {{0, 1},    {32, 1},   {36, 1},    {40, 2},       {64, 8},
                                   {256, 56}, {288, 64}, {1024, 64}, {SIZE_MAX, 64}};
  for (const auto& c : cases) {
    EXPECT_EQ(keelbox::example_download_slots(c.descriptors), c.slots) << c.descriptors;
  }
}

// Unpackings at once hold many folders open: they take what the downloads
// leave of the descriptors (a soft limit of 1024 leaves room for 4 beside
// 64 downloads), never fewer than 1 nor more than 16.
TEST(ExampleUnpackingSlots, TakeWhatTheDownloadsLeave) {
  struct Case {
    std::size_t descriptors, downloads, slots;
  };
  const std::vector<Case> cases = {{32, 1, 1},     {200, 1, 1},        {356, 1, 2},   {1024, 64, 4},
                                   {4096, 64, 16}, {SIZE_MAX, 64, 16}, {1024, 248, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(keelbox::example_unpacking_slots(c.descriptors, c.downloads), c.slots)
        << c.descriptors << " " << c.downloads;
  }
}

TEST_F(ExamplesDownloadTest, DownloadsBeyondTheBoundWaitTheirTurn) {
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    names.push_back("ex" + std::to_string(i) + "-examples");
    // 16 pieces, 1 s apart: 15 s each.
    http_.on(archive_url("ex" + std::to_string(i)), FakeAnswer(200).trickle(ARCHIVE, 10, 1));
  }
  keelbox::ExampleDownloadBounds bounds;
  bounds.max_concurrent = 2;
  const auto results = download(names, nullptr, bounds);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(results.at(i), dest_ / names[i]);
    EXPECT_EQ(read(dest_ / names[i] / "requirements.txt"), "numpy\n") << names[i];
  }
  // Two at a time, in order: three rounds of 15 s.
  EXPECT_GE(http_.clock.elapsed(), 45.0);
  EXPECT_LT(http_.clock.elapsed(), 50.0);
  const auto asked = http_.requests_to(license_url("/artifacts/examples/"));
  ASSERT_EQ(asked.size(), 6u);
  for (std::size_t i = 0; i < asked.size(); ++i)
    EXPECT_EQ(asked[i].url, archive_url("ex" + std::to_string(i)));
}

// A name given twice downloads twice, but never into its folder at once:
// the second waits until the first has ended (its unpacking too), so it
// keeps the user's files the first kept, and the other names go on meanwhile.
TEST_F(ExamplesDownloadTest, ANameGivenTwiceWaitsForItsFirstDownload) {
  fs::create_directories(dest_ / "ex0-examples");
  std::ofstream(dest_ / "ex0-examples" / "mine.txt") << "mine";
  // 16 pieces, 1 s apart: 15 s each.
  http_.on(archive_url("ex0"), FakeAnswer(200).trickle(ARCHIVE, 10, 1));
  http_.on(archive_url("ex1"), FakeAnswer(200).trickle(ARCHIVE, 10, 1));
  const auto results = download({"ex0-examples", "ex0-examples", "ex1-examples"});
  EXPECT_EQ(results, (std::vector<std::optional<fs::path>>{
                         dest_ / "ex0-examples", dest_ / "ex0-examples", dest_ / "ex1-examples"}));
  EXPECT_EQ(read(dest_ / "ex0-examples" / "mine.txt"), "mine");
  EXPECT_EQ(read(dest_ / "ex0-examples" / "requirements.txt"), "numpy\n");
  // The first ex0 and ex1 side by side, then the second ex0: two rounds.
  EXPECT_GE(http_.clock.elapsed(), 30.0);
  EXPECT_LT(http_.clock.elapsed(), 35.0);
  const auto asked = http_.requests_to(license_url("/artifacts/examples/"));
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].url, archive_url("ex0"));
  EXPECT_EQ(asked[1].url, archive_url("ex1"));
  EXPECT_EQ(asked[2].url, archive_url("ex0"));
}

// With several archives unpacking in one run, an extraction error names the
// one it comes from, before the text it has on its own.
TEST_F(ExamplesDownloadTest, AnExtractionErrorNamesItsArchive) {
  // ARCHIVE with the CRC-32 in its gzip trailer changed.
  std::string wrong_crc = ARCHIVE;
  wrong_crc[wrong_crc.size() - 8] = static_cast<char>(wrong_crc[wrong_crc.size() - 8] ^ 1);
  // A gzip tar archive of one member "../escape.txt".
  const std::string escaping(
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xed\xcd\x31\x0a\xc2\x40\x14\x04\xd0\x5f\xe7\x14\x9e"
      "\x60\xb3\x2b\x31\xf7\x09\x92\x5e\xcc\x0a\x39\xbe\x1f\xab\x60\xaf\x20\xbe\xd7\xcc\x30\xcd\x94"
      "\x32\xae\xdb\x75\xb9\xad\xa5\xef\x3d\x3e\xa3\xa6\x79\x9a\x5e\x99\xde\x33\x9d\x0f\x3d\xf7\x56"
      "\xdb\xa5\xc5\xa9\xc6\x17\x3c\xb6\xbe\xdc\xf3\x3e\xfe\xd3\x3e\x04\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x3f\xe8\x09\xdd\x5c\x3b\x84\x00\x28\x00\x00",
      105);
  struct Case {
    std::string what, archive, error;
  };
  const std::vector<Case> cases = {
      {"damaged", wrong_crc,
       "other-examples: Damaged archive: the CRC-32 of the content does not match"},
      {"refused member", escaping, "other-examples: Refused archive member '../escape.txt': "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    http_.on(archive_url("good"), FakeAnswer(200).body(ARCHIVE));
    http_.on(archive_url("other"), FakeAnswer(200).body(c.archive));
    try {
      download({"good-examples", "other-examples"});
      ADD_FAILURE() << "the run did not end";
    } catch (const keelbox::ExtractionError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
  }
}

// A server that never ends its body must not fill the disk: an archive is
// refused when it announces more than the bound, and ended when it passes
// the bound while arriving (a bound of 4 KiB here, so that the endless body
// costs no memory), naming the archive.
TEST_F(ExamplesDownloadTest, AnArchiveIsBoundedBeforeAndWhileItArrives) {
  struct Case {
    std::string what;
    FakeAnswer answer;
    std::size_t bound;
    std::string error;
  };
  const std::string endless(64 * 1024, 'x');  // 64 pieces, 1 s apart
  const std::vector<Case> cases = {
      {"announced above the bound",
       FakeAnswer(200).header("Content-Length", "4294967297").chunk("x"),
       keelbox::EXAMPLES_MAX_ARCHIVE_BYTES, "the answer is larger than 4 GiB"},
      {"unannounced and endless", FakeAnswer(200).unannounced().trickle(endless, 1024, 1), 4096,
       "the answer is larger than 4096 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const double start = http_.clock.elapsed();
    http_.on(archive_url("other"), c.answer);
    http_.on(archive_url("good"), FakeAnswer(200).body(ARCHIVE));
    keelbox::ExampleDownloadBounds bounds;
    bounds.max_archive_bytes = c.bound;
    try {
      download({"good-examples", "other-examples"}, nullptr, bounds);
      ADD_FAILURE() << "the run did not end";
    } catch (const keelbox::TransportError& e) {
      EXPECT_EQ(std::string(e.what()),
                "other-examples: GET " + archive_url("other") + " failed: " + c.error);
    }
    // Ended at the bound, not at the end of the body 64 s on.
    EXPECT_LT(http_.clock.elapsed() - start, 10.0);
    EXPECT_EQ(http_.requests_to(archive_url("other")).back().request.max_body_bytes, c.bound);
    EXPECT_FALSE(fs::exists(dest_ / "other-examples"));
  }
}

TEST_F(ExamplesDownloadTest, ThePackageListIsAskedOnceAndNotStoredWhenRefused) {
  const std::string packages = license_url("/packages?limit=99");
  const std::string entitlements = license_url("/entitlements");
  http_.on(packages, FakeAnswer(500));
  EXPECT_THROW(keelbox::get_packages(http_), keelbox::HTTPStatusError);
  http_.on(packages, FakeAnswer(200).body("not json"));
  EXPECT_THROW(keelbox::get_packages(http_), keelbox::ParseError);
  http_.on(packages, FakeAnswer(200).body(json::array({{{"key", "zvk-sample-app"}},
                                                       {{"key", "zvk-sample-app-examples"}},
                                                       {{"key", "other-examples"}}})
                                              .dump()));
  http_.on(entitlements,
           FakeAnswer(200).body(json::array({{{"name", "Sample"},
                                              {"code", "ENT_ZVK_SAMPLE_APP"},
                                              {"packages", {"zvk-sample-app"}},
                                              {"required_entitlements", json::array()}}})
                                    .dump()));
  EXPECT_EQ(keelbox::get_entitled_examples_packages(http_),
            std::vector<std::string>{"zvk-sample-app-examples"});
  EXPECT_EQ(keelbox::get_examples_packages(http_),
            (std::vector<std::string>{"zvk-sample-app-examples", "other-examples"}));
  EXPECT_EQ(http_.requests_to(packages).size(), 3u);  // the third answer was stored
}

}  // namespace

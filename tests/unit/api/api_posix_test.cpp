// The access token stored by one process is used by the next: a second run
// of this program, whose HTTP engine refuses every request, finds it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../support/fake_http.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/api/api.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"

namespace api = keelbox::api;
namespace fs = std::filesystem;
using keelbox::testing::FakeAnswer;
using keelbox::testing::FakeHttp;

namespace {

TEST(ApiAcrossProcesses, AnotherProcessReusesTheStoredToken) {
  const fs::path root = keelbox::testing::make_user_dirs("keelbox-api-process");
  fs::create_directories(keelbox::get_config_file().parent_path());
  std::ofstream(keelbox::get_config_file())
      << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n";
  keelbox::_get_cache().clear();
  FakeHttp http;
  http.on(api::_get_token_api_url() + "/oauth/token",
          FakeAnswer(200).body(R"({"access_token": "sbx-stored"})"));
  ASSERT_EQ(api::_get_access_token(http), "sbx-stored");

  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  setenv("KEELBOX_API_TEST_CHILD", "1", 1);
  std::string cmd = std::string("'") + self + "' --gtest_filter=ApiChildProcess.PrintAccessToken";
  FILE* child = popen(cmd.c_str(), "r");
  unsetenv("KEELBOX_API_TEST_CHILD");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, child)) out += buf;
  EXPECT_EQ(pclose(child), 0) << out;
  EXPECT_NE(out.find("ACCESS_TOKEN=sbx-stored\n"), std::string::npos) << out;
  std::error_code ec;
  fs::remove_all(root, ec);
}

// Runs inside the second process started by AnotherProcessReusesTheStoredToken.
TEST(ApiChildProcess, PrintAccessToken) {
  if (!std::getenv("KEELBOX_API_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  FakeHttp refusing;  // every request is answered 404
  std::printf("ACCESS_TOKEN=%s\n", api::_get_access_token(refusing).c_str());
}

}  // namespace

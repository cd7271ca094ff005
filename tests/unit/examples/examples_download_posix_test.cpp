// The example download against the sandbox cloud: failures of a transfer end
// the run, with a short stall period standing in for the 60 seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "../support/fake_context.hpp"
#include "../support/sandbox.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/examples/examples.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace fs = std::filesystem;
using keelbox::testing::SandboxCloud;
using nlohmann::json;

namespace {

class ExamplesDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = keelbox::testing::make_user_dirs("keelbox-examples");
    cloud_ = std::make_unique<SandboxCloud>(json{{"accept_any_token", true}});
    cloud_->apply_env();
    fs::create_directories(keelbox::get_config_file().parent_path());
    std::ofstream(keelbox::get_config_file())
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n";
    std::ofstream(cloud_->examples_dir / "other.tar.gz", std::ios::binary)
        << std::string(4000, 'x');
    dest_ = root_ / "dl";
    fs::create_directories(dest_);
  }
  void TearDown() override {
    cloud_.reset();
    fs::remove_all(root_);
  }

  std::string archive_url() const {
    return "https://" + cloud_->host("core") + "/v1/license/artifacts/examples/other.tar.gz";
  }

  fs::path root_, dest_;
  std::unique_ptr<SandboxCloud> cloud_;
  keelbox::testing::FakeContext fake_;
};

TEST_F(ExamplesDownloadTest, AFailedTransferEndsTheRunAndLeavesNoFolder) {
  const std::string plain = "http://127.0.0.1:" + std::to_string(cloud_->port) + "/other.tar.gz";
  struct Case {
    json override_;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{{"stall_mid_body", 20}}, "no data received for 1 seconds"},
      {{{"status", 302}, {"headers", json::array({json::array({"Location", plain})})}},
       "redirected to " + plain + ", which is not HTTPS; only HTTPS is followed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.override_.dump());
    cloud_->set_override("examples/other", c.override_);
    const auto t0 = std::chrono::steady_clock::now();
    try {
      keelbox::_download_examples(fake_.context, {"other-examples"}, dest_, /*stall_seconds=*/1);
      ADD_FAILURE() << "no TransportError";
    } catch (const keelbox::TransportError& e) {
      EXPECT_EQ(std::string(e.what()), "GET " + archive_url() + " failed: " + c.reason);
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 4.0);
    EXPECT_FALSE(fs::exists(dest_ / "other-examples"));
  }
}

}  // namespace

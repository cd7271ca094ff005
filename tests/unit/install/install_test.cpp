// The installer's own logic on a fake context: the arguments it gives uv, the
// private index address read from the service's answer, what it refuses or
// skips before asking the service anything, and the runs of uv it makes.
#include "keelbox/install/install.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../support/fake_context.hpp"
#include "../support/fake_http.hpp"
#include "../support/portable.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/api/api.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/platform/installation.hpp"

namespace keelbox {
namespace {

namespace fs = std::filesystem;
using testing::FakeAnswer;
using testing::FakeContext;
using Strings = std::vector<std::string>;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(InstallArgs, DefaultArguments) {
  struct Case {
    bool upgrade;
    std::optional<Strings> packages;
    Strings expected;
  };
  const std::vector<Case> cases = {
      {true, std::nullopt, {"pip", "install"}},
      {false, Strings{}, {"pip", "install"}},
      {false,
       Strings{"zvk-sample-app", "numpy>=1.26"},
       {"pip", "install", "zvk-sample-app", "numpy>=1.26"}},
      {true,
       Strings{"zvk-sample-app", "numpy>=1.26"},
       {"pip", "install", "zvk-sample-app", "numpy>=1.26", "--upgrade-package", "zvk-sample-app",
        "--upgrade-package", "numpy>=1.26"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(install::_generate_default_install_args(c.upgrade, c.packages), c.expected);
}

TEST(InstallIndex, TheAddressIsTheLocationOfASeeOtherAnswerAndNothingElse) {
  constexpr const char* kIndex = "https://pypi.zvk.invalid/simple/";
  struct Case {
    const char* name;
    long status;
    Strings header_lines;
    std::optional<std::string> address;  // else the failure's text contains `message`
    std::string message;
    bool http_error = false;
  };
  const std::vector<Case> cases = {
      {"see other", 303, {"Location: https://pypi.zvk.invalid/simple/\r\n"}, kIndex, ""},
      {"header name in any case", 303, {"LOCATION: https://i/a b\r\n"}, "https://i/a b", ""},
      {"ok", 200, {}, std::nullopt, "Unexpected status code 200"},
      {"found", 302, {"Location: https://i/\r\n"}, std::nullopt, "Unexpected status code 302"},
      {"no content", 204, {}, std::nullopt, "Unexpected status code 204"},
      {"not found", 404, {}, std::nullopt, "404 Client Error", true},
      {"unavailable", 503, {}, std::nullopt, "503 Server Error", true},
      {"see other without location", 303, {}, std::nullopt, "no \"location\" header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Strings lines = {"HTTP/1.1 " + std::to_string(c.status) + " x\r\n"};
    lines.insert(lines.end(), c.header_lines.begin(), c.header_lines.end());
    lines.push_back("\r\n");
    http::Response response = http::response_from_head(lines, c.status);
    response.url = "https://cloud.zvk.invalid/pip";
    try {
      const std::string address = install::_index_address_from_answer(response);
      EXPECT_EQ(address, c.address);
    } catch (const HTTPStatusError& e) {
      EXPECT_TRUE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    } catch (const KeelboxException& e) {
      EXPECT_FALSE(c.http_error);
      EXPECT_FALSE(c.address.has_value()) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// Both end the operation before the service is asked for the index: no
// request, no run.
TEST(InstallBeforeTheService, NothingToInstallRunsNothing) {
  FakeContext fake;
  CaptureStdout();
  install::install_modules(fake.context, {}, true, true, std::vector<std::filesystem::path>{"r"});
  EXPECT_EQ(testing::plain_lines(GetCapturedStdout()),
            "Nothing to install. Call with --help for more information.\n");
  EXPECT_TRUE(fake.runner.runs.empty());
}

TEST(InstallBeforeTheService, ANameThatReadsAsAnOptionIsRefused) {
  FakeContext fake;
  for (const Strings& names :
       {Strings{"-r"}, Strings{"zvk-sample-app", "--index-url=https://elsewhere/"}}) {
    try {
      install::install_modules(fake.context, names, false);
      ADD_FAILURE() << names.back();
    } catch (const KeelboxException& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind("Refused to install ", 0), 0u) << text;
      EXPECT_NE(text.find(names.back()), std::string::npos) << text;
      EXPECT_NE(text.find("cannot begin with \"-\"."), std::string::npos) << text;
    }
  }
  EXPECT_TRUE(fake.runner.runs.empty());
}

// A user profile and a fake context: the scripted HTTP engine for the cloud
// (each test scripts "/pip", the private index's address), a target
// environment named by VIRTUAL_ENV, an installation folder holding uv, and a
// fake runner in place of real children. Real installations are the
// black-box tests' part.
class Install : public ::testing::Test {
 protected:
  static constexpr const char* kIndex = "https://pypi.zvk.invalid/simple/";
  void SetUp() override {
    dir_ = testing::make_user_dirs("keelbox-install");
    std::ofstream(dir_ / executable_file_name("uv")) << "";
    fake_.context.installation_dir = dir_;
    fake_.context.environment = {{"VIRTUAL_ENV", (dir_ / "v").string()}, {"PATH", "/usr/bin"}};
    fs::create_directories(get_config_file().parent_path());
    std::ofstream(get_config_file())
        << "[profile]\ntoken_id = \"id-1\"\ntoken = \"secret-1\"\ncloud_environment = \"cloud\"\n\n"
           "[options]\nadvanced_mode = false\n";
    _get_cache().clear();
    http_.on(api::_get_token_api_url() + "/oauth/token",
             FakeAnswer(200).body(R"({"access_token": "sbx-1"})"));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string pip_url() { return api::_get_core_rest_url() + "/pip"; }

  fs::path dir_;
  FakeContext fake_;
  testing::FakeProcessRunner& runner_ = fake_.runner;
  testing::FakeHttp& http_ = fake_.http;
  Context& context_ = fake_.context;
};

TEST_F(Install, IndexAddressComesFromTheSeeOtherAnswer) {
  http_.on(pip_url(), FakeAnswer::redirect(303, kIndex));
  EXPECT_EQ(install::get_uv_pip_install_cmd(fake_.http, false, Strings{"zvk-sample-app"}),
            (Strings{"pip", "install", "zvk-sample-app", "--index-url", kIndex}));
  EXPECT_EQ(install::get_uv_pip_install_cmd(fake_.http, true, Strings{"a", "b>=1"}),
            (Strings{"pip", "install", "a", "b>=1", "--upgrade-package", "a", "--upgrade-package",
                     "b>=1", "--index-url", kIndex}));
}

TEST_F(Install, OtherAnswersEndTheOperationWithoutRunningUv) {
  struct Case {
    FakeAnswer answer;
    std::string message;
    bool http_error;
  };
  const std::vector<Case> cases = {
      {FakeAnswer(200), "Unexpected status code 200", false},
      {FakeAnswer(302), "Unexpected status code 302", false},
      {FakeAnswer(204), "Unexpected status code 204", false},
      {FakeAnswer(404), "404 Client Error", true},
      {FakeAnswer(503), "503 Server Error", true},
      {FakeAnswer(303), "no \"location\" header", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    http_.on(pip_url(), c.answer);
    try {
      install::install_modules(context_, {"zvk-sample-app"}, true, false, std::nullopt);
      ADD_FAILURE();
    } catch (const HTTPStatusError& e) {
      EXPECT_TRUE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    } catch (const KeelboxException& e) {
      EXPECT_FALSE(c.http_error);
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(runner_.runs.empty());
}

TEST_F(Install, DryRunThenInstallThroughUv) {
  http_.on(pip_url(), FakeAnswer::redirect(303, kIndex));
  const fs::path req = dir_ / "req.txt";
  install::install_modules(context_, {"zvk-sample-app"}, true, true, std::vector<fs::path>{req});
  install::install_modules(context_, {"zvk-sample-app", "numpy>=1.26"}, false, false,
                           std::vector<fs::path>{req, dir_ / "more.txt"});
  ASSERT_EQ(runner_.runs.size(), 2u);
  EXPECT_EQ(runner_.runs[0].args,
            (Strings{"pip", "install", "zvk-sample-app", "--upgrade-package", "zvk-sample-app",
                     "--index-url", kIndex, "--dry-run", "-r", req.string()}));
  EXPECT_EQ(runner_.runs[1].args,
            (Strings{"pip", "install", "zvk-sample-app", "numpy>=1.26", "--index-url", kIndex, "-r",
                     req.string(), "-r", (dir_ / "more.txt").string()}));
  for (const auto& run : runner_.runs) {
    EXPECT_EQ(run.program, dir_ / executable_file_name("uv"));
    EXPECT_EQ(run.env.at("VIRTUAL_ENV"), (dir_ / "v").string());
    // uv talks to the user directly.
    EXPECT_EQ(run.options.stdout_mode, StreamMode::Inherit);
    EXPECT_EQ(run.options.stderr_mode, StreamMode::Inherit);
  }

  // uv's failure names the arguments.
  runner_.answer(1);
  try {
    install::install_modules(context_, {"zvk-missing"}, false, false, std::nullopt);
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_EQ(
        std::string(e.what()),
        std::string("Error running uv with ('pip', 'install', 'zvk-missing', '--index-url', '") +
            kIndex + "')");
  }
}

}  // namespace
}  // namespace keelbox

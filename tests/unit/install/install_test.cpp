// The installer's own logic on a fake context: the arguments it gives uv, the
// private index address read from the service's answer, and what it refuses
// or skips before asking the service anything.
#include "keelbox/install/install.hpp"

#include <gtest/gtest.h>

#include "../support/fake_context.hpp"
#include "../support/portable.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"

namespace keelbox {
namespace {

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

}  // namespace
}  // namespace keelbox

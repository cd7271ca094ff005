// Service addresses, the access token and its memo, and the request
// description, against the sandbox cloud with a throw-away configuration and
// cache.
#include "keelbox/api/api.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "../support/sandbox.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/build_config.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace api = keelbox::api;
namespace fs = std::filesystem;
using keelbox::testing::SandboxCloud;
using nlohmann::json;

namespace {

const json CREDENTIALS = json::array({
    {{"token_id", "id-1"}, {"secret", "secret-1"}},
    {{"token_id", "tök:en"}, {"secret", "pä:ss wörd"}},
    {{"token_id", "empty"}, {"secret", ""}},
});

class ApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The process-wide cache stays at this place for the whole run.
    root_ = keelbox::testing::make_user_dirs("keelbox-api");
    cloud_ = std::make_unique<SandboxCloud>(json{{"credentials", CREDENTIALS}});
  }
  static void TearDownTestSuite() {
    cloud_.reset();
    fs::remove_all(root_);
  }

  void SetUp() override {
    cloud_->apply_env();
    cloud_->write_scenario({{"credentials", CREDENTIALS}});
    cloud_->clear_log();
    keelbox::_get_cache().clear();
    write_profile("id-1", "secret-1", "cloud");
  }

  static void write_profile(const std::string& id, const std::string& secret,
                            const std::string& env) {
    std::ofstream(keelbox::get_config_file())
        << "[profile]\ntoken_id = \"" << id << "\"\ntoken = \"" << secret << "\"\n"
        << "cloud_environment = \"" << env << "\"\n\n[options]\nadvanced_mode = false\n";
  }

  static std::vector<json> token_requests() { return cloud_->requests("/oauth/token"); }

  // Moves every stored entry `seconds` into the past.
  static void age_cache(double seconds) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(keelbox::_get_cache_file().c_str(), &db), SQLITE_OK);
    std::string sql = "UPDATE cache SET expires_at = expires_at - " + std::to_string(seconds) +
                      ", created_at = created_at - " + std::to_string(seconds);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  static std::string domain() { return keelbox::build::SERVICE_DOMAIN; }

  static fs::path root_;
  static std::unique_ptr<SandboxCloud> cloud_;
};
fs::path ApiTest::root_;
std::unique_ptr<SandboxCloud> ApiTest::cloud_;

TEST_F(ApiTest, AddressesFollowTheConfiguredEnvironment) {
  for (const std::string env : {"cloud", "dev.cloud"}) {
    SCOPED_TRACE(env);
    write_profile("id-1", "secret-1", env);
    EXPECT_EQ(api::_get_token_api_url(), "https://token." + env + "." + domain());
    EXPECT_EQ(api::_get_cloud_api_url(), "https://core." + env + "." + domain() + "/v1");
    EXPECT_EQ(api::_get_core_rest_url(), "https://core." + env + "." + domain() + "/v1/license");
  }
}

TEST_F(ApiTest, TokenRequestIsExactlyTheClientCredentialsGrant) {
  struct Case {
    std::string id, secret, basic;
  };
  const std::vector<Case> cases = {
      {"id-1", "secret-1", "Basic aWQtMTpzZWNyZXQtMQ=="},
      {"tök:en", "pä:ss wörd", "Basic dMO2azplbjpww6Q6c3Mgd8O2cmQ="},  // UTF-8, then Base64
      {"empty", "", "Basic ZW1wdHk6"},                                 // the colon stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    cloud_->clear_log();
    write_profile(c.id, c.secret, "cloud");
    EXPECT_EQ(api::basic_credential(c.id, c.secret), c.basic);
    const std::string token = api::_get_access_token();

    auto logged = token_requests();
    ASSERT_EQ(logged.size(), 1u);
    const json& r = logged[0];
    EXPECT_EQ(r["host"], "token.cloud." + domain());
    EXPECT_EQ(r["method"], "POST");
    EXPECT_EQ(r["status"], 200);
    // {"grant_type": "client_credentials"}, 36 bytes
    EXPECT_EQ(r["body_b64"], "eyJncmFudF90eXBlIjogImNsaWVudF9jcmVkZW50aWFscyJ9");
    std::map<std::string, std::string> headers;
    for (const auto& h : r["headers"]) headers[h[0]] = h[1];
    EXPECT_EQ(headers["Authorization"], c.basic);
    EXPECT_EQ(headers["Content-Type"], "application/json");
    EXPECT_EQ(headers["Content-Length"], "36");
    for (const auto& [name, value] : headers) {  // only the client's own headers beside these
      EXPECT_TRUE(name == "Authorization" || name == "Content-Type" || name == "Content-Length" ||
                  name == "Host" || name == "User-Agent" || name == "Accept")
          << name << ": " << value;
    }
    EXPECT_EQ(token.rfind("sbx-", 0), 0u) << token;
  }
}

TEST_F(ApiTest, StoredTokenIsReusedForThirtyMinutes) {
  const std::string first = api::_get_access_token();
  EXPECT_EQ(api::create_get_request("/entitlements").headers[1].second, "Bearer " + first);
  EXPECT_EQ(api::create_get_request("/pip").headers[1].second, "Bearer " + first);
  EXPECT_EQ(token_requests().size(), 1u);

  // Stored under the keyword arguments, for 1800 seconds.
  keelbox::MemoArgs args;
  args.keyword = {{"TOKEN_USERNAME", "id-1"}, {"TOKEN_SECRET", "secret-1"}};
  const std::string key = keelbox::memo_key_text(
      keelbox::default_memo_key("keelbox.api", "_access_token_request", args));
  EXPECT_EQ(keelbox::_get_cache().get(key), json(first));

  age_cache(600);  // ten minutes later
  EXPECT_EQ(api::_get_access_token(), first);
  EXPECT_EQ(token_requests().size(), 1u);

  age_cache(1201);  // thirty-one minutes after the request
  const std::string second = api::_get_access_token();
  EXPECT_NE(second, first);
  EXPECT_EQ(token_requests().size(), 2u);
}

TEST_F(ApiTest, AnotherProcessReusesTheStoredToken) {
  const std::string token = api::_get_access_token();
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
  EXPECT_NE(out.find("ACCESS_TOKEN=" + token + "\n"), std::string::npos) << out;
  EXPECT_EQ(token_requests().size(), 1u);
}

TEST_F(ApiTest, ChangedSecretAsksAgainSwitchedEnvironmentDoesNot) {
  const std::string first = api::_get_access_token();

  write_profile("id-1", "secret-1", "dev.cloud");
  EXPECT_EQ(api::_get_access_token(), first);
  EXPECT_EQ(token_requests().size(), 1u);

  cloud_->update("credentials", json::array({{{"token_id", "id-1"}, {"secret", "secret-2"}}}));
  write_profile("id-1", "secret-2", "dev.cloud");
  const std::string second = api::_get_access_token();
  EXPECT_NE(second, first);
  auto logged = token_requests();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1]["host"], "token.dev.cloud." + domain());
}

TEST_F(ApiTest, RefusedTokenRequestsFailWithTheirMessageAndStoreNothing) {
  struct Case {
    std::string id, secret;
    json override_;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"id-1", "wrong", nullptr, "Authentication failed. Status code: 401"},
      {"nobody", "secret-1", nullptr, "Token nobody not found. Did you add the correct token id?"},
      {"id-1", "secret-1", {{"status", 500}}, "Authentication failed. Status code: 500"},
      {"id-1", "secret-1", {{"status", 201}}, "Authentication failed. Status code: 201"},
      {"id-1",
       "secret-1",
       {{"status", 404}},
       "Token id-1 not found. Did you add the correct token id?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    cloud_->clear_log();
    cloud_->set_override("token", c.override_.is_null() ? json::object() : c.override_);
    write_profile(c.id, c.secret, "cloud");
    try {
      api::_get_access_token();
      ADD_FAILURE() << "no KeelboxException";
    } catch (const keelbox::KeelboxException& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_THROW(api::create_get_request("/entitlements"), keelbox::KeelboxException);
    EXPECT_EQ(token_requests().size(), 2u);  // nothing was stored
  }
}

TEST_F(ApiTest, UnreadableTokenAnswersFailWithTheirErrorAndStoreNothing) {
  cloud_->set_override("token", {{"status", 200}, {"body", "not json"}});
  EXPECT_THROW(api::_get_access_token(), keelbox::ParseError);
  cloud_->set_override("token", {{"status", 200}, {"body", {{"token", "x"}}}});
  EXPECT_THROW(api::_get_access_token(), keelbox::KeyError);
  cloud_->set_override("token", {{"status", 200}, {"body", json::array({"access_token"})}});
  EXPECT_THROW(api::_get_access_token(), keelbox::KeyError);
  cloud_->set_override("token", json::object());
  EXPECT_EQ(api::_get_access_token().rfind("sbx-", 0), 0u);
  EXPECT_EQ(token_requests().size(), 4u);
}

TEST_F(ApiTest, GetRequestDescriptionsInBothEnvironments) {
  for (const std::string env : {"cloud", "dev.cloud"}) {
    write_profile("id-1", "secret-1", env);
    for (const std::string path : {"", "/entitlements", "/packages?limit=99"}) {
      SCOPED_TRACE(env + " " + path);
      api::RequestKWARGSDict d = api::create_get_request(path);
      EXPECT_EQ(d.url, "https://core." + env + "." + domain() + "/v1/license" + path);
      ASSERT_EQ(d.headers.size(), 2u);
      EXPECT_EQ(d.headers[0],
                (std::pair<std::string, std::string>{"Accept", "application/vnd.api+json"}));
      EXPECT_EQ(d.headers[1].first, "Authorization");
      EXPECT_EQ(d.headers[1].second.rfind("Bearer sbx-", 0), 0u);
      EXPECT_EQ(d.timeout, 5);
    }
  }
  EXPECT_EQ(token_requests().size(), 1u);
  EXPECT_TRUE(cloud_->requests().size() == 1u);  // the core service was never asked
}

TEST_F(ApiTest, SendGetAppliesTheDescription) {
  cloud_->update("pip_location", "https://pip.example.invalid/simple/");
  {
    keelbox::http::Response r = api::send_get(api::create_get_request("/entitlements"));
    EXPECT_EQ(r.status, 200);
    auto logged = cloud_->requests("/v1/license/entitlements");
    ASSERT_EQ(logged.size(), 1u);
    json sent = json::array();
    for (const auto& h : logged[0]["headers"]) {
      if (h[0] == "Accept" || h[0] == "Authorization") sent.push_back(h);
    }
    const std::string bearer = api::create_get_request("").headers[1].second;
    EXPECT_EQ(sent, json::array({json::array({"Accept", "application/vnd.api+json"}),
                                 json::array({"Authorization", bearer})}));

    keelbox::http::Response pip = api::send_get(api::create_get_request("/pip"), false);
    EXPECT_EQ(pip.status, 303);
    EXPECT_EQ(pip.header("location"), "https://pip.example.invalid/simple/");
    EXPECT_EQ(cloud_->connections("/v1/license/entitlements"),
              cloud_->connections("/v1/license/pip"));
  }
  // The 5-second time-out bounds each wait for data, also after part of the
  // answer has arrived.
  cloud_->set_override("entitlements", {{"stall_mid_body", 30}});
  const auto t0 = std::chrono::steady_clock::now();
  try {
    api::send_get(api::create_get_request("/entitlements"));
    ADD_FAILURE() << "no TransportError";
  } catch (const keelbox::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("failed: no data received for 5 seconds"),
              std::string::npos)
        << e.what();
  }
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 7.5);
}

// Runs inside the second process started by AnotherProcessReusesTheStoredToken.
TEST(ApiChildProcess, PrintAccessToken) {
  if (!std::getenv("KEELBOX_API_TEST_CHILD")) GTEST_SKIP() << "runs only as a child process";
  std::printf("ACCESS_TOKEN=%s\n", api::_get_access_token().c_str());
}

}  // namespace

namespace {

std::string nested(std::size_t depth, char open, char close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i)
    text += open == '{' ? std::string("{\"a\":") : std::string(1, open);
  text += "1";
  text += std::string(depth, close);
  return text;
}

// Every JSON answer is parsed with a bounded depth: deeper is an error, never a crash.
TEST(ParseJsonAnswer, DepthIsBoundedAndTextIsJson) {
  struct Case {
    std::string body;
    std::string error;  // empty: parsed
  };
  const std::string deep = "packages answer is nested deeper than 512 levels";
  const std::vector<Case> cases = {
      {R"([{"key": "a"}])", ""},
      {nested(512, '[', ']'), ""},
      {nested(512, '{', '}'), ""},
      {nested(513, '[', ']'), deep},
      {nested(513, '{', '}'), deep},
      {nested(100000, '[', ']'), deep},
      {std::string(100000, '['), deep},  // never closed: the depth is found first
      {"", "packages answer is not JSON: "},
      {"\x1f\x8b\x08", "packages answer is not JSON: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    if (c.error.empty()) {
      EXPECT_NO_THROW(api::parse_json_answer(c.body, "packages answer"));
      continue;
    }
    try {
      api::parse_json_answer(c.body, "packages answer");
      ADD_FAILURE() << "no ParseError";
    } catch (const keelbox::ParseError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
    }
  }
}

}  // namespace

// Service addresses, the access token and its memo, and authenticated GET
// requests, on the scripted HTTP engine with a throw-away configuration and
// cache.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/compressed_samples.hpp"
#include "../support/fake_http.hpp"
#include "../support/user_dirs.hpp"
#include "keelbox/api/api.hpp"
#include "keelbox/build_config.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

namespace api = keelbox::api;
namespace fs = std::filesystem;
using keelbox::testing::FakeAnswer;
using keelbox::testing::FakeHttp;
using keelbox::testing::RecordedRequest;
using nlohmann::json;

namespace {

std::string domain() { return keelbox::build::SERVICE_DOMAIN; }
std::string token_url(const std::string& env = "cloud") {
  return "https://token." + env + "." + domain() + "/oauth/token";
}
std::string core_url(const std::string& path, const std::string& env = "cloud") {
  return "https://core." + env + "." + domain() + "/v1/license" + path;
}

class ApiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { root_ = keelbox::testing::make_user_dirs("keelbox-api"); }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void SetUp() override {
    keelbox::_get_cache().clear();
    write_profile("id-1", "secret-1", "cloud");
    // The token service issues a new token for every request it is sent.
    http_.otherwise([this](const RecordedRequest& r) {
      if (r.url.rfind("https://token.", 0) != 0) return FakeAnswer(404);
      return FakeAnswer(200).body(
          json{{"access_token", "sbx-" + std::to_string(++issued_)}}.dump());
    });
  }

  static void write_profile(const std::string& id, const std::string& secret,
                            const std::string& env) {
    fs::create_directories(keelbox::get_config_file().parent_path());
    std::ofstream(keelbox::get_config_file())
        << "[profile]\ntoken_id = \"" << id << "\"\ntoken = \"" << secret << "\"\n"
        << "cloud_environment = \"" << env << "\"\n\n[options]\nadvanced_mode = false\n";
  }

  std::vector<RecordedRequest> token_requests() const {
    return http_.requests_to("https://token.");
  }

  // Moves every stored entry `seconds` into the past.
  static void age_cache(double seconds) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(keelbox::path_to_utf8(keelbox::_get_cache().path()).c_str(), &db),
              SQLITE_OK);
    std::string sql = "UPDATE cache SET expires_at = expires_at - " + std::to_string(seconds) +
                      ", created_at = created_at - " + std::to_string(seconds);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }

  static fs::path root_;
  FakeHttp http_;
  int issued_ = 0;
};
fs::path ApiTest::root_;

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
    http_.requests.clear();
    write_profile(c.id, c.secret, "cloud");
    EXPECT_EQ(api::basic_credential(c.id, c.secret), c.basic);
    const std::string token = api::_get_access_token(http_);

    ASSERT_EQ(http_.requests.size(), 1u);
    const RecordedRequest& r = http_.requests[0];
    EXPECT_EQ(r.url, token_url());
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.body, R"({"grant_type": "client_credentials"})");
    EXPECT_EQ(r.headers, (keelbox::http::Headers{{"Authorization", c.basic},
                                                 {"Content-Type", "application/json"}}));
    // No time-out: a silence of 60 s ends it; the answer is bounded JSON.
    EXPECT_FALSE(r.request.timeout_seconds.has_value());
    EXPECT_EQ(r.request.stall_seconds, 60);
    EXPECT_EQ(token, "sbx-" + std::to_string(issued_));
  }
}

TEST_F(ApiTest, StoredTokenIsReusedForThirtyMinutes) {
  const std::string first = api::_get_access_token(http_);
  EXPECT_EQ(api::create_get_request(http_, "/entitlements").headers[1].second, "Bearer " + first);
  EXPECT_EQ(api::create_get_request(http_, "/pip").headers[1].second, "Bearer " + first);
  EXPECT_EQ(token_requests().size(), 1u);

  // Stored under the keyword arguments, for 1800 seconds.
  keelbox::MemoArgs args;
  args.keyword = {{"TOKEN_USERNAME", "id-1"}, {"TOKEN_SECRET", "secret-1"}};
  const std::string key = keelbox::memo_key_text(
      keelbox::default_memo_key("keelbox.api", "_access_token_request", args));
  EXPECT_EQ(keelbox::_get_cache().get(key), json(first));

  age_cache(600);  // ten minutes later
  EXPECT_EQ(api::_get_access_token(http_), first);
  EXPECT_EQ(token_requests().size(), 1u);

  age_cache(1201);  // thirty-one minutes after the request
  const std::string second = api::_get_access_token(http_);
  EXPECT_NE(second, first);
  EXPECT_EQ(token_requests().size(), 2u);
}

TEST_F(ApiTest, ChangedSecretAsksAgainSwitchedEnvironmentDoesNot) {
  const std::string first = api::_get_access_token(http_);

  write_profile("id-1", "secret-1", "dev.cloud");
  EXPECT_EQ(api::_get_access_token(http_), first);
  EXPECT_EQ(token_requests().size(), 1u);

  write_profile("id-1", "secret-2", "dev.cloud");
  const std::string second = api::_get_access_token(http_);
  EXPECT_NE(second, first);
  const auto logged = token_requests();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[1].url, token_url("dev.cloud"));
}

TEST_F(ApiTest, RefusedTokenRequestsFailWithTheirMessageAndStoreNothing) {
  struct Case {
    std::string id;
    long status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"id-1", 401, "Authentication failed. Status code: 401"},
      {"nobody", 404, "Token nobody not found. Did you add the correct token id?"},
      {"id-1", 500, "Authentication failed. Status code: 500"},
      {"id-1", 201, "Authentication failed. Status code: 201"},
      {"id-1", 302, "Authentication failed. Status code: 302"},  // no Location: not followed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    http_.requests.clear();
    http_.on(token_url(), FakeAnswer(c.status).body(R"({"access_token": "never-used"})"));
    write_profile(c.id, "secret", "cloud");
    try {
      api::_get_access_token(http_);
      ADD_FAILURE() << "no KeelboxException";
    } catch (const keelbox::KeelboxException& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_THROW(api::create_get_request(http_, "/entitlements"), keelbox::KeelboxException);
    EXPECT_EQ(http_.requests.size(), 2u);  // nothing was stored
  }
}

TEST_F(ApiTest, UnusableTokenAnswersFailWithTheirErrorAndStoreNothing) {
  const std::string unusable = "The token service sent an access token that cannot be used: ";
  struct Case {
    std::string body;
    std::string error;  // the start of its text
  };
  const std::vector<Case> cases = {
      {"not json", "The token service's answer is not JSON: "},
      {R"({"token": "x"})", "'access_token'"},
      {R"(["access_token"])", "'access_token'"},
      {R"({"access_token": 5})", "The token service's access_token is not text"},
      {R"({"access_token": ""})", unusable + "it is empty."},
      {R"({"access_token": "a b"})", unusable + "it holds characters a bearer token cannot hold."},
      {R"({"access_token": "ab\r\nX-Evil: 1"})",
       unusable + "it holds characters a bearer token cannot hold."},
      {json{{"access_token", std::string(16 * 1024 + 1, 'a')}}.dump(),
       unusable + "it is longer than 16384 bytes."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 40));
    http_.requests.clear();
    http_.on(token_url(), FakeAnswer(200).body(c.body));
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        api::_get_access_token(http_);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << e.what();
      }
    }
    EXPECT_EQ(http_.requests.size(), 2u);  // nothing was stored
  }
  // Tokens of every allowed character are taken as they are.
  const std::string fine = "aZ09-._~+/==";
  http_.on(token_url(), FakeAnswer(200).body(json{{"access_token", fine}}.dump()));
  EXPECT_EQ(api::_get_access_token(http_), fine);
}

TEST_F(ApiTest, TokenAnswersAreBoundedAndMayBeCompressed) {
  http_.on(token_url(), FakeAnswer(200).header("Content-Length", "67108865"));
  try {
    api::_get_access_token(http_);
    ADD_FAILURE() << "no TransportError";
  } catch (const keelbox::TransportError& e) {
    EXPECT_EQ(std::string(e.what()),
              "POST " + token_url() + " failed: the answer is larger than 64 MiB");
  }
  // {"access_token": "..."} as gzip.
  const std::string gzip_answer(
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xab\x56\x4a\x4c\x4e\x4e\x2d\x2e\x8e\x2f\xc9\xcf"
      "\x4e\xcd\x53\xb2\x52\x50\x2a\x4e\xaa\xd0\x4d\xaf\xca\x2c\x50\xaa\x05\x00\x2d\xb4\x10\xf6\x1c"
      "\x00\x00\x00",
      48);
  http_.on(token_url(), FakeAnswer(200).header("Content-Encoding", "gzip").body(gzip_answer));
  EXPECT_EQ(api::_get_access_token(http_), "sbx-gzip");
}

TEST_F(ApiTest, TransportFailuresOfTheTokenRequestPassUnchanged) {
  http_.on(token_url(), FakeAnswer(200).chunk("{").silence(100).chunk("}"));
  try {
    api::_get_access_token(http_);
    ADD_FAILURE() << "no TransportError";
  } catch (const keelbox::TransportError& e) {
    EXPECT_EQ(std::string(e.what()),
              "POST " + token_url() + " failed: no data received for 60 seconds");
  }
  http_.on(token_url(), FakeAnswer(200).reset());
  EXPECT_THROW(api::_get_access_token(http_), keelbox::TransportError);
  EXPECT_EQ(token_requests().size(), 2u);
}

TEST_F(ApiTest, GetRequestDescriptionsInBothEnvironments) {
  for (const std::string env : {"cloud", "dev.cloud"}) {
    write_profile("id-1", "secret-1", env);
    for (const std::string path : {"", "/entitlements", "/packages?limit=99"}) {
      SCOPED_TRACE(env + " " + path);
      const api::RequestKWARGSDict d = api::create_get_request(http_, path);
      EXPECT_EQ(d.url, core_url(path, env));
      EXPECT_EQ(d.headers, (keelbox::http::Headers{{"Accept", "application/vnd.api+json"},
                                                   {"Authorization", "Bearer sbx-1"}}));
      EXPECT_EQ(d.timeout, 5);
    }
  }
  EXPECT_EQ(http_.requests.size(), 1u);  // the token; the core service was never asked
}

TEST_F(ApiTest, SendGetAppliesTheDescription) {
  const std::string index = "https://pip.example.invalid/simple/";
  http_.on(core_url("/entitlements"), FakeAnswer(200).body("[]"));
  http_.on(core_url("/pip"), FakeAnswer::redirect(303, index));
  const api::RequestKWARGSDict description = api::create_get_request(http_, "/entitlements");
  EXPECT_EQ(api::send_get(http_, description).status, 200);
  const RecordedRequest sent = http_.requests.back();
  EXPECT_EQ(sent.method, "GET");
  EXPECT_EQ(sent.url, core_url("/entitlements"));
  EXPECT_EQ(sent.headers, description.headers);

  const keelbox::http::Response pip =
      api::send_get(http_, api::create_get_request(http_, "/pip"), false);
  EXPECT_EQ(pip.status, 303);
  EXPECT_EQ(pip.header("location"), index);
  EXPECT_EQ(http_.requests.back().url, core_url("/pip"));  // not followed

  // The 5-second time-out bounds each wait for data, also after part of the
  // answer has arrived.
  http_.on(core_url("/entitlements"), FakeAnswer(200).chunk("[").silence(30).chunk("]"));
  try {
    api::send_get(http_, description);
    ADD_FAILURE() << "no TransportError";
  } catch (const keelbox::TransportError& e) {
    EXPECT_EQ(std::string(e.what()),
              "GET " + core_url("/entitlements") + " failed: no data received for 5 seconds");
  }
  // JSON answers are decoded and bounded.
  using keelbox::testing::samples::BODY;
  using keelbox::testing::samples::GZIP;
  http_.on(core_url("/entitlements"),
           FakeAnswer(200).header("Content-Encoding", "gzip").body(GZIP));
  EXPECT_EQ(api::send_get(http_, description).body, BODY);
  http_.on(core_url("/entitlements"), FakeAnswer(200).header("Content-Length", "67108865"));
  EXPECT_THROW(api::send_get(http_, description), keelbox::TransportError);
}

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

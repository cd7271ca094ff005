// The HTTP layer against the sandbox cloud: answers, errors, connection reuse,
// the stall guard and the concurrent (multi) use.
#include "keelbox/http/http.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "../support/sandbox.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace http = keelbox::http;
using keelbox::testing::SandboxCloud;
using nlohmann::json;

namespace {

const std::string BEARER = "Bearer test-token";

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cloud_ = std::make_unique<SandboxCloud>(json{{"accept_any_token", true}});
  }
  static void TearDownTestSuite() { cloud_.reset(); }

  void SetUp() override {
    cloud_->apply_env();
    cloud_->write_scenario(json{{"accept_any_token", true}});
    cloud_->clear_log();
  }

  std::string core(const std::string& path, const std::string& env = "cloud") const {
    return "https://" + cloud_->host("core", env) + "/v1/license" + path;
  }
  http::Request get(const std::string& path) const {
    http::Request r;
    r.url = core(path);
    r.headers = {{"Authorization", BEARER}};
    return r;
  }

  static std::unique_ptr<SandboxCloud> cloud_;
};
std::unique_ptr<SandboxCloud> HttpTest::cloud_;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(HttpTest, AnswerCarriesStatusReasonHeadersAndBody) {
  http::Response r = http::send(get("/entitlements"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.reason, "OK");
  EXPECT_EQ(r.url, core("/entitlements"));
  EXPECT_EQ(r.header("content-type"), "application/vnd.api+json");
  EXPECT_EQ(r.header("CONTENT-TYPE"), r.header("Content-Type"));
  EXPECT_FALSE(r.header("x-missing").has_value());
  EXPECT_EQ(json::parse(r.body).at(0).at("code"), "ENT_ZVK_SAMPLE_APP");
  EXPECT_NO_THROW(r.raise_for_status());
  // The request reached the service as sent.
  auto logged = cloud_->requests("/v1/license/entitlements");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["method"], "GET");
}

TEST_F(HttpTest, ErrorStatusesRaiseWithReasonAndAddress) {
  struct Case {
    json override_;
    long status;
    std::string reason;
    std::string text_start;
  };
  const std::vector<Case> cases = {
      {{{"status", 404}}, 404, "Not Found", "404 Client Error: Not Found for url: "},
      {{{"status", 500}}, 500, "Internal Server Error", "500 Server Error: Internal Server Error for url: "},
      {{{"status", 401}, {"reason", "Go Away Now"}}, 401, "Go Away Now", "401 Client Error: Go Away Now for url: "},
      {{{"status", 599}}, 599, "", "599 Server Error:  for url: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.override_.dump());
    cloud_->set_override("entitlements", c.override_);
    http::Response r = http::send(get("/entitlements"));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    try {
      r.raise_for_status();
      ADD_FAILURE() << "no HTTPStatusError";
    } catch (const keelbox::HTTPStatusError& e) {
      EXPECT_EQ(e.status(), c.status);
      EXPECT_EQ(std::string(e.what()), c.text_start + core("/entitlements"));
    }
  }
}

TEST_F(HttpTest, NonErrorStatusesDoNotRaise) {
  for (int status : {200, 204, 303, 399}) {
    http::Response r;
    r.status = status;
    EXPECT_NO_THROW(r.raise_for_status()) << status;
  }
  http::Response r;
  r.status = 600;
  EXPECT_NO_THROW(r.raise_for_status());
}

TEST_F(HttpTest, RedirectsAreFollowedOnlyWhenAsked) {
  cloud_->write_scenario({{"accept_any_token", true}, {"pip_location", core("/packages?limit=99")}});
  http::Request req = get("/pip");
  req.follow_redirects = false;
  http::Response not_followed = http::send(req);
  EXPECT_EQ(not_followed.status, 303);
  EXPECT_EQ(not_followed.reason, "See Other");
  EXPECT_EQ(not_followed.header("LOCATION"), core("/packages?limit=99"));

  req.follow_redirects = true;
  http::Response followed = http::send(req);
  EXPECT_EQ(followed.status, 200);
  EXPECT_EQ(followed.url, core("/packages?limit=99"));
  EXPECT_FALSE(followed.header("location").has_value());  // headers of the final answer only
  EXPECT_EQ(json::parse(followed.body).at(0).at("key"), "zvk-sample-app");
}

TEST_F(HttpTest, ConsecutiveRequestsToOneHostShareOneConnection) {
  for (const char* path : {"/entitlements", "/packages?limit=99", "/pip", "/entitlements"}) {
    http::Request req = get(path);
    req.follow_redirects = false;
    req.timeout_seconds = 5;
    EXPECT_LT(http::send(req).status, 400) << path;
  }
  // Another host needs its own connection; the first one stays in use.
  http::Request other = get("/entitlements");
  other.url = core("/entitlements", "dev.cloud");
  http::send(other);
  http::send(get("/entitlements"));
  EXPECT_EQ(cloud_->requests().size(), 6u);
  std::map<std::string, std::set<int>> by_host;
  for (const auto& e : cloud_->requests()) by_host[e["host"]].insert(e["conn"].get<int>());
  EXPECT_EQ(by_host[cloud_->host("core")].size(), 1u);
  EXPECT_EQ(by_host[cloud_->host("core", "dev.cloud")].size(), 1u);
}

TEST_F(HttpTest, ChunkedAndSlowBodiesArriveWhole) {
  cloud_->set_override("entitlements", {{"chunked", true}, {"chunk_size", 7}, {"chunk_delay", 0.01}});
  http::Response r = http::send(get("/entitlements"));
  EXPECT_EQ(r.status, 200);
  EXPECT_FALSE(r.header("content-length").has_value());
  EXPECT_EQ(json::parse(r.body).size(), 2u);
}

TEST_F(HttpTest, StalledTransfersEndWithTheStallError) {
  struct Case {
    json override_;
    std::optional<long> timeout;
    long stall;
    std::string reason;
  };
  // The silence is measured from the last data received, also after part of
  // the body has arrived.
  const std::vector<Case> cases = {
      {{{"stall_after_headers", 20}}, std::nullopt, 1, "no data received for 1 seconds"},
      {{{"stall_before_headers", 20}}, std::nullopt, 2, "no data received for 2 seconds"},
      {{{"stall_after_headers", 20}}, 1, 60, "no data received for 1 seconds"},
      {{{"stall_mid_body", 20}}, 2, 60, "no data received for 2 seconds"},
      {{{"stall_mid_body", 20}, {"chunked", true}}, std::nullopt, 1, "no data received for 1 seconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.override_.dump());
    cloud_->set_override("entitlements", c.override_);
    http::Request req = get("/entitlements");
    req.timeout_seconds = c.timeout;
    req.stall_seconds = c.stall;
    const auto t0 = std::chrono::steady_clock::now();
    try {
      http::send(req);
      ADD_FAILURE() << "no TransportError";
    } catch (const keelbox::TransportError& e) {
      EXPECT_EQ(std::string(e.what()), "GET " + core("/entitlements") + " failed: " + c.reason);
    }
    EXPECT_LT(seconds_since(t0), static_cast<double>(c.timeout.value_or(c.stall)) + 2.5);
  }
}

TEST_F(HttpTest, TransportFailuresNameTheAddressAndTheReason) {
  // A body cut off before its announced length.
  cloud_->set_override("entitlements", {{"cut_after", 10}});
  try {
    http::send(get("/entitlements"));
    ADD_FAILURE() << "no TransportError for a cut-off body";
  } catch (const keelbox::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("GET " + core("/entitlements") + " failed: "), std::string::npos);
  }
  // A host the proxy refuses.
  try {
    http::Request req;
    req.url = "https://elsewhere.example.org/x";
    http::send(req);
    ADD_FAILURE() << "no TransportError for a refused tunnel";
  } catch (const keelbox::TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("https://elsewhere.example.org/x failed: "), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("403"), std::string::npos) << e.what();
  }
  // A server whose certificate is not trusted.
  unsetenv("SSL_CERT_FILE");
  EXPECT_THROW(http::send(get("/packages?limit=99")), keelbox::TransportError);
}

TEST_F(HttpTest, TransfersRunConcurrentlyOnOneMultiHandle) {
  cloud_->set_override("examples", {{"chunk_size", 1000}, {"chunk_delay", 0.01}});
  std::string big(20000, 'x');
  for (int i = 0; i < 3; ++i) {
    std::ofstream(cloud_->examples_dir / ("ex" + std::to_string(i) + ".tar.gz"), std::ios::binary) << big;
  }
  http::MultiHandle multi = http::make_multi();
  std::vector<std::unique_ptr<http::Transfer>> transfers;
  std::vector<std::string> received(4);
  std::vector<std::optional<std::string>> lengths(4);
  for (int i = 0; i < 4; ++i) {  // ex3 does not exist: 404
    auto t = std::make_unique<http::Transfer>(
        get("/artifacts/examples/ex" + std::to_string(i) + ".tar.gz"),
        [&, i](std::string_view chunk) {
          EXPECT_LE(chunk.size(), 8192u);
          if (!lengths[i]) lengths[i] = transfers[i]->header("Content-Length");
          received[i] += chunk;
        });
    curl_easy_setopt(t->handle(), CURLOPT_BUFFERSIZE, 8192L);
    curl_multi_add_handle(multi.get(), t->handle());
    transfers.push_back(std::move(t));
  }
  std::map<CURL*, http::Response> done;
  int running = 1;
  while (running) {
    ASSERT_EQ(curl_multi_perform(multi.get(), &running), CURLM_OK);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
      for (auto& t : transfers) {
        if (t->handle() == msg->easy_handle) done[msg->easy_handle] = t->finish(msg->data.result);
      }
    }
    if (running) curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
  }
  for (auto& t : transfers) curl_multi_remove_handle(multi.get(), t->handle());
  ASSERT_EQ(done.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(done[transfers[i]->handle()].status, 200);
    EXPECT_EQ(received[i], big);
    EXPECT_EQ(lengths[i], "20000");
    EXPECT_TRUE(done[transfers[i]->handle()].body.empty());  // it went to the sink
  }
  EXPECT_EQ(done[transfers[3]->handle()].status, 404);
  // The transfers overlapped: their TLS connections were open at once.
  EXPECT_GE(cloud_->connections().size(), 2u);
}

TEST_F(HttpTest, AnErrorInTheSinkEndsTheTransferWithThatError) {
  http::Transfer t(get("/entitlements"), [](std::string_view) { throw std::runtime_error("disk full"); });
  EXPECT_THROW(t.perform(), std::runtime_error);
}

}  // namespace

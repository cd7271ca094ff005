// What every transfer does with its answer, on the scripted engine: statuses
// and reasons, redirects (and those that leave https), the stall guard on a
// fake clock, size bounds, content decoding, the head check, the sink, and
// sessions of concurrent transfers with their progress.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/compressed_samples.hpp"
#include "../support/fake_http.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/http/http.hpp"

namespace http = keelbox::http;
using namespace keelbox::testing::samples;
using keelbox::testing::FakeAnswer;
using keelbox::testing::FakeClock;
using keelbox::testing::FakeHttp;
using keelbox::testing::RecordingObserver;

namespace {

const std::string URL = "https://core.example.test/v1/license/entitlements";
http::Request get(const std::string& url = URL) {
  http::Request r;
  r.url = url;
  r.headers = {{"Authorization", "Bearer test-token"}};
  return r;
}

// The text of the TransportError that `request` ends with ("" for none).
std::string failure(FakeHttp& fake, const http::Request& request) {
  try {
    fake.send(request);
  } catch (const keelbox::TransportError& e) {
    return e.what();
  }
  return "";
}

TEST(Transfer, AnswerCarriesStatusReasonHeadersAndBodyAndTheRequestIsRecorded) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).header("Content-Type", "application/vnd.api+json").body(BODY));
  http::Request req = get();
  req.method = "POST";
  req.body = "{}";
  const http::Response r = fake.send(req);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.reason, "OK");
  EXPECT_EQ(r.url, URL);
  EXPECT_EQ(r.header("CONTENT-TYPE"), "application/vnd.api+json");
  EXPECT_EQ(r.header("content-length"), std::to_string(BODY.size()));
  EXPECT_FALSE(r.header("x-missing").has_value());
  EXPECT_EQ(r.body, BODY);
  ASSERT_EQ(fake.requests.size(), 1u);
  EXPECT_EQ(fake.requests[0].method, "POST");
  EXPECT_EQ(fake.requests[0].body, "{}");
  EXPECT_EQ(fake.requests[0].header("authorization"), "Bearer test-token");
}

TEST(Transfer, ErrorStatusesRaiseWithReasonAndAddress) {
  struct Case {
    long status;
    std::string sent_reason, reason, text;
  };
  const std::vector<Case> cases = {
      {404, "", "Not Found", "404 Client Error: Not Found for url: " + URL},
      {500, "", "Internal Server Error", "500 Server Error: Internal Server Error for url: " + URL},
      {401, "Go Away Now", "Go Away Now", "401 Client Error: Go Away Now for url: " + URL},
      {599, "", "", "599 Server Error:  for url: " + URL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    FakeHttp fake;
    fake.on(URL, FakeAnswer(c.status, c.sent_reason));
    const http::Response r = fake.send(get());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    try {
      r.raise_for_status();
      ADD_FAILURE() << "no HTTPStatusError";
    } catch (const keelbox::HTTPStatusError& e) {
      EXPECT_EQ(e.status(), c.status);
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
  for (long status : {200L, 204L, 303L, 399L, 600L}) {
    http::Response r;
    r.status = status;
    EXPECT_NO_THROW(r.raise_for_status()) << status;
  }
}

TEST(Transfer, RedirectsAreFollowedOnlyWhenAskedAndOnlyOnHttps) {
  const std::string next = "https://core.example.test/v1/license/packages?limit=99";
  const std::string plain = "http://127.0.0.1:8080/v1/license/entitlements";
  for (long status : {301L, 302L, 303L, 307L, 308L}) {
    SCOPED_TRACE(status);
    FakeHttp fake;
    fake.on(URL, FakeAnswer::redirect(status, next)).on(next, FakeAnswer(200).body(BODY));
    http::Request req = get();
    req.follow_redirects = false;
    const http::Response not_followed = fake.send(req);
    EXPECT_EQ(not_followed.status, status);
    EXPECT_EQ(not_followed.header("LOCATION"), next);

    const http::Response followed = fake.send(get());
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.url, next);
    EXPECT_FALSE(followed.header("location").has_value());  // the final answer's headers only
    EXPECT_EQ(followed.body, BODY);

    // A redirect that leaves https ends the transfer before it is followed.
    FakeHttp leaving;
    leaving.on(URL, FakeAnswer::redirect(status, plain));
    EXPECT_EQ(failure(leaving, get()), "GET " + URL + " failed: redirected to " + plain +
                                           ", which is not HTTPS; only HTTPS is followed");
    EXPECT_EQ(leaving.requests.size(), 1u);
    req.follow_redirects = false;
    EXPECT_EQ(leaving.send(req).status, status);  // not followed, the answer itself
  }
  // Relative addresses stay on https; other schemes are refused whatever
  // their spelling, also for a POST.
  FakeHttp fake;
  fake.on(URL, FakeAnswer::redirect(302, "/v1/license/packages?limit=99"))
      .on(next, FakeAnswer(200));
  EXPECT_EQ(fake.send(get()).url, next);
  fake.on(URL, FakeAnswer::redirect(308, "HTTP://token.example/x"));
  http::Request post = get();
  post.method = "POST";
  EXPECT_EQ(failure(fake, post), "POST " + URL +
                                     " failed: redirected to HTTP://token.example/x, which is "
                                     "not HTTPS; only HTTPS is followed");
}

TEST(Transfer, TooManyRedirectsEndWithTheLastAddress) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer::redirect(302, URL));
  try {
    fake.send(get());
    ADD_FAILURE() << "no TooManyRedirects";
  } catch (const http::TooManyRedirects& e) {
    EXPECT_EQ(e.url(), URL);
    EXPECT_EQ(std::string(e.what()).rfind("GET " + URL + " failed: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(fake.requests.size(), static_cast<std::size_t>(http::MAX_REDIRECTS) + 1);
}

TEST(Transfer, SilenceEndsTheTransferAfterItsPeriod) {
  struct Case {
    std::string what;
    FakeAnswer answer;
    std::optional<long> timeout;
    long stall;
  };
  const std::vector<Case> cases = {
      {"after the headers", FakeAnswer(200).silence(200).body(BODY), std::nullopt, 1},
      {"before the headers", FakeAnswer(200).head_after(200).body(BODY), std::nullopt, 2},
      {"the time-out wins", FakeAnswer(200).silence(200).body(BODY), 5, 60},
      {"mid-body", FakeAnswer(200).chunk("[1,").silence(200).chunk("2]"), 2, 60},
      {"mid-body, unannounced", FakeAnswer(200).unannounced().chunk("[").silence(200).chunk("]"),
       std::nullopt, 60},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHttp fake;
    fake.on(URL, c.answer);
    http::Request req = get();
    req.timeout_seconds = c.timeout;
    req.stall_seconds = c.stall;
    const long period = c.timeout.value_or(c.stall);
    EXPECT_EQ(failure(fake, req), "GET " + URL + " failed: no data received for " +
                                      std::to_string(period) + " seconds");
    EXPECT_GE(fake.clock.elapsed(), static_cast<double>(period));
    EXPECT_LT(fake.clock.elapsed(), static_cast<double>(period) + 1.0);
  }
}

TEST(Transfer, SilenceIsMeasuredFromTheLastByte) {
  // One byte every 1.5 s with a 2-second time-out: longer than the time-out
  // all told, never silent for that long.
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).trickle("[1,2,3]", 1, 1.5));
  http::Request req = get();
  req.timeout_seconds = 2;
  EXPECT_EQ(fake.send(req).body, "[1,2,3]");
  EXPECT_GT(fake.clock.elapsed(), 8.0);

  // Header lines count as data too.
  FakeClock clock;
  http::Transfer transfer(get());
  transfer.begin(clock);
  http::StallGuard& guard = transfer.stall_guard();
  guard.sent();
  for (const char* line : {"HTTP/1.1 200 OK\r\n", "X-A: 1\r\n", "X-B: 2\r\n", "\r\n"}) {
    clock.advance(std::chrono::seconds(50));
    transfer.answering(200, URL);
    EXPECT_TRUE(transfer.header_line(line));
    EXPECT_FALSE(guard.expired()) << line;
  }
  clock.advance(std::chrono::seconds(60));
  EXPECT_TRUE(guard.expired());
  // A redirect's new connection is bounded by the connect time-out instead,
  // until its request goes out.
  http::StallGuard redirected(clock, 1);
  redirected.sent();
  redirected.redirected();
  clock.advance(std::chrono::seconds(5));
  EXPECT_FALSE(redirected.expired());
  redirected.sent();
  clock.advance(std::chrono::seconds(1));
  EXPECT_TRUE(redirected.expired());
  EXPECT_TRUE(redirected.stalled());
}

TEST(Transfer, AResetConnectionIsATransportErrorNamingTheRequest) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).chunk("[1,").reset());
  EXPECT_EQ(failure(fake, get()), "GET " + URL + " failed: " + std::string(FakeHttp::RESET_REASON));
  // So is an address that is not https: it is never asked.
  EXPECT_EQ(failure(fake, get("http://core.example.test/x"))
                .rfind("GET http://core.example.test/x failed: ", 0),
            0u);
}

TEST(Transfer, AnswersAreBoundedWhileTheyArrive) {
  const std::string big(5000, 'x');
  struct Case {
    std::string what;
    FakeAnswer answer;
    std::size_t limit;
    std::size_t received;  // 0: refused
  };
  const std::vector<Case> cases = {
      {"announced too long", FakeAnswer(200).body(big), 1000, 0},
      {"found too long on the way", FakeAnswer(200).unannounced().trickle(big, 100, 0), 1000, 0},
      {"small, but not once decoded",
       FakeAnswer(200).header("Content-Encoding", "gzip").body(GZIP_5000_X), 1000, 0},
      {"within the bound", FakeAnswer(200).body(big.substr(0, 500)), 1000, 500},
      {"at the bound", FakeAnswer(200).unannounced().trickle(big.substr(0, 1000), 300, 0), 1000,
       1000},
      {"no bound", FakeAnswer(200).body(big), 0, 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHttp fake;
    fake.on(URL, c.answer);
    http::Request req = get();
    req.max_body_bytes = c.limit;
    req.decode_content = true;
    if (c.received == 0) {
      EXPECT_EQ(failure(fake, req), "GET " + URL + " failed: the answer is larger than 1000 bytes");
    } else {
      EXPECT_EQ(fake.send(req).body.size(), c.received);
    }
  }
  // The bound is told in MiB when it is whole MiB.
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).header("Content-Length", "3145729"));
  http::Request req = get();
  req.max_body_bytes = 3 * 1024 * 1024;
  EXPECT_EQ(failure(fake, req), "GET " + URL + " failed: the answer is larger than 3 MiB");
}

TEST(Transfer, EncodedAnswersAreDecodedOnlyWhenAsked) {
  struct Case {
    std::string encoding, data;
  };
  const std::vector<Case> cases = {
      {"gzip", GZIP}, {"x-gzip", GZIP}, {"deflate", ZLIB}, {"deflate", RAW_DEFLATE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoding + " " + std::to_string(c.data.size()));
    FakeHttp fake;
    fake.on(URL, FakeAnswer(200).header("Content-Encoding", c.encoding).trickle(c.data, 7, 0.01));
    http::Request req = get();
    EXPECT_EQ(fake.send(req).body, c.data);  // archives stay as they are sent
    req.decode_content = true;
    const http::Response r = fake.send(req);
    EXPECT_EQ(r.body, BODY);
    EXPECT_EQ(r.header("content-encoding"), c.encoding);
    for (const auto& sent : fake.requests) EXPECT_FALSE(sent.header("Accept-Encoding"));
  }
  struct Broken {
    std::string data, error;  // error "": the answer is ""
  };
  const std::vector<Broken> broken = {
      {"not gzip at all", "the compressed answer is damaged"},
      {GZIP.substr(0, 30), "the compressed answer ends early"},
      {"", ""},  // empty is no compressed data
  };
  for (const auto& b : broken) {
    SCOPED_TRACE(b.error);
    FakeHttp fake;
    fake.on(URL, FakeAnswer(200).header("Content-Encoding", "gzip").body(b.data));
    http::Request req = get();
    req.decode_content = true;
    if (b.error.empty()) {
      EXPECT_EQ(fake.send(req).body, "");
    } else {
      EXPECT_EQ(failure(fake, req), "GET " + URL + " failed: " + b.error);
    }
  }
}

TEST(Transfer, TheSinkAndTheHeadCheckDecideWhatBecomesOfTheBody) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).body(std::string(20000, 'x')));
  std::vector<std::size_t> pieces;
  http::Transfer chunked(get(), [&](std::string_view piece) { pieces.push_back(piece.size()); });
  chunked.set_chunk_size(8192);
  EXPECT_TRUE(fake.perform(chunked).body.empty());  // it went to the sink
  EXPECT_EQ(pieces, (std::vector<std::size_t>{8192, 8192, 3616}));

  http::Transfer failing(get(), [](std::string_view) { throw std::runtime_error("disk full"); });
  EXPECT_THROW(fake.perform(failing), std::runtime_error);

  fake.on(URL, FakeAnswer(404).body("gone"));
  bool sunk = false;
  http::Transfer refused(
      get(), [&](std::string_view) { sunk = true; },
      [](const http::Response& head) { return head.status < 400; });
  const http::Response r = fake.perform(refused);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.reason, "Not Found");
  EXPECT_TRUE(r.body.empty());
  EXPECT_FALSE(sunk);
}

TEST(Session, RunsTransfersConcurrentlyAndReportsTheirProgress) {
  const std::string big(20000, 'x');
  FakeHttp fake;
  for (int i = 0; i < 3; ++i) {
    fake.on(URL + std::to_string(i), FakeAnswer(200).trickle(big, 1000, 0.5));
  }
  // URL3 is not scripted: 404, refused by the check.
  RecordingObserver observer;
  std::vector<std::string> received(4);
  std::vector<std::string> order;  // which transfer delivered, in turn
  std::map<std::size_t, http::Response> done;
  {
    const std::unique_ptr<http::Session> session = fake.session(&observer);
    std::vector<std::unique_ptr<http::Transfer>> transfers;
    for (std::size_t i = 0; i < 4; ++i) {
      auto t = std::make_unique<http::Transfer>(
          get(URL + std::to_string(i)),
          [&, i](std::string_view chunk) {
            received[i] += chunk;
            if (order.empty() || order.back() != std::to_string(i))
              order.push_back(std::to_string(i));
          },
          [](const http::Response& head) { return head.status < 400; });
      session->add(*t, "ex" + std::to_string(i),
                   [&, i](http::Transfer& ended) { done[i] = ended.finish(); });
      transfers.push_back(std::move(t));
    }
    session->run();
  }
  ASSERT_EQ(done.size(), 4u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(done[i].status, 200);
    EXPECT_EQ(received[i], big);
  }
  EXPECT_EQ(done[3].status, 404);
  EXPECT_TRUE(received[3].empty());
  ASSERT_EQ(observer.bars.size(), 3u);  // none for the refused one
  for (const auto& bar : observer.bars) {
    EXPECT_EQ(bar.total, 20000u) << bar.label;
    EXPECT_EQ(bar.done, 20000u) << bar.label;
    EXPECT_TRUE(bar.ended) << bar.label;
  }
  EXPECT_GT(order.size(), 3u);            // their pieces interleaved
  EXPECT_LT(fake.clock.elapsed(), 11.0);  // in the time of one, not of three
}

TEST(Session, AFailedTransferEndsWithItsErrorInItsCompletion) {
  struct Case {
    std::string what;
    FakeAnswer answer;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"stalled", FakeAnswer(200).chunk(std::string(2500, 'x')).silence(200).chunk("x"),
       "no data received for 1 seconds"},
      {"reset", FakeAnswer(200).chunk("x").reset(), FakeHttp::RESET_REASON},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHttp fake;
    fake.on(URL, c.answer);
    fake.on(URL + "/fine", FakeAnswer(200).body("fine"));
    RecordingObserver observer;
    const std::unique_ptr<http::Session> session = fake.session(&observer);
    http::Request req = get();
    req.stall_seconds = 1;
    http::Transfer failing(req, [](std::string_view) {});
    http::Transfer fine(get(URL + "/fine"));
    std::string error;
    std::string fine_body;
    session->add(failing, "failing", [&](http::Transfer& ended) {
      try {
        ended.finish();
      } catch (const keelbox::TransportError& e) {
        error = e.what();
      }
    });
    session->add(fine, "fine", [&](http::Transfer& ended) { fine_body = ended.finish().body; });
    session->run();
    EXPECT_EQ(error, "GET " + URL + " failed: " + c.reason);
    EXPECT_EQ(fine_body, "fine");
    ASSERT_EQ(observer.bars.size(), 2u);
    EXPECT_TRUE(observer.bars[0].ended);
  }
}

TEST(Session, AnUnreadableLengthIsAParseErrorWhenProgressIsShown) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).header("Content-Length", "12abc").body("x"));
  RecordingObserver observer;
  const std::unique_ptr<http::Session> session = fake.session(&observer);
  http::Transfer t(get());
  session->add(t, "t", [](http::Transfer& ended) { ended.finish(); });
  try {
    session->run();
    ADD_FAILURE() << "no ParseError";
  } catch (const keelbox::ParseError& e) {
    EXPECT_EQ(std::string(e.what()), "Unreadable content-length '12abc' from " + URL);
  }
}

TEST(Session, ATransferDestroyedFirstLeavesTheSession) {
  FakeHttp fake;
  fake.on(URL, FakeAnswer(200).body("x"));
  const std::unique_ptr<http::Session> session = fake.session(nullptr);
  bool ran = false;
  {
    http::Transfer gone(get());
    session->add(gone, "gone", [&](http::Transfer&) { ran = true; });
  }
  session->run();
  EXPECT_FALSE(ran);
}

}  // namespace

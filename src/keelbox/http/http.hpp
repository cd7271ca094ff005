#pragma once
// The tool's HTTP requests: what a request and an answer are, the logic every
// transfer follows whatever carries it, and the seam (Client) behind which the
// engine sits. The real engine is libcurl (which nothing but http.cpp
// includes); tests put a scripted fake in its place
// (tests/unit/support/fake_http.hpp). Every network caller takes a Client, so
// that all requests behave alike:
//
// - HTTPS only: a request for another scheme fails, and so does a redirect
//   that leaves https (a TransportError naming the address redirected to).
// - TLS certificates and host names are always verified. The bundle of
//   certificate authorities to trust is SSL_CERT_FILE, else REQUESTS_CA_BUNDLE,
//   else CURL_CA_BUNDLE (the first set and not empty), else the system's
//   (ca_bundle.hpp: on Linux the first file of the places distributions keep
//   it, on Windows the system's store); SSL_CERT_DIR (a hashed folder) adds
//   more. A certificate failure names these variables, and the places looked
//   at when none is set.
// - Proxies come from the environment exactly as curl takes them
//   (HTTPS_PROXY/https_proxy, NO_PROXY/no_proxy, ...): nothing here sets or
//   disables a proxy. A proxy that asks for credentials (407) or cannot be
//   reached is named as the proxy, its password masked.
// - All requests of one process share one connection cache, the TLS session
//   cache and the DNS cache (a process-wide share handle), so consecutive
//   requests to one host reuse one connection.
// - No wait is unbounded: connection set-up is bounded by the request's
//   time-out (else its stall period), and a transfer that receives no data for
//   the time-out (else the stall period, 60 s by default) ends with a
//   TransportError "... no data received for N seconds". The silence is
//   measured from the last byte received, header or body, by a StallGuard on
//   the engine's Clock.
// - A body can be bounded (Request::max_body_bytes: refused while arriving)
//   and, for answers that are not files, freed of a gzip or deflate
//   Content-Encoding (Request::decode_content).
//
// The first three are the engine's; the rest is decided here, above it, by
// the Transfer that the engine feeds with the answer as it arrives.
//
// Blocking use:
//
//   http::Response r = client.send({.method = "GET", .url = url, .headers = {...}});
//   r.raise_for_status();   // HTTPStatusError for 400..599
//
// Concurrent use: a Session drives many Transfers on this thread and tells a
// ProgressObserver how their bodies advance:
//
//   std::unique_ptr<http::Session> session = client.session(&observer);
//   http::Transfer t(request, sink, accept_head);
//   session->add(t, "label", [](http::Transfer& done) { use(done.finish()); });
//   session->run();
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/clock.hpp"

namespace keelbox::http {

// Header fields in the order sent or received; names keep their spelling.
using Headers = std::vector<std::pair<std::string, std::string>>;

// No data for this many seconds ends a transfer that has no time-out of its own.
inline constexpr long DEFAULT_STALL_SECONDS = 60;
// Redirects followed at most (when following is on).
inline constexpr long MAX_REDIRECTS = 30;

struct Request {
  std::string method = "GET";
  std::string url;
  Headers headers;
  std::string body;  // sent when not empty, or when the method is POST/PUT/PATCH
  bool follow_redirects = true;
  // Bounds connection set-up and each wait for data (not the whole transfer).
  std::optional<long> timeout_seconds;
  // No data for this long ends the transfer (when no time-out is set).
  long stall_seconds = DEFAULT_STALL_SECONDS;
  // A body (after decoding) larger than this ends the transfer while it
  // arrives, with a TransportError; 0 sets no bound.
  std::size_t max_body_bytes = 0;
  // Undo a gzip or deflate Content-Encoding of the answer. For answers that
  // are data, never for files such as archives (which are gzip files).
  bool decode_content = false;
};

// The silence, in seconds, that ends a transfer of `request`: its time-out,
// else its stall period (DEFAULT_STALL_SECONDS when not positive).
long stall_period(const Request& request);

// Whether `request` sends a body (it has one, or its method is POST/PUT/PATCH).
bool sends_body(const Request& request);

// The first header of that name in `headers`, compared without regard to case.
std::optional<std::string> find_header(const Headers& headers, std::string_view name);

struct Response {
  long status = 0;
  std::string reason;  // from the status line, else the standard phrase
  std::string url;     // the address finally answered (after redirects)
  Headers headers;     // of the final answer
  std::string body;

  // The first header of that name, compared without regard to letter case.
  std::optional<std::string> header(std::string_view name) const;
  // Throws keelbox::HTTPStatusError(status, reason, url) for 400..599.
  void raise_for_status() const;
};

// The standard reason phrase of a status code ("" when unknown).
std::string_view standard_reason(long status);

// The answer described by raw header lines as they are received (each with its
// line end; only the last answer's block counts) and `status`: reason and
// headers, no body. Every transfer reads its answer's head this way.
Response response_from_head(const std::vector<std::string>& header_lines, long status);

// A transfer that ended after MAX_REDIRECTS redirects; url() is the last
// address answered. Its kind and text are those of any TransportError.
class TooManyRedirects : public TransportError {
 public:
  TooManyRedirects(const std::string& text, std::string url)
      : TransportError(text), url_(std::move(url)) {}
  const std::string& url() const noexcept { return url_; }

 private:
  std::string url_;
};

// A transfer ended because its body (announced or arriving) passed
// Request::max_body_bytes. Its kind and text are those of any TransportError.
class TooLarge : public TransportError {
 public:
  using TransportError::TransportError;
};

// ---- time ------------------------------------------------------------------

// Where a transfer's silence is measured (platform/clock.hpp). The engine's
// is steady_clock(); a test's can be moved by hand.
using keelbox::Clock;
using keelbox::steady_clock;

// Decides when a transfer has waited too long for data. Silence counts from
// the moment a request is sent (connection set-up has its own time-out) and
// again from every header line, every piece of the body and of the upload.
// The engine tells it what happens and asks expired() as often as it can
// (libcurl: about once a second and on every event); once it is true, the
// engine ends the transfer and stalled() stays true.
class StallGuard {
 public:
  StallGuard(const Clock& clock, long period_seconds) : clock_(&clock), period_(period_seconds) {}

  // A request is out and its answer is due.
  void sent() {
    waiting_ = true;
    data();
  }
  // Data arrived (a header line, a piece of the body) or went out.
  void data() { last_ = clock_->now(); }
  // A redirect is being followed: its new connection is bounded by the
  // connect time-out until its request is sent.
  void redirected() { waiting_ = false; }

  bool waiting() const { return waiting_; }
  // True once an answer is due and no data has come for the period.
  bool expired() {
    if (!waiting_) return false;
    if (clock_->now() - last_ >= std::chrono::seconds(period_)) stalled_ = true;
    return stalled_;
  }
  bool stalled() const { return stalled_; }
  long period() const { return period_; }

 private:
  const Clock* clock_;
  long period_;
  bool waiting_ = false;
  bool stalled_ = false;
  Clock::time_point last_{};
};

// ---- transfers -------------------------------------------------------------

// Told how the bodies of a Session's transfers advance.
class ProgressObserver {
 public:
  using Id = std::size_t;
  virtual ~ProgressObserver() = default;
  // A body begins (its head was accepted); `total` is its announced length,
  // 0 when unknown. The Id returned names it in the calls that follow.
  virtual Id begun(std::string_view label, std::uint64_t total) = 0;
  virtual void advanced(Id id, std::uint64_t bytes) = 0;
  // The transfer has ended (before its completion runs).
  virtual void ended(Id id) = 0;
};

class Session;

// One request and what becomes of its answer: the head read and checked
// (redirects that leave https, the head check, the size bound, decoding), the
// body decoded, bounded and handed on in pieces, the silence guarded, and the
// outcome told as a Response or an error. An engine carries the bytes and
// feeds them in (the engine's side, below); a Client or Session runs it.
class Transfer {
 public:
  // Receives the body in pieces of at most set_chunk_size() bytes (when set)
  // instead of Response::body.
  using DataSink = std::function<void(std::string_view chunk)>;
  // Sees the head (status, reason, headers, address) of the final answer
  // before its body; returning false refuses the body: the transfer ends
  // without reading it, and finish() returns the Response without a body.
  using HeadCheck = std::function<bool(const Response& head)>;

  explicit Transfer(Request request, DataSink sink = nullptr, HeadCheck accept = nullptr);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  // Leaves the session still running it.
  ~Transfer();

  const Request& request() const;
  // Largest piece handed to the sink at a time (0: as they arrive).
  void set_chunk_size(std::size_t bytes);
  std::size_t chunk_size() const;

  // The outcome of a transfer that has ended: the Response, or a
  // TransportError (TooManyRedirects after too many redirects). An exception
  // thrown by the sink or the head check is rethrown here.
  Response finish();

  // ---- the engine's side ----

  // How the engine's exchange ended.
  struct Ending {
    enum class Kind {
      complete,            // the answer arrived whole
      aborted,             // the engine ended it because the stall guard expired
      too_many_redirects,  // after MAX_REDIRECTS redirects
      failed,              // anything else, a refusal of this side included
    };
    Kind kind = Kind::complete;
    // Unless complete: why, as it follows "<method> <url> failed: ".
    std::string reason;
  };

  // Before the request goes out: silence is measured on `clock`, and a body
  // that begins is told to `observer` (when given) under `label`.
  void begin(const Clock& clock, ProgressObserver* observer = nullptr, std::string label = {});
  StallGuard& stall_guard();
  // The status of the answer being received (0 before its status line) and
  // the address it answers; told before each header line, piece and ending.
  void answering(long status, std::string_view url);
  // A header line as received, with its line end. False: end the transfer.
  bool header_line(std::string_view line);
  // A piece of the body as received. False: end the transfer.
  bool body(std::string_view data);
  // The exchange is over; finish() tells the outcome.
  void end(Ending ending);

  struct Impl;

 private:
  friend class Session;
  std::unique_ptr<Impl> impl_;
  Session* session_ = nullptr;
};

// Concurrent transfers driven on this thread, sharing connections.
class Session {
 public:
  using Completion = std::function<void(Transfer& transfer)>;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Abandons the transfers still running.
  virtual ~Session() = default;

  // Begins `transfer` (which must outlive its run here). `label` names it to
  // the observer; `done` runs once it has ended and calls transfer.finish().
  // A completion may add further transfers, which the same run drives.
  virtual void add(Transfer& transfer, std::string label, Completion done) = 0;
  // Drives every transfer until all have ended. An exception thrown by a
  // completion ends the run at once (the others are abandoned).
  virtual void run() = 0;

 protected:
  // `transfer` is driven here until released: its destruction calls forget().
  void hold(Transfer& transfer) { transfer.session_ = this; }
  static void release(Transfer& transfer) { transfer.session_ = nullptr; }
  // `transfer`, still held, is being destroyed: drop it without a word.
  virtual void forget(Transfer& transfer) noexcept = 0;

 private:
  friend class Transfer;
};

// What carries requests: the real engine (system_client()) or a fake.
class Client {
 public:
  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  virtual ~Client() = default;

  // Runs `transfer` to its end on this thread; then as transfer.finish().
  virtual Response perform(Transfer& transfer) = 0;
  // A set of concurrent transfers whose bodies are told to `observer`.
  virtual std::unique_ptr<Session> session(ProgressObserver* observer = nullptr) = 0;

  // Sends one request and waits for the whole answer. Transport failures
  // throw TransportError; error statuses are returned (see raise_for_status).
  Response send(const Request& request);
};

// The process-wide libcurl client.
Client& system_client();

}  // namespace keelbox::http

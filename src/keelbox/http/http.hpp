#pragma once
// The tool's one HTTP engine, over libcurl (which nothing else includes).
// Every network caller goes through it, so that all requests behave alike:
//
// - HTTPS only: a request for another scheme fails, and so does a redirect
//   that leaves https (a TransportError naming the address redirected to).
// - TLS certificates and host names are always verified. The bundle of
//   certificate authorities to trust is SSL_CERT_FILE, else REQUESTS_CA_BUNDLE,
//   else CURL_CA_BUNDLE (the first set and not empty), else libcurl's default;
//   SSL_CERT_DIR (a hashed folder) adds more. A certificate failure names
//   these variables.
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
//   measured from the last byte received, header or body.
// - A body can be bounded (Request::max_body_bytes: refused while arriving)
//   and, for answers that are not files, freed of a gzip or deflate
//   Content-Encoding (Request::decode_content).
//
// Blocking use:
//
//   http::Response r = http::send({.method = "GET", .url = url, .headers = {...}});
//   r.raise_for_status();   // HTTPStatusError for 400..599
//
// Concurrent use: a Session drives many Transfers on this thread and tells a
// ProgressObserver how their bodies advance:
//
//   http::Session session(&observer);
//   http::Transfer t(request, sink, accept_head);
//   session.add(t, "label", [](http::Transfer& done) { use(done.finish()); });
//   session.run();
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

// One request, ready for perform() or a Session. Owns everything the transfer
// needs to stay alive.
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
  ~Transfer();

  const Request& request() const;
  // Largest piece handed to the sink at a time (0: as they arrive).
  void set_chunk_size(std::size_t bytes);

  // Status of the answer received so far (0 before its status line).
  long status() const;
  // A header of the answer received so far (case-insensitive name).
  std::optional<std::string> header(std::string_view name) const;

  // Runs the transfer to its end on this thread; then as finish().
  Response perform();
  // The outcome of a transfer that has ended: the Response, or a
  // TransportError (TooManyRedirects after too many redirects). An exception
  // thrown by the sink or the head check is rethrown here.
  Response finish();

  struct Impl;

 private:
  friend class Session;
  std::unique_ptr<Impl> impl_;
};

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

// Concurrent transfers driven on this thread, sharing connections.
class Session {
 public:
  using Completion = std::function<void(Transfer& transfer)>;

  explicit Session(ProgressObserver* observer = nullptr);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Abandons the transfers still running.
  ~Session();

  // Begins `transfer` (which must outlive its run here). `label` names it to
  // the observer; `done` runs once it has ended and calls transfer.finish().
  void add(Transfer& transfer, std::string label, Completion done);
  // Drives every transfer until all have ended. An exception thrown by a
  // completion ends the run at once (the others are abandoned).
  void run();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Sends one request and waits for the whole answer. Transport failures throw
// TransportError; error statuses are returned (see raise_for_status).
Response send(const Request& request);

}  // namespace keelbox::http

#pragma once
// The tool's one HTTP module, over libcurl. Every network caller goes through
// it, so that all requests behave alike:
//
// - TLS certificates and host names are always verified. When SSL_CERT_FILE is
//   set (and not empty) it names the CA bundle to trust; otherwise libcurl's
//   default bundle is used.
// - Proxies come from the environment exactly as curl takes them
//   (HTTPS_PROXY/https_proxy, NO_PROXY/no_proxy, ...): nothing here sets or
//   disables a proxy.
// - All requests of one process share one connection cache, the TLS session
//   cache and the DNS cache (a process-wide share handle), so consecutive
//   requests to one host reuse one connection.
// - No wait is unbounded: connection set-up is bounded by the request's
//   time-out (else its stall period), and a transfer that receives no data for
//   the time-out (else the stall period, 60 s by default) ends with a
//   TransportError "... no data received for N seconds". A Transfer measures
//   that silence from the last byte received (IdleWatch, to about a second);
//   libcurl's low-speed check, which apply_common_options() sets, is the
//   coarser guard of handles driven without an IdleWatch.
//
// Blocking use:
//
//   http::Response r = http::send({.method = "GET", .url = url, .headers = {...}});
//   r.raise_for_status();   // HTTPStatusError for 400..599
//
// Concurrent use with curl's multi interface (one thread): build one
// http::Transfer per request, add transfer.handle() to a CURLM, and when
// curl_multi_info_read reports the handle done, call
// transfer.finish(msg->data.result) to get the Response (or the
// TransportError). A DataSink passed to the Transfer receives the body in the
// pieces curl delivers them (at most CURLOPT_BUFFERSIZE bytes each; set it on
// handle() to bound them) instead of collecting it in Response::body;
// inside the sink, transfer.status() and transfer.header(name) describe the
// answer whose body is arriving. Remove the handle from the multi handle before
// the Transfer is destroyed.
//
// Callers that drive their own easy handles use apply_common_options() (CA
// bundle, verification, share handle, user agent, redirect policy, time-outs
// and stall guard) and make_response() (status, reason, effective address,
// headers of the final answer) instead.
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// ---- RAII handles ------------------------------------------------------

struct EasyDeleter {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const noexcept { curl_multi_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// A new easy handle (libcurl initialised once per process). Throws
// TransportError when libcurl cannot create one.
EasyHandle make_easy();
// A new multi handle.
MultiHandle make_multi();

// The process-wide share handle (connections, TLS sessions, DNS).
CURLSH* shared_handle();

// Sets on `h` everything every request has in common: TLS verification and
// the CA bundle from SSL_CERT_FILE, the share handle, the user agent, the
// redirect policy of `request`, the time-out/stall guard, and http(s) as the
// only protocols. Does not set the method, address, headers, body or
// callbacks.
void apply_common_options(CURL* h, const Request& request);

// The Response of a finished transfer on `h`: status (CURLINFO_RESPONSE_CODE),
// reason and headers parsed from `header_lines` (the raw lines curl passed to
// the header callback; only the last answer's block counts), the effective
// address, and `body`.
Response make_response(CURL* h, const std::vector<std::string>& header_lines, std::string body);

// The TransportError text for a failed transfer: method and address, then
// curl's reason; a stall reads "... no data received for N seconds".
std::string transport_error_text(const Request& request, CURLcode code, const char* errbuf,
                                 long stall_period);

// Ends a transfer once no data has arrived for the request's time-out (else
// its stall period), counted from the moment the request is sent (connection
// set-up has its own time-out) and again from every piece of the answer or of
// the upload. attach() installs curl's pre-request and progress callbacks on
// `h`; the owner calls data() from its header and body callbacks. The transfer
// then ends with CURLE_ABORTED_BY_CALLBACK and stalled() is true.
class IdleWatch {
 public:
  void attach(CURL* h, const Request& request);
  // Data arrived (a header line or a piece of the body).
  void data() { last_ = std::chrono::steady_clock::now(); }
  // The answer's header block ended with `status`: a redirect that curl
  // follows opens a new connection, bounded by the connect time-out.
  void headers_done(long status, bool followed);
  bool stalled() const { return stalled_; }
  long period() const { return period_; }

 private:
  static int on_prereq(void* self, char*, char*, int, int);
  static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);

  long period_ = DEFAULT_STALL_SECONDS;
  bool waiting_ = false;  // a request is out and its answer is due
  bool stalled_ = false;
  curl_off_t uploaded_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// One request on its own easy handle, ready for curl_easy_perform or a multi
// handle. Owns everything the transfer needs to stay alive.
class Transfer {
 public:
  using DataSink = std::function<void(std::string_view chunk)>;

  explicit Transfer(Request request, DataSink sink = nullptr);
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer();

  CURL* handle() const { return easy_.get(); }
  const Request& request() const { return request_; }

  // Status of the answer received so far (0 before its status line).
  long status() const;
  // A header of the answer received so far (case-insensitive name).
  std::optional<std::string> header(std::string_view name) const;

  // Runs the transfer to its end on this thread.
  Response perform();
  // Completes a transfer that curl reports done with `result`: the Response,
  // or a TransportError. An exception thrown by the DataSink is rethrown here.
  Response finish(CURLcode result);

 private:
  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static size_t on_body(char* data, size_t size, size_t count, void* self);

  Request request_;
  DataSink sink_;
  IdleWatch idle_;  // outlives the easy handle, whose callbacks point at it
  EasyHandle easy_;
  HeaderList header_list_;
  std::vector<std::string> header_lines_;
  std::string body_;
  char errbuf_[CURL_ERROR_SIZE] = {};
  std::exception_ptr sink_error_;
};

// Sends one request and waits for the whole answer. Transport failures throw
// TransportError; error statuses are returned (see raise_for_status).
Response send(const Request& request);

}  // namespace keelbox::http

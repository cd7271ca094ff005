#include "keelbox/http/http.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "keelbox/build_config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::http {
namespace {

bool is_status_line(std::string_view line) { return line.substr(0, 5) == "HTTP/"; }

// The reason phrase of a status line "HTTP/1.1 404 Not Found" ("" for none).
std::string reason_of(std::string_view line) {
  line = trim_ascii(line);
  std::size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return {};
  std::string_view rest = line.substr(sp + 1);
  std::size_t sp2 = rest.find(' ');
  if (sp2 == std::string_view::npos) return {};
  return std::string(trim_ascii(rest.substr(sp2 + 1)));
}

std::optional<std::string> find_header(const Headers& headers, std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (iequals_ascii(k, name)) return v;
  }
  return std::nullopt;
}

// Header fields and the status line of the last answer in `lines`.
void parse_header_block(const std::vector<std::string>& lines, std::string& status_line,
                        Headers& headers) {
  status_line.clear();
  headers.clear();
  for (const std::string& raw : lines) {
    std::string_view line = raw;
    if (is_status_line(line)) {
      status_line = std::string(trim_ascii(line));
      headers.clear();
      continue;
    }
    if (trim_ascii(line).empty()) continue;
    if ((line.front() == ' ' || line.front() == '\t') && !headers.empty()) {  // folded line
      headers.back().second += " ";
      headers.back().second += trim_ascii(line);
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    headers.emplace_back(std::string(trim_ascii(line.substr(0, colon))),
                         std::string(trim_ascii(line.substr(colon + 1))));
  }
}

// One-time libcurl initialisation and the share handle with its locks.
class Shared {
 public:
  Shared() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Shared::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Shared::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  ~Shared() {
    if (share_) curl_share_cleanup(share_);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  CURLSH* get() const { return share_; }

 private:
  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Shared*>(self)->mutexes_[index(data)].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<Shared*>(self)->mutexes_[index(data)].unlock();
  }
  static std::size_t index(curl_lock_data data) {
    auto i = static_cast<std::size_t>(data);
    return i < CURL_LOCK_DATA_LAST ? i : 0;
  }

  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

Shared& shared() {
  static Shared instance;
  return instance;
}

std::string user_agent() { return std::string("keelbox/") + keelbox::build::VERSION; }

long stall_period(const Request& request) {
  long period = request.timeout_seconds ? *request.timeout_seconds : request.stall_seconds;
  return period > 0 ? period : DEFAULT_STALL_SECONDS;
}

}  // namespace

std::string_view standard_reason(long status) {
  switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 418: return "I'm a Teapot";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 425: return "Too Early";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 510: return "Not Extended";
    case 511: return "Network Authentication Required";
    default: return "";
  }
}

std::optional<std::string> Response::header(std::string_view name) const {
  return find_header(headers, name);
}

void Response::raise_for_status() const {
  if (status >= 400 && status <= 599) throw HTTPStatusError(status, reason, url);
}

EasyHandle make_easy() {
  shared();
  EasyHandle h(curl_easy_init());
  if (!h) throw TransportError("Could not create an HTTP transfer (libcurl failed to initialise)");
  return h;
}

MultiHandle make_multi() {
  shared();
  MultiHandle m(curl_multi_init());
  if (!m) throw TransportError("Could not create an HTTP transfer set (libcurl failed to initialise)");
  return m;
}

CURLSH* shared_handle() { return shared().get(); }

void apply_common_options(CURL* h, const Request& request) {
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca) {
    curl_easy_setopt(h, CURLOPT_CAINFO, ca);
    curl_easy_setopt(h, CURLOPT_PROXY_CAINFO, ca);
  }
  if (CURLSH* share = shared_handle()) curl_easy_setopt(h, CURLOPT_SHARE, share);
  curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent().c_str());
  // libcurl 7.88 loses transfers over HTTP/2 in a proxy tunnel that needs a new connection.
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.follow_redirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
  // The CONNECT answers of a proxy are not part of the response.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  const long period = stall_period(request);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, period);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, period);
}

Response make_response(CURL* h, const std::vector<std::string>& header_lines, std::string body) {
  Response r;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &r.status);
  char* url = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.url = url;
  std::string status_line;
  parse_header_block(header_lines, status_line, r.headers);
  r.reason = reason_of(status_line);
  if (r.reason.empty()) r.reason = std::string(standard_reason(r.status));
  r.body = std::move(body);
  return r;
}

std::string transport_error_text(const Request& request, CURLcode code, const char* errbuf,
                                 long period) {
  std::string text = request.method + " " + request.url + " failed: ";
  std::string reason = errbuf && *errbuf ? std::string(trim_ascii(errbuf)) : curl_easy_strerror(code);
  if (code == CURLE_OPERATION_TIMEDOUT && reason.rfind("Operation too slow", 0) == 0) {
    return text + "no data received for " + std::to_string(period) + " seconds";
  }
  return text + reason;
}

// ---- IdleWatch ---------------------------------------------------------

void IdleWatch::attach(CURL* h, const Request& request) {
  period_ = stall_period(request);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &IdleWatch::on_prereq);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &IdleWatch::on_progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
}

void IdleWatch::headers_done(long status, bool followed) {
  if (followed && status >= 300 && status < 400) waiting_ = false;
}

int IdleWatch::on_prereq(void* self, char*, char*, int, int) {
  auto* w = static_cast<IdleWatch*>(self);
  w->waiting_ = true;
  w->data();
  return CURL_PREREQFUNC_OK;
}

int IdleWatch::on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* w = static_cast<IdleWatch*>(self);
  if (!w->waiting_) return 0;
  if (ulnow != w->uploaded_) {
    w->uploaded_ = ulnow;
    w->data();
    return 0;
  }
  if (std::chrono::steady_clock::now() - w->last_ >= std::chrono::seconds(w->period_)) {
    w->stalled_ = true;
    return 1;  // ends the transfer with CURLE_ABORTED_BY_CALLBACK
  }
  return 0;
}

// ---- Transfer ----------------------------------------------------------

Transfer::Transfer(Request request, DataSink sink)
    : request_(std::move(request)), sink_(std::move(sink)), easy_(make_easy()) {
  CURL* h = easy_.get();
  apply_common_options(h, request_);
  curl_easy_setopt(h, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf_);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Transfer::on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  idle_.attach(h, request_);

  const std::string& m = request_.method;
  const bool sends_body = !request_.body.empty() || m == "POST" || m == "PUT" || m == "PATCH";
  if (m == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (sends_body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, request_.body.c_str());
    if (m != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  } else if (m != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  }

  curl_slist* list = nullptr;
  auto append = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) {
      curl_slist_free_all(list);
      throw TransportError("Could not prepare the request headers for " + request_.url);
    }
    list = next;
  };
  for (const auto& [name, value] : request_.headers) {
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  if (sends_body && !find_header(request_.headers, "Expect")) append("Expect:");
  header_list_.reset(list);
  if (list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
}

Transfer::~Transfer() = default;

size_t Transfer::on_header(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  std::string_view line(data, size * count);
  t->idle_.data();
  if (is_status_line(line)) t->header_lines_.clear();  // a new answer (redirect, interim)
  t->header_lines_.emplace_back(line);
  if (trim_ascii(line).empty()) {
    t->idle_.headers_done(t->status(),
                          t->request_.follow_redirects && t->header("location").has_value());
  }
  return size * count;
}

size_t Transfer::on_body(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Transfer*>(self);
  const size_t n = size * count;
  t->idle_.data();
  if (!t->sink_) {
    t->body_.append(data, n);
    return n;
  }
  try {
    if (n) t->sink_(std::string_view(data, n));
  } catch (...) {
    t->sink_error_ = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

long Transfer::status() const {
  long code = 0;
  curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &code);
  return code;
}

std::optional<std::string> Transfer::header(std::string_view name) const {
  std::string status_line;
  Headers headers;
  parse_header_block(header_lines_, status_line, headers);
  return find_header(headers, name);
}

Response Transfer::perform() { return finish(curl_easy_perform(easy_.get())); }

Response Transfer::finish(CURLcode result) {
  if (sink_error_) std::rethrow_exception(std::exchange(sink_error_, nullptr));
  if (result == CURLE_ABORTED_BY_CALLBACK && idle_.stalled()) {
    throw TransportError(request_.method + " " + request_.url + " failed: no data received for " +
                         std::to_string(idle_.period()) + " seconds");
  }
  if (result != CURLE_OK) {
    throw TransportError(transport_error_text(request_, result, errbuf_, stall_period(request_)));
  }
  return make_response(easy_.get(), header_lines_, std::move(body_));
}

Response send(const Request& request) {
  Transfer transfer(request);
  return transfer.perform();
}

}  // namespace keelbox::http

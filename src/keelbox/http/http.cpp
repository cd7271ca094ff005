#include "keelbox/http/http.hpp"

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>

#include "keelbox/build_config.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::http {
namespace {

// ---- RAII handles --------------------------------------------------------

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

// ---- header parsing -------------------------------------------------------

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

// The scheme of a Location value, lower-cased; "" for a relative address
// (which keeps the scheme of the address it came from).
std::string scheme_of(std::string_view location) {
  location = trim_ascii(location);
  std::size_t i = 0;
  while (i < location.size() && (std::isalnum(static_cast<unsigned char>(location[i])) != 0 ||
                                 location[i] == '+' || location[i] == '-' || location[i] == '.')) {
    ++i;
  }
  if (i == 0 || i >= location.size() || location[i] != ':' ||
      std::isalpha(static_cast<unsigned char>(location[0])) == 0) {
    return {};
  }
  std::string scheme(location.substr(0, i));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme;
}

// A Content-Length value, or nullopt when it is not a plain decimal number.
std::optional<std::uint64_t> content_length(std::string_view text) {
  if (text.empty() || text.size() > 19 ||
      !std::all_of(text.begin(), text.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

// "64 MiB", "1000 bytes".
std::string size_text(std::size_t bytes) {
  constexpr std::size_t MIB = 1024 * 1024;
  if (bytes >= MIB && bytes % MIB == 0) return std::to_string(bytes / MIB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// ---- the process-wide state -----------------------------------------------

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

EasyHandle make_easy() {
  shared();
  EasyHandle h(curl_easy_init());
  if (!h) throw TransportError("Could not create an HTTP transfer (libcurl failed to initialise)");
  return h;
}

MultiHandle make_multi() {
  shared();
  MultiHandle m(curl_multi_init());
  if (!m)
    throw TransportError("Could not create an HTTP transfer set (libcurl failed to initialise)");
  return m;
}

std::string user_agent() { return std::string("keelbox/") + keelbox::build::VERSION; }

long stall_period(const Request& request) {
  long period = request.timeout_seconds ? *request.timeout_seconds : request.stall_seconds;
  return period > 0 ? period : DEFAULT_STALL_SECONDS;
}

// A variable's value when it is set and not empty.
std::optional<std::string> env_value(const char* name) {
  std::optional<std::string> value = environment_variable(name);
  if (value && value->empty()) value.reset();
  return value;
}

// The bundle of certificate authorities to trust: the first of these set.
std::optional<std::string> ca_bundle() {
  for (const char* name : {"SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"}) {
    if (std::optional<std::string> value = env_value(name)) return value;
  }
  return std::nullopt;
}

constexpr std::string_view CERTIFICATE_HINT =
    " (the certificate authorities trusted are those in the file SSL_CERT_FILE, else "
    "REQUESTS_CA_BUNDLE, else CURL_CA_BUNDLE, else the system's, and in the folder SSL_CERT_DIR)";

// The proxy curl takes from the environment for an https address, as curl
// reads it (lower-case names first), unless NO_PROXY exempts `host`.
std::optional<std::string> proxy_for(std::string_view host) {
  std::optional<std::string> proxy;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    if ((proxy = env_value(name))) break;
  }
  if (!proxy) return std::nullopt;
  std::optional<std::string> no_proxy = env_value("no_proxy");
  if (!no_proxy) no_proxy = env_value("NO_PROXY");
  if (no_proxy) {
    std::string_view list = *no_proxy;
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      std::string_view entry = trim_ascii(list.substr(0, comma));
      list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
      if (entry == "*") return std::nullopt;
      if (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
      if (entry.empty()) continue;
      if (iequals_ascii(host, entry)) return std::nullopt;
      if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
          iequals_ascii(host.substr(host.size() - entry.size()), entry)) {
        return std::nullopt;
      }
    }
  }
  return proxy;
}

// The host of an address "scheme://[user@]host[:port]/...".
std::string host_of(std::string_view url) {
  std::size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  std::string_view rest = url.substr(start);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') return std::string(rest.substr(1, rest.find(']') - 1));
  return std::string(rest.substr(0, rest.find(':')));
}

// A proxy address as it may be shown: a password replaced by "****".
std::string masked_proxy(std::string_view proxy, bool* has_credentials) {
  const std::size_t start = proxy.find("://") == std::string_view::npos ? 0 : proxy.find("://") + 3;
  const std::size_t end = std::min(proxy.find_first_of("/?#", start), proxy.size());
  const std::size_t at = proxy.substr(0, end).rfind('@');
  *has_credentials = at != std::string_view::npos && at >= start;
  if (!*has_credentials) return std::string(proxy);
  std::string_view user = proxy.substr(start, at - start);
  user = user.substr(0, user.find(':'));
  return std::string(proxy.substr(0, start)) + std::string(user) + ":****" +
         std::string(proxy.substr(at));
}

// ---- the idle watch ---------------------------------------------------------

// Ends a transfer once no data has arrived for the request's time-out (else
// its stall period), counted from the moment the request is sent (connection
// set-up has its own time-out) and again from every header line, every piece
// of the body and of the upload. The transfer then ends with
// CURLE_ABORTED_BY_CALLBACK and stalled() is true.
class IdleWatch {
 public:
  void attach(CURL* h, const Request& request) {
    period_ = stall_period(request);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &IdleWatch::on_prereq);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &IdleWatch::on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }
  // Data arrived (a header line or a piece of the body).
  void data() { last_ = std::chrono::steady_clock::now(); }
  // A redirect that curl follows opens a new connection, bounded by the
  // connect time-out.
  void redirected() { waiting_ = false; }
  bool stalled() const { return stalled_; }
  long period() const { return period_; }

 private:
  static int on_prereq(void* self, char*, char*, int, int) {
    auto* w = static_cast<IdleWatch*>(self);
    w->waiting_ = true;
    w->data();
    return CURL_PREREQFUNC_OK;
  }
  static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
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

  long period_ = DEFAULT_STALL_SECONDS;
  bool waiting_ = false;  // a request is out and its answer is due
  bool stalled_ = false;
  curl_off_t uploaded_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// ---- content decoding -------------------------------------------------------

// Undoes a gzip or deflate Content-Encoding as the body arrives.
class Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (open_) inflateEnd(&z_);
  }

  // Starts decoding gzip or zlib data (detected from its header).
  bool open() {
    open_ = inflateInit2(&z_, 15 + 32) == Z_OK;
    return open_;
  }
  bool is_open() const { return open_; }
  // Compressed data arrived but not its end (an empty body is no compressed data).
  bool incomplete() const { return open_ && fed_ && !done_; }
  bool finished() const { return done_; }

  // Decodes `in`, handing the output to `out`. False when the data is damaged.
  template <typename Out>
  bool feed(std::string_view in, Out&& out) {
    std::array<unsigned char, 16384> buffer{};
    if (!in.empty()) fed_ = true;
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z_.avail_in = static_cast<uInt>(in.size());
    while (z_.avail_in > 0 && !done_) {
      z_.next_out = buffer.data();
      z_.avail_out = static_cast<uInt>(buffer.size());
      int rc = inflate(&z_, Z_NO_FLUSH);
      if (rc == Z_DATA_ERROR && !produced_ && !raw_) {
        // "deflate" is zlib data by the standard, but some servers send the
        // bare deflate stream: start again reading it so.
        inflateEnd(&z_);
        z_ = z_stream{};
        open_ = inflateInit2(&z_, -15) == Z_OK;
        raw_ = true;
        if (!open_) return false;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z_.avail_in = static_cast<uInt>(in.size());
        continue;
      }
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
      const std::size_t n = buffer.size() - z_.avail_out;
      if (n) {
        produced_ = true;
        out(std::string_view(reinterpret_cast<const char*>(buffer.data()), n));
      }
      if (rc == Z_STREAM_END) done_ = true;
      if (rc == Z_BUF_ERROR && n == 0) return false;
    }
    return true;
  }

 private:
  z_stream z_{};
  bool open_ = false;
  bool raw_ = false;
  bool produced_ = false;
  bool fed_ = false;
  bool done_ = false;
};

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

// ---- Transfer ----------------------------------------------------------

struct Transfer::Impl {
  explicit Impl(Request r, DataSink s, HeadCheck a)
      : request(std::move(r)), sink(std::move(s)), accept(std::move(a)), easy(make_easy()) {}

  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static size_t on_body(char* data, size_t size, size_t count, void* self);

  std::string prefix() const { return request.method + " " + request.url + " failed: "; }
  long status() const {
    long code = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    return code;
  }
  std::optional<std::string> header(std::string_view name) const {
    std::string status_line;
    Headers headers;
    parse_header_block(header_lines, status_line, headers);
    return find_header(headers, name);
  }
  Response response(std::string content) const;
  bool complete_head();
  void receive(std::string_view data);
  void deliver(std::string_view data);
  std::string failure_text(CURLcode code) const;

  Request request;
  DataSink sink;
  HeadCheck accept;
  std::size_t chunk_size = 0;
  // Both outlive the easy handle, whose callbacks point at them.
  IdleWatch idle;
  Inflater inflater;
  EasyHandle easy;
  HeaderList header_list;
  std::vector<std::string> header_lines;  // of the answer being received
  bool head_done = false;
  bool refused = false;
  bool too_large = false;
  std::optional<std::string> insecure_redirect;
  std::string body;
  std::size_t received = 0;
  char errbuf[CURL_ERROR_SIZE] = {};
  std::exception_ptr error;
  CURLcode result = CURLE_OK;

  // Set while the transfer belongs to a Session.
  Session::Impl* session = nullptr;
  ProgressObserver* observer = nullptr;
  std::string label;
  std::optional<ProgressObserver::Id> progress;
};

Response response_from_head(const std::vector<std::string>& header_lines, long status) {
  Response r;
  r.status = status;
  std::string status_line;
  parse_header_block(header_lines, status_line, r.headers);
  r.reason = reason_of(status_line);
  if (r.reason.empty()) r.reason = std::string(standard_reason(r.status));
  return r;
}

Response Transfer::Impl::response(std::string content) const {
  long code = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
  Response r = response_from_head(header_lines, code);
  char* url = nullptr;
  if (curl_easy_getinfo(easy.get(), CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.url = url;
  r.body = std::move(content);
  return r;
}

// The head of an answer is complete. False ends the transfer here.
bool Transfer::Impl::complete_head() {
  const long code = status();
  if (code < 200) return true;  // an interim answer: the real one follows
  std::optional<std::string> location = header("location");
  if (code >= 300 && code < 400 && request.follow_redirects && location) {  // curl follows it
    idle.redirected();
    const std::string scheme = scheme_of(*location);
    if (!scheme.empty() && scheme != "https") {
      insecure_redirect = std::string(trim_ascii(*location));
      return false;
    }
    return true;
  }
  head_done = true;
  const std::optional<std::string> length_text = header("content-length");
  const std::optional<std::uint64_t> length =
      length_text ? content_length(*length_text) : std::optional<std::uint64_t>(0);
  if (accept && !accept(response(""))) {
    refused = true;
    return false;
  }
  if (request.max_body_bytes && length && *length > request.max_body_bytes) {
    too_large = true;
    return false;
  }
  if (request.decode_content) {
    const std::string encoding = header("content-encoding").value_or("");
    if (iequals_ascii(encoding, "gzip") || iequals_ascii(encoding, "x-gzip") ||
        iequals_ascii(encoding, "deflate")) {
      if (!inflater.open())
        throw TransportError(prefix() + "cannot decode the " + encoding + " answer");
    }
  }
  if (observer) {
    if (!length)
      throw ParseError("Unreadable content-length '" + *length_text + "' from " + request.url);
    progress = observer->begun(label, *length);
  }
  return true;
}

// A piece of the body as it arrived (perhaps encoded).
void Transfer::Impl::receive(std::string_view data) {
  if (!inflater.is_open()) return deliver(data);
  if (inflater.finished()) return;  // anything after the end of the compressed data
  const bool intact = inflater.feed(data, [this](std::string_view piece) { deliver(piece); });
  if (!intact) throw TransportError(prefix() + "the compressed answer is damaged");
}

void Transfer::Impl::deliver(std::string_view data) {
  received += data.size();
  if (request.max_body_bytes && received > request.max_body_bytes) {
    too_large = true;
    throw TransportError(prefix() + "the answer is larger than " +
                         size_text(request.max_body_bytes));
  }
  const std::size_t step = chunk_size ? chunk_size : std::max<std::size_t>(data.size(), 1);
  for (std::size_t offset = 0; offset < data.size(); offset += step) {
    const std::string_view piece = data.substr(offset, step);
    if (sink) {
      sink(piece);
    } else {
      body.append(piece);
    }
    if (progress) observer->advanced(*progress, piece.size());
  }
}

size_t Transfer::Impl::on_header(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Impl*>(self);
  const std::string_view line(data, size * count);
  t->idle.data();
  try {
    if (is_status_line(line)) {  // a new answer (after an interim one or a redirect)
      t->header_lines.clear();
      t->head_done = false;
    }
    t->header_lines.emplace_back(line);
    if (trim_ascii(line).empty() && !t->complete_head()) return 0;
  } catch (...) {
    t->error = std::current_exception();
    return 0;
  }
  return size * count;
}

size_t Transfer::Impl::on_body(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Impl*>(self);
  const size_t n = size * count;
  t->idle.data();
  try {
    if (!t->head_done && !t->complete_head()) return CURL_WRITEFUNC_ERROR;
    if (n) t->receive(std::string_view(data, n));
  } catch (...) {
    if (!t->too_large) t->error = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

std::string Transfer::Impl::failure_text(CURLcode code) const {
  std::string reason = errbuf[0] ? std::string(trim_ascii(errbuf)) : curl_easy_strerror(code);
  long connect_code = 0;
  curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code);
  const std::optional<std::string> proxy = proxy_for(host_of(request.url));
  if (proxy) {
    bool credentials = false;
    const std::string shown = masked_proxy(*proxy, &credentials);
    if (connect_code == 407) {
      return prefix() + "the proxy " + shown +
             (credentials ? " did not accept the credentials given in HTTPS_PROXY"
                          : " wants credentials: put them in HTTPS_PROXY, as "
                            "user:password@ before the proxy's host") +
             " (407 Proxy Authentication Required)";
    }
    if (code == CURLE_COULDNT_RESOLVE_PROXY ||
        (code == CURLE_COULDNT_CONNECT && connect_code == 0)) {
      return prefix() + "could not reach the proxy " + shown + ": " + reason;
    }
  }
  if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE) {
    reason += CERTIFICATE_HINT;
  }
  return prefix() + reason;
}

Transfer::Transfer(Request request, DataSink sink, HeadCheck accept)
    : impl_(std::make_unique<Impl>(std::move(request), std::move(sink), std::move(accept))) {
  Impl& t = *impl_;
  const Request& r = t.request;
  CURL* h = t.easy.get();

  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
  // libcurl keeps its own copies of these texts.
  if (const std::optional<std::string> ca = ca_bundle()) {
    curl_easy_setopt(h, CURLOPT_CAINFO, ca->c_str());
    curl_easy_setopt(h, CURLOPT_PROXY_CAINFO, ca->c_str());
  }
  if (const std::optional<std::string> folder = env_value("SSL_CERT_DIR")) {
    curl_easy_setopt(h, CURLOPT_CAPATH, folder->c_str());
    curl_easy_setopt(h, CURLOPT_PROXY_CAPATH, folder->c_str());
  }
  if (CURLSH* share = shared().get()) curl_easy_setopt(h, CURLOPT_SHARE, share);
  curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent().c_str());
  // HTTP/1.1, as the service's other clients speak: libcurl 7.88 loses
  // HTTP/2 transfers in a proxy tunnel that needs a new connection.
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, r.follow_redirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
  // The CONNECT answers of a proxy are not part of the response.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, stall_period(r));
  t.idle.attach(h, r);

  curl_easy_setopt(h, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t.errbuf);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Impl::on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);

  const std::string& m = r.method;
  const bool sends_body = !r.body.empty() || m == "POST" || m == "PUT" || m == "PATCH";
  if (m == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (sends_body) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, r.body.c_str());
    if (m != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  } else if (m != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  }

  curl_slist* list = nullptr;
  auto append = [&](const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) {
      curl_slist_free_all(list);
      throw TransportError("Could not prepare the request headers for " + r.url);
    }
    list = next;
  };
  for (const auto& [name, value] : r.headers) {
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    append(value.empty() ? name + ";" : name + ": " + value);
  }
  if (sends_body && !find_header(r.headers, "Expect")) append("Expect:");
  t.header_list.reset(list);
  if (list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
}

const Request& Transfer::request() const { return impl_->request; }

void Transfer::set_chunk_size(std::size_t bytes) {
  impl_->chunk_size = bytes;
  if (bytes) {
    const long buffer = static_cast<long>(std::clamp<std::size_t>(bytes, 1024, CURL_MAX_READ_SIZE));
    curl_easy_setopt(impl_->easy.get(), CURLOPT_BUFFERSIZE, buffer);
  }
}

long Transfer::status() const { return impl_->status(); }

std::optional<std::string> Transfer::header(std::string_view name) const {
  return impl_->header(name);
}

Response Transfer::perform() {
  impl_->result = curl_easy_perform(impl_->easy.get());
  return finish();
}

Response Transfer::finish() {
  Impl& t = *impl_;
  if (t.result == CURLE_OK && !t.head_done && !t.error) {
    try {
      t.complete_head();
    } catch (...) {
      t.error = std::current_exception();
    }
  }
  if (t.error) std::rethrow_exception(std::exchange(t.error, nullptr));
  if (t.refused) return t.response("");
  if (t.insecure_redirect) {
    throw TransportError(t.prefix() + "redirected to " + *t.insecure_redirect +
                         ", which is not HTTPS; only HTTPS is followed");
  }
  if (t.too_large) {
    throw TransportError(t.prefix() + "the answer is larger than " +
                         size_text(t.request.max_body_bytes));
  }
  if (t.result == CURLE_ABORTED_BY_CALLBACK && t.idle.stalled()) {
    throw TransportError(t.prefix() + "no data received for " + std::to_string(t.idle.period()) +
                         " seconds");
  }
  if (t.result == CURLE_TOO_MANY_REDIRECTS) {
    const Response last = t.response("");
    throw TooManyRedirects(t.failure_text(t.result), last.url);
  }
  if (t.result != CURLE_OK) throw TransportError(t.failure_text(t.result));
  if (t.inflater.incomplete()) {
    throw TransportError(t.prefix() + "the compressed answer ends early");
  }
  return t.response(std::move(t.body));
}

// ---- Session -----------------------------------------------------------

struct Session::Impl {
  struct Entry {
    Transfer* transfer;
    Completion done;
  };

  void forget(CURL* handle) {
    if (active.erase(handle)) curl_multi_remove_handle(multi.get(), handle);
  }

  MultiHandle multi = make_multi();
  ProgressObserver* observer = nullptr;
  std::map<CURL*, Entry> active;
};

Transfer::~Transfer() {
  if (impl_->session) impl_->session->forget(impl_->easy.get());
}

Session::Session(ProgressObserver* observer) : impl_(std::make_unique<Impl>()) {
  impl_->observer = observer;
}

Session::~Session() {
  for (auto& [handle, entry] : impl_->active) {
    entry.transfer->impl_->session = nullptr;
    curl_multi_remove_handle(impl_->multi.get(), handle);
  }
}

void Session::add(Transfer& transfer, std::string label, Completion done) {
  Transfer::Impl& t = *transfer.impl_;
  CURL* handle = t.easy.get();
  const CURLMcode rc = curl_multi_add_handle(impl_->multi.get(), handle);
  if (rc != CURLM_OK) {
    throw TransportError(std::string("Could not start a download: ") + curl_multi_strerror(rc));
  }
  t.session = impl_.get();
  t.observer = impl_->observer;
  t.label = std::move(label);
  impl_->active[handle] = Impl::Entry{&transfer, std::move(done)};
  // Let curl begin (name lookup, connection) before the next transfer is prepared.
  int running = 0;
  curl_multi_perform(impl_->multi.get(), &running);
}

void Session::run() {
  CURLM* multi = impl_->multi.get();
  while (!impl_->active.empty()) {
    int running = 0;
    CURLMcode rc = curl_multi_perform(multi, &running);
    if (rc != CURLM_OK)
      throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* handle = msg->easy_handle;
      const CURLcode result = msg->data.result;
      auto it = impl_->active.find(handle);
      if (it == impl_->active.end()) continue;
      Impl::Entry entry = std::move(it->second);
      impl_->forget(handle);
      Transfer::Impl& t = *entry.transfer->impl_;
      t.session = nullptr;
      t.result = result;
      if (t.progress) t.observer->ended(*std::exchange(t.progress, std::nullopt));
      entry.done(*entry.transfer);
    }
    if (!impl_->active.empty() && running > 0) {
      rc = curl_multi_poll(multi, nullptr, 0, 100, nullptr);
      if (rc != CURLM_OK)
        throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    }
  }
}

Response send(const Request& request) {
  Transfer transfer(request);
  return transfer.perform();
}

}  // namespace keelbox::http

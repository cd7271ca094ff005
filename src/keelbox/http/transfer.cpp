// What every transfer does with its answer, whatever engine carries it: the
// head read and checked, the body decoded, bounded and handed on, silence
// guarded, and the outcome told (see http.hpp). No engine is included here.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>

#include "keelbox/http/http.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::http {
namespace {

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

// "4 GiB", "64 MiB", "1000 bytes".
std::string size_text(std::size_t bytes) {
  constexpr std::size_t MIB = 1024 * 1024;
  constexpr std::size_t GIB = 1024 * MIB;
  if (bytes >= GIB && bytes % GIB == 0) return std::to_string(bytes / GIB) + " GiB";
  if (bytes >= MIB && bytes % MIB == 0) return std::to_string(bytes / MIB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

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

std::optional<std::string> find_header(const Headers& headers, std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (iequals_ascii(k, name)) return v;
  }
  return std::nullopt;
}

long stall_period(const Request& request) {
  long period = request.timeout_seconds ? *request.timeout_seconds : request.stall_seconds;
  return period > 0 ? period : DEFAULT_STALL_SECONDS;
}

bool sends_body(const Request& request) {
  const std::string& m = request.method;
  return !request.body.empty() || m == "POST" || m == "PUT" || m == "PATCH";
}

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
  Impl(Request r, DataSink s, HeadCheck a)
      : request(std::move(r)),
        sink(std::move(s)),
        accept(std::move(a)),
        guard(steady_clock(), stall_period(request)) {}

  std::string prefix() const { return request.method + " " + request.url + " failed: "; }
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

  Request request;
  DataSink sink;
  HeadCheck accept;
  std::size_t chunk_size = 0;
  StallGuard guard;
  Inflater inflater;
  long status = 0;                        // as the engine tells it
  std::string url;                        // the address being answered
  std::vector<std::string> header_lines;  // of the answer being received
  bool head_done = false;
  bool refused = false;
  bool too_large = false;
  std::optional<std::string> insecure_redirect;
  std::string body;
  std::size_t received = 0;
  std::exception_ptr error;
  Ending ending;

  // Set while the transfer runs with an observer.
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
  Response r = response_from_head(header_lines, status);
  r.url = url;
  r.body = std::move(content);
  return r;
}

// The head of an answer is complete. False ends the transfer here.
bool Transfer::Impl::complete_head() {
  const long code = status;
  if (code < 200) return true;  // an interim answer: the real one follows
  std::optional<std::string> location = header("location");
  if (code >= 300 && code < 400 && request.follow_redirects && location) {  // the engine follows it
    guard.redirected();
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
    throw TooLarge(prefix() + "the answer is larger than " + size_text(request.max_body_bytes));
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

Transfer::Transfer(Request request, DataSink sink, HeadCheck accept)
    : impl_(std::make_unique<Impl>(std::move(request), std::move(sink), std::move(accept))) {}

Transfer::~Transfer() {
  if (session_) session_->forget(*this);
}

const Request& Transfer::request() const { return impl_->request; }

void Transfer::set_chunk_size(std::size_t bytes) { impl_->chunk_size = bytes; }

std::size_t Transfer::chunk_size() const { return impl_->chunk_size; }

void Transfer::begin(const Clock& clock, ProgressObserver* observer, std::string label) {
  impl_->guard = StallGuard(clock, stall_period(impl_->request));
  impl_->observer = observer;
  impl_->label = std::move(label);
}

StallGuard& Transfer::stall_guard() { return impl_->guard; }

void Transfer::answering(long status, std::string_view url) {
  impl_->status = status;
  if (impl_->url != url) impl_->url = url;
}

bool Transfer::header_line(std::string_view line) {
  Impl& t = *impl_;
  t.guard.data();
  try {
    if (is_status_line(line)) {  // a new answer (after an interim one or a redirect)
      t.header_lines.clear();
      t.head_done = false;
    }
    t.header_lines.emplace_back(line);
    if (trim_ascii(line).empty() && !t.complete_head()) return false;
  } catch (...) {
    t.error = std::current_exception();
    return false;
  }
  return true;
}

bool Transfer::body(std::string_view data) {
  Impl& t = *impl_;
  t.guard.data();
  try {
    if (!t.head_done && !t.complete_head()) return false;
    if (!data.empty()) t.receive(data);
  } catch (...) {
    if (!t.too_large) t.error = std::current_exception();
    return false;
  }
  return true;
}

void Transfer::end(Ending ending) {
  Impl& t = *impl_;
  t.ending = std::move(ending);
  if (t.progress) t.observer->ended(*std::exchange(t.progress, std::nullopt));
}

Response Transfer::finish() {
  Impl& t = *impl_;
  using Kind = Ending::Kind;
  if (t.ending.kind == Kind::complete && !t.head_done && !t.error) {
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
    throw TooLarge(t.prefix() + "the answer is larger than " + size_text(t.request.max_body_bytes));
  }
  if (t.ending.kind == Kind::aborted && t.guard.stalled()) {
    throw TransportError(t.prefix() + "no data received for " + std::to_string(t.guard.period()) +
                         " seconds");
  }
  if (t.ending.kind == Kind::too_many_redirects) {
    throw TooManyRedirects(t.prefix() + t.ending.reason, t.url);
  }
  if (t.ending.kind != Kind::complete) throw TransportError(t.prefix() + t.ending.reason);
  if (t.inflater.incomplete()) {
    throw TransportError(t.prefix() + "the compressed answer ends early");
  }
  return t.response(std::move(t.body));
}

Response Client::send(const Request& request) {
  Transfer transfer(request);
  return perform(transfer);
}

}  // namespace keelbox::http

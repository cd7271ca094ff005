// The libcurl engine behind http::Client (system_client()): the only code
// that speaks to libcurl. It carries
// the bytes, follows redirects, speaks TLS through proxies and keeps
// connections; a Transfer decides what becomes of the answer (transfer.cpp).
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <map>
#include <mutex>
#include <set>

#include "keelbox/build_config.hpp"
#include "keelbox/http/ca_bundle.hpp"
#include "keelbox/http/http.hpp"
#include "keelbox/http/tls_version.hpp"
#include "keelbox/platform/environment.hpp"
#include "keelbox/text/strings.hpp"
#include "keelbox/trace/trace.hpp"

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

// A variable's value when it is set and not empty.
std::optional<std::string> env_value(const char* name) {
  std::optional<std::string> value = environment_variable(name);
  if (value && value->empty()) value.reset();
  return value;
}

// The bundle of certificate authorities a variable names: the first of these
// set (its name in `source` when given).
std::optional<std::string> variable_ca_bundle(const char** source = nullptr) {
  for (const char* name : {"SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"}) {
    if (std::optional<std::string> value = env_value(name)) {
      if (source) *source = name;
      return value;
    }
  }
  return std::nullopt;
}

// The bundle to trust: the one a variable names, else the system's.
std::optional<std::string> ca_bundle() {
  if (std::optional<std::string> named = variable_ca_bundle()) return named;
  return system_ca_bundle();
}

// The proxy curl takes from the environment for an https address, as curl
// reads it (lower-case names first), unless NO_PROXY exempts `host` (the
// entry that does in `exempting`, when given).
std::optional<std::string> proxy_for(std::string_view host, std::string* exempting = nullptr) {
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
      if (exempting) *exempting = entry;
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
  if (exempting) exempting->clear();
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

// ---- the trace ---------------------------------------------------------------

// The certificate authorities trusted (once a run) and the way to each host
// (once a host), on the debug trace.
void trace_route(const std::string& url) {
  static std::mutex mutex;
  static bool certificates_told = false;
  static std::set<std::string> hosts;
  const std::lock_guard<std::mutex> lock(mutex);
  if (!certificates_told) {
    certificates_told = true;
    const char* source = nullptr;
    std::string text;
    if (const std::optional<std::string> named = variable_ca_bundle(&source)) {
      text = std::string("certificate authorities from ") + source + " (" + *named + ")";
    } else if (const std::optional<std::string> system = system_ca_bundle()) {
      text = "certificate authorities of the system (" + *system + ")";
    } else {
      text = "certificate authorities of the system";
    }
    if (const std::optional<std::string> folder = env_value("SSL_CERT_DIR")) {
      text += ", and the folder SSL_CERT_DIR (" + *folder + ")";
    }
    trace::trace(trace::Level::debug, "tls", text);
  }
  const std::string host = host_of(url);
  if (!hosts.insert(host).second) return;
  std::string exempting;
  const std::optional<std::string> proxy = proxy_for(host, &exempting);
  bool credentials = false;
  trace::trace(trace::Level::debug, "proxy",
               host + (proxy                ? " through " + masked_proxy(*proxy, &credentials)
                       : !exempting.empty() ? " direct (NO_PROXY entry \"" + exempting + "\")"
                                            : std::string(" direct (no proxy set)")));
}

// The TLS version of the connection `h` uses now, when the library tells it.
std::optional<std::string> current_tls_version(CURL* h) {
  curl_tlssessioninfo* info = nullptr;
  if (curl_easy_getinfo(h, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info || !info->internals)
    return std::nullopt;
  return negotiated_tls_version(static_cast<int>(info->backend), info->internals);
}

// ---- one transfer as libcurl carries it --------------------------------------

// The easy handle of a Transfer and what its callbacks need. The callbacks
// point at this object, which stays in place (held by pointer) until the
// handle is gone. The Transfer's StallGuard is told when a request goes out
// (the pre-request callback), of upload progress, and asked whether the
// silence has lasted too long (the progress callback, about once a second);
// once it has, the transfer ends with CURLE_ABORTED_BY_CALLBACK.
class Easy {
 public:
  explicit Easy(Transfer& transfer);
  Easy(const Easy&) = delete;
  Easy& operator=(const Easy&) = delete;

  CURL* handle() const { return easy_.get(); }
  Transfer& transfer() const { return transfer_; }
  // Tells the transfer how the exchange ended with `code`.
  void end(CURLcode code);

 private:
  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static size_t on_body(char* data, size_t size, size_t count, void* self);
  static int on_prereq(void* self, char*, char*, int, int);
  static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);

  // Tells the transfer the status and address of the answer being received.
  void tell_answer() const;
  std::string failure_reason(CURLcode code) const;
  // The request's line on the trace, once it ended with `code`.
  void trace_end(CURLcode code, const std::string& reason) const;

  Transfer& transfer_;
  EasyHandle easy_ = make_easy();
  HeaderList header_list_;
  char errbuf_[CURL_ERROR_SIZE] = {};
  curl_off_t uploaded_ = 0;
  bool body_begun_ = false;
  bool tls_asked_ = false;          // for the trace, while the connection is in use
  std::optional<std::string> tls_;  // the TLS version it found
};

void Easy::tell_answer() const {
  long code = 0;
  curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &code);
  char* url = nullptr;
  if (curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url)
    url = nullptr;
  transfer_.answering(code, url ? std::string_view(url) : std::string_view());
}

size_t Easy::on_header(char* data, size_t size, size_t count, void* self) {
  auto* e = static_cast<Easy*>(self);
  if (!e->tls_asked_ && trace::enabled(trace::Level::debug)) {
    e->tls_asked_ = true;
    e->tls_ = current_tls_version(e->easy_.get());
  }
  e->tell_answer();
  return e->transfer_.header_line(std::string_view(data, size * count)) ? size * count : 0;
}

size_t Easy::on_body(char* data, size_t size, size_t count, void* self) {
  auto* e = static_cast<Easy*>(self);
  const size_t n = size * count;
  e->body_begun_ = true;
  e->tell_answer();
  return e->transfer_.body(std::string_view(data, n)) ? n : CURL_WRITEFUNC_ERROR;
}

int Easy::on_prereq(void* self, char*, char*, int, int) {
  static_cast<Easy*>(self)->transfer_.stall_guard().sent();
  return CURL_PREREQFUNC_OK;
}

int Easy::on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
  auto* e = static_cast<Easy*>(self);
  StallGuard& guard = e->transfer_.stall_guard();
  if (!guard.waiting()) return 0;
  if (ulnow != e->uploaded_) {
    e->uploaded_ = ulnow;
    guard.data();
    return 0;
  }
  return guard.expired() ? 1 : 0;  // 1 ends the transfer with CURLE_ABORTED_BY_CALLBACK
}

std::string Easy::failure_reason(CURLcode code) const {
  std::string reason = errbuf_[0] ? std::string(trim_ascii(errbuf_)) : curl_easy_strerror(code);
  long connect_code = 0;
  curl_easy_getinfo(easy_.get(), CURLINFO_HTTP_CONNECTCODE, &connect_code);
  const std::optional<std::string> proxy = proxy_for(host_of(transfer_.request().url));
  if (proxy) {
    bool credentials = false;
    const std::string shown = masked_proxy(*proxy, &credentials);
    if (connect_code == 407) {
      return "the proxy " + shown +
             (credentials ? " did not accept the credentials given in HTTPS_PROXY"
                          : " wants credentials: put them in HTTPS_PROXY, as "
                            "user:password@ before the proxy's host") +
             " (407 Proxy Authentication Required)";
    }
    if (code == CURLE_COULDNT_RESOLVE_PROXY ||
        (code == CURLE_COULDNT_CONNECT && connect_code == 0)) {
      return "could not reach the proxy " + shown + ": " + reason;
    }
  }
  if (code == CURLE_OUT_OF_MEMORY && !body_begun_) {
    // libcurl refuses a header line longer than CURL_MAX_HTTP_HEADER this
    // way, without a message of its own.
    return "the answer's header is too large (a line of it is longer than " +
           std::to_string(CURL_MAX_HTTP_HEADER / 1024) + " KiB)";
  }
  if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE) {
    reason += certificate_hint(variable_ca_bundle().has_value(), system_ca_bundle_locations(),
                               system_ca_bundle());
  }
  return reason;
}

void Easy::trace_end(CURLcode code, const std::string& reason) const {
  CURL* h = easy_.get();
  long status = 0;
  curl_off_t bytes = 0;
  curl_off_t micros = 0;
  long connects = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
  curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &micros);
  curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
  const Request& r = transfer_.request();
  std::string text = r.method + " " + trace::mask_url(r.url) + " -> ";
  text += code == CURLE_OK ? std::to_string(status) : "failed (" + reason + ")";
  text += ", " + std::to_string(bytes) + " bytes, " + std::to_string(micros / 1000) + " ms";
  if (trace::enabled(trace::Level::debug)) {
    text += connects > 0 ? ", new connection" : ", reused connection";
    if (tls_) text += ", " + *tls_;
  }
  trace::trace(trace::Level::info, "http", text);
}

void Easy::end(CURLcode code) {
  tell_answer();
  Transfer::Ending ending;
  using Kind = Transfer::Ending::Kind;
  if (code != CURLE_OK) {
    ending.kind = code == CURLE_ABORTED_BY_CALLBACK  ? Kind::aborted
                  : code == CURLE_TOO_MANY_REDIRECTS ? Kind::too_many_redirects
                                                     : Kind::failed;
    ending.reason = failure_reason(code);
  }
  if (trace::enabled(trace::Level::info)) trace_end(code, ending.reason);
  transfer_.end(std::move(ending));
}

Easy::Easy(Transfer& transfer) : transfer_(transfer) {
  const Request& r = transfer.request();
  CURL* h = easy_.get();
  if (trace::enabled(trace::Level::debug)) trace_route(r.url);

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
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &Easy::on_prereq);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Easy::on_progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

  curl_easy_setopt(h, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf_);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Easy::on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Easy::on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);

  const std::string& m = r.method;
  const bool with_body = sends_body(r);
  if (m == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (with_body) {
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
  if (with_body && !find_header(r.headers, "Expect")) append("Expect:");
  header_list_.reset(list);
  if (list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);

  // The body is read from the network in pieces of at least 64 KiB (fewer
  // system calls and wake-ups for a large body), whatever the pieces the
  // sink is handed (Transfer::set_chunk_size).
  if (const std::size_t bytes = transfer.chunk_size()) {
    const long buffer = static_cast<long>(
        std::clamp<std::size_t>(bytes, std::size_t{64} << 10, CURL_MAX_READ_SIZE));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, buffer);
  }
}

// ---- sessions and the client ------------------------------------------------

class CurlSession final : public Session {
 public:
  explicit CurlSession(ProgressObserver* observer) : observer_(observer) {}
  ~CurlSession() override;

  void add(Transfer& transfer, std::string label, Completion done) override;
  void run() override;

 private:
  struct Entry {
    std::unique_ptr<Easy> easy;
    Completion done;
  };
  void forget(Transfer& transfer) noexcept override;

  MultiHandle multi_ = make_multi();
  ProgressObserver* observer_;
  // Destroyed before the multi handle, which the destructor has taken them out of.
  std::map<CURL*, Entry> active_;
};

CurlSession::~CurlSession() {
  for (auto& [handle, entry] : active_) {
    release(entry.easy->transfer());
    curl_multi_remove_handle(multi_.get(), handle);
  }
}

void CurlSession::forget(Transfer& transfer) noexcept {
  for (auto it = active_.begin(); it != active_.end(); ++it) {
    if (&it->second.easy->transfer() != &transfer) continue;
    curl_multi_remove_handle(multi_.get(), it->first);
    active_.erase(it);
    return;
  }
}

void CurlSession::add(Transfer& transfer, std::string label, Completion done) {
  auto easy = std::make_unique<Easy>(transfer);
  CURL* handle = easy->handle();
  transfer.begin(steady_clock(), observer_, std::move(label));
  active_[handle] = Entry{std::move(easy), std::move(done)};
  const CURLMcode rc = curl_multi_add_handle(multi_.get(), handle);
  if (rc != CURLM_OK) {
    active_.erase(handle);
    throw TransportError(std::string("Could not start a download: ") + curl_multi_strerror(rc));
  }
  hold(transfer);
  // Let curl begin (name lookup, connection) before the next transfer is prepared.
  int running = 0;
  curl_multi_perform(multi_.get(), &running);
}

void CurlSession::run() {
  CURLM* multi = multi_.get();
  while (!active_.empty()) {
    int running = 0;
    CURLMcode rc = curl_multi_perform(multi, &running);
    if (rc != CURLM_OK)
      throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* handle = msg->easy_handle;
      const CURLcode result = msg->data.result;
      auto it = active_.find(handle);
      if (it == active_.end()) continue;
      Entry entry = std::move(it->second);
      active_.erase(it);
      curl_multi_remove_handle(multi, handle);
      Transfer& transfer = entry.easy->transfer();
      release(transfer);
      entry.easy->end(result);
      entry.done(transfer);
    }
    if (!active_.empty() && running > 0) {
      rc = curl_multi_poll(multi, nullptr, 0, 100, nullptr);
      if (rc != CURLM_OK)
        throw TransportError(std::string("Download failed: ") + curl_multi_strerror(rc));
    }
  }
}

class CurlClient final : public Client {
 public:
  Response perform(Transfer& transfer) override {
    Easy easy(transfer);
    transfer.begin(steady_clock());
    easy.end(curl_easy_perform(easy.handle()));
    return transfer.finish();
  }
  std::unique_ptr<Session> session(ProgressObserver* observer) override {
    return std::make_unique<CurlSession>(observer);
  }
};

}  // namespace

Client& system_client() {
  static CurlClient client;
  return client;
}

}  // namespace keelbox::http

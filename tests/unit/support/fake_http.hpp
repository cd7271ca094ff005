#pragma once
// A scripted HTTP engine for tests of the logic above the seam: it opens no
// connection and waits for nothing. Each address answers with the next
// scripted FakeAnswer (a head, body pieces after silences measured on a
// FakeClock, a connection reset, a redirect); every request is recorded.
// The engine feeds each answer into the real http::Transfer, so the head
// checks, bounds, decoding and the stall guard under test are the tool's own.
//
//   FakeHttp http;
//   http.on("https://core.../v1/license/pip", FakeAnswer(303).header("Location", index));
//   http.on(url, FakeAnswer(200).chunk("ab").silence(90).chunk("cd"));  // stalls
//   some_caller(http);
//   EXPECT_EQ(http.requests.at(0).method, "GET");
//
// Time: the clock moves in steps of TICK while a transfer waits; the stall
// guard is asked after every step, as libcurl asks it about once a second.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fake_clock.hpp"
#include "keelbox/http/http.hpp"

namespace keelbox::testing {

// One scripted answer: its head, then events in order, each after the
// silence before it (seconds on the fake clock).
class FakeAnswer {
 public:
  explicit FakeAnswer(long status = 200, std::string reason = "")
      : status_(status), reason_(std::move(reason)) {}

  // A redirect to `location`.
  static FakeAnswer redirect(long status, std::string location) {
    return FakeAnswer(status).header("Location", std::move(location));
  }

  FakeAnswer& header(std::string name, std::string value) {
    headers_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  // Silence before the head.
  FakeAnswer& head_after(double seconds) {
    head_delay_ = seconds;
    return *this;
  }
  // A piece of the body, after the silence set before it.
  FakeAnswer& chunk(std::string data) {
    events_.push_back({pending_, Event::DATA, std::move(data)});
    pending_ = 0;
    return *this;
  }
  // The whole body in one piece.
  FakeAnswer& body(std::string data) { return chunk(std::move(data)); }
  // `data` in pieces of `size` bytes, `seconds` apart.
  FakeAnswer& trickle(const std::string& data, std::size_t size, double seconds) {
    for (std::size_t i = 0; i < data.size(); i += size)
      silence(i ? seconds : 0).chunk(data.substr(i, size));
    return *this;
  }
  // No data for `seconds` before what comes next (or the end).
  FakeAnswer& silence(double seconds) {
    pending_ += seconds;
    return *this;
  }
  // The connection is reset here (a TransportError).
  FakeAnswer& reset() {
    events_.push_back({pending_, Event::RESET, {}});
    pending_ = 0;
    return *this;
  }
  // No Content-Length (the body's length is announced unless so).
  FakeAnswer& unannounced() {
    announce_ = false;
    return *this;
  }

 private:
  friend class FakeHttp;
  struct Event {
    double after;
    enum Kind { DATA, RESET } kind;
    std::string data;
  };

  long status_;
  std::string reason_;
  http::Headers headers_;
  double head_delay_ = 0;
  std::vector<Event> events_;
  double pending_ = 0;  // silence before the end
  bool announce_ = true;
};

// What was asked (a redirect followed is asked again).
struct RecordedRequest {
  std::string method;
  std::string url;
  http::Headers headers;
  std::string body;
  http::Request request;  // as the caller made it (bounds, time-outs, ...)

  std::optional<std::string> header(std::string_view name) const {
    return http::find_header(headers, name);
  }
};

class FakeHttp final : public http::Client {
 public:
  static constexpr std::chrono::milliseconds TICK{100};
  // A reset connection, as libcurl tells it.
  static constexpr const char* RESET_REASON = "Recv failure: Connection reset by peer";

  // Answers for requests that have no scripted answer left.
  using Handler = std::function<FakeAnswer(const RecordedRequest&)>;

  // A later request for `url` (exact) gets `answer`: answers are given in
  // the order scripted, and the last one again until another is scripted.
  FakeHttp& on(const std::string& url, FakeAnswer answer) {
    Script& script = scripts_[url];
    if (script.last_used) script.answers.clear();
    script.answers.push_back(std::move(answer));
    script.last_used = false;
    return *this;
  }
  // Answers requests that no script covers (else 404).
  void otherwise(Handler handler) { handler_ = std::move(handler); }

  // The requests made for addresses that begin with `prefix`.
  std::vector<RecordedRequest> requests_to(const std::string& prefix) const {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& r : requests) {
      if (r.url.rfind(prefix, 0) == 0) found.push_back(r);
    }
    return found;
  }

  http::Response perform(http::Transfer& transfer) override {
    transfer.begin(clock);
    Exchange exchange(*this, transfer);
    while (!exchange.step()) clock.advance(TICK);
    return transfer.finish();
  }

  std::unique_ptr<http::Session> session(http::ProgressObserver* observer) override {
    return std::make_unique<FakeSession>(*this, observer);
  }

  FakeClock clock;
  std::vector<RecordedRequest> requests;

 private:
  // One transfer on its way: the answer being sent and where it stands.
  class Exchange {
   public:
    Exchange(FakeHttp& http, http::Transfer& transfer)
        : http_(http),
          transfer_(transfer),
          method_(transfer.request().method),
          body_(transfer.request().body) {
      ask(transfer.request().url);
    }

    // Sends what is due; true once the transfer has ended.
    bool step() {
      using Kind = http::Transfer::Ending::Kind;
      while (!ended_ && http_.clock.now() >= due_) {
        if (!head_sent_) {
          send_head();
        } else if (next_ < answer_.events_.size()) {
          const FakeAnswer::Event& event = answer_.events_[next_++];
          if (event.kind == FakeAnswer::Event::RESET) {
            end(Kind::failed, RESET_REASON);
          } else if (!transfer_.body(event.data)) {
            end(Kind::failed, "Failure writing output to destination");
          }
          schedule();
        } else {
          end(Kind::complete, "");
        }
      }
      if (!ended_ && transfer_.stall_guard().expired()) end(Kind::aborted, "Callback aborted");
      return ended_;
    }

   private:
    void ask(const std::string& url) {
      url_ = url;
      RecordedRequest r{method_, url, transfer_.request().headers, body_, transfer_.request()};
      http_.requests.push_back(r);
      if (url.rfind("https://", 0) != 0) {
        const std::string scheme = url.substr(0, url.find(':'));
        end(http::Transfer::Ending::Kind::failed,
            "Protocol \"" + scheme + "\" not supported or disabled in libcurl");
        return;
      }
      transfer_.stall_guard().sent();
      answer_ = http_.answer_for(r);
      head_sent_ = false;
      next_ = 0;
      due_ = http_.clock.now() + seconds(answer_.head_delay_);
    }

    void schedule() {
      const double after =
          next_ < answer_.events_.size() ? answer_.events_[next_].after : answer_.pending_;
      due_ = http_.clock.now() + seconds(after);
    }

    void send_head() {
      using Kind = http::Transfer::Ending::Kind;
      head_sent_ = true;
      transfer_.answering(answer_.status_, url_);
      std::vector<std::string> lines = {"HTTP/1.1 " + std::to_string(answer_.status_) +
                                        (answer_.reason_.empty() ? "" : " " + answer_.reason_) +
                                        "\r\n"};
      for (const auto& [name, value] : answer_.headers_)
        lines.push_back(name + ": " + value + "\r\n");
      if (answer_.announce_ && !http::find_header(answer_.headers_, "Content-Length")) {
        std::size_t length = 0;
        for (const auto& e : answer_.events_) length += e.data.size();
        lines.push_back("Content-Length: " + std::to_string(length) + "\r\n");
      }
      lines.emplace_back("\r\n");
      for (const std::string& line : lines) {
        if (!transfer_.header_line(line)) return end(Kind::failed, "Failed writing header");
      }
      const std::optional<std::string> location = http::find_header(answer_.headers_, "Location");
      if (answer_.status_ >= 300 && answer_.status_ < 400 && location &&
          transfer_.request().follow_redirects) {
        if (++redirects_ > http::MAX_REDIRECTS) {
          return end(Kind::too_many_redirects,
                     "Maximum (" + std::to_string(http::MAX_REDIRECTS) + ") redirects followed");
        }
        if (answer_.status_ == 303 ||
            ((answer_.status_ == 301 || answer_.status_ == 302) && method_ == "POST")) {
          method_ = "GET";
          body_.clear();
        }
        return ask(resolve(*location));
      }
      schedule();
    }

    // A Location value made absolute against the address answered.
    std::string resolve(const std::string& location) const {
      if (location.find("://") != std::string::npos) return location;
      const std::size_t host_end = url_.find('/', url_.find("://") + 3);
      return url_.substr(0, host_end) + location;
    }

    void end(http::Transfer::Ending::Kind kind, std::string reason) {
      ended_ = true;
      transfer_.answering(head_sent_ ? answer_.status_ : 0, url_);
      transfer_.end({kind, std::move(reason)});
    }

    static std::chrono::milliseconds seconds(double s) {
      return std::chrono::milliseconds(static_cast<long long>(s * 1000.0));
    }

    FakeHttp& http_;
    http::Transfer& transfer_;
    std::string method_;
    std::string body_;
    std::string url_;
    FakeAnswer answer_;
    bool head_sent_ = false;
    std::size_t next_ = 0;
    long redirects_ = 0;
    bool ended_ = false;
    FakeClock::time_point due_{};
  };

  class FakeSession final : public http::Session {
   public:
    FakeSession(FakeHttp& http, http::ProgressObserver* observer)
        : http_(http), observer_(observer) {}
    ~FakeSession() override {
      for (Entry& e : active_) release(*e.transfer);
    }

    void add(http::Transfer& transfer, std::string label, Completion done) override {
      transfer.begin(http_.clock, observer_, std::move(label));
      hold(transfer);
      active_.push_back({&transfer, std::make_unique<Exchange>(http_, transfer), std::move(done)});
    }

    void run() override {
      while (!active_.empty()) {
        for (std::size_t i = 0; i < active_.size();) {
          if (!active_[i].exchange->step()) {
            ++i;
            continue;
          }
          Entry entry = std::move(active_[i]);
          active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
          release(*entry.transfer);
          entry.done(*entry.transfer);
        }
        if (!active_.empty()) http_.clock.advance(TICK);
      }
    }

   private:
    struct Entry {
      http::Transfer* transfer;
      std::unique_ptr<Exchange> exchange;
      Completion done;
    };
    void forget(http::Transfer& transfer) noexcept override {
      for (auto it = active_.begin(); it != active_.end(); ++it) {
        if (it->transfer == &transfer) {
          active_.erase(it);
          return;
        }
      }
    }

    FakeHttp& http_;
    http::ProgressObserver* observer_;
    std::vector<Entry> active_;
  };

  FakeAnswer answer_for(const RecordedRequest& request) {
    auto it = scripts_.find(request.url);
    if (it != scripts_.end() && !it->second.answers.empty()) {
      Script& script = it->second;
      FakeAnswer answer = script.answers.front();
      if (script.answers.size() > 1) {
        script.answers.pop_front();
      } else {
        script.last_used = true;
      }
      return answer;
    }
    if (handler_) return handler_(request);
    return FakeAnswer(404);
  }

  struct Script {
    std::deque<FakeAnswer> answers;
    bool last_used = false;  // the one left has been given (and is given again)
  };
  std::map<std::string, Script> scripts_;
  Handler handler_;
};

// Records what a session reports, as the progress board would show it.
class RecordingObserver : public http::ProgressObserver {
 public:
  struct Bar {
    std::string label;
    std::uint64_t total = 0;
    std::uint64_t done = 0;
    bool ended = false;
  };
  Id begun(std::string_view label, std::uint64_t total) override {
    bars.push_back({std::string(label), total});
    return bars.size() - 1;
  }
  void advanced(Id id, std::uint64_t bytes) override { bars.at(id).done += bytes; }
  void ended(Id id) override { bars.at(id).ended = true; }
  std::vector<Bar> bars;
};

}  // namespace keelbox::testing

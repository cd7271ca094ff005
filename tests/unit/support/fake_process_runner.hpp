#pragma once
// A process runner for tests of the tool's own logic: it starts nothing,
// records every run and answers each with the next scripted answer (status 0
// when none is left). Captured output is present exactly when the run asked
// for it, as with real children.
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "keelbox/process/process.hpp"

namespace keelbox::testing {

struct RecordedRun {
  std::filesystem::path program;
  std::vector<std::string> args;
  Environment env;
  ProcessOptions options;
};

class FakeProcessRunner final : public ProcessRunner {
 public:
  // Something the "child" does before it ends (e.g. a file it leaves behind).
  using Effect = std::function<void(const RecordedRun&)>;

  // The next run ends with `status`; `out` and `err` are what it writes.
  FakeProcessRunner& answer(int status, std::string out = "", std::string err = "",
                            Effect effect = nullptr) {
    answers_.push_back({status, std::move(out), std::move(err), std::move(effect)});
    return *this;
  }

  ProcessResult run(const std::filesystem::path& program, const std::vector<std::string>& args,
                    const Environment& env, const ProcessOptions& options) override {
    runs.push_back({program, args, env, options});
    Answer a;
    if (!answers_.empty()) {
      a = std::move(answers_.front());
      answers_.pop_front();
    }
    if (a.effect) a.effect(runs.back());
    ProcessResult result;
    result.returncode = a.status;
    const bool capture_out = options.stdout_mode == StreamMode::Capture;
    const bool capture_err = options.stderr_mode == StreamMode::Capture;
    if (capture_err && options.stderr_into_stdout) {
      result.stdout_ = (capture_out ? a.out : "") + a.err;
    } else {
      if (capture_out) result.stdout_ = a.out;
      if (capture_err) result.stderr_ = a.err;
    }
    return result;
  }

  std::vector<RecordedRun> runs;

 private:
  struct Answer {
    int status = 0;
    std::string out, err;
    Effect effect;
  };
  std::deque<Answer> answers_;
};

}  // namespace keelbox::testing

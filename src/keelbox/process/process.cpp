// Child processes, the part every system shares: the text of a failed run,
// one complete run, the runner the tool uses, and what a finished child's
// result holds. Starting, reading and waiting are each system's own
// (process_posix.cpp, process_win32.cpp).
#include "keelbox/process/process.hpp"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "keelbox/platform/wide.hpp"
#include "keelbox/process/process_internal.hpp"
#include "keelbox/text/notation.hpp"
#include "keelbox/trace/trace.hpp"

namespace keelbox {

namespace {

std::string called_process_text(const std::vector<std::string>& cmd, long long returncode) {
  std::string text = "Command " + list_notation(cmd);
  if (returncode < 0) return text + " died with signal " + std::to_string(-returncode) + ".";
  return text + " returned non-zero exit status " + std::to_string(returncode) + ".";
}

}  // namespace

CalledProcessError::CalledProcessError(std::vector<std::string> cmd, long long returncode)
    : Error(called_process_text(cmd, returncode)), cmd_(std::move(cmd)), returncode_(returncode) {}

ProcessResult finished_result(const ProcessOptions& options, long long returncode, std::string out,
                              std::string err) {
  ProcessResult result;
  result.returncode = returncode;
  const bool capture_out = options.stdout_mode == StreamMode::Capture;
  const bool capture_err = options.stderr_mode == StreamMode::Capture;
  if (capture_out || (capture_err && options.stderr_into_stdout)) result.stdout_ = std::move(out);
  if (capture_err && !options.stderr_into_stdout) result.stderr_ = std::move(err);
  return result;
}

ProcessResult run_process(const std::filesystem::path& program,
                          const std::vector<std::string>& args, const Environment& env,
                          const ProcessOptions& options) {
  if (!trace::enabled(trace::Level::info)) {
    ChildProcess child(program, args, env, options);
    return child.communicate();
  }
  std::vector<std::string> words{path_to_utf8(program)};
  words.insert(words.end(), args.begin(), args.end());
  const std::string command = trace::mask_command_line(words);
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&started] {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count()) +
           " ms";
  };
  try {
    ChildProcess child(program, args, env, options);
    ProcessResult result = child.communicate();
    trace::trace(
        trace::Level::info, "process",
        command + " -> exit status " + std::to_string(result.returncode) + ", " + elapsed());
    return result;
  } catch (const std::exception& e) {
    trace::trace(trace::Level::info, "process",
                 command + " -> failed (" + e.what() + "), " + elapsed());
    throw;
  }
}

namespace {

class SystemProcessRunner final : public ProcessRunner {
 public:
  ProcessResult run(const std::filesystem::path& program, const std::vector<std::string>& args,
                    const Environment& env, const ProcessOptions& options) override {
    return run_process(program, args, env, options);
  }
};

}  // namespace

ProcessRunner& system_process_runner() {
  static SystemProcessRunner runner;
  return runner;
}

}  // namespace keelbox

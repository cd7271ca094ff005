#pragma once
// Child processes: start a program by path with an argument list and an
// environment (no shell), inherit, capture or discard each standard stream,
// wait for it and read its exit status.
//
// Every child is owned by a ChildProcess object: its destructor ends and reaps
// a child that is still running, so no child outlives the operation that
// started it. Children are registered with the interrupt handler while they
// run, so Ctrl-C ends them too.
//
// The portable part is process.cpp; each system's engine is in
// process_posix.cpp (posix_spawn, poll) or process_win32.cpp (CreateProcessW,
// a job object, a reader thread).
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

// The order of environment variable names: Windows does not tell names apart
// by case (Path and PATH are one variable), other systems do.
struct EnvironmentNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// The environment of a child: variable name -> value.
using Environment = std::map<std::string, std::string, EnvironmentNameLess>;

// A copy of the current process's environment.
Environment current_environment();

enum class StreamMode {
  Inherit,  // the child uses the tool's own stream
  Capture,  // read completely into memory (standard output and error only)
  Discard,  // connected to the null device
};

struct ProcessOptions {
  StreamMode stdin_mode = StreamMode::Inherit;  // Capture counts as Discard here
  StreamMode stdout_mode = StreamMode::Inherit;
  StreamMode stderr_mode = StreamMode::Inherit;
  // With stderr_mode Capture: standard error goes into the captured standard
  // output, interleaved as the child writes.
  bool stderr_into_stdout = false;

  static ProcessOptions capture_both() {
    ProcessOptions o;
    o.stdout_mode = o.stderr_mode = StreamMode::Capture;
    return o;
  }
  static ProcessOptions discard_output() {
    ProcessOptions o;
    o.stdout_mode = o.stderr_mode = StreamMode::Discard;
    return o;
  }
};

struct ProcessResult {
  // Exit status; the negative signal number when the child was ended by a
  // signal. On Windows the full 32-bit exit code, never negative
  // (3221225786 for a child ended by Ctrl-C).
  long long returncode = 0;
  std::optional<std::string> stdout_;  // present when captured
  std::optional<std::string> stderr_;  // present when captured separately
};

// A failed child run, kept as the cause of the user-facing error.
// Text: "Command ['/v/bin/python', '-c', 'x'] returned non-zero exit status 3."
// or, for a signal, "... died with signal 9."
class CalledProcessError : public Error {
 public:
  CalledProcessError(std::vector<std::string> cmd, long long returncode);
  const char* kind() const noexcept override { return "CalledProcessError"; }
  const std::vector<std::string>& cmd() const noexcept { return cmd_; }
  long long returncode() const noexcept { return returncode_; }

 private:
  std::vector<std::string> cmd_;
  long long returncode_;
};

class ChildProcess {
 public:
  // Starts `program` (a path; not searched in PATH) with `args` (argument 0 is
  // the program path itself, added here) and exactly `env`. Throws
  // ProcessStartError naming the program and the system's reason.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const Environment& env, const ProcessOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads the captured streams to their end (both at once, so a child that
  // fills one pipe never blocks) and waits for the child. Call once.
  ProcessResult communicate();

  // Ends the child (forcibly) and reaps it; nothing happens when it has
  // already been reaped.
  void kill();

  bool running() const noexcept;
  // The child's process id while it has not been reaped, -1 after.
  long pid() const noexcept;

 private:
  struct Impl;  // the system's handles of the child and of its pipes
  std::string program_;
  ProcessOptions options_;
  std::unique_ptr<Impl> impl_;
};

// Starts the program, waits for it and returns its status and captured output.
ProcessResult run_process(const std::filesystem::path& program,
                          const std::vector<std::string>& args, const Environment& env,
                          const ProcessOptions& options = {});

// How the modules that drive other programs (uv, the target environment's
// python) run them: one complete run, as run_process does. The tool uses
// system_process_runner(); a test of a module's own logic passes a fake that
// records the runs and answers them.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  virtual ProcessResult run(const std::filesystem::path& program,
                            const std::vector<std::string>& args, const Environment& env,
                            const ProcessOptions& options) = 0;

 protected:
  ProcessRunner() = default;
  ProcessRunner(const ProcessRunner&) = default;
  ProcessRunner& operator=(const ProcessRunner&) = default;
};

// The runner that starts real children through run_process.
ProcessRunner& system_process_runner();

}  // namespace keelbox

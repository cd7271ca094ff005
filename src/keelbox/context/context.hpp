#pragma once
// The context of one run of the tool: what the modules that drive other
// programs reach the world outside through. The command handlers build one
// with system_context() and pass it down; a test builds its own from fakes
// (tests/unit/support/fake_context.hpp).
//
// It sits just above the process module, so that everything that starts a
// child (system, uv, install, install_mkl, modules) and everything above them
// (examples, cli) can take it. It holds references to what lives longer than
// the run (the process runner, the clock) and copies of what the run reads
// (the environment, the installation folder).
#include <chrono>
#include <filesystem>

#include "keelbox/process/process.hpp"

namespace keelbox {

// Steady time, for durations (never for dates).
class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual time_point now() const = 0;

 protected:
  Clock() = default;
  Clock(const Clock&) = default;
  Clock& operator=(const Clock&) = default;
};

// The clock of std::chrono::steady_clock.
const Clock& steady_clock();

struct Context {
  // Starts uv and the target environment's programs.
  ProcessRunner& runner;
  // Measures durations (the download's progress rates).
  const Clock& clock;
  // The variables the run reads to find the target environment (VIRTUAL_ENV,
  // CONDA_PREFIX), and the environment every child starts from.
  Environment environment;
  // The folder of the tool's own executable, where uv and the base
  // interpreter are looked for.
  std::filesystem::path installation_dir;
  // The HTTP client the service requests go through (http::Client&, the
  // interface of http/http.hpp) joins here.
};

// The context of a real run: the system's process runner, the steady clock, a
// copy of the process's environment taken now and the folder of the running
// executable.
Context system_context();

}  // namespace keelbox

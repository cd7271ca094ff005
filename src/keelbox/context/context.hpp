#pragma once
// The context of one run of the tool: what the modules that drive other
// programs reach the world outside through. The command handlers build one
// with system_context() and pass it down; a test builds its own from fakes
// (tests/unit/support/fake_context.hpp).
//
// It sits just above the process and HTTP modules, so that everything that
// starts a child or asks the services (system, uv, install, install_mkl,
// modules) and everything above them (examples, cli) can take it. It holds
// references to what lives longer than the run (the process runner, the HTTP
// client, the clock) and copies of what the run reads (the environment, the
// installation folder).
#include <filesystem>

#include "keelbox/http/http.hpp"
#include "keelbox/platform/clock.hpp"
#include "keelbox/process/process.hpp"

namespace keelbox {

struct Context {
  // Starts uv and the target environment's programs.
  ProcessRunner& runner;
  // Sends the requests to the services and downloads the archives.
  http::Client& http;
  // Measures durations (the download's progress rates).
  const Clock& clock;
  // The variables the run reads to find the target environment (VIRTUAL_ENV,
  // CONDA_PREFIX), and the environment every child starts from.
  Environment environment;
  // The folder of the tool's own executable, where uv and the base
  // interpreter are looked for.
  std::filesystem::path installation_dir;
};

// The context of a real run: the system's process runner, the process-wide
// HTTP client, the steady clock, a
// copy of the process's environment taken now and the folder of the running
// executable.
Context system_context();

}  // namespace keelbox

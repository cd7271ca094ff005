#pragma once
// A run context of fakes for tests of the tool's own logic: the fake process
// runner, the scripted HTTP engine and its clock, which moves only when told, an environment of the
// test's own (nothing of the process's) and an installation folder of the test's choice (none by
// default: uv and the base interpreter are not found there).
#include <chrono>
#include <filesystem>

#include "fake_http.hpp"
#include "fake_process_runner.hpp"
#include "keelbox/context/context.hpp"

namespace keelbox::testing {

// `context` refers to `runner`, `http` and its clock: the object stays where
// it was made.
struct FakeContext {
  FakeContext() = default;
  FakeContext(const FakeContext&) = delete;
  FakeContext& operator=(const FakeContext&) = delete;

  FakeProcessRunner runner;
  FakeHttp http;
  FakeClock& clock = http.clock;
  Context context{runner, http, http.clock, Environment{}, std::filesystem::path{}};
};

}  // namespace keelbox::testing

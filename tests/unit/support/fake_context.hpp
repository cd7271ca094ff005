#pragma once
// A run context of fakes for tests of the tool's own logic: the fake process
// runner, a clock that moves only when told, an environment of the test's own
// (nothing of the process's) and an installation folder of the test's choice
// (none by default: uv and the base interpreter are not found there).
#include <chrono>
#include <filesystem>

#include "fake_process_runner.hpp"
#include "keelbox/context/context.hpp"

namespace keelbox::testing {

class FakeClock final : public Clock {
 public:
  time_point now() const override { return now_; }
  void advance(std::chrono::steady_clock::duration by) { now_ += by; }

 private:
  time_point now_{};
};

// `context` refers to `runner` and `clock`: the object stays where it was made.
struct FakeContext {
  FakeContext() = default;
  FakeContext(const FakeContext&) = delete;
  FakeContext& operator=(const FakeContext&) = delete;

  FakeProcessRunner runner;
  FakeClock clock;
  Context context{runner, clock, Environment{}, std::filesystem::path{}};
};

}  // namespace keelbox::testing

#pragma once
// A clock that moves only when told, for the stall guard and the progress
// rates under test: nothing waits in real time.
#include <chrono>

#include "keelbox/platform/clock.hpp"

namespace keelbox::testing {

class FakeClock final : public Clock {
 public:
  time_point now() const override { return now_; }
  void advance(std::chrono::steady_clock::duration step) { now_ += step; }
  // Seconds since the clock was made.
  double elapsed() const { return std::chrono::duration<double>(now_ - start_).count(); }

 private:
  time_point start_ = time_point{} + std::chrono::hours(1);
  time_point now_ = start_;
};

}  // namespace keelbox::testing

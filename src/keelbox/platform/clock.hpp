#pragma once
// Steady time, for durations (never for dates): what the stall guard of the
// HTTP transfers and the rates of the progress bars measure with. The tool
// uses steady_clock(); a test passes a clock that moves only when told, so
// that nothing it checks waits in real time.
#include <chrono>

namespace keelbox {

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

// std::chrono::steady_clock as a Clock.
const Clock& steady_clock();

}  // namespace keelbox

#include "keelbox/platform/clock.hpp"

namespace keelbox {
namespace {

class SteadyClock final : public Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const Clock& steady_clock() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace keelbox

#include "keelbox/context/context.hpp"

#include "keelbox/platform/installation.hpp"

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

Context system_context() {
  return Context{system_process_runner(), steady_clock(), current_environment(),
                 tool_installation_dir()};
}

}  // namespace keelbox

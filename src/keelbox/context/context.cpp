#include "keelbox/context/context.hpp"

#include "keelbox/platform/installation.hpp"

namespace keelbox {

Context system_context() {
  return Context{system_process_runner(), http::system_client(), steady_clock(),
                 current_environment(), tool_installation_dir()};
}

}  // namespace keelbox

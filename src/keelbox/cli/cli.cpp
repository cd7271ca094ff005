#include "keelbox/cli/cli.hpp"

namespace keelbox {

int run_cli(int, char**) { return 0; }

}  // namespace keelbox

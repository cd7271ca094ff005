#include "keelbox/cli/cli.hpp"
#include "keelbox/platform/process_guard.hpp"

int main(int argc, char** argv) {
  // Before anything reads a secret.
  keelbox::keep_memory_private();
  return keelbox::run_cli(argc, argv);
}

#pragma once
// The entry of every run and the root command group.

namespace keelbox {

// Checks the interpreter version, reads the configuration once to warn a user
// without a valid profile, runs the root command and returns the exit status.
int run_cli(int argc, char** argv);

}  // namespace keelbox

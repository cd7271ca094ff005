#include "keelbox/cli/cli.hpp"

int main(int argc, char** argv) { return keelbox::run_cli(argc, argv); }

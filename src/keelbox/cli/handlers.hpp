#pragma once
// The handlers of the command table: each takes the parse result of a clean
// command line and runs its command. A command that starts other programs or
// measures time gets the run's context (system_context()) from its handler,
// which passes it down.
#include "keelbox/cli/parser.hpp"

namespace keelbox::cli {

// The root without a command: the module information with --info, else the
// root's help screen.
void run_root(const ParseResult& parsed);
void run_init(const ParseResult& parsed);
void run_modules(const ParseResult& parsed);
void run_install(const ParseResult& parsed);
void run_download_examples(const ParseResult& parsed);

}  // namespace keelbox::cli

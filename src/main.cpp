#include "keelbox/cli/cli.hpp"
#include "keelbox/platform/process_guard.hpp"
#include "keelbox/terminal/console.hpp"

// The entry point is the one platform conditional left here: Windows gives
// the arguments as UTF-16 only to wmain (main gets them in the ANSI code
// page, which loses characters), and a program has exactly one entry point.
// Both are five lines; a file per platform would cost the executable a
// source list of its own for no gain.
#ifdef _WIN32
#include <string>
#include <vector>

#include "keelbox/platform/wide.hpp"

// The arguments arrive as UTF-16, split by the C runtime's rules; inside
// the tool they are UTF-8 like every other text.
int wmain(int argc, wchar_t** wargv) {
  // Before anything reads a secret.
  keelbox::keep_memory_private();
  keelbox::prepare_console();
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(keelbox::from_wide(wargv[i]));
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return keelbox::run_cli(argc, argv.data());
}
#else
int main(int argc, char** argv) {
  // Before anything reads a secret.
  keelbox::keep_memory_private();
  keelbox::prepare_console();
  return keelbox::run_cli(argc, argv);
}
#endif

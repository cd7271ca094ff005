// Build-time tool: writes keelbox.1 from the command table.
#include <fstream>
#include <iostream>

#include "keelbox/build_config.hpp"
#include "keelbox/cli/manpage.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: gen_manpage OUTPUT DATE\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << keelbox::cli::render_manpage(keelbox::build::VERSION, argv[2]);
  return out ? 0 : 1;
}

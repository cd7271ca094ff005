// The names of a requirements file, from any bytes a user's file may hold.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "keelbox/install/requirements.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keelbox;
  std::istringstream in(std::string(fuzz::as_text(data, size)));
  for (const std::string& name : install::read_requirement_names(in)) {
    // Entries are what is left of a line before "#", trimmed, never empty.
    if (name.empty()) fuzz::broken("empty requirement entry");
    if (name.find('#') != std::string::npos) fuzz::broken("comment kept in an entry", name);
    if (name.find('\n') != std::string::npos) fuzz::broken("entry spans lines", name);
    const char first = name.front();
    const char last = name.back();
    if (first == ' ' || first == '\t' || last == ' ' || last == '\t' || last == '\r') {
      fuzz::broken("entry not trimmed", name);
    }
  }
  return 0;
}

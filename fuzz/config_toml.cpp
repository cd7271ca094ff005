// keelbox.toml, from any bytes a user's file may hold. A file that reads as a
// configuration must survive being written back: the writer renders the
// record and refuses to replace the file unless the text parses back to it.
#include <cstddef>
#include <cstdint>

#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keelbox;
  KeelboxConfig conf;
  try {
    conf = parse_config_toml(fuzz::as_text(data, size), "keelbox.toml");
  } catch (const ParseError&) {
    return 0;
  } catch (const ValidationError&) {
    return 0;
  }
  const std::string rendered = render_config_toml(conf);
  try {
    if (!(parse_config_toml(rendered, "<rendered>") == conf)) {
      fuzz::broken("configuration changed through its rendering", rendered);
    }
  } catch (const Error& e) {
    fuzz::broken(e.what(), rendered);
  }
  return 0;
}

// The version entry of `uv pip show` output, from any bytes uv might print.
#include <cstddef>
#include <cstdint>

#include "keelbox/modules/catalogue.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keelbox;
  const std::string_view output = fuzz::as_text(data, size);
  const std::optional<std::string> version = _version_from_pip_show_output(output);
  if (version) {
    // The version is read from one line of the output.
    if (version->find('\n') != std::string::npos) fuzz::broken("version spans lines", *version);
    if (version->size() > output.size()) fuzz::broken("version longer than the output", *version);
  }
  return 0;
}

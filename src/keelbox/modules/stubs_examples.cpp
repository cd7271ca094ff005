// Stand-ins until the example operations land.
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/modules/modules.hpp"

namespace keelbox {

std::vector<std::string> get_entitled_examples_packages() { throw RuntimeError("not implemented"); }
std::vector<std::string> download_examples(const std::optional<std::filesystem::path>&,
                                           const std::optional<std::vector<std::string>>&) {
  throw RuntimeError("not implemented");
}

}  // namespace keelbox

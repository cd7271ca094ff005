#include "keelbox/install/requirements.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string_view>

#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"
#include "keelbox/text/strings.hpp"

namespace keelbox::install {

std::vector<std::string> read_requirement_names(std::istream& in) {
  std::vector<std::string> names;
  std::string line;
  while (std::getline(in, line)) {
    // Lines may end with "\r\n" or a lone "\r" in files from other systems.
    std::size_t start = 0;
    while (start <= line.size()) {
      auto cr = line.find('\r', start);
      std::string_view part = std::string_view(line).substr(
          start, cr == std::string::npos ? std::string::npos : cr - start);
      std::string stripped = trim_unicode(part);
      if (!stripped.empty() && stripped.front() != '#') {
        std::string entry = trim_unicode(part.substr(0, part.find('#')));
        if (!entry.empty()) names.push_back(entry);
      }
      if (cr == std::string::npos) break;
      start = cr + 1;
    }
  }
  return names;
}

std::vector<std::string> read_requirements_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) {
    int err = errno;
    throw FileSystemError("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" +
                          path_to_utf8(path) + "'");
  }
  auto names = read_requirement_names(in);
  if (in.bad()) {
    int err = errno;
    throw FileSystemError("[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" +
                          path_to_utf8(path) + "'");
  }
  return names;
}

}  // namespace keelbox::install

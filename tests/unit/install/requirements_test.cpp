// The names of a requirements file.
#include "keelbox/install/requirements.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {
namespace {

TEST(RequirementNames, Lines) {
  struct Case {
    std::string text;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"numpy  # pinned later\n  # a comment\n\nscipy\n   \n", {"numpy", "scipy"}},
      {"pkg#egg\n", {"pkg"}},
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"last-without-newline", {"last-without-newline"}},
      {"  numpy>=1.2 ; python_version<'3.12'  \n", {"numpy>=1.2 ; python_version<'3.12'"}},
      {"--index-url x\n#\n a \n a\n", {"--index-url x", "a", "a"}},
      {"\t# tabbed comment\n#x\n", {}},
      {"old\rmac\r", {"old", "mac"}},
      {"\x1f\vsep\x1c # tail\n\x1e#c\n", {"sep"}},
      {"\xC2\xA0"
       "scipy\xE3\x80\x80\n",
       {"scipy"}},  // Unicode white space, as str.strip()
  };
  for (const auto& c : cases) {
    std::istringstream in(c.text);
    EXPECT_EQ(install::read_requirement_names(in), c.names) << c.text;
  }
}

TEST(RequirementNames, MissingFileIsAFileSystemError) {
  EXPECT_THROW(install::read_requirements_file("/nonexistent/keelbox/reqs.txt"), FileSystemError);
  auto path = std::filesystem::temp_directory_path() / "keelbox-reqs-test.txt";
  std::ofstream(path) << "b\n";
  EXPECT_EQ(install::read_requirements_file(path), std::vector<std::string>{"b"});
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace keelbox

// The example catalogue and the choice of what to download: pure steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../support/portable.hpp"
#include "keelbox/examples/examples.hpp"
#include "keelbox/exceptions/exceptions.hpp"

namespace fs = std::filesystem;
using namespace keelbox;

namespace {

KeelboxEntitlement module(std::string code) {
  return KeelboxEntitlement{"Name", std::move(code), {"pkg"}, {}};
}

TEST(CodeToPackageName, Table) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"ENT_ZVK_SAMPLE_APP", "zvk-sample-app"},
      {"ENT_ZVK_SAMPLE_APP_FREE", "zvk-sample-app"},
      {"ENT_CLIENT_APP", "cliapp"},  // every "ENT_", also inside a word
      {"ENT_X_free", "x-free"},      // "_FREE" goes before lower-casing
      {"ENT_X_FREE_FREE", "x"},
      {"  ENT_My App ", "my-app"},  // trimmed, then blanks become "-"
      {"ENT_A__B", "a--b"},
      {"ENT_\xC3\x84RGER_APP", "\xC3\xA4rger-app"},  // Unicode lower-casing: "Ä" -> "ä"
      {"\xC2\xA0"
       "ENT_X\xE3\x80\x80",
       "x"},  // no-break and ideographic spaces trimmed
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(code_to_package_name(code), name) << code;
}

TEST(ExampleArtifactName, Table) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"zvk-sample-app-examples", "zvk_sample_app"},
      {"other-examples", "other"},
      {"a-examples-b-examples", "a"},  // up to the first "-examples"
      {"zvk-sample-appexamples", "zvk_sample_appexamples"},
  };
  for (const auto& [name, artifact] : cases)
    EXPECT_EQ(example_artifact_name(name), artifact) << name;
}

// Package names come from the service and become folders: only plain names.
TEST(ExampleFolder, OnlyPlainNamesBelowTheDownloadFolder) {
  EXPECT_EQ(example_folder("dl", "zvk-sample-app-examples"),
            fs::path("dl/zvk-sample-app-examples"));
  EXPECT_EQ(example_folder("dl", "..examples"), fs::path("dl/..examples"));
  const std::vector<std::string> refused = {"../../x-examples",
                                            "/tmp/x-examples",
                                            "a/b-examples",
                                            "..",
                                            ".",
                                            "",
                                            std::string("a\0/../x-examples", 16)};
  for (const std::string& name : refused) {
    EXPECT_THROW(example_folder("dl", name), ExtractionError) << name;
  }
}

TEST(ExamplesFromPackages, KeysEndingWithExamplesInOrder) {
  auto packages = nlohmann::json::parse(R"([
    {"key": "b-examples", "title": "x"}, {"key": "zvk-sample-app"},
    {"key": "zvk-sample-appexamples"}, {"key": "zvk-sample-app-examples-old"},
    {"key": "a-Examples"}, {"key": "b-examples"}])");
  EXPECT_EQ(examples_from_packages(packages),
            (std::vector<std::string>{"b-examples", "zvk-sample-appexamples", "b-examples"}));
  EXPECT_THROW(examples_from_packages(nlohmann::json::parse(R"([{"name": "x"}])")), KeyError);
  EXPECT_THROW(examples_from_packages(nlohmann::json::parse(R"([{"key": 3}])")), ParseError);
  EXPECT_THROW(examples_from_packages(nlohmann::json::parse(R"({"key": "a-examples"})")),
               ParseError);
}

TEST(EntitledExamples, OnlyThoseOfEntitledModulesInPackageOrder) {
  const std::vector<std::string> examples = {"a-examples", "zvk-sample-app-examples", "c-examples",
                                             "zvk-sample-appexamples"};
  EXPECT_EQ(entitled_examples(examples, {module("ENT_C"), module("ENT_ZVK_SAMPLE_APP_FREE"),
                                         module("ENT_NOTHING")}),
            (std::vector<std::string>{"zvk-sample-app-examples", "c-examples"}));
  EXPECT_EQ(entitled_examples(examples, {}), std::vector<std::string>{});
}

TEST(SelectExamplePackages, LooseNamesAndMisses) {
  const std::vector<std::string> available = {"zvk-sample-app-examples", "other-examples"};
  struct Case {
    std::vector<std::string> typed;
    std::vector<std::string> selected;
    std::vector<std::string> errors;
  };
  const std::vector<Case> cases = {
      {{"zvk_sample_app", "sample_app", "other-examples"},
       {"zvk-sample-app-examples", "zvk-sample-app-examples", "other-examples"},
       {}},
      {{"ZVK_SAMPLE_APP", "other"}, {"other-examples"}, {"Package ZVK-SAMPLE-APP not found!"}},
      {{" other", "other-"}, {}, {"Package  other not found!", "Package other- not found!"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> errors;
    ::testing::internal::CaptureStdout();
    auto selected = select_example_packages(c.typed, available, errors);
    std::string out = keelbox::testing::plain_lines(::testing::internal::GetCapturedStdout());
    EXPECT_EQ(selected, c.selected);
    EXPECT_EQ(errors, c.errors);
    std::string expected;
    for (const std::string& e : c.errors) {
      std::string name = e.substr(8, e.size() - 8 - 11);
      expected += "Package " + name +
                  " not found in examples!\n"
                  "Use keelbox modules download-examples --list-available to see available "
                  "examples.\n\n\n";
    }
    EXPECT_EQ(out, expected);
  }
}

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override { root_ = keelbox::testing::make_temp_dir("keelbox-examples"); }
  void TearDown() override { fs::remove_all(root_); }
  void touch(const fs::path& rel) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << "x\n";
  }
  fs::path root_;
};

TEST_F(FolderTest, RequirementsFilesTopFirstThenSubfolders) {
  KEELBOX_SKIP_ON_WINDOWS("std::filesystem of mingw-w64 makes no symbolic links");
  touch("pkg/zz/deeper/requirements.txt");
  touch("pkg/aa/requirements.txt");
  touch("pkg/requirements.txt");
  touch("pkg/aa/requirements.txt.bak");
  fs::create_directories(root_ / "pkg" / "requirements.txt.d");
  fs::create_directory_symlink(root_ / "pkg" / "aa", root_ / "pkg" / "linked");
  // Links: one of that name to a file counts, one to a folder and one
  // leading nowhere under another name do not.
  fs::create_directories(root_ / "pkg" / "ll");
  fs::create_symlink(root_ / "pkg" / "aa" / "requirements.txt",
                     root_ / "pkg" / "ll" / "requirements.txt");
  fs::create_symlink(root_ / "nowhere", root_ / "pkg" / "ll" / "dangling");
  fs::create_directories(root_ / "pkg" / "dd");
  fs::create_directory_symlink(root_ / "pkg" / "zz", root_ / "pkg" / "dd" / "requirements.txt");
  auto found = requirements_files(root_ / "pkg");
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0], root_ / "pkg" / "requirements.txt");
  // Subfolders come in listing order; each one's file before its own subfolders.
  std::vector<fs::path> rest(found.begin() + 1, found.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<fs::path>{root_ / "pkg/aa/requirements.txt",
                                         root_ / "pkg/ll/requirements.txt",
                                         root_ / "pkg/zz/deeper/requirements.txt"}));
  EXPECT_EQ(requirements_files(root_ / "missing"), std::vector<fs::path>{});
}

// Given the places where requirements files can be, only the folders on
// their way are listed, with the same answer as a walk of the whole folder;
// a place not found as given (replaced, or a folder name matched in another
// case) falls back to that walk.
TEST_F(FolderTest, RequirementsFilesAtKnownPlacesAreFoundInWalkOrder) {
  touch("pkg/zz/deeper/requirements.txt");
  touch("pkg/aa/requirements.txt");
  touch("pkg/mm/requirements.txt");
  touch("pkg/requirements.txt");
  touch("pkg/aa/other.txt");
  fs::create_directories(root_ / "pkg" / "requirements.txt.d" / "requirements.txt");
  const fs::path pkg = root_ / "pkg";
  const std::vector<fs::path> whole = requirements_files(pkg);
  ASSERT_EQ(whole.size(), 4u);
  const std::vector<std::string> all{"aa/requirements.txt", "zz/deeper/requirements.txt",
                                     "requirements.txt", "mm/requirements.txt"};
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {"every place", all},
      {"a place twice",
       {"mm/requirements.txt", "aa/requirements.txt", "requirements.txt",
        "zz/deeper/requirements.txt", "aa/requirements.txt"}},
      {"a place gone again",
       {"aa/requirements.txt", "zz/deeper/requirements.txt", "requirements.txt",
        "mm/requirements.txt", "gone/requirements.txt"}},
      {"a file at no place given, in a folder listed",
       {"zz/deeper/requirements.txt", "aa/requirements.txt", "mm/requirements.txt"}},
  };
  for (const auto& [label, places] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(requirements_files(pkg, places), whole);
  }
  // Only the folders on the way are listed: a file elsewhere is not seen.
  EXPECT_EQ(requirements_files(pkg, {"zz/deeper/requirements.txt", "requirements.txt"}),
            (std::vector<fs::path>{pkg / "requirements.txt", pkg / "zz/deeper/requirements.txt"}));
  EXPECT_EQ(requirements_files(pkg, {}), std::vector<fs::path>{});
  EXPECT_EQ(requirements_files(root_ / "missing", all), std::vector<fs::path>{});
}

TEST_F(FolderTest, GivenDownloadFolderMustExistAndIsNeverCreated) {
  EXPECT_THROW(
      {
        try {
          _normalize_download_dir(root_ / "missing");
        } catch (const KeelboxException& e) {
          EXPECT_STREQ(e.what(), "Could not find download directory for examples!");
          throw;
        }
      },
      KeelboxException);
  EXPECT_FALSE(fs::exists(root_ / "missing"));
  touch("plain-file");  // only existence is asked for
  EXPECT_EQ(_normalize_download_dir(root_ / "plain-file"), root_ / "plain-file");
  fs::create_directories(root_ / "d");
  EXPECT_EQ(_normalize_download_dir(root_ / "." / "d" / ""), root_ / "d");
}

}  // namespace

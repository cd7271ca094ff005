// The configuration on every system: the folders' tables, the TOML text, and
// the file as it is read and written. What rests on POSIX machinery is in
// config_posix_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config_fixture.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/filesystem.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {
namespace fs = std::filesystem;
using testing::ConfigFiles;

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars](std::string_view name) -> std::optional<std::string> {
    auto it = vars.find(std::string(name));
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(AppDirs, PlatformTables) {
  const fs::path home = "/home/u";
  struct Case {
    const char* name;
    Platform platform;
    std::map<std::string, std::string> env;
    AppDirs expected;
  };
  const Case cases[] = {
      {"linux defaults",
       Platform::Linux,
       {},
       {home / ".config/Keelbox", home / ".local/share/Keelbox", home / ".cache/Keelbox"}},
      {"linux xdg",
       Platform::Linux,
       {{"XDG_CONFIG_HOME", "/x/c"}, {"XDG_DATA_HOME", "/x/d"}, {"XDG_CACHE_HOME", "/x/k"}},
       {"/x/c/Keelbox", "/x/d/Keelbox", "/x/k/Keelbox"}},
      {"linux blank xdg is unset",
       Platform::Linux,
       {{"XDG_CONFIG_HOME", "   "}, {"XDG_DATA_HOME", ""}, {"XDG_CACHE_HOME", "\t"}},
       {home / ".config/Keelbox", home / ".local/share/Keelbox", home / ".cache/Keelbox"}},
      {"macos ignores xdg",
       Platform::MacOS,
       {{"XDG_CONFIG_HOME", "/x/c"}},
       {home / "Library/Application Support/Keelbox", home / "Library/Application Support/Keelbox",
        home / "Library/Caches/Keelbox"}},
      {"windows",
       Platform::Windows,
       {{"USERPROFILE", "C:/Users/u"}, {"LOCALAPPDATA", "C:/L"}},
       {fs::path("C:/Users/u") / ".ZVK" / "Keelbox", fs::path("C:/Users/u") / ".ZVK" / "Keelbox",
        fs::path("C:/L") / "ZVK Numerics GmbH" / "Keelbox" / "Cache"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppDirs got = compute_app_dirs(c.platform, env_of(c.env), home);
    EXPECT_EQ(got.config_dir, c.expected.config_dir);
    EXPECT_EQ(got.data_dir, c.expected.data_dir);
    EXPECT_EQ(got.cache_dir, c.expected.cache_dir);
  }
  EXPECT_THROW(compute_app_dirs(Platform::Windows, env_of({}), home), KeyError);
}

// The Windows cache folder: the variable when set and not blank, else the
// system's known folder, else the profile's usual place.
TEST(AppDirs, WindowsCacheFolderSources) {
  const fs::path known = "K:/Known";
  struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    fs::path known_folder;
    fs::path expected_base;
  };
  const Case cases[] = {
      {"variable wins", {{"USERPROFILE", "C:/U"}, {"LOCALAPPDATA", "D:/L"}}, known, "D:/L"},
      {"blank variable", {{"USERPROFILE", "C:/U"}, {"LOCALAPPDATA", " "}}, known, known},
      {"no variable", {{"USERPROFILE", "C:/U"}}, known, known},
      {"neither", {{"USERPROFILE", "C:/U"}}, {}, fs::path("C:/U") / "AppData" / "Local"},
      {"non-ASCII profile",
       {{"USERPROFILE", "C:/Users/J\xc3\xbcrgen"}},
       {},
       path_from_utf8("C:/Users/J\xc3\xbcrgen") / "AppData" / "Local"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const AppDirs got =
        compute_app_dirs(Platform::Windows, env_of(c.env), "/home/u", c.known_folder);
    EXPECT_EQ(got.cache_dir, c.expected_base / "ZVK Numerics GmbH" / "Keelbox" / "Cache");
    EXPECT_EQ(got.config_dir, path_from_utf8(c.env.at("USERPROFILE")) / ".ZVK" / "Keelbox");
  }
}

// A variable that names a folder relative to the working folder (or only
// blanks) is taken as unset: the token must never land below wherever the
// tool happens to run.
TEST(AppDirs, RelativeFolderVariablesAreUnset) {
  const fs::path home = "/home/u";
  for (const char* value : {"", "  ", "rel", "./x", "~/x", "..\\up"}) {
    SCOPED_TRACE(value);
    const AppDirs linux_dirs = compute_app_dirs(
        Platform::Linux,
        env_of({{"XDG_CONFIG_HOME", value}, {"XDG_DATA_HOME", value}, {"XDG_CACHE_HOME", value}}),
        home);
    EXPECT_EQ(linux_dirs.config_dir, home / ".config" / "Keelbox");
    EXPECT_EQ(linux_dirs.data_dir, home / ".local" / "share" / "Keelbox");
    EXPECT_EQ(linux_dirs.cache_dir, home / ".cache" / "Keelbox");
  }
  for (const char* value : {"", " ", "rel", ".", "\\Users\\u", "/Users/u", "C:rel", "C:"}) {
    SCOPED_TRACE(value);
    EXPECT_THROW(compute_app_dirs(Platform::Windows, env_of({{"USERPROFILE", value}}), home),
                 KeyError);
    const AppDirs got = compute_app_dirs(
        Platform::Windows, env_of({{"USERPROFILE", "C:/U"}, {"LOCALAPPDATA", value}}), home, "K:/");
    EXPECT_EQ(got.cache_dir, fs::path("K:/") / "ZVK Numerics GmbH" / "Keelbox" / "Cache");
  }
  for (const char* value : {"C:\\Users\\u", "c:/u", "\\\\server\\share\\u", "//server/share"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(
        compute_app_dirs(Platform::Windows, env_of({{"USERPROFILE", value}}), home).config_dir,
        fs::path(value) / ".ZVK" / "Keelbox");
  }
}

// Both token variables make the profile of a run; one alone is refused with
// both names, so that a pipeline missing a secret says which.
TEST(ProfileFromEnvironment, BothTokensOrNeither) {
  struct Case {
    std::map<std::string, std::string> vars;
    std::optional<KeelboxProfile> profile;  // nullopt with `fails` false: the file's turn
    bool fails = false;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{{"KEELBOX_TOKEN_ID", ""}, {"KEELBOX_TOKEN", ""}}, std::nullopt},
      {{{"KEELBOX_CLOUD_ENVIRONMENT", "dev.cloud"}}, std::nullopt},
      {{{"KEELBOX_TOKEN_ID", "id-9"}, {"KEELBOX_TOKEN", "s3cret"}},
       KeelboxProfile{"id-9", "s3cret", "cloud"}},
      {{{"KEELBOX_TOKEN_ID", "id-9"}, {"KEELBOX_TOKEN", "s"}, {"KEELBOX_CLOUD_ENVIRONMENT", ""}},
       KeelboxProfile{"id-9", "s", "cloud"}},
      {{{"KEELBOX_TOKEN_ID", "id-9"},
        {"KEELBOX_TOKEN", "s"},
        {"KEELBOX_CLOUD_ENVIRONMENT", "dev.cloud"}},
       KeelboxProfile{"id-9", "s", "dev.cloud"}},
      {{{"KEELBOX_TOKEN_ID", "id-9"}}, std::nullopt, true},
      {{{"KEELBOX_TOKEN_ID", "id-9"}, {"KEELBOX_TOKEN", ""}}, std::nullopt, true},
      {{{"KEELBOX_TOKEN", "s"}}, std::nullopt, true},
      {{{"KEELBOX_TOKEN_ID", "i"}, {"KEELBOX_TOKEN", "s"}, {"KEELBOX_CLOUD_ENVIRONMENT", "dev"}},
       KeelboxProfile{"i", "s", "dev.cloud"}},
      {{{"KEELBOX_TOKEN_ID", "i"}, {"KEELBOX_TOKEN", "s"}, {"KEELBOX_CLOUD_ENVIRONMENT", "Cloud"}},
       std::nullopt,
       true},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& [k, v] : c.vars) label += k + "=" + v + " ";
    SCOPED_TRACE(label);
    const EnvLookup env = env_of(c.vars);
    EXPECT_EQ(profile_in_environment(env), c.profile.has_value() || c.fails);
    if (!c.fails) {
      EXPECT_EQ(profile_from_environment(env), c.profile);
      continue;
    }
    try {
      profile_from_environment(env);
      ADD_FAILURE() << "accepted";
    } catch (const KeelboxException& e) {
      const std::string message = e.what();
      if (env("KEELBOX_CLOUD_ENVIRONMENT")) {
        EXPECT_NE(message.find("KEELBOX_CLOUD_ENVIRONMENT"), std::string::npos) << message;
      } else {
        EXPECT_NE(message.find("KEELBOX_TOKEN_ID"), std::string::npos) << message;
        EXPECT_NE(message.find("KEELBOX_TOKEN "), std::string::npos) << message;
      }
      EXPECT_EQ(message.find("id-9"), std::string::npos) << message;
      EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
    }
  }
}

TEST(TomlText, BasicStringEscapes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("nul\0x", 5), R"("nul\u0000x")"},
      {"\x1f\x7f", R"("\u001F\u007F")"},
      {"ünï", "\"ünï\""},
      {"'single'", "\"'single'\""},
  };
  for (const auto& c : cases) EXPECT_EQ(toml_basic_string(c.in), c.out);
}

TEST(TomlText, SevenLines) {
  KeelboxConfig c{{"id", "secret", "cloud"}, {false}};
  EXPECT_EQ(render_config_toml(c),
            "[profile]\ntoken_id = \"id\"\ntoken = \"secret\"\ncloud_environment = \"cloud\"\n"
            "\n[options]\nadvanced_mode = false\n");
  c.options.advanced_mode = true;
  EXPECT_NE(render_config_toml(c).find("advanced_mode = true\n"), std::string::npos);
}

TEST_F(ConfigFiles, FirstReadCreatesAnEmptyOwnerOnlyFileAndFailsValidation) {
  EXPECT_THROW(get_configparser(), ValidationError);
  ASSERT_TRUE(fs::is_regular_file(config_file()));
  EXPECT_EQ(fs::file_size(config_file()), 0u);
  if (!runs_on_windows()) {  // there a DACL makes it owner-only, not a mode
    EXPECT_EQ(fs::status(config_file()).permissions() & fs::perms::all, fs::perms(0600));
  }
}

TEST_F(ConfigFiles, RoundTripOfAwkwardValues) {
  const std::vector<KeelboxConfig> configs = {
      {{"id", "secret", "cloud"}, {false}},
      {{"", "", "dev.cloud"}, {true}},
      {{"quote\"back\\slash", "tab\tnl\ncr\r", "cloud"}, {false}},
      {{"ctl\x01\x1f\x7f", "ünicode ✓ 'single'", "cloud"}, {false}},
      {{"[profile]\nx = 1", "# not a comment", "cloud"}, {false}},
  };
  for (const auto& c : configs) {
    SCOPED_TRACE(c.profile.token_id);
    write_config_parse_to_file(c);
    EXPECT_EQ(get_configparser(), c);
    std::string text = read(config_file());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
    EXPECT_EQ(text, render_config_toml(c));
  }
}

// A folder in the configuration file's place is a failure, not an empty
// configuration.
TEST_F(ConfigFiles, AFolderInItsPlaceFails) {
  fs::create_directories(config_file());
  EXPECT_THROW(get_configparser(), FileSystemError);
}

TEST_F(ConfigFiles, UnwritableRecordLeavesTheFileUntouched) {
  write_config_parse_to_file({{"id", "secret", "cloud"}, {}});
  std::string before = read(config_file());
  // Not UTF-8: TOML cannot hold it, so nothing is written.
  KeelboxConfig bad{{"id\xff\xfe", "secret", "cloud"}, {}};
  EXPECT_ANY_THROW(write_config_parse_to_file(bad));
  EXPECT_EQ(read(config_file()), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(config_dir()), fs::directory_iterator{}), 1);
}

// A value that is not UTF-8 cannot be stored in TOML: the error names the
// value (never shows it) and the file stays as it was.
TEST_F(ConfigFiles, ValueThatIsNotTextIsNamed) {
  write_config_parse_to_file({{"id", "secret", "cloud"}, {}});
  const std::string before = read(config_file());
  struct Case {
    KeelboxProfile profile;
    const char* name;
  };
  const Case cases[] = {
      {{"id\xff", "secret", "cloud"}, "token id"},
      {{"id", "sec\xc3(ret", "cloud"}, "token secret"},
      {{"id", "secret", "cloud\x80"}, "cloud environment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      write_config_parse_to_file({c.profile, {}});
      FAIL() << "no error";
    } catch (const KeelboxException& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("The ") + c.name +
                    " is not valid UTF-8 text and cannot be stored in keelbox.toml.");
    }
    EXPECT_EQ(read(config_file()), before);
  }
}

TEST_F(ConfigFiles, ReadingMapsTheDocument) {
  struct Case {
    const char* name;
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"profile only",
       "[profile]\ntoken_id = \"a\"\ntoken = \"b\"\ncloud_environment = \"cloud\"\n", true},
      {"unknown tables and keys",
       "[profile]\ntoken_id = \"a\"\ntoken = \"b\"\nx = 1\n[other]\ny = 2\n", true},
      {"number token", "[profile]\ntoken_id = 1\ntoken = \"b\"\n", false},
      {"date token", "[profile]\ntoken_id = 1979-05-27\ntoken = \"b\"\n", false},
      {"Cloud", "[profile]\ntoken_id = \"a\"\ntoken = \"b\"\ncloud_environment = \"Cloud\"\n",
       false},
      {"options without profile", "[options]\nadvanced_mode = true\n", false},
  };
  fs::create_directories(config_dir());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write(config_file(), c.text);
    if (c.valid) {
      auto conf = get_configparser();
      EXPECT_EQ(conf.profile.token_id, "a");
      EXPECT_FALSE(conf.options.advanced_mode);
    } else {
      EXPECT_THROW(get_configparser(), ValidationError);
    }
  }
  write(config_file(), "[profile\n");
  EXPECT_THROW(get_configparser(), ParseError);
}

TEST(TomlText, ControlCharactersAreRefusedWhereTheyStand) {
  // The parser asserted on a NUL in a table header instead of refusing it.
  const struct {
    std::string text, where;
  } cases[] = {
      {std::string("[\0\0\0]", 5), "(line 1, column 2): control character U+0000"},
      {std::string("[profile]\ntoken_id = \"a\x01\"\n"),
       "(line 2, column 14): control character U+0001"},
      {std::string("# \x7f\n"), "(line 1, column 3): control character U+007F"},
  };
  for (const auto& c : cases) {
    try {
      parse_config_toml(c.text, "keelbox.toml");
      ADD_FAILURE() << "accepted: " << c.where;
    } catch (const ParseError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Invalid TOML in keelbox.toml " + c.where + " is not allowed");
    }
  }
  // Letters beyond ASCII only in strings and comments (the parser's white
  // space tables misbehave on them elsewhere).
  const struct {
    std::string text;
    bool accepted;
  } letters[] = {
      {"[profile]\ntoken_id = \"t\xC3\xB6k\xC3\xA9n\" # caf\xC3\xA9\ntoken = 'x\xC3\xA9'\n", true},
      {"[profile]\ntoken_id = \"\"\"a\xC3\xA9\"\"\"\"\ntoken = '''\xC3\xA9'''\n", true},
      {"[profile]\ntoken_id = \"a\\\"\xC3\xA9\"\ntoken = \"b\"\n", true},
      {"x = \xC3\xA9\n", false},
      {"profile = {\xEF\xB9\xBFr", false},
      {"a = \"\"\"x\"\"\"\"\n\xC3\xA9 = 1\n", false},  // the fourth quote is the string's
      {"a = 1e.\"\xC8\x92\"\n", false},        // a quote inside a bare value starts no string
      {"a =979-05r='\xEF\xBB\xB5'\n", false},  // nor after a "=" inside one
      {"a = \"\"\"m \\\xEF\xB9\xBB\"\"\"\n", false},  // a letter right after a backslash
      {"a = \"\"\"m \\\n  \xC3\xA9\"\"\"\n", false},  // past a line-ending backslash
  };
  for (const auto& c : letters) {
    try {
      parse_config_toml(c.text, "keelbox.toml");
    } catch (const ParseError& e) {
      const bool refused_here = std::string(e.what()).find("beyond ASCII") != std::string::npos;
      EXPECT_NE(refused_here, c.accepted) << c.text << ": " << e.what();
    } catch (const std::exception&) {
      EXPECT_TRUE(c.accepted) << c.text;  // a record that does not validate
    }
  }
  // Tabs and both line ends stay TOML.
  EXPECT_NO_THROW(
      parse_config_toml("[profile]\r\n\ttoken_id = \"a\"\r\ntoken = \"b\"\n", "keelbox.toml"));
}

TEST_F(ConfigFiles, UnknownKeysAreGoneAfterTheNextWrite) {
  fs::create_directories(config_dir());
  write(config_file(), "[profile]\ntoken_id = \"a\"\ntoken = \"b\"\nextra = 1\n[more]\nz = 1\n");
  write_config_parse_to_file(get_configparser());
  EXPECT_EQ(read(config_file()), render_config_toml({{"a", "b", "cloud"}, {false}}));
}

TEST_F(ConfigFiles, CleaningKeepsBackupsAndFolders) {
  fs::create_directories(config_dir() / "examples" / "deep");
  for (const char* name : {"keelbox.toml", "keelbox.toml.bak", "old.bu", "kombu", "notes.txt"}) {
    write(config_dir() / name, "x");
  }
  write(config_dir() / "examples" / "keep.txt", "x");
  clean_config_dir();
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(config_dir()))
    left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"keelbox.toml.bak", "old.bu", "kombu", "examples"}));
  EXPECT_TRUE(fs::exists(config_dir() / "examples" / "keep.txt"));
}

// The profile folder as the tool finds it: a relative USERPROFILE fails the
// run as an unset one does, and creates nothing below the working folder.
TEST_F(ConfigFiles, RelativeProfileIsUnset) {
  const fs::path before = fs::current_path();
  fs::create_directories(root_ / "work");
  fs::current_path(root_ / "work");
  for (const char* value : {"", "rel", ".ZVK"}) {
    SCOPED_TRACE(value);
    testing::set_env("USERPROFILE", std::string(value));
    EXPECT_THROW(_get_windows_userprofile_path(), KeyError);
    if (runs_on_windows()) {
      EXPECT_THROW(_get_config_dir(), KeyError);
      EXPECT_THROW(_get_appdirs(), KeyError);
    }
  }
  fs::current_path(before);
  EXPECT_TRUE(fs::is_empty(root_ / "work"));
}

TEST_F(ConfigFiles, DerivedFolders) {
  EXPECT_EQ(get_default_examples_dir(), data_dir() / "examples");
  EXPECT_TRUE(fs::is_directory(data_dir() / "examples"));
  EXPECT_EQ(_get_cache_file(), cache_dir() / "cache.sqlite");
  EXPECT_TRUE(fs::is_directory(cache_dir()));
  EXPECT_FALSE(fs::exists(cache_dir() / "cache.sqlite"));
  EXPECT_EQ(_get_data_dir(), data_dir());
}

}  // namespace
}  // namespace keelbox

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>

#include "../support/portable.hpp"
#include "keelbox/cli/parser.hpp"

namespace keelbox::cli {
namespace {
namespace fs = std::filesystem;

EnvGetter env_of(std::map<std::string, std::string> vars) {
  return [vars](std::string_view name) -> std::optional<std::string> {
    auto it = vars.find(std::string(name));
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

ParseResult parse(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
  return parse_command_line("keelbox", args, env_of(std::move(env)));
}

TEST(Parser, OutcomesOfTheRootLevel) {
  struct Case {
    std::vector<std::string> args;
    ParseAction action;
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {{}, ParseAction::RunRoot, "keelbox", ""},
      {{"--info"}, ParseAction::RunRoot, "keelbox", ""},
      {{"--help"}, ParseAction::ShowHelp, "keelbox", ""},
      {{"--version"}, ParseAction::ShowVersion, "keelbox", ""},
      {{"--version", "--help"}, ParseAction::ShowVersion, "keelbox", ""},
      {{"--help", "--version"}, ParseAction::ShowHelp, "keelbox", ""},
      {{"--help", "nosuch"}, ParseAction::ShowHelp, "keelbox", ""},
      {{"--info", "--help", "-h"}, ParseAction::UsageError, "keelbox", "No such option: -h"},
      {{"-h"}, ParseAction::UsageError, "keelbox", "No such option: -h"},
      {{"--verbose"},
       ParseAction::UsageError,
       "keelbox",
       "No such option: --verbose Did you mean --version?"},
      {{"--x"}, ParseAction::UsageError, "keelbox", "No such option: --x"},
      {{"--hlep"},
       ParseAction::UsageError,
       "keelbox",
       "No such option: --hlep Did you mean --help?"},
      {{"--versoin"},
       ParseAction::UsageError,
       "keelbox",
       "No such option: --versoin Did you mean --version?"},
      {{"install", "--yess"},
       ParseAction::UsageError,
       "keelbox install",
       "No such option: --yess Did you mean --yes?"},
      {{"init", "--token-"},
       ParseAction::UsageError,
       "keelbox init",
       "No such option: --token- (Possible options: --token, --token-id)"},
      {{"--info=1"}, ParseAction::UsageError, "keelbox", "Option '--info' does not take a value."},
      {{"foo"}, ParseAction::UsageError, "keelbox", "No such command 'foo'."},
      {{"--info", "modules"}, ParseAction::RunCommand, "keelbox modules", ""},
      {{"--", "modules"}, ParseAction::RunCommand, "keelbox modules", ""},
      {{"modules", "--help"}, ParseAction::ShowHelp, "keelbox modules", ""},
      {{"modules", "-h"}, ParseAction::UsageError, "keelbox modules", "No such option: -h"},
      {{"modules", "x"},
       ParseAction::UsageError,
       "keelbox modules",
       "Got unexpected extra argument (x)"},
      {{"modules", "--version"},
       ParseAction::UsageError,
       "keelbox modules",
       "No such option: --version"},
      {{"init", "--token"},
       ParseAction::UsageError,
       "keelbox init",
       "Option '--token' requires an argument."},
      {{"download-examples", "-m"},
       ParseAction::UsageError,
       "keelbox download-examples",
       "Option '-m' requires an argument."},
      {{"install", "-yx"}, ParseAction::UsageError, "keelbox install", "No such option: -x"},
      // download-examples is also reached below modules, as the help texts show it.
      {{"modules"}, ParseAction::RunCommand, "keelbox modules", ""},
      {{"modules", "download-examples"},
       ParseAction::RunCommand,
       "keelbox modules download-examples",
       ""},
      {{"modules", "download-examples", "--help"},
       ParseAction::ShowHelp,
       "keelbox modules download-examples",
       ""},
      {{"modules", "download-examples", "--yes"},
       ParseAction::UsageError,
       "keelbox modules download-examples",
       "No such option: --yes"},
      {{"modules", "download-examples", "x"},
       ParseAction::UsageError,
       "keelbox modules download-examples",
       "Got unexpected extra argument (x)"},
      {{"modules", "--help", "download-examples"}, ParseAction::ShowHelp, "keelbox modules", ""},
      {{"modules", "install"},
       ParseAction::UsageError,
       "keelbox modules",
       "Got unexpected extra argument (install)"},
      {{"install", "download-examples"}, ParseAction::RunCommand, "keelbox install", ""},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    ParseResult r = parse(c.args);
    EXPECT_EQ(r.action, c.action);
    EXPECT_EQ(r.command_path, c.path);
    EXPECT_EQ(r.error, c.error);
  }
}

TEST(Parser, InfoFlag) {
  EXPECT_TRUE(parse({"--info"}).root_values.flag("info"));
  EXPECT_FALSE(parse({}).root_values.flag("info"));
}

TEST(Parser, InitValuesAndTheEnvironmentVariable) {
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    std::optional<std::string> token_id, token, cloud;
  };
  const Case cases[] = {
      {{"init"}, {}, std::nullopt, std::nullopt, "cloud"},
      {{"init", "--token-id", "a", "--token=b"}, {}, "a", "b", "cloud"},
      {{"init", "--token-id="}, {}, "", std::nullopt, "cloud"},
      {{"init", "--token", "--token-id"}, {}, std::nullopt, "--token-id", "cloud"},
      {{"init", "--token-id", "a", "--token-id", "z"}, {}, "z", std::nullopt, "cloud"},
      {{"init"}, {{"KEELBOX_CLOUD_ENVIRONMENT", "dev"}}, std::nullopt, std::nullopt, "dev"},
      {{"init"}, {{"KEELBOX_CLOUD_ENVIRONMENT", ""}}, std::nullopt, std::nullopt, "cloud"},
      {{"init", "--cloud-environment", "cloud"},
       {{"KEELBOX_CLOUD_ENVIRONMENT", "dev"}},
       std::nullopt,
       std::nullopt,
       "cloud"},
      {{"init", "--cloud-environment", ""},
       {{"KEELBOX_CLOUD_ENVIRONMENT", "dev"}},
       std::nullopt,
       std::nullopt,
       ""},
      {{"init", "--cloud-environment=staging"}, {}, std::nullopt, std::nullopt, "staging"},
  };
  for (const auto& c : cases) {
    ParseResult r = parse(c.args, c.env);
    ASSERT_EQ(r.action, ParseAction::RunCommand) << r.error;
    EXPECT_EQ(r.values.value("token_id"), c.token_id);
    EXPECT_EQ(r.values.value("token"), c.token);
    EXPECT_EQ(r.values.value("cloud_environment"), c.cloud);
  }
}

TEST(Parser, InstallAndDownloadExamplesValues) {
  auto r = parse({"install", "a", "-y", "--", "-b", "--yes"});
  ASSERT_EQ(r.action, ParseAction::RunCommand);
  EXPECT_EQ(r.values.arguments, (std::vector<std::string>{"a", "-b", "--yes"}));
  EXPECT_TRUE(r.values.flag("yes"));
  EXPECT_EQ(r.values.value("requirements"), std::nullopt);

  r = parse({"install"});
  EXPECT_TRUE(r.values.arguments.empty());
  EXPECT_FALSE(r.values.flag("yes"));

  r = parse({"install", "-yrmissing.txt", "x"});
  ASSERT_EQ(r.action, ParseAction::RunCommand) << r.error;
  EXPECT_TRUE(r.values.flag("yes"));
  EXPECT_EQ(r.values.value("requirements"), "missing.txt");
  EXPECT_EQ(r.values.arguments, std::vector<std::string>{"x"});

  r = parse({"download-examples", "-m", "a", "--modules=b", "-mc", "--download-dir", "out"});
  ASSERT_EQ(r.action, ParseAction::RunCommand);
  EXPECT_EQ(r.values.list("module_names"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(r.values.value("download_dir"), "out");
  EXPECT_FALSE(r.values.flag("list_available"));

  r = parse({"download-examples", "--list-available"});
  EXPECT_TRUE(r.values.list("module_names").empty());
  EXPECT_EQ(r.values.value("download_dir"), std::nullopt);
  EXPECT_TRUE(r.values.flag("list_available"));
}

TEST(Parser, DownloadExamplesBelowModulesTakesItsOptions) {
  auto r = parse({"modules", "download-examples", "-m", "a", "--list-available"});
  ASSERT_EQ(r.action, ParseAction::RunCommand) << r.error;
  EXPECT_EQ(r.command, find_command("download-examples"));
  EXPECT_EQ(r.values.list("module_names"), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(r.values.flag("list_available"));
}

TEST(Parser, RequirementsFileChecks) {
  fs::path dir = testing::make_temp_dir("keelbox-parser");
  // A path shown in a message, quoted as Python's repr() quotes it.
  auto quoted = [](const fs::path& p) {
    std::string text;
    for (char ch : p.string()) text += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    return "'" + text + "'";
  };
  std::ofstream(dir / "ok.txt") << "a\n";

  struct Case {
    std::string path;
    std::string error;  // empty: accepted
  };
  std::vector<Case> cases = {
      {(dir / "ok.txt").string(), ""},
      {(dir / "missing.txt").string(), ""},
      {dir.string(),
       "Invalid value for '-r' / '--requirements': File " + quoted(dir) + " is a directory."},
  };
#ifndef _WIN32  // an unreadable file through mode bits, checked as another user
  std::ofstream(dir / "secret.txt") << "a\n";
  fs::permissions(dir / "secret.txt", fs::perms::none);
  bool root_reads_anything = ::access((dir / "secret.txt").c_str(), R_OK) == 0;
  const std::string unreadable_error = "Invalid value for '-r' / '--requirements': File '" +
                                       (dir / "secret.txt").string() + "' is not readable.";
  if (!root_reads_anything) {
    cases.push_back({(dir / "secret.txt").string(), unreadable_error});
  } else {
    // Root reads anything: the unreadable file is checked by an ordinary user,
    // in a child that gives up root.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      std::string seen = "cannot become an ordinary user";
      if (::setgid(65534) == 0 && ::setuid(65534) == 0)
        seen = parse({"install", "-r", (dir / "secret.txt").string()}).error;
      (void)!::write(fds[1], seen.data(), seen.size());
      ::_exit(0);
    }
    ::close(fds[1]);
    std::string seen;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
      seen.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(seen, unreadable_error);
  }
#endif
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto r = parse({"install", "-r", c.path});
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.action, c.error.empty() ? ParseAction::RunCommand : ParseAction::UsageError);
  }
  // Help wins over a bad value.
  EXPECT_EQ(parse({"install", "-r", dir.string(), "--help"}).action, ParseAction::ShowHelp);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace keelbox::cli

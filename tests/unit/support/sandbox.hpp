#pragma once
// Starts the sandbox cloud (tests/tools/sandbox_cloud/sandbox.py) for a C++
// test and stops it in the destructor.
//
//   keelbox::testing::SandboxCloud cloud({{"credentials", {{{"token_id", "id-1"}, {"secret",
//   "s"}}}}}); cloud.apply_env();                 // HTTPS_PROXY, https_proxy, SSL_CERT_FILE,
//   NO_PROXY
//   ... run code that talks to https://token.cloud.<domain> ...
//   EXPECT_EQ(cloud.requests("/oauth/token").size(), 1u);
//
// The scenario given is merged over the sandbox's defaults by the sandbox
// itself (top-level members replace the defaults). Needs the compile
// definitions KEELBOX_SOURCE_DIR and KEELBOX_PYTHON (set for every unit test).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace keelbox::testing {

class SandboxCloud {
 public:
  explicit SandboxCloud(const nlohmann::json& scenario = nullptr,
                        const std::string& domain_name = "") {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sandbox-cloud-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    state_dir = tmpl;

    // The sandbox needs only the standard library: -S spares each start the
    // work of site (its .pth files), a good part of the interpreter's start.
    std::vector<std::string> args = {
        KEELBOX_PYTHON, "-S",
        std::string(KEELBOX_SOURCE_DIR) + "/tests/tools/sandbox_cloud/sandbox.py", "--state-dir",
        state_dir.string()};
    if (!scenario.is_null()) {
      scenario_file = state_dir / "scenario.json";
      write_scenario(scenario);
      args.insert(args.end(), {"--scenario", scenario_file.string()});
    }
    if (!domain_name.empty()) args.insert(args.end(), {"--domain", domain_name});

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid_ = -1;
      throw std::runtime_error("cannot start the sandbox cloud");
    }
    std::string line;
    try {
      line = read_line(fds[0], std::chrono::seconds(30));
    } catch (...) {
      close(fds[0]);
      stop();
      throw;
    }
    close(fds[0]);
    try {
      nlohmann::json info = nlohmann::json::parse(line);
      port = info.at("port").get<int>();
      ca_file = info.at("ca_file").get<std::string>();
      log_file = info.at("log_file").get<std::string>();
      scenario_file = info.at("scenario_file").get<std::string>();
      examples_dir = info.at("examples_dir").get<std::string>();
      this->domain = info.at("domain").get<std::string>();
    } catch (...) {
      stop();
      throw;
    }
  }

  SandboxCloud(const SandboxCloud&) = delete;
  SandboxCloud& operator=(const SandboxCloud&) = delete;

  ~SandboxCloud() { stop(); }

  std::string proxy_url() const { return "http://127.0.0.1:" + std::to_string(port); }

  // Routes this process's requests through the sandbox.
  void apply_env() const {
    setenv("HTTPS_PROXY", proxy_url().c_str(), 1);
    setenv("https_proxy", proxy_url().c_str(), 1);
    setenv("SSL_CERT_FILE", ca_file.c_str(), 1);
    setenv("NO_PROXY", "", 1);
    setenv("no_proxy", "", 1);
  }

  // The current scenario file (without the defaults) and its replacement.
  nlohmann::json scenario() const {
    std::ifstream in(scenario_file);
    return nlohmann::json::parse(in);
  }
  void write_scenario(const nlohmann::json& scenario) const {
    const auto tmp = scenario_file.string() + ".tmp";
    std::ofstream(tmp) << scenario.dump(2);
    std::filesystem::rename(tmp, scenario_file);
  }
  // Sets one member of the scenario ("credentials", "entitlements", ...).
  void update(const std::string& member, const nlohmann::json& value) const {
    nlohmann::json s = scenario();
    s[member] = value;
    write_scenario(s);
  }
  // Sets the override of one endpoint; an empty object removes it.
  void set_override(const std::string& endpoint, const nlohmann::json& options) const {
    nlohmann::json s = scenario();
    if (options.empty()) {
      if (s.contains("overrides")) s["overrides"].erase(endpoint);
    } else {
      s["overrides"][endpoint] = options;
    }
    write_scenario(s);
  }

  // Logged requests with this path (with or without the query), oldest first;
  // all service requests when `path` is empty. Refused CONNECTs are left out.
  std::vector<nlohmann::json> requests(const std::string& path = "") const {
    std::vector<nlohmann::json> out;
    std::ifstream in(log_file);
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      nlohmann::json e = nlohmann::json::parse(line);
      const std::string method = e.value("method", "");
      if (method == "CONNECT" || method == "TLS") continue;
      const std::string p = e.value("path", "");
      if (!path.empty() && p != path && p.substr(0, p.find('?')) != path) continue;
      out.push_back(std::move(e));
    }
    return out;
  }
  // Ids of the TLS connections that carried those requests.
  std::set<int> connections(const std::string& path = "") const {
    std::set<int> ids;
    for (const auto& e : requests(path)) ids.insert(e.at("conn").get<int>());
    return ids;
  }
  void clear_log() const { std::ofstream(log_file, std::ios::trunc); }

  std::string host(const std::string& service, const std::string& env = "cloud") const {
    return service + "." + env + "." + domain;
  }

  int port = 0;
  std::string domain;
  std::filesystem::path state_dir, ca_file, log_file, scenario_file, examples_dir;

 private:
  static std::string read_line(int fd, std::chrono::seconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw std::runtime_error("the sandbox cloud did not get ready");
      pollfd p{fd, POLLIN, 0};
      const int r = poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char c;
      const ssize_t n = read(fd, &c, 1);
      if (n <= 0) throw std::runtime_error("the sandbox cloud ended before it was ready");
      if (c == '\n') return line;
      line += c;
    }
  }

  void stop() noexcept {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    std::error_code ec;
    std::filesystem::remove_all(state_dir, ec);
  }

  pid_t pid_ = -1;
};

}  // namespace keelbox::testing

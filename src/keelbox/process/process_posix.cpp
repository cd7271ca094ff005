// Child processes on POSIX systems: posix_spawn with the file actions that
// give the child its standard streams, poll over the captured pipes, and a
// wait that lets the interrupt handler forget a child before it is reaped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "keelbox/process/interrupt_posix.hpp"
#include "keelbox/process/process.hpp"
#include "keelbox/process/process_internal.hpp"

extern char** environ;

namespace keelbox {

namespace {

[[noreturn]] void throw_start_error(const std::string& program, int err) {
  throw ProcessStartError("Cannot start " + program + ": " + std::strerror(err));
}

// Owns the file actions and attributes of one spawn.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

struct Pipe {
  int read_end = -1;
  int write_end = -1;
  void open(const std::string& program) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw_start_error(program, errno);
    read_end = fds[0];
    write_end = fds[1];
  }
  void close_write() noexcept {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
  ~Pipe() {
    close_write();
    if (read_end >= 0) ::close(read_end);
  }
  int release_read() noexcept {
    int fd = read_end;
    read_end = -1;
    return fd;
  }
};

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out_fd = -1;  // the tool's ends of the captured streams' pipes
  int err_fd = -1;
  void close_pipes() noexcept;
};

// Names differ by case: PATH and Path are two variables.
bool EnvironmentNameLess::operator()(const std::string& a, const std::string& b) const {
  return a < b;
}

Environment current_environment() {
  Environment env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    env.emplace(entry.substr(0, eq), entry.substr(eq + 1));  // the first entry wins
  }
  return env;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args, const Environment& env,
                           const ProcessOptions& options)
    : program_(program.string()), options_(options), impl_(std::make_unique<Impl>()) {
  SpawnSetup setup;
  Pipe out, err;
  const bool capture_out = options.stdout_mode == StreamMode::Capture;
  const bool capture_err = options.stderr_mode == StreamMode::Capture;
  const bool merged = capture_err && options.stderr_into_stdout;
  if (capture_out || merged) out.open(program_);
  if (capture_err && !merged) err.open(program_);

  auto& fa = setup.actions;
  if (options.stdin_mode != StreamMode::Inherit)
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (capture_out) {
    posix_spawn_file_actions_adddup2(&fa, out.write_end, STDOUT_FILENO);
  } else if (options.stdout_mode == StreamMode::Discard) {
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (merged) {
    // Into the captured standard output (or, when standard output is not
    // captured, standard error alone is captured there).
    posix_spawn_file_actions_adddup2(&fa, out.write_end, STDERR_FILENO);
  } else if (capture_err) {
    posix_spawn_file_actions_adddup2(&fa, err.write_end, STDERR_FILENO);
  } else if (options.stderr_mode == StreamMode::Discard) {
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }

  // The tool ignores SIGPIPE and catches SIGINT/SIGTERM; the child starts
  // with the default dispositions and no blocked signals.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setsigmask(&setup.attr, &empty);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argv_store;
  argv_store.reserve(args.size() + 1);
  argv_store.push_back(program_);
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_store;
  env_store.reserve(env.size());
  for (const auto& [k, v] : env) env_store.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);

  // Ctrl-C is held back until the child is registered, so the interrupt
  // handler never misses a child that has just been started.
  sigset_t interrupts, previous;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program_.c_str(), &fa, &setup.attr, argv.data(), envp.data());
  if (rc == 0) {
    impl_->pid = pid;
    register_child(pid);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) throw_start_error(program_, rc);
  out.close_write();
  err.close_write();
  impl_->out_fd = out.release_read();
  impl_->err_fd = err.release_read();
}

ChildProcess::~ChildProcess() {
  kill();
  impl_->close_pipes();
}

bool ChildProcess::running() const noexcept { return impl_->pid > 0; }

long ChildProcess::pid() const noexcept { return impl_->pid > 0 ? impl_->pid : -1; }

void ChildProcess::Impl::close_pipes() noexcept {
  if (out_fd >= 0) ::close(out_fd);
  if (err_fd >= 0) ::close(err_fd);
  out_fd = err_fd = -1;
}

namespace {

// Waits for the child to end and reaps it. The child leaves the interrupt
// handler's list before it is reaped, while its process id still cannot be
// reused: the handler never signals a stranger.
pid_t reap(pid_t pid, int& status) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  unregister_child(pid);
  pid_t w;
  while ((w = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  return w;
}

}  // namespace

void ChildProcess::kill() {
  if (impl_->pid <= 0) return;
  ::kill(impl_->pid, SIGKILL);
  int status = 0;
  reap(impl_->pid, status);
  impl_->pid = -1;
}

ProcessResult ChildProcess::communicate() {
  std::string out_data, err_data;
  char buf[65536];
  int& out_fd = impl_->out_fd;
  int& err_fd = impl_->err_fd;
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[2];
    nfds_t n = 0;
    if (out_fd >= 0) fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[n++] = {err_fd, POLLIN, 0};
    int ready = ::poll(fds, n, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw RuntimeError(std::string("Cannot read the output of ") + program_ + ": " +
                         std::strerror(errno));
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int& fd = fds[i].fd == out_fd ? out_fd : err_fd;
      std::string& sink = fds[i].fd == out_fd ? out_data : err_data;
      ssize_t got = ::read(fd, buf, sizeof buf);
      if (got > 0) {
        sink.append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  int status = 0;
  if (impl_->pid > 0) {
    const pid_t w = reap(impl_->pid, status);
    impl_->pid = -1;
    if (w < 0) throw RuntimeError("Cannot wait for " + program_ + ": " + std::strerror(errno));
  }
  return finished_result(options_, decode_status(status), std::move(out_data), std::move(err_data));
}

}  // namespace keelbox

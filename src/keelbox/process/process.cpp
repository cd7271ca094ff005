#include "keelbox/process/process.hpp"

#include "keelbox/text/notation.hpp"

#ifdef _WIN32
#include <windows.h>

#include <thread>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "keelbox/process/interrupt.hpp"

extern char** environ;
#endif

namespace keelbox {

namespace {

std::string called_process_text(const std::vector<std::string>& cmd, int returncode) {
  std::string text = "Command " + list_notation(cmd);
  if (returncode < 0) return text + " died with signal " + std::to_string(-returncode) + ".";
  return text + " returned non-zero exit status " + std::to_string(returncode) + ".";
}

}  // namespace

CalledProcessError::CalledProcessError(std::vector<std::string> cmd, int returncode)
    : Error(called_process_text(cmd, returncode)), cmd_(std::move(cmd)), returncode_(returncode) {}

ProcessResult run_process(const std::filesystem::path& program,
                          const std::vector<std::string>& args, const Environment& env,
                          const ProcessOptions& options) {
  ChildProcess child(program, args, env, options);
  return child.communicate();
}

namespace {

class SystemProcessRunner final : public ProcessRunner {
 public:
  ProcessResult run(const std::filesystem::path& program, const std::vector<std::string>& args,
                    const Environment& env, const ProcessOptions& options) override {
    return run_process(program, args, env, options);
  }
};

}  // namespace

ProcessRunner& system_process_runner() {
  static SystemProcessRunner runner;
  return runner;
}

#ifndef _WIN32
// ---------------------------------------------------------------- POSIX ----

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
    : program_(program.string()), options_(options) {
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
    pid_ = pid;
    register_child(pid_);
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (rc != 0) throw_start_error(program_, rc);
  out.close_write();
  err.close_write();
  out_fd_ = out.release_read();
  err_fd_ = err.release_read();
}

ChildProcess::~ChildProcess() {
  kill();
  close_pipes();
}

bool ChildProcess::running() const noexcept { return pid_ > 0; }

void ChildProcess::close_pipes() noexcept {
  if (out_fd_ >= 0) ::close(out_fd_);
  if (err_fd_ >= 0) ::close(err_fd_);
  out_fd_ = err_fd_ = -1;
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
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  reap(pid_, status);
  pid_ = -1;
}

ProcessResult ChildProcess::communicate() {
  ProcessResult result;
  std::string out_data, err_data;
  char buf[65536];
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    pollfd fds[2];
    nfds_t n = 0;
    if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
    if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
    int ready = ::poll(fds, n, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw RuntimeError(std::string("Cannot read the output of ") + program_ + ": " +
                         std::strerror(errno));
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int& fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
      std::string& sink = fds[i].fd == out_fd_ ? out_data : err_data;
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
  if (pid_ > 0) {
    const pid_t w = reap(pid_, status);
    pid_ = -1;
    if (w < 0) throw RuntimeError("Cannot wait for " + program_ + ": " + std::strerror(errno));
  }
  result.returncode = decode_status(status);
  const bool capture_out = options_.stdout_mode == StreamMode::Capture;
  const bool capture_err = options_.stderr_mode == StreamMode::Capture;
  if (capture_out || (capture_err && options_.stderr_into_stdout)) result.stdout_ = std::move(out_data);
  if (capture_err && !options_.stderr_into_stdout) result.stderr_ = std::move(err_data);
  return result;
}

#else
// -------------------------------------------------------------- Windows ----

namespace {

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const wchar_t* s, std::size_t len) {
  if (len == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}

// Quoting of one argument as the C runtime parses command lines.
std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  for (auto it = arg.begin();; ++it) {
    std::size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') ++it, ++backslashes;
    if (it == arg.end()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    if (*it == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    out.push_back(*it);
  }
  out.push_back(L'"');
  return out;
}

std::string last_error_text() {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text = buf ? narrow(buf, n) : "unknown error";
  if (buf) LocalFree(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void drain(HANDLE h, std::string& sink) {
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) sink.append(buf, got);
}

}  // namespace

Environment current_environment() {
  Environment env;
  wchar_t* block = GetEnvironmentStringsW();
  for (wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
    std::string entry = narrow(p, wcslen(p));
    auto eq = entry.find('=', 1);
    if (eq == std::string::npos) continue;
    env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
  }
  if (block) FreeEnvironmentStringsW(block);
  return env;
}

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args, const Environment& env,
                           const ProcessOptions& options)
    : program_(program.string()), options_(options) {
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nul_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                              OPEN_EXISTING, 0, nullptr);
  HANDLE nul_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE out_write = nullptr, err_write = nullptr;
  const bool capture_out = options.stdout_mode == StreamMode::Capture;
  const bool capture_err = options.stderr_mode == StreamMode::Capture;
  const bool merged = capture_err && options.stderr_into_stdout;
  if (capture_out || merged) {
    CreatePipe(&out_read_, &out_write, &sa, 0);
    SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
  }
  if (capture_err && !merged) {
    CreatePipe(&err_read_, &err_write, &sa, 0);
    SetHandleInformation(err_read_, HANDLE_FLAG_INHERIT, 0);
  }
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = options.stdin_mode == StreamMode::Inherit ? GetStdHandle(STD_INPUT_HANDLE) : nul_in;
  si.hStdOutput = capture_out ? out_write
                  : options.stdout_mode == StreamMode::Discard ? nul_out
                                                               : GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = merged        ? out_write
                 : capture_err ? err_write
                 : options.stderr_mode == StreamMode::Discard ? nul_out
                                                              : GetStdHandle(STD_ERROR_HANDLE);
  std::wstring cmdline = quote_argument(program.wstring());
  for (const auto& a : args) cmdline += L" " + quote_argument(widen(a));
  std::wstring block;
  for (const auto& [k, v] : env) block += widen(k) + L"=" + widen(v) + L'\0';
  block += L'\0';
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(nullptr, cmdline.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi);
  std::string reason = ok ? "" : last_error_text();
  CloseHandle(nul_in);
  CloseHandle(nul_out);
  if (out_write) CloseHandle(out_write);
  if (err_write) CloseHandle(err_write);
  if (!ok) {
    close_pipes();
    throw ProcessStartError("Cannot start " + program_ + ": " + reason);
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
}

ChildProcess::~ChildProcess() {
  kill();
  close_pipes();
}

bool ChildProcess::running() const noexcept { return process_ != nullptr; }

void ChildProcess::close_pipes() noexcept {
  if (out_read_) CloseHandle(out_read_);
  if (err_read_) CloseHandle(err_read_);
  out_read_ = err_read_ = nullptr;
}

void ChildProcess::kill() {
  if (!process_) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
  CloseHandle(process_);
  process_ = nullptr;
}

ProcessResult ChildProcess::communicate() {
  ProcessResult result;
  std::string out_data, err_data;
  std::thread err_reader;
  if (err_read_) err_reader = std::thread([&] { drain(err_read_, err_data); });
  if (out_read_) drain(out_read_, out_data);
  if (err_reader.joinable()) err_reader.join();
  close_pipes();
  DWORD code = 0;
  if (process_) {
    WaitForSingleObject(process_, INFINITE);
    GetExitCodeProcess(process_, &code);
    CloseHandle(process_);
    process_ = nullptr;
  }
  result.returncode = static_cast<int>(code);
  const bool capture_out = options_.stdout_mode == StreamMode::Capture;
  const bool capture_err = options_.stderr_mode == StreamMode::Capture;
  if (capture_out || (capture_err && options_.stderr_into_stdout)) result.stdout_ = std::move(out_data);
  if (capture_err && !options_.stderr_into_stdout) result.stderr_ = std::move(err_data);
  return result;
}

#endif

}  // namespace keelbox

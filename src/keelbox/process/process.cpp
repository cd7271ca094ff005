#include "keelbox/process/process.hpp"

#include "keelbox/text/notation.hpp"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string_view>
#include <thread>

#include "keelbox/platform/wide.hpp"
#include "keelbox/process/command_line.hpp"
#include "keelbox/process/interrupt_win32.hpp"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "keelbox/process/interrupt_posix.hpp"

extern char** environ;
#endif

namespace keelbox {

namespace {

std::string called_process_text(const std::vector<std::string>& cmd, long long returncode) {
  std::string text = "Command " + list_notation(cmd);
  if (returncode < 0) return text + " died with signal " + std::to_string(-returncode) + ".";
  return text + " returned non-zero exit status " + std::to_string(returncode) + ".";
}

}  // namespace

bool EnvironmentNameLess::operator()(const std::string& a, const std::string& b) const {
#ifdef _WIN32
  return less_ignoring_ascii_case(a, b);
#else
  return a < b;
#endif
}

CalledProcessError::CalledProcessError(std::vector<std::string> cmd, long long returncode)
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
  if (capture_out || (capture_err && options_.stderr_into_stdout))
    result.stdout_ = std::move(out_data);
  if (capture_err && !options_.stderr_into_stdout) result.stderr_ = std::move(err_data);
  return result;
}

#else
// -------------------------------------------------------------- Windows ----

namespace {

std::string system_error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? from_wide(std::wstring_view(buffer, length))
                                       : "system error " + std::to_string(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  return text;
}

[[noreturn]] void throw_start_error(const std::string& program, DWORD code) {
  throw ProcessStartError("Cannot start " + program + ": " + system_error_text(code));
}

// An owned handle, closed with its owner.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) noexcept : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset(HANDLE h = nullptr) noexcept {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }
  HANDLE get() const noexcept { return h_; }
  HANDLE release() noexcept {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  bool valid() const noexcept { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_ = nullptr;
};

// The handles a child gets as its standard streams, all inheritable, and the
// list of exactly those handles: the child inherits nothing else the tool
// has open (files, sockets, the pipes of another child).
class ChildStreams {
 public:
  ChildStreams(const std::string& program, const ProcessOptions& options) : program_(program) {
    const bool capture_out = options.stdout_mode == StreamMode::Capture;
    const bool capture_err = options.stderr_mode == StreamMode::Capture;
    const bool merged = capture_err && options.stderr_into_stdout;
    if (capture_out || merged) open_pipe(out_read, out_write_);
    if (capture_err && !merged) open_pipe(err_read, err_write_);

    input = options.stdin_mode == StreamMode::Inherit ? inherited(STD_INPUT_HANDLE, in_copy_)
                                                      : null_device();
    if (capture_out) {
      output = out_write_.get();
    } else {
      output = options.stdout_mode == StreamMode::Discard ? null_device()
                                                          : inherited(STD_OUTPUT_HANDLE, out_copy_);
    }
    if (merged) {
      error = out_write_.get();
    } else if (capture_err) {
      error = err_write_.get();
    } else {
      error = options.stderr_mode == StreamMode::Discard ? null_device()
                                                         : inherited(STD_ERROR_HANDLE, err_copy_);
    }
  }

  // Closes the tool's copies of the child's ends once the child has them.
  void close_child_ends() noexcept {
    out_write_.reset();
    err_write_.reset();
    nul_.reset();
    in_copy_.reset();
    out_copy_.reset();
    err_copy_.reset();
  }

  const std::vector<HANDLE>& inheritable() const noexcept { return list_; }

  HANDLE input = nullptr, output = nullptr, error = nullptr;
  Handle out_read, err_read;

 private:
  void listed(HANDLE h) {
    if (std::find(list_.begin(), list_.end(), h) == list_.end()) list_.push_back(h);
  }

  void open_pipe(Handle& read_end, Handle& write_end) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) throw_start_error(program_, GetLastError());
    read_end.reset(r);
    write_end.reset(w);
    SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);  // the tool's end stays with the tool
    listed(w);
  }

  HANDLE null_device() {
    if (!nul_.valid()) {
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      nul_.reset(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr));
      if (!nul_.valid()) throw_start_error(program_, GetLastError());
      listed(nul_.get());
    }
    return nul_.get();
  }

  // The tool's own stream, as an inheritable copy. A tool without that
  // stream passes none on.
  HANDLE inherited(DWORD which, Handle& copy) {
    const HANDLE own = GetStdHandle(which);
    if (own == nullptr || own == INVALID_HANDLE_VALUE) return own;
    HANDLE dup = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &dup, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
      return own;
    copy.reset(dup);
    listed(dup);
    return dup;
  }

  std::string program_;
  Handle out_write_, err_write_, nul_, in_copy_, out_copy_, err_copy_;
  std::vector<HANDLE> list_;
};

// The attribute list naming the only handles a child inherits.
class InheritList {
 public:
  explicit InheritList(const std::vector<HANDLE>& handles) : handles_(handles) {
    if (handles_.empty()) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                  handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      list_ = list;
    }
  }
  ~InheritList() {
    if (initialised_)
      DeleteProcThreadAttributeList(
          reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  bool initialised_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Reads `h` to its end into `sink`; false when memory ran out.
bool drain(HANDLE h, std::string& sink) noexcept {
  char buf[65536];
  DWORD got = 0;
  try {
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) sink.append(buf, got);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

Environment current_environment() {
  Environment env;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; p != nullptr && *p != L'\0'; p += std::wcslen(p) + 1) {
    const std::string entry = from_wide(std::wstring_view(p));
    // "=C:=C:\\work": the names of a drive's current folder start with '='.
    const auto eq = entry.find('=', 1);
    if (eq == std::string::npos) continue;
    env.emplace(entry.substr(0, eq), entry.substr(eq + 1));  // the first entry wins
  }
  if (block != nullptr) FreeEnvironmentStringsW(block);
  return env;
}

// The program is the first word of the command line and no application name
// is given: Windows then adds ".exe" to a name without an extension, as it
// does for a program typed at a prompt.
ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args, const Environment& env,
                           const ProcessOptions& options)
    : program_(path_to_utf8(program)), options_(options) {
  if (is_windows_batch_file(program_)) {
    throw ProcessStartError("Cannot start " + program_ + ": batch files are not started");
  }
  std::wstring command = to_wide(windows_command_line(program_, args));
  std::wstring block = to_wide(windows_environment_block(env));
  ChildStreams streams(program_, options);
  InheritList inherit(streams.inheritable());

  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info.StartupInfo;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = streams.input;
  info.StartupInfo.hStdOutput = streams.output;
  info.StartupInfo.hStdError = streams.error;
  // Suspended until it is in the job, so none of its own children escapes.
  DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  if (inherit.get() != nullptr) {
    info.StartupInfo.cb = sizeof info;
    info.lpAttributeList = inherit.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION started{};
  const ChildStarting starting;
  // Nothing to pass on (no standard stream at all): nothing is inherited.
  const BOOL inherit_handles = streams.inheritable().empty() ? FALSE : TRUE;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, inherit_handles, flags,
                      block.data(), nullptr, &info.StartupInfo, &started)) {
    throw_start_error(program_, GetLastError());
  }
  const Handle thread(started.hThread);
  process_ = started.hProcess;
  adopt_child(process_);
  ResumeThread(thread.get());
  streams.close_child_ends();
  out_read_ = streams.out_read.release();
  err_read_ = streams.err_read.release();
}

ChildProcess::~ChildProcess() {
  kill();
  close_pipes();
}

bool ChildProcess::running() const noexcept { return process_ != nullptr; }

void ChildProcess::close_pipes() noexcept {
  if (out_read_ != nullptr) CloseHandle(out_read_);
  if (err_read_ != nullptr) CloseHandle(err_read_);
  out_read_ = err_read_ = nullptr;
}

void ChildProcess::kill() {
  if (process_ == nullptr) return;
  TerminateProcess(process_, 1);
  WaitForSingleObject(process_, INFINITE);
  CloseHandle(process_);
  process_ = nullptr;
}

ProcessResult ChildProcess::communicate() {
  ProcessResult result;
  std::string out_data, err_data;
  bool out_ok = true, err_ok = true;
  {
    // Both pipes at once, so a child that fills one never blocks.
    std::thread err_reader;
    if (err_read_ != nullptr)
      err_reader = std::thread([&] { err_ok = drain(err_read_, err_data); });
    if (out_read_ != nullptr) out_ok = drain(out_read_, out_data);
    if (err_reader.joinable()) err_reader.join();
  }
  close_pipes();
  if (!out_ok || !err_ok)
    throw RuntimeError("Cannot keep the output of " + program_ + ": out of memory");
  DWORD code = 0;
  if (process_ != nullptr) {
    WaitForSingleObject(process_, INFINITE);
    const BOOL got = GetExitCodeProcess(process_, &code);
    const DWORD err = GetLastError();
    CloseHandle(process_);
    process_ = nullptr;
    if (!got) throw RuntimeError("Cannot wait for " + program_ + ": " + system_error_text(err));
  }
  result.returncode = static_cast<long long>(code);
  const bool capture_out = options_.stdout_mode == StreamMode::Capture;
  const bool capture_err = options_.stderr_mode == StreamMode::Capture;
  if (capture_out || (capture_err && options_.stderr_into_stdout))
    result.stdout_ = std::move(out_data);
  if (capture_err && !options_.stderr_into_stdout) result.stderr_ = std::move(err_data);
  return result;
}

#endif

}  // namespace keelbox

// Child processes on Windows: CreateProcessW with a command line quoted for
// the C runtime's splitting, a UTF-16 environment block and exactly the
// standard handles the child inherits; each child starts suspended and joins
// the tool's job before it runs. A thread reads standard error while the
// caller's reads standard output.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "keelbox/platform/wide.hpp"
#include "keelbox/process/command_line.hpp"
#include "keelbox/process/interrupt_win32.hpp"
#include "keelbox/process/process.hpp"
#include "keelbox/process/process_internal.hpp"

namespace keelbox {

namespace {

// The system's text for `code`. Some texts hold an insert for the file they
// concern ("%1 is not a valid Win32 application."): it is filled with
// `program`, never shown raw.
std::string system_error_text(DWORD code, const std::string& program) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = buffer != nullptr ? from_wide(std::wstring_view(buffer, length))
                                       : "system error " + std::to_string(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  for (std::size_t at = text.find("%1"); at != std::string::npos;
       at = text.find("%1", at + program.size())) {
    text.replace(at, 2, program);
  }
  return text;
}

[[noreturn]] void throw_start_error(const std::string& program, DWORD code) {
  throw ProcessStartError("Cannot start " + program + ": " + system_error_text(code, program));
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

struct ChildProcess::Impl {
  HANDLE process = nullptr;
  DWORD id = 0;               // the process id, while `process` is open
  HANDLE out_read = nullptr;  // the tool's ends of the captured streams' pipes
  HANDLE err_read = nullptr;
  void close_pipes() noexcept;
};

// Path and PATH are one variable.
bool EnvironmentNameLess::operator()(const std::string& a, const std::string& b) const {
  return less_ignoring_ascii_case(a, b);
}

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
    : program_(path_to_utf8(program)), options_(options), impl_(std::make_unique<Impl>()) {
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
  impl_->process = started.hProcess;
  impl_->id = started.dwProcessId;
  adopt_child(impl_->process);
  ResumeThread(thread.get());
  streams.close_child_ends();
  impl_->out_read = streams.out_read.release();
  impl_->err_read = streams.err_read.release();
}

ChildProcess::~ChildProcess() {
  kill();
  impl_->close_pipes();
}

bool ChildProcess::running() const noexcept { return impl_->process != nullptr; }

long ChildProcess::pid() const noexcept {
  return impl_->process != nullptr ? static_cast<long>(impl_->id) : -1;
}

void ChildProcess::Impl::close_pipes() noexcept {
  if (out_read != nullptr) CloseHandle(out_read);
  if (err_read != nullptr) CloseHandle(err_read);
  out_read = err_read = nullptr;
}

void ChildProcess::kill() {
  if (impl_->process == nullptr) return;
  TerminateProcess(impl_->process, 1);
  WaitForSingleObject(impl_->process, INFINITE);
  CloseHandle(impl_->process);
  impl_->process = nullptr;
}

ProcessResult ChildProcess::communicate() {
  std::string out_data, err_data;
  bool out_ok = true, err_ok = true;
  {
    // Both pipes at once, so a child that fills one never blocks.
    std::thread err_reader;
    if (impl_->err_read != nullptr)
      err_reader = std::thread([&] { err_ok = drain(impl_->err_read, err_data); });
    if (impl_->out_read != nullptr) out_ok = drain(impl_->out_read, out_data);
    if (err_reader.joinable()) err_reader.join();
  }
  impl_->close_pipes();
  if (!out_ok || !err_ok)
    throw RuntimeError("Cannot keep the output of " + program_ + ": out of memory");
  DWORD code = 0;
  if (impl_->process != nullptr) {
    WaitForSingleObject(impl_->process, INFINITE);
    const BOOL got = GetExitCodeProcess(impl_->process, &code);
    const DWORD err = GetLastError();
    CloseHandle(impl_->process);
    impl_->process = nullptr;
    if (!got)
      throw RuntimeError("Cannot wait for " + program_ + ": " + system_error_text(err, program_));
  }
  return finished_result(options_, static_cast<long long>(code), std::move(out_data),
                         std::move(err_data));
}

}  // namespace keelbox

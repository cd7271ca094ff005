#include "keelbox/process/interrupt.hpp"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <cstring>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <atomic>
#include <cerrno>
#include <ctime>

#include "keelbox/platform/io.hpp"
#endif

namespace keelbox {

#ifndef _WIN32
// ---------------------------------------------------------------- POSIX ----

namespace {

constexpr int kMaxChildren = 64;
std::atomic<pid_t> g_children[kMaxChildren];
std::atomic<bool> g_in_prompt{false};

struct timespec now() {
  struct timespec t {};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool past(const struct timespec& deadline) {
  const struct timespec t = now();
  return t.tv_sec > deadline.tv_sec ||
         (t.tv_sec == deadline.tv_sec && t.tv_nsec >= deadline.tv_nsec);
}

// The processes that a sweep signals: every live descendant of the tool, found
// in the process table (children, their children, and orphans of either,
// which the tool adopts as the reaper of its descendants), plus the registered
// children. Fixed storage: the handler allocates nothing.
constexpr std::size_t kMaxProcesses = 16384;
pid_t g_table_pid[kMaxProcesses];
pid_t g_table_parent[kMaxProcesses];
pid_t g_targets[kMaxProcesses];
pid_t g_signalled[kMaxProcesses];  // already sent SIGTERM
std::size_t g_signalled_count = 0;

bool contains(const pid_t* set, std::size_t n, pid_t pid) {
  for (std::size_t i = 0; i < n; ++i)
    if (set[i] == pid) return true;
  return false;
}

#ifdef __linux__
// The parent and state of one process from /proc/<pid>/stat ("pid (comm) S ppid ...").
bool read_stat(const char* pid_text, pid_t& parent, char& state) {
  char path[64] = "/proc/";
  std::size_t at = 6;
  for (const char* c = pid_text; *c && at < sizeof path - 6; ++c) path[at++] = *c;
  for (const char* c = "/stat"; *c; ++c) path[at++] = *c;
  path[at] = '\0';
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  const char* close_paren = nullptr;
  for (const char* c = buf; *c; ++c)
    if (*c == ')') close_paren = c;
  if (!close_paren || close_paren[1] != ' ' || !close_paren[2] || close_paren[3] != ' ')
    return false;
  state = close_paren[2];
  long value = 0;
  const char* c = close_paren + 4;
  if (*c < '0' || *c > '9') return false;
  for (; *c >= '0' && *c <= '9'; ++c) value = value * 10 + (*c - '0');
  parent = static_cast<pid_t>(value);
  return true;
}

// Reads the process table: (pid, parent) of every process that is not a zombie.
std::size_t read_process_table() {
  const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  std::size_t count = 0;
  alignas(8) char buf[8192];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      struct Entry {
        unsigned long long ino;
        long long off;
        unsigned short reclen;
        unsigned char type;
        char name[1];
      };
      const auto* e = reinterpret_cast<const Entry*>(buf + off);
      off += e->reclen;
      if (e->name[0] < '1' || e->name[0] > '9') continue;
      pid_t parent = 0;
      char state = 0;
      if (count < kMaxProcesses && read_stat(e->name, parent, state) && state != 'Z') {
        long pid = 0;
        for (const char* c = e->name; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
        g_table_pid[count] = static_cast<pid_t>(pid);
        g_table_parent[count] = parent;
        ++count;
      }
    }
  }
  ::close(dir);
  return count;
}
#else
std::size_t read_process_table() { return 0; }
#endif

// Fills g_targets with the live descendants and the registered children.
std::size_t collect_targets() {
  const std::size_t table = read_process_table();
  std::size_t n = 0;
  const pid_t self = ::getpid();
  for (auto& slot : g_children) {
    const pid_t pid = slot.load();
    if (pid > 0 && !contains(g_targets, n, pid)) g_targets[n++] = pid;
  }
  // Breadth first down the tree: a process whose parent is the tool or a
  // descendant found so far.
  for (bool grew = true; grew;) {
    grew = false;
    for (std::size_t i = 0; i < table && n < kMaxProcesses; ++i) {
      const pid_t pid = g_table_pid[i];
      if (pid == self || contains(g_targets, n, pid)) continue;
      const pid_t parent = g_table_parent[i];
      if (parent == self || contains(g_targets, n, parent)) {
        g_targets[n++] = pid;
        grew = true;
      }
    }
  }
  return n;
}

void forget_child(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

// Reaps every child that has ended; false when the tool has no child left.
bool reap_ended_children() {
  for (;;) {
    int status = 0;
    const pid_t w = ::waitpid(-1, &status, WNOHANG);
    if (w > 0) {
      forget_child(w);  // gone: never signalled again
      continue;
    }
    return !(w < 0 && errno == ECHILD);
  }
}

// Ends everything the tool started: SIGTERM to every descendant at once, up
// to two seconds for them to go, then SIGKILL to those left; every child (own
// or adopted) is reaped. Descendants that appear meanwhile get the same.
void end_descendants() {
  struct timespec deadline = now();
  deadline.tv_sec += 2;
  struct timespec give_up = deadline;
  give_up.tv_sec += 2;
  for (;;) {
    const bool children_left = reap_ended_children();
    const std::size_t n = collect_targets();
    if ((n == 0 && !children_left) || past(give_up)) return;
    const bool forced = past(deadline);
    for (std::size_t i = 0; i < n; ++i) {
      const pid_t pid = g_targets[i];
      if (forced) {
        ::kill(pid, SIGKILL);
      } else if (!contains(g_signalled, g_signalled_count, pid)) {
        ::kill(pid, SIGTERM);
        if (g_signalled_count < kMaxProcesses) g_signalled[g_signalled_count++] = pid;
      }
    }
    struct timespec pause {
      0, 10 * 1000 * 1000
    };
    ::nanosleep(&pause, nullptr);
  }
}

extern "C" void on_interrupt(int signal_number) {
  end_descendants();
  if (signal_number != SIGINT) {
    // Asked to terminate (not a user's Ctrl-C): end quietly by that signal, so
    // that whoever sent it sees the run ended by it.
    ::signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal_number);
    ::_exit(128 + signal_number);
  }
  if (g_in_prompt.load()) {
    write_all(STDERR_FILENO, "Aborted!\n");
  } else {
    write_all(STDERR_FILENO, "\nAborted!\n");
  }
  ::_exit(1);
}

}  // namespace

void install_interrupt_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  // One sweep at a time: the other signal waits until the run has ended.
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = 0;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  // A closed reader of standard output shows as EPIPE on write.
  ::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
  // Orphans of the tool's descendants (pip, when uv has ended before it)
  // become the tool's children instead of init's, so an interrupted run can
  // still end them. Every process stays in the terminal's foreground group:
  // Ctrl-C and job control reach them as before.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
#endif
}

void set_in_prompt(bool waiting) { g_in_prompt.store(waiting); }

void register_child(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, pid)) return;
  }
}

void unregister_child(pid_t pid) { forget_child(pid); }

void yield_to_interrupt() {}

#else
// -------------------------------------------------------------- Windows ----

namespace {

std::atomic<bool> g_in_prompt{false};
std::atomic<bool> g_ending{false};
std::atomic<int> g_starting{0};  // children being started, not yet in the job
HANDLE g_main_thread = nullptr;  // held still while the handler works
HANDLE g_interrupted = nullptr;  // set when the handler takes over (manual reset)

// The job of every child: its processes end when the tool ends, since the
// job's only handle closes then.
HANDLE child_job() {
  static const HANDLE job = [] {
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (created == nullptr) return created;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
      CloseHandle(created);
      return HANDLE{nullptr};
    }
    return created;
  }();
  return job;
}

DWORD active_children(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                 nullptr))
    return 0;
  return info.ActiveProcesses;
}

// The children got the same console event: two seconds to end by
// themselves, then the job ends every process left in it.
void end_descendants() {
  const HANDLE job = child_job();
  if (job == nullptr) return;
  const ULONGLONG deadline = GetTickCount64() + 2000;
  while (active_children(job) > 0 && GetTickCount64() < deadline) Sleep(10);
  TerminateJobObject(job, 1);
}

void write_stderr(const char* text) {
  DWORD written = 0;
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE)
    WriteFile(err, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

BOOL WINAPI on_console_event(DWORD event) {
  if (g_ending.exchange(true)) {
    // A second event while the first is handled: the first ends the run.
    Sleep(INFINITE);
  }
  if (g_interrupted != nullptr) SetEvent(g_interrupted);
  // The main thread must not go on meanwhile (a child ended by Ctrl-C would
  // otherwise be reported as a failed run); other threads are left as they are.
  if (g_main_thread != nullptr) {
    SuspendThread(g_main_thread);
    // A start under way finishes first (a moment: nothing in it waits).
    for (int tries = 0; g_starting.load() > 0 && tries < 1000; ++tries) {
      ResumeThread(g_main_thread);
      Sleep(1);
      SuspendThread(g_main_thread);
    }
  }
  end_descendants();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    write_stderr(g_in_prompt.load() ? "Aborted!\r\n" : "\r\nAborted!\r\n");
    TerminateProcess(GetCurrentProcess(), 1);
  }
  // Console closed, log-off or shut-down: end quietly, with the status of a
  // process ended by the console.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void install_interrupt_handler() {
  static const bool installed = [] {
    g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
    child_job();
    return SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
  }();
  (void)installed;
}

void set_in_prompt(bool waiting) { g_in_prompt.store(waiting); }

void yield_to_interrupt() {
  // Only a console read is ended by Ctrl-C; a pipe or file simply ended.
  DWORD mode = 0;
  if (g_interrupted == nullptr || !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;
  if (WaitForSingleObject(g_interrupted, 100) == WAIT_OBJECT_0) Sleep(INFINITE);
}

ChildStarting::ChildStarting() noexcept { ++g_starting; }

ChildStarting::~ChildStarting() {
  --g_starting;
  // The handler let this start finish and is ending the run: go no further.
  if (g_ending.load()) Sleep(INFINITE);
}

bool adopt_child(void* process_handle) noexcept {
  const HANDLE job = child_job();
  return job != nullptr && AssignProcessToJobObject(job, static_cast<HANDLE>(process_handle));
}

#endif

}  // namespace keelbox

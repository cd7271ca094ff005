// Ctrl-C, SIGTERM and SIGHUP on POSIX systems: a signal handler that sweeps
// the process table for every descendant of the tool, ends them (SIGTERM, two
// seconds' grace, SIGKILL), reaps its own children, removes what the run
// asked to be removed (remove_on_interrupt) and then ends the tool.
// Everything it does is async-signal-safe: fixed storage, raw system calls.
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "keelbox/platform/folder_entries_posix.hpp"
#include "keelbox/platform/helper_thread_posix.hpp"
#include "keelbox/platform/io.hpp"
#include "keelbox/platform/remove_tree_posix.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_internal.hpp"
#include "keelbox/process/interrupt_posix.hpp"

namespace keelbox {

namespace {

constexpr int kMaxChildren = 64;
std::atomic<pid_t> g_children[kMaxChildren];

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
  for_each_folder_entry<8192>(dir, [&](const char* name, unsigned char) {
    if (name[0] < '1' || name[0] > '9') return;
    pid_t parent = 0;
    char state = 0;
    if (count < kMaxProcesses && read_stat(name, parent, state) && state != 'Z') {
      long pid = 0;
      for (const char* c = name; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
      g_table_pid[count] = static_cast<pid_t>(pid);
      g_table_parent[count] = parent;
      ++count;
    }
  });
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
  const int grace = interrupt_grace_ms();
  deadline.tv_sec += grace / 1000;
  deadline.tv_nsec += static_cast<long>(grace % 1000) * 1000 * 1000;
  if (deadline.tv_nsec >= 1000L * 1000 * 1000) {
    deadline.tv_nsec -= 1000L * 1000 * 1000;
    ++deadline.tv_sec;
  }
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

// Names removed when a signal ends the run (remove_on_interrupt). A slot is
// free, set, held (being renamed: the handler waits) or being removed.
enum RemovalState : int { kFree, kSet, kHeld, kRemoving, kClaimed };
// Two for each archive unpacking at once (its folder beside, the lock file
// of its parent), and a few more.
constexpr int kMaxRemovals = 144;
struct Removal {
  std::atomic<int> state{kFree};
  int parent = -1;
  char name[256] = {};
};
Removal g_removals[kMaxRemovals];
static_assert(std::atomic<int>::is_always_lock_free);
thread_local sigset_t g_held_mask;  // the mask a holding thread had before

void sleep_ms(long ms) {
  struct timespec pause {
    0, ms * 1000 * 1000
  };
  ::nanosleep(&pause, nullptr);
}

void remove_registered() {
  // Threads writing into those folders stop first (start_stoppable_thread).
  for (int waited = 0; !stoppable_threads_stopped() && waited < 2000; ++waited) sleep_ms(1);
  for (Removal& removal : g_removals) {
    for (int waited = 0; waited < 2000; ++waited) {
      int expected = kSet;
      if (removal.state.compare_exchange_strong(expected, kRemoving)) {
        remove_tree_at(removal.parent, removal.name);
        break;
      }
      if (expected != kHeld) break;
      sleep_ms(1);
    }
  }
}

extern "C" void on_interrupt(int signal_number) {
  end_descendants();
  remove_registered();
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
  if (prompt_waiting()) {
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
  sa.sa_mask = ending_signals();
  sa.sa_flags = 0;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
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

void register_child(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, pid)) return;
  }
}

void unregister_child(pid_t pid) { forget_child(pid); }

int remove_on_interrupt(int parent, const char* name) noexcept {
  std::size_t length = 0;
  while (name[length]) ++length;
  if (length >= sizeof g_removals[0].name) return -1;
  for (int slot = 0; slot < kMaxRemovals; ++slot) {
    Removal& removal = g_removals[slot];
    int expected = kFree;
    if (!removal.state.compare_exchange_strong(expected, kClaimed)) continue;
    removal.parent = parent;
    for (std::size_t i = 0; i <= length; ++i) removal.name[i] = name[i];
    removal.state.store(kSet);
    return slot;
  }
  return -1;
}

bool hold_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return true;
  const sigset_t set = ending_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, &g_held_mask);
  int expected = kSet;
  if (g_removals[slot].state.compare_exchange_strong(expected, kHeld)) return true;
  ::pthread_sigmask(SIG_SETMASK, &g_held_mask, nullptr);
  return false;
}

void resume_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return;
  g_removals[slot].state.store(kSet);
  ::pthread_sigmask(SIG_SETMASK, &g_held_mask, nullptr);
}

void forget_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return;
  int expected = kSet;
  g_removals[slot].state.compare_exchange_strong(expected, kFree);
}

void yield_to_interrupt() {}

std::thread thread_without_interrupts(std::function<void()> work) {
  std::thread thread = start_helper_thread(std::move(work));
  if (!thread.joinable())
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  return thread;
}

void hold_thread_forever() noexcept {
  for (;;) ::pause();
}

}  // namespace keelbox

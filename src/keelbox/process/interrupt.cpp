#include "keelbox/process/interrupt.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "keelbox/platform/io.hpp"

namespace keelbox {
namespace {

constexpr int kMaxChildren = 64;
std::atomic<pid_t> g_children[kMaxChildren];
std::atomic<bool> g_in_prompt{false};


// Ends one child: SIGTERM, up to two seconds to go, then SIGKILL; reaped.
void end_child(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, &status, WNOHANG) != 0) return;  // reaped, or not ours any more
    struct timespec pause {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
}

extern "C" void on_interrupt(int signal_number) {
  for (auto& slot : g_children) {
    pid_t pid = slot.load();
    if (pid > 0) end_child(pid);
  }
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
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  // A closed reader of standard output shows as EPIPE on write.
  ::signal(SIGPIPE, SIG_IGN);
}

void set_in_prompt(bool waiting) { g_in_prompt.store(waiting); }

void register_child(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, pid)) return;
  }
}

void unregister_child(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

}  // namespace keelbox

#pragma once
// Threads that no ending signal reaches, on POSIX systems: the one home of
// that signal mask, for the walks of folders that share their work with a
// second thread and for thread_without_interrupts() (interrupt.hpp).
#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>
#include <utility>

namespace keelbox {

// `work` started on a new thread with SIGINT, SIGTERM and SIGHUP blocked, so
// that their handler (which removes the run's folders) never runs on it but
// on the thread that waits for it. A thread that is not joinable when none
// could be started: the caller then does all the work itself.
// The signals that end a run (SIGINT, SIGTERM, SIGHUP), whose handler
// removes the run's folders. Async-signal-safe.
inline sigset_t ending_signals() noexcept {
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGHUP);
  return ending;
}

template <class Work>
std::thread start_helper_thread(Work&& work) {
  const sigset_t ending = ending_signals();
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &ending, &before);
  std::thread helper;
  try {
    helper = std::thread(std::forward<Work>(work));
  } catch (const std::system_error&) {
    // No thread to be had.
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return helper;
}

}  // namespace keelbox

// Ctrl-C handling, the part every system shares: whether a prompt is
// waiting for input, and how long the descendants have to end. The handlers
// are interrupt_posix.cpp and interrupt_win32.cpp.
#include "keelbox/process/interrupt.hpp"

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "keelbox/process/interrupt_internal.hpp"

namespace keelbox {

namespace {

// Lock-free, so that a signal handler may read it.
std::atomic<bool> g_in_prompt{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> g_grace_ms{2000};
static_assert(std::atomic<int>::is_always_lock_free);

// Stoppable threads: the run is ending (set by the handler), and how many
// of them may be writing. Sequentially consistent on both sides, so that a
// thread that starts writing again sees the ending the handler set before
// it read the count.
std::atomic<bool> g_stopping{false};
std::atomic<int> g_writers{0};
thread_local bool t_stoppable = false;

}  // namespace

void set_in_prompt(bool waiting) { g_in_prompt.store(waiting); }

bool prompt_waiting() noexcept { return g_in_prompt.load(); }

int interrupt_grace_ms() noexcept { return g_grace_ms.load(); }

void set_interrupt_grace_ms(int milliseconds) noexcept { g_grace_ms.store(milliseconds); }

std::thread start_stoppable_thread(std::function<void()> work) {
  ++g_writers;  // counted from the start, before it can miss an ending
  try {
    return thread_without_interrupts([work = std::move(work)] {
      t_stoppable = true;
      struct Leaving {
        ~Leaving() { --g_writers; }
      } leaving;
      stop_point();
      work();
    });
  } catch (...) {
    --g_writers;
    throw;
  }
}

void stop_point() noexcept {
  if (!t_stoppable || !g_stopping.load()) return;
  --g_writers;
  hold_thread_forever();
}

WritingPaused::WritingPaused() noexcept {
  if (t_stoppable) --g_writers;
}

WritingPaused::~WritingPaused() {
  if (!t_stoppable) return;
  ++g_writers;
  stop_point();
}

bool stoppable_threads_stopped() noexcept {
  g_stopping.store(true);
  return g_writers.load() <= 0;
}

}  // namespace keelbox

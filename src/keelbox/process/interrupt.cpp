// Ctrl-C handling, the part every system shares: whether a prompt is
// waiting for input, and how long the descendants have to end. The handlers
// are interrupt_posix.cpp and interrupt_win32.cpp.
#include "keelbox/process/interrupt.hpp"

#include <atomic>

#include "keelbox/process/interrupt_internal.hpp"

namespace keelbox {

namespace {

// Lock-free, so that a signal handler may read it.
std::atomic<bool> g_in_prompt{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> g_grace_ms{2000};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

void set_in_prompt(bool waiting) { g_in_prompt.store(waiting); }

bool prompt_waiting() noexcept { return g_in_prompt.load(); }

int interrupt_grace_ms() noexcept { return g_grace_ms.load(); }

void set_interrupt_grace_ms(int milliseconds) noexcept { g_grace_ms.store(milliseconds); }

}  // namespace keelbox

#pragma once
// What the portable part of the Ctrl-C handling gives each system's handler
// (interrupt_posix.cpp, interrupt_win32.cpp).

namespace keelbox {

// Whether a prompt is waiting for input (set_in_prompt). Async-signal-safe.
bool prompt_waiting() noexcept;

// How long the descendants have to end by themselves before they are ended
// forcibly, in milliseconds: two seconds. Async-signal-safe.
int interrupt_grace_ms() noexcept;

// Shortens (or restores) that time; for tests of the handler, which would
// otherwise wait the whole grace for a child that ignores the request.
void set_interrupt_grace_ms(int milliseconds) noexcept;

// The handler's side of start_stoppable_thread(): marks the run as ending
// and tells whether every stoppable thread has stopped (or waits for
// input). The handler calls it until it is true, or two seconds have
// passed. Async-signal-safe.
bool stoppable_threads_stopped() noexcept;

// Each system's own (interrupt_posix.cpp, interrupt_win32.cpp): holds a
// stopped thread still until the process ends.
[[noreturn]] void hold_thread_forever() noexcept;

}  // namespace keelbox

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

}  // namespace keelbox

#pragma once
// The interrupt handler's list of children on POSIX systems, kept by the
// child processes (process_posix.cpp); the handler is interrupt_posix.cpp.
#include <sys/types.h>

namespace keelbox {

// Children started by the tool; the handler ends and reaps those still
// registered. Register right after the start, unregister after the wait.
void register_child(pid_t pid);
void unregister_child(pid_t pid);

// What a run ended by a signal removes before it ends: `name` in the open
// folder `parent` (a folder with everything below it, or a file), without
// following links. A few at a time; `name` is copied. Returns the slot, -1
// when there is no room (then it is left, as before).
int remove_on_interrupt(int parent, const char* name) noexcept;
// Holds the handler off slot `slot` while the name is renamed (the handler
// waits; signals wait on the calling thread): false when the handler is
// removing it already, and the run is ending. Resumed by the next call.
bool hold_removal_on_interrupt(int slot) noexcept;
void resume_removal_on_interrupt(int slot) noexcept;
// No longer removed by the handler (it may be removing it right now).
void forget_removal_on_interrupt(int slot) noexcept;

}  // namespace keelbox

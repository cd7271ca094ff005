#pragma once
// The interrupt handler's list of children on POSIX systems, kept by the
// child processes (process_posix.cpp); the handler is interrupt_posix.cpp.
#include <sys/types.h>

namespace keelbox {

// Children started by the tool; the handler ends and reaps those still
// registered. Register right after the start, unregister after the wait.
void register_child(pid_t pid);
void unregister_child(pid_t pid);

}  // namespace keelbox

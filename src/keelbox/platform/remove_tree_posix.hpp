#pragma once
// Removing a folder tree through folder descriptors on POSIX systems.

namespace keelbox {

// Removes `name` in the open folder `parent` and, when it is a folder,
// everything below it. A link is removed as a link, never followed. Names
// that cannot be removed are left (and so is their folder).
// Async-signal-safe: fixed storage on the stack, raw system calls only.
// True when `name` is gone.
bool remove_tree_at(int parent, const char* name) noexcept;

// The same, with the work shared with one more thread where the machine has
// a second core and the tree branches out near its top: a large tree goes in
// about half the time. The thread is joined before it returns, and it blocks
// SIGINT, SIGTERM and SIGHUP, so that their handler runs on another thread.
// Not for signal handlers.
bool remove_tree_at_in_parallel(int parent, const char* name) noexcept;

}  // namespace keelbox

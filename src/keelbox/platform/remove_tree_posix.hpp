#pragma once
// Removing a folder tree through folder descriptors on POSIX systems, safe
// to call from a signal handler.

namespace keelbox {

// Removes `name` in the open folder `parent` and, when it is a folder,
// everything below it. A link is removed as a link, never followed. Names
// that cannot be removed are left (and so is their folder).
// Async-signal-safe: fixed storage on the stack, raw system calls only.
// True when `name` is gone.
bool remove_tree_at(int parent, const char* name) noexcept;

}  // namespace keelbox

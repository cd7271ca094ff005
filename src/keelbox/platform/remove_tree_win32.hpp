#pragma once
// Removing a folder tree on Windows without following links, safe to call
// while another thread of the process is held still (the console control
// handler): fixed storage, system calls only, no allocation.

namespace keelbox {

// Removes `path` and, when it is a plain folder, everything in it; a link
// (to a folder too) or a junction is removed itself, never what it leads
// to; a link that cannot be told from what it names (wine shows a Unix
// symbolic link to a file as that file) is left, and so is its folder.
// True when everything was removed (or `path` was not there).
bool remove_tree(const wchar_t* path) noexcept;

}  // namespace keelbox

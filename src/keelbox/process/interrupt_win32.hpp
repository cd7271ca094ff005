#pragma once
// The job of the tool's children on Windows, joined by the child processes
// (process_win32.cpp), and what the run leaves to be removed when it is
// interrupted (staging_win32.cpp); the console control handler is
// interrupt_win32.cpp.

namespace keelbox {

// Places a child, started suspended, in the tool's job object. False when
// the system refused (the child then runs outside the job).
bool adopt_child(void* process_handle) noexcept;

// While in scope, a child is being started and not yet in the job: the
// Ctrl-C handler lets the start finish before it ends the job, so that no
// suspended child is left outside it.
class ChildStarting {
 public:
  ChildStarting() noexcept;
  ~ChildStarting();
  ChildStarting(const ChildStarting&) = delete;
  ChildStarting& operator=(const ChildStarting&) = delete;
};

// What a run ended by Ctrl-C, Ctrl-Break or the console's closing removes
// before it ends: the folder or file at the absolute `path`, with
// everything below it, never following a link (remove_tree_win32.hpp). A
// few at a time; `path` is copied. Returns the slot, -1 when there is no
// room (then it is left, as before).
int remove_on_interrupt(const wchar_t* path) noexcept;
// Holds the handler off slot `slot` while folders are renamed (the handler
// waits, letting a held main thread finish the renaming): false when the
// handler is removing it already, and the run is ending. While held, the
// slot may be given the path where what it names lies now
// (move_removal_on_interrupt). Resumed by the next call, which does not
// return when the handler is ending the run meanwhile.
bool hold_removal_on_interrupt(int slot) noexcept;
void move_removal_on_interrupt(int slot, const wchar_t* path) noexcept;
void resume_removal_on_interrupt(int slot) noexcept;
// No longer removed by the handler (it may be removing it right now).
void forget_removal_on_interrupt(int slot) noexcept;

// A file being written into a folder removed on an interrupt (one for each
// thread that unpacks): Windows removes no file that is still open, so the
// handler closes them first. The writer closes it itself and then calls keep_from_interrupt()
// (the other way round, a writer held still in between would keep it open);
// a handle the handler closes twice is of no account: the process is ending.
void close_on_interrupt(void* file_handle) noexcept;
void keep_from_interrupt(void* file_handle) noexcept;

// While in scope, such a file is being opened and not yet given to
// close_on_interrupt(): the handler lets the opening finish first, and the
// scope's end goes no further when the run is ending meanwhile.
class FileOpening {
 public:
  FileOpening() noexcept;
  ~FileOpening();
  FileOpening(const FileOpening&) = delete;
  FileOpening& operator=(const FileOpening&) = delete;
};

// The handler's removal of what is registered above (for tests: the
// handler itself ends the process).
void remove_registered_on_interrupt() noexcept;

}  // namespace keelbox

#pragma once
// The job of the tool's children on Windows, joined by the child processes
// (process_win32.cpp); the console control handler is interrupt_win32.cpp.

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

}  // namespace keelbox

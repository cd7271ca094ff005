#pragma once
// Ctrl-C handling for the whole process.
//
// On Ctrl-C (SIGINT) the handler ends the run the way the command line
// reports an interrupt: every process the tool started, directly or through
// its children, is ended (SIGTERM, two seconds' grace, SIGKILL) and reaped,
// "Aborted!" is written on standard error (after an empty line unless a
// prompt was waiting), and the process exits with status 1. On SIGTERM the
// descendants are ended the same way and the process then ends quietly by
// that signal. The tool adopts its descendants' orphans (Linux), so a
// grandchild whose parent has already ended is ended too. Everything the
// handler does is async-signal-safe.
#include <sys/types.h>

namespace keelbox {

void install_interrupt_handler();

// Marks that a prompt is waiting for input (changes the "Aborted!" layout).
void set_in_prompt(bool waiting);

// Marks a prompt as waiting while in scope.
class PromptWaiting {
 public:
  PromptWaiting() { set_in_prompt(true); }
  ~PromptWaiting() { set_in_prompt(false); }
  PromptWaiting(const PromptWaiting&) = delete;
  PromptWaiting& operator=(const PromptWaiting&) = delete;
};

// Children started by the tool; the handler ends and reaps those still
// registered. Register right after the start, unregister after the wait.
void register_child(pid_t pid);
void unregister_child(pid_t pid);

}  // namespace keelbox

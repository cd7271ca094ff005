#pragma once
// Ctrl-C handling for the whole process.
//
// On Ctrl-C (SIGINT) the handler ends the run the way the command line
// reports an interrupt: every process the tool started, directly or through
// its children, is ended (SIGTERM, two seconds' grace, SIGKILL) and reaped,
// "Aborted!" is written on standard error (after an empty line unless a
// prompt was waiting), and the process exits with status 1. On SIGTERM and
// SIGHUP the descendants are ended the same way and the process then ends
// quietly by that signal. Before it ends, the handler removes what the run
// registered for removal (a half-unpacked folder: interrupt_posix.hpp). The
// tool adopts its descendants' orphans (Linux), so a grandchild whose parent
// has already ended is ended too. Everything the handler does is
// async-signal-safe.
//
// On Windows Ctrl-C and Ctrl-Break arrive through a console control handler,
// on a thread of its own: it holds the main thread still, gives the children
// (which share the console and got the same Ctrl-C) two seconds to end, ends
// what is left, writes "Aborted!" the same way and exits with status 1.
// Closing the console (or logging off) ends the children the same way and
// then the tool quietly. Before it ends, the handler removes what the run
// registered for removal (interrupt_win32.hpp). Every child is placed in one job object that ends
// all its processes when the tool ends, however it ends: the counterpart of
// the reaper above.
//
// The handlers are interrupt_posix.cpp and interrupt_win32.cpp; the child
// processes tell them of each child through interrupt_posix.hpp or
// interrupt_win32.hpp.

#include <functional>
#include <thread>

namespace keelbox {

void install_interrupt_handler();

// `work` on a thread of its own that the handler never runs on: on POSIX
// systems SIGINT, SIGTERM and SIGHUP stay blocked there, so that the handler
// interrupts a thread the tool already had (the one that writes files, and
// stops writing while it removes them). On Windows the handler has a thread
// of its own anyway.
std::thread thread_without_interrupts(std::function<void()> work);

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

// After standard input ended while a prompt waited: on Windows a Ctrl-C can
// end the console read before its handler has started, so this waits a
// moment for the handler and, when it runs, never returns (the handler ends
// the process). Elsewhere it returns at once.
void yield_to_interrupt();

}  // namespace keelbox

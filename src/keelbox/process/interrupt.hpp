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
// interrupts the main thread (which stops there, while the handler removes
// what the run writes). On Windows the handler has a thread of its own
// anyway. A thread that writes into folders the handler removes starts with
// start_stoppable_thread() instead (below).
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

// Threads beside the main one that write into folders the handler removes
// (an archive unpacked while it downloads). The handler must not remove a
// folder while such a thread is still creating entries in it, so before it
// removes anything it marks the run as ending and waits (two seconds at
// most, then it goes on) until every such thread has reached a stop point
// or waits for input; from then on a stop point never returns. Interrupts
// are not delivered to these threads on POSIX systems: the handler runs on
// another.
//
// Starts `work` on such a thread. An exception it throws ends the process
// (std::terminate): catch what it may throw.
std::thread start_stoppable_thread(std::function<void()> work);
// Between two writes of such a thread: when the run is ending, it never
// returns. Elsewhere (the main thread) it returns at once.
void stop_point() noexcept;
// While in scope, such a thread writes nothing (it waits for input): the
// handler need not wait for it. Its end is a stop point.
class WritingPaused {
 public:
  WritingPaused() noexcept;
  ~WritingPaused();
  WritingPaused(const WritingPaused&) = delete;
  WritingPaused& operator=(const WritingPaused&) = delete;
};

}  // namespace keelbox

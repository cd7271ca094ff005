// Ctrl-C, Ctrl-Break and the console's closing on Windows: a console control
// handler that holds the main thread still, ends the job every child runs
// in, removes what the run asked to be removed (remove_on_interrupt) and
// then ends the tool; and that job, which ends the children however the
// tool ends. The main thread may be held inside the allocator: the handler
// allocates nothing.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <functional>
#include <thread>
#include <utility>

#include "keelbox/platform/remove_tree_win32.hpp"
#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_internal.hpp"
#include "keelbox/process/interrupt_win32.hpp"

namespace keelbox {

namespace {

std::atomic<bool> g_ending{false};
std::atomic<int> g_starting{0};  // children being started, not yet in the job
std::atomic<int> g_opening{0};   // files being opened, not yet to be closed
HANDLE g_main_thread = nullptr;  // held still while the handler works
HANDLE g_interrupted = nullptr;  // set when the handler takes over (manual reset)

// The job of every child: its processes end when the tool ends, since the
// job's only handle closes then.
HANDLE child_job() {
  static const HANDLE job = [] {
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (created == nullptr) return created;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
      CloseHandle(created);
      return HANDLE{nullptr};
    }
    return created;
  }();
  return job;
}

DWORD active_children(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                 nullptr))
    return 0;
  return info.ActiveProcesses;
}

// The children got the same console event: two seconds to end by
// themselves, then the job ends every process left in it.
void end_descendants() {
  const HANDLE job = child_job();
  if (job == nullptr) return;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(interrupt_grace_ms());
  while (active_children(job) > 0 && GetTickCount64() < deadline) Sleep(10);
  TerminateJobObject(job, 1);
}

// Paths removed when the run is interrupted (remove_on_interrupt). A slot is
// free, set, held (being renamed: the handler waits) or being removed.
enum RemovalState : int { kFree, kSet, kHeld, kRemoving, kClaimed };
// One for each archive unpacking at once (its folder beside), and a few more.
constexpr int kMaxRemovals = 72;
constexpr std::size_t kRemovalCapacity = 32768;  // the longest path Windows has
struct Removal {
  std::atomic<int> state{kFree};
  wchar_t path[kRemovalCapacity] = {};
};
Removal g_removals[kMaxRemovals];
static_assert(std::atomic<int>::is_always_lock_free);

// The files being written (close_on_interrupt): one for each thread that
// unpacks at once, and a few more.
constexpr int kMaxWriting = 72;
std::atomic<HANDLE> g_writing[kMaxWriting];
static_assert(std::atomic<HANDLE>::is_always_lock_free);

bool any_removal_held() {
  for (const Removal& removal : g_removals)
    if (removal.state.load() == kHeld) return true;
  return false;
}

bool copy_path(wchar_t* to, const wchar_t* from) {
  const std::size_t length = std::wcslen(from);
  if (length >= kRemovalCapacity) return false;
  std::wmemcpy(to, from, length + 1);
  return true;
}

void write_stderr(const char* text) {
  DWORD written = 0;
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != nullptr && err != INVALID_HANDLE_VALUE)
    WriteFile(err, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

BOOL WINAPI on_console_event(DWORD event) {
  if (g_ending.exchange(true)) {
    // A second event while the first is handled: the first ends the run.
    Sleep(INFINITE);
  }
  if (g_interrupted != nullptr) SetEvent(g_interrupted);
  // The main thread must not go on meanwhile (a child ended by Ctrl-C would
  // otherwise be reported as a failed run); other threads are left as they are.
  if (g_main_thread != nullptr) {
    SuspendThread(g_main_thread);
    // A start under way finishes first (a moment: nothing in it waits).
    // So does a renaming of folders to be removed (their names change), and
    // the opening of a file in one (closed before they are removed).
    for (int tries = 0;
         (g_starting.load() > 0 || g_opening.load() > 0 || any_removal_held()) && tries < 1000;
         ++tries) {
      ResumeThread(g_main_thread);
      Sleep(1);
      SuspendThread(g_main_thread);
    }
  }
  end_descendants();
  remove_registered_on_interrupt();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    write_stderr(prompt_waiting() ? "Aborted!\r\n" : "\r\nAborted!\r\n");
    TerminateProcess(GetCurrentProcess(), 1);
  }
  // Console closed, log-off or shut-down: end quietly, with the status of a
  // process ended by the console.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void install_interrupt_handler() {
  static const bool installed = [] {
    g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_main_thread,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
    child_job();
    return SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
  }();
  (void)installed;
}

void yield_to_interrupt() {
  // Only a console read is ended by Ctrl-C; a pipe or file simply ended.
  DWORD mode = 0;
  if (g_interrupted == nullptr || !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return;
  if (WaitForSingleObject(g_interrupted, 100) == WAIT_OBJECT_0) Sleep(INFINITE);
}

std::thread thread_without_interrupts(std::function<void()> work) {
  return std::thread(std::move(work));
}

ChildStarting::ChildStarting() noexcept { ++g_starting; }

ChildStarting::~ChildStarting() {
  --g_starting;
  // The handler let this start finish and is ending the run: go no further.
  if (g_ending.load()) Sleep(INFINITE);
}

int remove_on_interrupt(const wchar_t* path) noexcept {
  for (int slot = 0; slot < kMaxRemovals; ++slot) {
    Removal& removal = g_removals[slot];
    int expected = kFree;
    if (!removal.state.compare_exchange_strong(expected, kClaimed)) continue;
    if (!copy_path(removal.path, path)) {
      removal.state.store(kFree);
      return -1;
    }
    removal.state.store(kSet);
    return slot;
  }
  return -1;
}

bool hold_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return true;
  int expected = kSet;
  return g_removals[slot].state.compare_exchange_strong(expected, kHeld);
}

void move_removal_on_interrupt(int slot, const wchar_t* path) noexcept {
  if (slot < 0 || g_removals[slot].state.load() != kHeld) return;
  // Too long a path: the slot goes (what it names is left, as before).
  if (!copy_path(g_removals[slot].path, path)) g_removals[slot].path[0] = L'\0';
}

void resume_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return;
  g_removals[slot].state.store(kSet);
  // The handler let this renaming finish and is ending the run: go no further.
  if (g_ending.load()) Sleep(INFINITE);
}

void forget_removal_on_interrupt(int slot) noexcept {
  if (slot < 0) return;
  int expected = kSet;
  g_removals[slot].state.compare_exchange_strong(expected, kFree);
}

FileOpening::FileOpening() noexcept { ++g_opening; }

FileOpening::~FileOpening() {
  --g_opening;
  // The handler let this opening finish and is ending the run: go no further.
  if (g_ending.load()) Sleep(INFINITE);
}

void close_on_interrupt(void* file_handle) noexcept {
  for (std::atomic<HANDLE>& slot : g_writing) {
    HANDLE expected = nullptr;
    if (slot.compare_exchange_strong(expected, file_handle)) return;
  }
}

void keep_from_interrupt(void* file_handle) noexcept {
  for (std::atomic<HANDLE>& slot : g_writing) {
    HANDLE expected = file_handle;
    if (slot.compare_exchange_strong(expected, nullptr)) return;
  }
}

void remove_registered_on_interrupt() noexcept {
  // Threads writing into those folders stop first (start_stoppable_thread).
  for (int waited = 0; !stoppable_threads_stopped() && waited < 2000; ++waited) Sleep(1);
  // The threads writing them are held still, stopped or ending with the process.
  for (std::atomic<HANDLE>& slot : g_writing) {
    if (const HANDLE writing = slot.exchange(nullptr)) CloseHandle(writing);
  }
  for (Removal& removal : g_removals) {
    // A renaming under way finishes first (the handler lets a held main
    // thread go on meanwhile); one that takes longer leaves its folders.
    for (int waited = 0; waited < 2000; ++waited) {
      int expected = kSet;
      if (removal.state.compare_exchange_strong(expected, kRemoving)) {
        if (removal.path[0] != L'\0') remove_tree(removal.path);
        break;
      }
      if (expected != kHeld) break;
      Sleep(1);
    }
  }
}

void hold_thread_forever() noexcept {
  for (;;) Sleep(INFINITE);
}

bool adopt_child(void* process_handle) noexcept {
  const HANDLE job = child_job();
  return job != nullptr && AssignProcessToJobObject(job, static_cast<HANDLE>(process_handle));
}

}  // namespace keelbox

// Ctrl-C, Ctrl-Break and the console's closing on Windows: a console control
// handler that holds the main thread still, ends the job every child runs
// in, and then ends the tool; and that job, which ends the children however
// the tool ends.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "keelbox/process/interrupt.hpp"
#include "keelbox/process/interrupt_internal.hpp"
#include "keelbox/process/interrupt_win32.hpp"

namespace keelbox {

namespace {

std::atomic<bool> g_ending{false};
std::atomic<int> g_starting{0};  // children being started, not yet in the job
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
    for (int tries = 0; g_starting.load() > 0 && tries < 1000; ++tries) {
      ResumeThread(g_main_thread);
      Sleep(1);
      SuspendThread(g_main_thread);
    }
  }
  end_descendants();
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

ChildStarting::ChildStarting() noexcept { ++g_starting; }

ChildStarting::~ChildStarting() {
  --g_starting;
  // The handler let this start finish and is ending the run: go no further.
  if (g_ending.load()) Sleep(INFINITE);
}

bool adopt_child(void* process_handle) noexcept {
  const HANDLE job = child_job();
  return job != nullptr && AssignProcessToJobObject(job, static_cast<HANDLE>(process_handle));
}

}  // namespace keelbox

#include "keelbox/platform/process_guard.hpp"

#if defined(__linux__)
#include <sys/prctl.h>
#elif !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace keelbox {

bool keep_memory_private() {
#if defined(__linux__)
  return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
#elif !defined(_WIN32)
  const rlimit none{0, 0};
  return ::setrlimit(RLIMIT_CORE, &none) == 0;
#else
  // Nothing to switch: Windows has no per-process dump switch (Windows Error
  // Reporting writes dumps only where an administrator configured it), and
  // another process of the same user may read this one's memory there in
  // any case; a process cannot forbid that to itself.
  return true;
#endif
}

}  // namespace keelbox

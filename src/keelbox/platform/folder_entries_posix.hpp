#pragma once
// The entries of an open folder, read with the getdents64 system call: no
// allocation and no lock (readdir allocates on its first call), so that code
// running in a signal handler may list a folder. Linux only.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

namespace keelbox {

// Calls visit(name, type) for each entry of the open folder `dir` from its
// current position ("." and ".." included; `type` is a DT_* value), reading
// BufferBytes at a time on the stack.
template <std::size_t BufferBytes, class Visit>
void for_each_folder_entry(int dir, Visit&& visit) noexcept {
  struct Entry {
    unsigned long long ino;
    long long off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
  };
  alignas(8) char buffer[BufferBytes];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) return;
    for (long offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const Entry*>(buffer + offset);
      offset += entry->reclen;
      visit(static_cast<const char*>(entry->name), entry->type);
    }
  }
}

}  // namespace keelbox

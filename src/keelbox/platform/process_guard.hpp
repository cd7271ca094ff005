#pragma once
// Protections the tool puts on its own process.

namespace keelbox {

// Keeps the process's memory, which holds the token secret and the access
// token, out of core dumps and away from other processes of the same user:
// on Linux the process becomes non-dumpable (no core file, no ptrace attach,
// /proc/<pid>/mem and environ readable by root only); on other POSIX systems
// core files are switched off. Programs the tool starts are not affected.
// Call it first thing in main. Returns false when the system refused.
bool keep_memory_private();

}  // namespace keelbox

#pragma once
// Narrowing the cache's files to their owner (owner_only_posix.cpp,
// owner_only_win32.cpp).
#include <filesystem>

namespace keelbox::cache_detail {

// The database file `database` and its companions ("-wal", "-shm") that are
// ours and that others may read (written by an earlier release) become
// owner-only. Windows files carry no such modes: nothing to do there.
void restrict_existing_files(const std::filesystem::path& database);

}  // namespace keelbox::cache_detail

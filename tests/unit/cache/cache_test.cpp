#include "keelbox/cache/cache.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "../support/small_disk.hpp"
#endif
#include "cache_fixture.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace {

using json = nlohmann::json;
using StoreTest = testing::CacheFolderTest;

const json MINE = {{"mine", true}};

#ifndef _WIN32  // mode bits
int mode_of(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 0777;
}
#endif

TEST_F(StoreTest, ExpiryByTtl) {
  struct Case {
    const char* key;
    std::optional<double> ttl;
    bool hit;
  };
  const std::vector<Case> cases = {{"zero", 0.0, false},
                                   {"negative", -5.0, false},
                                   {"future", 60.0, true},
                                   {"never", std::nullopt, true}};
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  for (const Case& c : cases) store.set(c.key, c.key, c.ttl);
  for (const Case& c : cases) {
    EXPECT_EQ(store.get(c.key, MINE), c.hit ? json(c.key) : MINE) << c.key;
    // An expired entry is removed by the read that finds it.
    EXPECT_EQ(
        query(store.path(), std::string("SELECT count(*) FROM cache WHERE key='") + c.key + "'"),
        std::vector<std::string>{c.hit ? "1" : "0"})
        << c.key;
  }
}

TEST_F(StoreTest, OverwriteKeepsCreatedAtAndReplacesExpiry) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  store.set("k", "first", 100.0);
  auto created = real_column(store.path(), "created_at", "k");
  auto expires1 = real_column(store.path(), "expires_at", "k");
  ASSERT_TRUE(created && expires1);
  EXPECT_NEAR(*expires1 - *created, 100.0, 1e-6);

  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  store.set("k", "second", 500.0);
  EXPECT_EQ(store.get("k", MINE), "second");
  EXPECT_EQ(real_column(store.path(), "created_at", "k"), created);
  auto expires2 = real_column(store.path(), "expires_at", "k");
  ASSERT_TRUE(expires2);
  EXPECT_GT(*expires2, *expires1 + 399.0);

  store.set("k", "third");  // no ttl: permanent from now on
  EXPECT_EQ(real_column(store.path(), "expires_at", "k"), std::nullopt);
  EXPECT_EQ(real_column(store.path(), "created_at", "k"), created);
  EXPECT_EQ(store.get("k", MINE), "third");
}

TEST_F(StoreTest, NullIsAHitAndValuesRoundTrip) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  const std::vector<json> values = {
      nullptr,
      "",
      "token-abc",
      json::array(),
      json::array({{{"name", "n"},
                    {"code", "ENT_X"},
                    {"packages", {"p"}},
                    {"required_entitlements", json::array()}}}),
      json::array({{{"key", "zvk"}, {"versions", {1, 2.5, true, nullptr}}, {"ü", "ß"}}})};
  for (std::size_t i = 0; i < values.size(); ++i) store.set("v" + std::to_string(i), values[i]);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::optional<json> got = store.get("v" + std::to_string(i));
    ASSERT_TRUE(got.has_value()) << i;
    EXPECT_EQ(*got, values[i]) << i;
    EXPECT_EQ(store.get("v" + std::to_string(i), MINE), values[i]) << i;
  }
  EXPECT_EQ(store.get("missing"), std::nullopt);
  EXPECT_EQ(store.get("missing", MINE), MINE);
}

TEST_F(StoreTest, UnreadableRowsAreDeletedAndDefaultReturned) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  // Bytes that are no complete value: a bare break code, a truncated array,
  // trailing garbage after a value, and an empty blob.
  for (const char* hex : {"ff", "8201", "f6f6", ""}) {
    std::string key = std::string("bad-") + hex;
    query(store.path(), "INSERT INTO cache(key, value, expires_at, created_at) VALUES('" + key +
                            "', X'" + hex + "', NULL, 0)");
    EXPECT_EQ(store.get(key, MINE), MINE) << hex;
    EXPECT_EQ(query(store.path(), "SELECT count(*) FROM cache WHERE key='" + key + "'"),
              std::vector<std::string>{"0"})
        << hex;
  }
}

TEST_F(StoreTest, DeleteClearAndPruneExpired) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  store.set("permanent", 1);
  store.set("future", 2, 3600.0);
  store.set("past", 3, -1.0);
  store.set("now", 4, 0.0);
  store.prune_expired();
  EXPECT_EQ(query(store.path(), "SELECT key FROM cache ORDER BY key"),
            (std::vector<std::string>{"future", "permanent"}));

  store.delete_("future");
  store.delete_("no-such-key");
  EXPECT_EQ(query(store.path(), "SELECT key FROM cache"), std::vector<std::string>{"permanent"});

  store.clear();
  EXPECT_TRUE(query(store.path(), "SELECT key FROM cache").empty());
  EXPECT_EQ(query(store.path(),
                  "SELECT name FROM sqlite_master WHERE type='index' AND tbl_name='cache' "
                  "AND name='idx_cache_expires'"),
            std::vector<std::string>{"idx_cache_expires"});
}

TEST_F(StoreTest, SchemaAndConnectionSettings) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  EXPECT_EQ(
      query(store.path(), "SELECT sql FROM sqlite_master WHERE name='cache'"),
      std::vector<std::string>{"CREATE TABLE cache(key TEXT PRIMARY KEY, value BLOB NOT NULL, "
                               "expires_at REAL, created_at REAL NOT NULL)"});
  EXPECT_EQ(query(store.path(), "SELECT sql FROM sqlite_master WHERE name='idx_cache_expires'"),
            std::vector<std::string>{"CREATE INDEX idx_cache_expires ON cache(expires_at)"});

  SQLiteConnScope scope(store.path());
  sqlite3* con = scope.enter();
  auto pragma = [&](const char* sql) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(con, sql, -1, &st, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(st), SQLITE_ROW);
    std::string v = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return v;
  };
  EXPECT_EQ(pragma("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(pragma("PRAGMA synchronous"), "1");  // NORMAL
  EXPECT_EQ(pragma("PRAGMA busy_timeout"), "30000");
  scope.exit(false);
}

TEST_F(StoreTest, ScopeCommitsOnNormalLeaveAndRollsBackOnError) {
  SQLiteDiskCache store(dir_ / "cache.sqlite");
  for (bool failed : {false, true}) {
    SQLiteConnScope scope(store.path());
    sqlite3* con = scope.enter();
    scope.begin_change();
    std::string key = failed ? "rolled-back" : "committed";
    ASSERT_EQ(sqlite3_exec(con, ("INSERT INTO cache VALUES('" + key + "', X'f6', NULL, 0)").c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    scope.exit(failed);
    EXPECT_EQ(store.get(key).has_value(), !failed) << key;
  }

  SQLiteConnScope never_entered(store.path());
  for (bool failed : {false, true}) {
    try {
      never_entered.exit(failed);
      FAIL() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_STREQ(e.what(), "SQLite connection is not open");
    }
  }
}

TEST_F(StoreTest, TextFileInPlaceOfDatabaseIsReplaced) {
  auto path = dir_ / "cache.sqlite";
  {
    std::ofstream out(path);
    for (int i = 0; i < 200; ++i) out << "this is not a database, line " << i << "\n";
  }
  std::ofstream(dir_ / "neighbour.txt") << "keep me";
  SQLiteDiskCache store(path);
  store.set("k", "v");
  EXPECT_EQ(store.get("k", MINE), "v");
  EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_TRUE(std::filesystem::exists(dir_ / "neighbour.txt"));
}

// A database whose "cache" is not the store's table can serve no operation:
// it is replaced like a damaged file, every run would fail on it otherwise.
TEST_F(StoreTest, ForeignSchemaInPlaceOfTheTableIsReplaced) {
  const char* schemas[] = {
      "CREATE VIEW cache AS SELECT 1 AS key, 2 AS value, 3 AS expires_at, 4 AS created_at",
      "CREATE TABLE cache(x INTEGER)",
      "CREATE TABLE cache(key TEXT PRIMARY KEY, value BLOB NOT NULL)",
      "CREATE TABLE cache(key TEXT, value BLOB, expires_at REAL, created_at REAL, owner TEXT)",
  };
  for (const char* schema : schemas) {
    SCOPED_TRACE(schema);
    const auto path = dir_ / "cache.sqlite";
    std::filesystem::remove(path);
    query(path, schema);
    SQLiteDiskCache store(path);
    store.set("k", "v");
    EXPECT_EQ(store.get("k", MINE), "v");
    EXPECT_EQ(query(path, "SELECT type FROM sqlite_master WHERE name = 'cache'"),
              std::vector<std::string>{"table"});
  }
}

TEST_F(StoreTest, StaleLogOfAReplacedDatabaseIsNotReplayed) {
  // A damaged database whose write-ahead log survives: the log holds only a
  // later change to one table page, so the damaged first page is read from
  // the file and construction starts afresh. The old log must not be
  // replayed into the fresh file.
  auto path = dir_ / "cache.sqlite";
  auto wal = path;
  wal += "-wal";
  {
    SQLiteDiskCache old(path);
    for (int i = 0; i < 5; ++i) old.set("old-" + std::to_string(i), std::string(100, 'x'));
    sqlite3* holder = nullptr;  // keeps the log from being checkpointed away
    ASSERT_EQ(sqlite3_open(path_to_utf8(path).c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    old.set("old-1", std::string(100, 'y'));  // same size: rewrites one leaf page only
    std::filesystem::copy_file(wal, dir_ / "saved-wal");
    sqlite3_close(holder);
  }
  std::ofstream(path, std::ios::trunc) << "not a database any more\n";
  std::filesystem::copy_file(dir_ / "saved-wal", wal,
                             std::filesystem::copy_options::overwrite_existing);

  SQLiteDiskCache store(path);
  EXPECT_EQ(store.get("old-1"), std::nullopt);
  store.set("new", 1);
  EXPECT_EQ(store.get("new", MINE), 1);
  EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
}

TEST_F(StoreTest, MissingParentFoldersAreCreated) {
  auto path = dir_ / "a" / "b" / "c" / "cache.sqlite";
  SQLiteDiskCache store(path);
  store.set("k", 1);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  // A second store on the existing folder is no error.
  SQLiteDiskCache again(path);
  EXPECT_EQ(again.get("k", MINE), 1);
}

TEST_F(StoreTest, UnusableLocationReportsDatabaseError) {
  auto path = dir_ / "cache.sqlite";
  std::filesystem::create_directory(path);
  std::ofstream(path / "inside") << "x";
  EXPECT_THROW(SQLiteDiskCache{path}, DatabaseError);
  EXPECT_TRUE(std::filesystem::exists(path / "inside"));  // folders are never removed

  // The file turning into a folder after construction: operations fail.
  auto other = dir_ / "other.sqlite";
  SQLiteDiskCache store(other);
  std::filesystem::remove(other);
  std::filesystem::create_directory(other);
  EXPECT_THROW(store.get("k"), DatabaseError);
  EXPECT_THROW(store.set("k", 1), DatabaseError);
}

#ifndef _WIN32  // run as another user by fork and setuid; a tmpfs mount
// Runs `body` in a child process as an ordinary user, since root ignores
// permissions, and returns the text it reports.
const uid_t NOBODY = 65534;
std::string as_ordinary_user(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "no pipe";
  pid_t pid = ::fork();
  if (pid < 0) return "no child";
  if (pid == 0) {
    ::close(pipe_fds[0]);
    std::string text = "cannot become an ordinary user";
    if (::geteuid() != 0 || (::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0)) {
      try {
        text = body();
      } catch (const std::exception& e) {
        text = std::string("unexpected failure: ") + e.what();
      }
    }
    (void)!::write(pipe_fds[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return text;
}

// The text of the failure of a store at `path`, or "no failure".
std::string failure_of_store(const std::filesystem::path& path, bool file_system_error) {
  try {
    SQLiteDiskCache store(path);
    return "no failure";
  } catch (const FileSystemError& e) {
    return file_system_error ? e.what() : std::string("other failure: ") + e.what();
  } catch (const DatabaseError& e) {
    return file_system_error ? std::string("other failure: ") + e.what() : e.what();
  }
}

TEST_F(StoreTest, BrokenDatabaseInReadOnlyFolderNamesBothProblems) {
  // The broken file cannot be replaced because its folder is read-only: the
  // failure says why the file had to go, not only that deleting it failed.
  auto folder = dir_ / "ro";
  std::filesystem::create_directory(folder);
  auto path = folder / "cache.sqlite";
  std::ofstream(path) << "this is not a database\n";
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), NOBODY, NOBODY), 0);
    ASSERT_EQ(::chown(path.c_str(), NOBODY, NOBODY), 0);
  }
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  std::string text = as_ordinary_user([&] { return failure_of_store(path, true); });
  ::chmod(folder.c_str(), 0755);
  EXPECT_NE(text.find(path.string()), std::string::npos) << text;
  EXPECT_NE(text.find("file is not a database"), std::string::npos) << text;
  EXPECT_NE(text.find("Permission denied"), std::string::npos) << text;
}

// A cache folder its user may not enter: the failure names the file and the
// system's reason.
TEST_F(StoreTest, UnreadableFolderIsNamed) {
  auto folder = dir_ / "locked";
  std::filesystem::create_directory(folder);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), NOBODY, NOBODY), 0);
  }
  ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
  auto path = folder / "cache.sqlite";
  std::string text = as_ordinary_user([&] { return failure_of_store(path, false); });
  ::chmod(folder.c_str(), 0755);
  EXPECT_EQ(text, "Cannot open the cache '" + path.string() +
                      "': unable to open database file (Permission denied)");
}

// A full disk is no reason to give up the entries: whatever fails on it, the
// file and its entries are there once space is back.
TEST_F(StoreTest, FullDiskKeepsTheEntries) {
  testing::SmallDisk disk(dir_ / "disk", 256 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << disk.why_not();
  auto path = disk.path() / "cache.sqlite";
  {
    SQLiteDiskCache store(path);
    for (int i = 0; i < 20; ++i) store.set("k" + std::to_string(i), std::string(200, 'x'));
  }
  disk.fill();
  std::string failure;
  try {
    SQLiteDiskCache store(path);
    store.get("k1");
    store.set("big", std::string(100000, 'y'));
  } catch (const DatabaseError& e) {
    failure = e.what();
  }
  EXPECT_TRUE(failure.find("No space left on device") != std::string::npos ||
              failure.find("full") != std::string::npos)
      << failure;
  disk.free();
  SQLiteDiskCache store(path);
  EXPECT_EQ(store.get("k1", MINE), std::string(200, 'x')) << failure;
  EXPECT_EQ(store.get("k19", MINE), std::string(200, 'x'));
  EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
}
#endif  // !_WIN32

// Pages damaged behind an intact schema: opening works, every read of the
// table says "database disk image is malformed". The file is replaced once
// and the operation goes on with the fresh file.
TEST_F(StoreTest, MalformedFileIsReplacedByTheOperationThatFindsIt) {
  auto path = dir_ / "cache.sqlite";
  SQLiteDiskCache(path).set("k", 0);
  query(path,
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199) "
        "INSERT INTO cache SELECT 'k' || i, zeroblob(300), NULL, 0 FROM n");
  const auto size = std::filesystem::file_size(path);
  ASSERT_GT(size, 8 * 4096u);
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096);  // page 1 (header and schema) stays
    file << std::string(size - 4096, '\x5a');
  }
  SQLiteDiskCache store(path);
  using Op = std::function<void(SQLiteDiskCache&)>;
  const std::vector<std::pair<const char*, Op>> ops = {
      {"get", [](SQLiteDiskCache& s) { EXPECT_EQ(s.get("k1"), std::nullopt); }},
      {"set", [](SQLiteDiskCache& s) { s.set("new", 1); }},
      {"delete", [](SQLiteDiskCache& s) { s.delete_("k1"); }},
      {"clear", [](SQLiteDiskCache& s) { s.clear(); }},
      {"prune", [](SQLiteDiskCache& s) { s.prune_expired(); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    {
      std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(4096);
      file << std::string(4096, '\x5a');  // the table's root page
    }
    EXPECT_NO_THROW(op(store));
    store.set("after", 2);
    EXPECT_EQ(store.get("after", MINE), 2);
    EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  }
}

#ifndef _WIN32  // FIFOs, mode bits and fork
// What stands in the file's place is named, and nothing waits on a FIFO.
TEST_F(StoreTest, NonRegularFileInPlaceIsNamed) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    const char* says;
  };
  const Case cases[] = {
      {"folder", [](const auto& p) { std::filesystem::create_directory(p); }, "it is a folder"},
      {"fifo", [](const auto& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "it is not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto path = dir_ / c.name / "cache.sqlite";
    std::filesystem::create_directories(path.parent_path());
    c.make(path);
    try {
      SQLiteDiskCache store(path);
      FAIL() << "no error";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open the cache '" + path.string() + "': " + c.says);
    }
    EXPECT_TRUE(std::filesystem::exists(path));  // left for the user to look at
  }
}

TEST_F(StoreTest, FilesAreOwnerOnly) {
  ::mode_t old = ::umask(022);
  auto path = dir_ / "cache.sqlite";
  SQLiteDiskCache store(path);
  EXPECT_EQ(mode_of(path), 0600);

  // While a write is open the log file exists; it has the same mode.
  SQLiteConnScope scope(path);
  sqlite3* con = scope.enter();
  scope.begin_change();
  ASSERT_EQ(
      sqlite3_exec(con, "INSERT INTO cache VALUES('k', X'f6', NULL, 0)", nullptr, nullptr, nullptr),
      SQLITE_OK);
  for (const char* suffix : {"-wal", "-shm"}) {
    auto companion = path;
    companion += suffix;
    ASSERT_TRUE(std::filesystem::exists(companion)) << suffix;
    EXPECT_EQ(mode_of(companion), 0600) << suffix;
  }
  scope.exit(false);

  // A file left readable by others is narrowed when a store opens it.
  auto loose = dir_ / "loose.sqlite";
  std::ofstream(loose).close();
  std::filesystem::permissions(loose, std::filesystem::perms(0644));
  SQLiteDiskCache opened(loose);
  EXPECT_EQ(mode_of(loose), 0600);
  ::umask(old);
}

TEST_F(StoreTest, ConcurrentProcessesShareOneFile) {
  auto path = dir_ / "shared" / "cache.sqlite";
  SQLiteDiskCache(path).set("seed", 0);
  constexpr int kProcesses = 4;
  constexpr int kRounds = 300;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        SQLiteDiskCache store(path);  // as a separate run of the tool would
        for (int i = 0; i < kRounds; ++i) {
          std::string own = "p" + std::to_string(p) + "-" + std::to_string(i % 50);
          store.set(own, json{{"p", p}, {"i", i}},
                    (i % 3 == 0) ? std::optional<double>(60.0) : std::nullopt);
          if (store.get(own) != json{{"p", p}, {"i", i}}) status = 2;
          store.set("shared", i);
          std::optional<json> shared = store.get("shared");
          if (!shared || !shared->is_number_integer()) status = 3;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child %d: %s\n", p, e.what());
        status = 1;
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_EQ(query(path, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(query(path, "SELECT count(*) FROM cache"),
            std::vector<std::string>{std::to_string(kProcesses * 50 + 2)});
}
#endif  // !_WIN32

}  // namespace
}  // namespace keelbox

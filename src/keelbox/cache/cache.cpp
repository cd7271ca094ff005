#include "keelbox/cache/cache.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>

#include "keelbox/cache/owner_only.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/platform/files.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox {
namespace fs = std::filesystem;

namespace {

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void throw_db(sqlite3* con) {
  if (!con) throw SQLiteError("out of memory", "out of memory", SQLITE_NOMEM, 0);
  std::string message = sqlite3_errmsg(con);
  throw SQLiteError(message, message, sqlite3_extended_errcode(con), sqlite3_system_errno(con));
}

// Errors of the disk or the system rather than of the file: deleting the
// file would lose its entries and mend nothing.
bool resource_errno(int err) {
#ifdef EDQUOT
  if (err == EDQUOT) return true;
#endif
  return err == ENOSPC || err == EIO || err == EFBIG || err == ENOMEM || err == EMFILE ||
         err == ENFILE || err == EINTR;
}

// A file whose content the engine cannot read: not a database, malformed.
bool is_damaged(const SQLiteError& e) {
  int primary = e.code() & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// A file a store cannot start with and may replace: damaged, or one that
// cannot be opened, is read-only or stays locked, unless the disk or the
// system is the cause.
bool is_unusable(const SQLiteError& e) {
  if (is_damaged(e)) return true;
  int primary = e.code() & 0xff;
  if (primary != SQLITE_CANTOPEN && primary != SQLITE_READONLY && primary != SQLITE_BUSY &&
      primary != SQLITE_LOCKED) {
    return false;
  }
  return !resource_errno(e.system_errno());
}

// One prepared statement, finalised when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* con, const std::string& sql) : con_(con) {
    if (sqlite3_prepare_v2(con, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
      throw_db(con);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }

  void bind_text(int i, const std::string& text) {
    check(
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  }
  void bind_blob(int i, const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) {
      check(sqlite3_bind_zeroblob(stmt_, i, 0));
    } else {
      check(sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()),
                              SQLITE_TRANSIENT));
    }
  }
  void bind_real(int i, std::optional<double> value) {
    check(value ? sqlite3_bind_double(stmt_, i, *value) : sqlite3_bind_null(stmt_, i));
  }
  // True when a row is ready, false when the statement has finished.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw_db(con_);
  }
  std::vector<std::uint8_t> column_blob(int i) {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, i));
    int size = sqlite3_column_bytes(stmt_, i);
    if (!data || size <= 0) return {};
    return {data, data + size};
  }
  std::string column_text(int i) {
    const unsigned char* text = sqlite3_column_text(stmt_, i);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  std::optional<double> column_real(int i) {
    if (sqlite3_column_type(stmt_, i) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(stmt_, i);
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) throw_db(con_);
  }
  sqlite3* con_;
  sqlite3_stmt* stmt_ = nullptr;
};

void exec(sqlite3* con, const char* sql) {
  if (sqlite3_exec(con, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw_db(con);
}

// Runs `body` with an entered connection scope; commits on a normal return,
// rolls back when `body` throws, and closes in both cases.
template <class Body>
auto in_scope(SQLiteConnScope scope, Body&& body) {
  sqlite3* con = scope.enter();
  using Result = decltype(body(scope, con));
  if constexpr (std::is_void_v<Result>) {
    try {
      body(scope, con);
    } catch (...) {
      scope.exit(true);
      throw;
    }
    scope.exit(false);
  } else {
    std::optional<Result> result;
    try {
      result.emplace(body(scope, con));
    } catch (...) {
      scope.exit(true);
      throw;
    }
    scope.exit(false);
    return std::move(*result);
  }
}

// Deletes the database file (only that file; a folder in its place stays).
// SQLite discards a write-ahead log left beside an empty database file, so
// the log of the deleted file is never replayed into the fresh one. `why` is
// the database error that made the file unusable; a failed deletion names it,
// since it is the problem the user has to solve (a read-only cache folder).
void remove_database_file(const fs::path& path, const std::string& why) {
  std::error_code ec;
  fs::file_status st = fs::symlink_status(path, ec);
  if (ec || !fs::exists(st) || fs::is_directory(st)) return;
  if (!fs::remove(path, ec) && ec) {
    throw FileSystemError("Cannot use the cache " + path_to_utf8(path) + " (" + why +
                          ") nor delete it: " + ec.message());
  }
}

std::string table() { return SQLiteDiskCache::TABLE; }

}  // namespace

// ---- connection scope -----------------------------------------------------

SQLiteConnScope::SQLiteConnScope(fs::path path, double timeout)
    : _path(std::move(path)), _timeout(timeout) {}

SQLiteConnScope::SQLiteConnScope(SQLiteConnScope&& other) noexcept
    : _path(std::move(other._path)),
      _timeout(other._timeout),
      _con(std::exchange(other._con, nullptr)) {}

SQLiteConnScope::~SQLiteConnScope() {
  if (_con) {
    if (!sqlite3_get_autocommit(_con)) sqlite3_exec(_con, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(_con);
  }
}

sqlite3* SQLiteConnScope::enter() {
  const std::string prefix = "Cannot open the cache '" + path_to_utf8(_path) + "': ";
  // The database file is created owner-only before SQLite opens it, so the
  // secrets it will hold are never readable by others, not even for a moment.
  // An existing file is used as it is; any other failure is left to SQLite,
  // which reports it as a database error.
  create_private_file(_path);
  // The engine would wait for a writer on a FIFO (or a pipe), forever.
  std::error_code kind_error;
  const FileKind kind = file_kind(_path, kind_error);
  if (kind != FileKind::Regular && kind != FileKind::Missing && kind != FileKind::Unknown) {
    throw DatabaseError(
        prefix + (kind == FileKind::Directory ? "it is a folder" : "it is not a regular file"));
  }
  sqlite3* con = nullptr;
  try {
    // SQLite takes file names as UTF-8 on every system.
    int rc = sqlite3_open_v2(path_to_utf8(_path).c_str(), &con,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      if (!con) throw SQLiteError(sqlite3_errstr(rc), sqlite3_errstr(rc), rc, 0);
      throw_db(con);
    }
    double ms = _timeout * 1000.0;
    sqlite3_busy_timeout(con, ms <= 0 ? 0 : ms >= 2147483647.0 ? 2147483647 : static_cast<int>(ms));
    exec(con, "PRAGMA journal_mode=WAL;");
    exec(con, "PRAGMA synchronous=NORMAL;");
  } catch (const SQLiteError& e) {
    sqlite3_close_v2(con);
    std::string reason = e.reason();
    if (e.system_errno() != 0) reason += std::string(" (") + std::strerror(e.system_errno()) + ")";
    throw SQLiteError(prefix + reason, reason, e.code(), e.system_errno());
  } catch (...) {
    sqlite3_close_v2(con);
    throw;
  }
  if (_con) sqlite3_close_v2(_con);  // a scope entered twice keeps the newest
  _con = con;
  return con;
}

void SQLiteConnScope::begin_change() {
  if (!_con) throw RuntimeError("SQLite connection is not open");
  if (sqlite3_get_autocommit(_con)) exec(_con, "BEGIN");
}

void SQLiteConnScope::exit(bool failed) {
  if (!_con) throw RuntimeError("SQLite connection is not open");
  sqlite3* con = std::exchange(_con, nullptr);
  if (failed) {
    if (!sqlite3_get_autocommit(con)) sqlite3_exec(con, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(con);
    return;
  }
  if (!sqlite3_get_autocommit(con) &&
      sqlite3_exec(con, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    std::string message = sqlite3_errmsg(con);
    int code = sqlite3_extended_errcode(con);
    int err = sqlite3_system_errno(con);
    if (!sqlite3_get_autocommit(con)) sqlite3_exec(con, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(con);
    throw SQLiteError(message, message, code, err);
  }
  sqlite3_close_v2(con);
}

// ---- store -----------------------------------------------------------------

SQLiteDiskCache::SQLiteDiskCache(fs::path path) : path_(std::move(path)) {
  fs::path parent = path_.parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec && !fs::is_directory(parent)) {
      throw FileSystemError("Cannot create " + path_to_utf8(parent) + ": " + ec.message());
    }
  }
  cache_detail::restrict_existing_files(path_);
  try {
    _init_db();
    return;
  } catch (const SQLiteError& e) {
    if (!is_unusable(e)) throw;
    _replace_file(e);
  }
}

void SQLiteDiskCache::_replace_file(const SQLiteError& why) {
  remove_database_file(path_, why.reason());
  _init_db();
}

// Runs `body` in a connection scope of its own; when it finds the file
// damaged, replaces the file and runs it once more.
template <class Body>
auto SQLiteDiskCache::_in_scope(Body&& body) {
  try {
    return in_scope(_conn(), body);
  } catch (const SQLiteError& e) {
    if (!is_damaged(e)) throw;
    _replace_file(e);
  }
  return in_scope(_conn(), body);
}

SQLiteConnScope SQLiteDiskCache::_conn() const { return SQLiteConnScope(path_); }

namespace {

// Throws a damaged-file error unless `cache` is the table this store makes:
// a view of that name, or a table of other columns (left by another program
// or a damaged file), would fail every operation of every run.
void check_table_form(sqlite3* con) {
  Statement kind(con, "SELECT type FROM sqlite_master WHERE name = '" + table() + "'");
  bool is_table = false;
  while (kind.step()) is_table = kind.column_text(0) == "table";
  std::vector<std::string> columns;
  Statement info(con, "SELECT name FROM pragma_table_info('" + table() + "') ORDER BY cid");
  while (info.step()) columns.push_back(info.column_text(0));
  const std::vector<std::string> expected = {"key", "value", "expires_at", "created_at"};
  if (!is_table || columns != expected) {
    const std::string reason = "its table " + table() + " is not of the cache's form";
    throw SQLiteError(reason, reason, SQLITE_CORRUPT, 0);
  }
}

}  // namespace

void SQLiteDiskCache::_init_db() {
  in_scope(_conn(), [](SQLiteConnScope&, sqlite3* con) {
    exec(con,
         ("CREATE TABLE IF NOT EXISTS " + table() +
          "(key TEXT PRIMARY KEY, value BLOB NOT NULL, expires_at REAL, created_at REAL NOT NULL)")
             .c_str());
    check_table_form(con);
    exec(con, (std::string("CREATE INDEX IF NOT EXISTS ") + IDX_EXPIRES + " ON " + table() +
               "(expires_at)")
                  .c_str());
  });
}

void SQLiteDiskCache::set(const std::string& key, const nlohmann::json& value,
                          std::optional<double> ttl) {
  double now = now_seconds();
  std::optional<double> expires_at;
  if (ttl) expires_at = now + *ttl;
  std::vector<std::uint8_t> bytes = serialize_value(value);
  _in_scope([&](SQLiteConnScope& scope, sqlite3* con) {
    scope.begin_change();
    Statement st(con,
                 "INSERT INTO " + table() +
                     "(key, value, expires_at, created_at) VALUES(?, ?, ?, ?) ON CONFLICT(key) "
                     "DO UPDATE SET value=excluded.value, expires_at=excluded.expires_at");
    st.bind_text(1, key);
    st.bind_blob(2, bytes);
    st.bind_real(3, expires_at);
    st.bind_real(4, now);
    st.step();
  });
}

std::optional<nlohmann::json> SQLiteDiskCache::get(const std::string& key) {
  double now = now_seconds();
  return _in_scope([&](SQLiteConnScope& scope, sqlite3* con) -> std::optional<nlohmann::json> {
    std::vector<std::uint8_t> bytes;
    std::optional<double> expires_at;
    {
      Statement st(con, "SELECT value, expires_at FROM " + table() + " WHERE key=?");
      st.bind_text(1, key);
      if (!st.step()) return std::nullopt;
      bytes = st.column_blob(0);
      expires_at = st.column_real(1);
    }
    auto remove_row = [&] {
      scope.begin_change();
      Statement del(con, "DELETE FROM " + table() + " WHERE key=?");
      del.bind_text(1, key);
      del.step();
    };
    if (expires_at && *expires_at <= now) {
      remove_row();
      return std::nullopt;
    }
    try {
      return deserialize_value(bytes);
    } catch (...) {
      remove_row();
      return std::nullopt;
    }
  });
}

nlohmann::json SQLiteDiskCache::get(const std::string& key, const nlohmann::json& default_value) {
  std::optional<nlohmann::json> hit = get(key);
  return hit ? std::move(*hit) : default_value;
}

void SQLiteDiskCache::delete_(const std::string& key) {
  _in_scope([&](SQLiteConnScope& scope, sqlite3* con) {
    scope.begin_change();
    Statement st(con, "DELETE FROM " + table() + " WHERE key=?");
    st.bind_text(1, key);
    st.step();
  });
}

void SQLiteDiskCache::clear() {
  _in_scope([&](SQLiteConnScope& scope, sqlite3* con) {
    scope.begin_change();
    Statement st(con, "DELETE FROM " + table());
    st.step();
  });
}

void SQLiteDiskCache::prune_expired() {
  double now = now_seconds();
  _in_scope([&](SQLiteConnScope& scope, sqlite3* con) {
    scope.begin_change();
    Statement st(con,
                 "DELETE FROM " + table() + " WHERE expires_at IS NOT NULL AND expires_at <= ?");
    st.bind_real(1, now);
    st.step();
  });
}

SQLiteDiskCache& _get_cache() {
  static std::unique_ptr<SQLiteDiskCache> cache;  // originally _CACHE
  // A run keeps one location; a test program that moves the user's folders
  // between tests gets the store of the folders in force.
  const fs::path file = _get_cache_file();
  if (!cache || cache->path() != file) cache = std::make_unique<SQLiteDiskCache>(file);
  return *cache;
}

// ---- serialisation and keys -----------------------------------------------

std::vector<std::uint8_t> serialize_value(const nlohmann::json& value) {
  return nlohmann::json::to_cbor(value);
}

nlohmann::json deserialize_value(const std::vector<std::uint8_t>& bytes) {
  return nlohmann::json::from_cbor(bytes);  // strict: the whole input must be one value
}

nlohmann::json default_memo_key(std::string_view module, std::string_view name,
                                const MemoArgs& args) {
  nlohmann::json positional = nlohmann::json::array();
  for (const auto& v : args.positional) positional.push_back(v);
  std::vector<std::pair<std::string, nlohmann::json>> keyword = args.keyword;
  std::stable_sort(keyword.begin(), keyword.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  nlohmann::json pairs = nlohmann::json::array();
  for (auto& [k, v] : keyword) pairs.push_back(nlohmann::json::array({k, std::move(v)}));
  return nlohmann::json::array(
      {std::string(module), std::string(name), std::move(positional), std::move(pairs)});
}

std::string memo_key_text(const nlohmann::json& key_object) {
  static constexpr char digits[] = "0123456789abcdef";
  std::vector<std::uint8_t> bytes = serialize_value(key_object);
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 0x0f]);
  }
  return text;
}

}  // namespace keelbox

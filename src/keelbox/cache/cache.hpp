#pragma once
// The disk cache store (one SQLite file with an optional expiry per entry) and
// the memoising wrapper built on it.
//
// Values and keys are serialised as CBOR (from the JSON library): a
// self-describing format that round-trips null, text, lists of records and the
// parsed package list.
//
// The file holds the access token and, inside the memo keys, the token id and
// secret: on POSIX it is created owner-only (0600) before SQLite opens it, and
// SQLite gives its -wal and -shm companions the same mode.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "keelbox/exceptions/exceptions.hpp"

namespace keelbox {

// A failure of the database engine. Besides the text it keeps the engine's
// extended result code and the system's error number behind it (0 when
// none), which tell a damaged file from a full disk. Shown as a DatabaseError.
class SQLiteError : public DatabaseError {
 public:
  SQLiteError(const std::string& message, std::string reason, int code, int system_errno)
      : DatabaseError(message),
        reason_(std::move(reason)),
        code_(code),
        system_errno_(system_errno) {}
  // The engine's own words, without the file's path.
  const std::string& reason() const noexcept { return reason_; }
  int code() const noexcept { return code_; }
  int system_errno() const noexcept { return system_errno_; }

 private:
  std::string reason_;
  int code_;
  int system_errno_;
};

// A connection scope: enter() opens and configures a connection (WAL journal,
// synchronous NORMAL, lock wait `timeout` seconds); exit() commits (normal
// leave) or rolls back (leave by an error) and always closes. The destructor
// rolls back and closes a scope that was entered but not left.
//
// Statements that change data run in one transaction, which begin_change()
// opens before the first of them (later calls are no-ops).
//
// Originally named _SQLiteConnCtx, and the table and index names below
// _TABLE and _IDX_EXPIRES; C++ reserves names that begin with an underscore
// and a capital letter, so they lost the underscore here.
class SQLiteConnScope {
 public:
  explicit SQLiteConnScope(std::filesystem::path path, double timeout = 30.0);
  SQLiteConnScope(const SQLiteConnScope&) = delete;
  SQLiteConnScope& operator=(const SQLiteConnScope&) = delete;
  SQLiteConnScope(SQLiteConnScope&& other) noexcept;
  ~SQLiteConnScope();

  // Throws DatabaseError naming the file when the connection cannot be
  // opened or configured (nothing stays open then). A path that is a folder,
  // a FIFO or another kind of non-regular file is refused before the engine
  // could block on it.
  sqlite3* enter();
  // Throws RuntimeError "SQLite connection is not open" when not entered.
  // After a normal leave (failed == false) a failing commit throws
  // DatabaseError; after a leave by an error a failing rollback is not
  // reported, so the error passing through stays the one the caller sees.
  // The connection is closed in every case.
  void exit(bool failed);

  // Opens the implicit transaction before a statement that changes data.
  void begin_change();

  const std::filesystem::path& path() const { return _path; }
  double timeout() const { return _timeout; }

 private:
  std::filesystem::path _path;
  double _timeout;
  sqlite3* _con = nullptr;
};

class SQLiteDiskCache {
 public:
  static constexpr const char* TABLE = "cache";
  static constexpr const char* IDX_EXPIRES = "idx_cache_expires";

  // Creates missing parent folders and the table and index. A file the
  // database engine cannot use (not a database, corrupt, cannot be opened,
  // read-only, locked beyond the lock wait) is deleted and created afresh,
  // once. A failure of the disk (full, quota, I/O error) never deletes the
  // file: it reaches the caller and the entries stay for a later run.
  //
  // The cache only holds what can be asked again: an operation that finds
  // the file damaged (not a database, malformed) replaces it the same way
  // and runs once more on the fresh file.
  explicit SQLiteDiskCache(std::filesystem::path path = "./cache.sqlite");

  // ttl in seconds; none: the entry never expires. An existing key keeps its
  // created_at.
  void set(const std::string& key, const nlohmann::json& value,
           std::optional<double> ttl = std::nullopt);
  // The stored value (a stored null included), or nullopt when the key is
  // missing, expired or unreadable (expired and unreadable rows are deleted).
  std::optional<nlohmann::json> get(const std::string& key);
  nlohmann::json get(const std::string& key, const nlohmann::json& default_value);
  void delete_(const std::string& key);
  void clear();
  void prune_expired();

  const std::filesystem::path& path() const { return path_; }

 private:
  void _init_db();
  void _replace_file(const SQLiteError& why);
  template <class Body>
  auto _in_scope(Body&& body);
  SQLiteConnScope _conn() const;
  std::filesystem::path path_;
};

// The process-wide store at _get_cache_file(), opened on first use (and again
// should that location change, as it does between tests).
SQLiteDiskCache& _get_cache();

// ---- memoisation --------------------------------------------------------

// The arguments of a memoised call: positional values in order, keyword
// arguments as (name, value) pairs in any order (the key sorts them by name).
struct MemoArgs {
  std::vector<nlohmann::json> positional;
  std::vector<std::pair<std::string, nlohmann::json>> keyword;
};

using MemoKeyFn = std::function<nlohmann::json(const MemoArgs&)>;

// The default key object: [module, name, [positional...], [[kw, value]...]]
// with the keyword pairs sorted by name (code-point order).
nlohmann::json default_memo_key(std::string_view module, std::string_view name,
                                const MemoArgs& args);
// Lowercase hex of the key object's serialisation: the text in the key column.
std::string memo_key_text(const nlohmann::json& key_object);

// Value serialisation shared by the store and the keys.
std::vector<std::uint8_t> serialize_value(const nlohmann::json& value);
nlohmann::json deserialize_value(const std::vector<std::uint8_t>& bytes);  // throws on bad bytes

// Memoises one operation. R converts to and from nlohmann::json. Failures of
// `fn` are never stored; errors of the store (and of the key function) reach
// the caller. A stored value that no longer converts to R counts as a miss and
// is replaced.
//
//   static const Memoized<std::string> token_request{"keelbox.api", "_access_token_request",
//   1800.0}; token_request(args, [&] { return ...; });
template <class R>
class Memoized {
 public:
  Memoized(std::string module, std::string name, std::optional<double> ttl = std::nullopt,
           MemoKeyFn key_fn = nullptr)
      : module_(std::move(module)), name_(std::move(name)), ttl_(ttl), key_fn_(std::move(key_fn)) {}

  // Through the process-wide store.
  template <class F>
  R operator()(const MemoArgs& args, F&& fn) const {
    return call_with_store(_get_cache(), args, std::forward<F>(fn));
  }

  // Through a given store.
  template <class F>
  R call_with_store(SQLiteDiskCache& store, const MemoArgs& args, F&& fn) const {
    nlohmann::json key_object = key_fn_ ? key_fn_(args) : default_memo_key(module_, name_, args);
    std::string key = memo_key_text(key_object);
    if (std::optional<nlohmann::json> hit = store.get(key)) {
      if constexpr (std::is_same_v<R, nlohmann::json>) {
        return std::move(*hit);
      } else {
        try {
          return hit->template get<R>();
        } catch (const nlohmann::json::exception&) {
          // Stored in another shape (an older layout): compute afresh below.
        } catch (const ValidationError&) {
        }
      }
    }
    R result = std::forward<F>(fn)();
    store.set(key, nlohmann::json(result), ttl_);
    return result;
  }

  const std::optional<double>& ttl() const { return ttl_; }

 private:
  std::string module_;
  std::string name_;
  std::optional<double> ttl_;
  MemoKeyFn key_fn_;
};

}  // namespace keelbox

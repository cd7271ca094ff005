#pragma once
// A throw-away folder per test and direct access to the cache table.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "../support/portable.hpp"
#include "keelbox/platform/wide.hpp"

namespace keelbox::testing {

class CacheFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir("keelbox-cache"); }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Runs one SQL statement on `db` and returns the first column of every row
  // as text ("NULL" for null).
  static std::vector<std::string> query(const std::filesystem::path& db, const std::string& sql) {
    sqlite3* con = nullptr;
    EXPECT_EQ(sqlite3_open(keelbox::path_to_utf8(db).c_str(), &con), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(con, sql.c_str(), -1, &st, nullptr), SQLITE_OK)
        << sqlite3_errmsg(con);
    std::vector<std::string> rows;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(st, 0);
      rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(con);
    sqlite3_finalize(st);
    sqlite3_close(con);
    return rows;
  }

  static std::optional<double> real_column(const std::filesystem::path& db,
                                           const std::string& column, const std::string& key) {
    auto rows = query(db, "SELECT " + column + " FROM cache WHERE key='" + key + "'");
    if (rows.empty() || rows[0] == "NULL") return std::nullopt;
    return std::stod(rows[0]);
  }

  std::filesystem::path dir_;
};

}  // namespace keelbox::testing

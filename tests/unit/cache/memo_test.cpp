#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "cache_fixture.hpp"
#include "keelbox/cache/cache.hpp"
#include "keelbox/config/config.hpp"
#include "keelbox/exceptions/exceptions.hpp"
#include "keelbox/models/models.hpp"

namespace keelbox {
namespace {

using json = nlohmann::json;

class MemoTest : public testing::CacheFolderTest {
 protected:
  void SetUp() override {
    CacheFolderTest::SetUp();
    store_.emplace(dir_ / "cache.sqlite");
  }
  SQLiteDiskCache& store() { return *store_; }
  std::optional<SQLiteDiskCache> store_;
};

MemoArgs credentials(const std::string& id, const std::string& secret) {
  return MemoArgs{{}, {{"TOKEN_USERNAME", id}, {"TOKEN_SECRET", secret}}};
}

TEST(MemoKey, DefaultKeySortsKeywordsAndSeparatesPositional) {
  EXPECT_EQ(default_memo_key("keelbox.api", "_access_token_request", credentials("id", "s")),
            json::parse(R"(["keelbox.api", "_access_token_request", [],
                            [["TOKEN_SECRET", "s"], ["TOKEN_USERNAME", "id"]]])"));
  EXPECT_EQ(default_memo_key("keelbox.modules", "get_packages", {}),
            json::parse(R"(["keelbox.modules", "get_packages", [], []])"));

  // The same value given positionally and by keyword makes different keys.
  std::string positional = memo_key_text(default_memo_key("m", "f", MemoArgs{{"x"}, {}}));
  std::string keyword = memo_key_text(default_memo_key("m", "f", MemoArgs{{}, {{"a", "x"}}}));
  EXPECT_NE(positional, keyword);

  // Lowercase hex, two digits per byte, of the serialised key object.
  std::string text = memo_key_text(json::array({"m", "f"}));
  EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                          [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }));
  EXPECT_EQ(text, "82616d6166");
}

TEST_F(MemoTest, NullResultIsStoredAndReturned) {
  Memoized<json> memo{"tests.memo", "returns_null", 60.0};
  int calls = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(memo.call_with_store(store(), {},
                                   [&] {
                                     ++calls;
                                     return json(nullptr);
                                   }),
              nullptr);
  }
  EXPECT_EQ(calls, 1);
}

TEST_F(MemoTest, FailuresAreNeverStored) {
  Memoized<std::string> memo{"tests.memo", "flaky"};
  int calls = 0;
  auto fn = [&]() -> std::string {
    if (++calls == 1) throw std::runtime_error("service down");
    return "token";
  };
  EXPECT_THROW(memo.call_with_store(store(), {}, fn), std::runtime_error);
  EXPECT_TRUE(query(store().path(), "SELECT key FROM cache").empty());
  EXPECT_EQ(memo.call_with_store(store(), {}, fn), "token");
  EXPECT_EQ(memo.call_with_store(store(), {}, fn), "token");
  EXPECT_EQ(calls, 2);
}

TEST_F(MemoTest, CredentialsDistinguishEntries) {
  Memoized<std::string> memo{"keelbox.api", "_access_token_request", 1800.0};
  struct Call {
    const char* id;
    const char* secret;
    bool runs;
  };
  const std::vector<Call> calls = {
      {"alice", "s1", true},  {"bob", "s1", true},  {"alice", "s2", true},
      {"alice", "s1", false}, {"bob", "s1", false}, {"alice", "s2", false},
  };
  for (const Call& c : calls) {
    bool ran = false;
    std::string token = memo.call_with_store(store(), credentials(c.id, c.secret), [&] {
      ran = true;
      return std::string("token-") + c.id + "-" + c.secret;
    });
    EXPECT_EQ(ran, c.runs) << c.id << "/" << c.secret;
    EXPECT_EQ(token, std::string("token-") + c.id + "-" + c.secret);
  }
}

TEST_F(MemoTest, KeyFunctionSharesOneEntry) {
  MemoKeyFn lower = [](const MemoArgs& args) {
    std::string name = args.positional.at(0).get<std::string>();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return json(name);
  };
  Memoized<std::string> memo{"tests.memo", "lookup", std::nullopt, lower};
  int calls = 0;
  auto fn = [&] { return "result-" + std::to_string(++calls); };
  EXPECT_EQ(memo.call_with_store(store(), MemoArgs{{"ZVK"}, {}}, fn), "result-1");
  EXPECT_EQ(memo.call_with_store(store(), MemoArgs{{"zvk"}, {}}, fn), "result-1");
  EXPECT_EQ(memo.call_with_store(store(), MemoArgs{{"other"}, {}}, fn), "result-2");

  // An error of the key function reaches the caller; fn does not run.
  EXPECT_THROW(memo.call_with_store(store(), {}, fn), std::out_of_range);
  EXPECT_EQ(calls, 2);
}

TEST_F(MemoTest, TtlDecidesWhenTheOperationRunsAgain) {
  struct Case {
    std::optional<double> ttl;
    int expected_calls;  // after three calls
  };
  for (const Case& c : std::vector<Case>{{0.0, 3}, {-1.0, 3}, {1800.0, 1}, {std::nullopt, 1}}) {
    const Memoized<int> memo{"tests.memo", "ttl" + std::to_string(c.ttl.value_or(99999)), c.ttl};
    int calls = 0;
    for (int i = 0; i < 3; ++i) memo.call_with_store(store(), {}, [&] { return ++calls; });
    EXPECT_EQ(calls, c.expected_calls) << c.ttl.value_or(99999);
  }
}

TEST_F(MemoTest, EntitlementListsRoundTrip) {
  Memoized<std::vector<KeelboxEntitlement>> memo{"keelbox.modules", "get_user_entitlements", 30.0};
  const std::vector<KeelboxEntitlement> list = {
      {"Sample App", "ENT_ZVK_SAMPLE_APP", {"zvk-sample-app", "zvk-core"}, {"ENT_PKG_BASE"}}};
  int calls = 0;
  auto fn = [&] {
    ++calls;
    return list;
  };
  EXPECT_EQ(memo.call_with_store(store(), {}, fn), list);
  EXPECT_EQ(memo.call_with_store(store(), {}, fn), list);
  EXPECT_EQ(calls, 1);
}

TEST_F(MemoTest, StoredValueOfAnotherShapeIsAMiss) {
  Memoized<std::vector<KeelboxEntitlement>> memo{"keelbox.modules", "get_user_entitlements", 30.0};
  std::string key = memo_key_text(default_memo_key("keelbox.modules", "get_user_entitlements", {}));
  store().set(key, json::array({{{"name", 1}}}));
  int calls = 0;
  auto fn = [&] {
    ++calls;
    return std::vector<KeelboxEntitlement>{};
  };
  EXPECT_TRUE(memo.call_with_store(store(), {}, fn).empty());
  EXPECT_EQ(store().get(key), json::array());
  EXPECT_EQ(calls, 1);
}

TEST_F(MemoTest, StoreErrorsReachTheCaller) {
  Memoized<int> memo{"tests.memo", "store_error"};
  std::filesystem::remove(store().path());
  std::filesystem::create_directory(store().path());  // nothing can open it now
  bool ran = false;
  EXPECT_THROW(memo.call_with_store(store(), {},
                                    [&] {
                                      ran = true;
                                      return 1;
                                    }),
               DatabaseError);
  EXPECT_FALSE(ran);
}

TEST_F(MemoTest, ProcessWideStoreLivesAtTheCacheFile) {
  testing::set_env("XDG_CACHE_HOME", (dir_ / "xdg-cache").string());
  testing::set_env("HOME", dir_.string());
  testing::set_env("LOCALAPPDATA", (dir_ / "local").string());
  Memoized<std::string> memo{"tests.memo", "process_wide", 60.0};
  EXPECT_EQ(memo(MemoArgs{}, [] { return std::string("value"); }), "value");
  EXPECT_EQ(memo(MemoArgs{}, [] { return std::string("other"); }), "value");
  EXPECT_EQ(_get_cache().path(), _get_cache_file());
  EXPECT_EQ(&_get_cache(), &_get_cache());
#ifndef _WIN32  // owner-only through the mode bits; Windows has none
  struct stat st {};
  ASSERT_EQ(::stat(_get_cache_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
#endif
}

}  // namespace
}  // namespace keelbox

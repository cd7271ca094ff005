// Linux only: the forwarding entries start real children (the uv stand-in, a Python script).
#include "keelbox/uv/uv.hpp"

#include <gtest/gtest.h>

#include "keelbox/exceptions/exceptions.hpp"
#include "uv_test_support.hpp"

namespace keelbox {
namespace {

using testing::TempDir;
using V = std::vector<std::string>;

TEST(UvForwarding, EntriesPassEveryArgumentAfterTheProgramName) {
  testing::install_uv_standin();
  // The forwarding entries start real children: uv is the stand-in, which
  // refuses to work without a target environment holding a python.
  TempDir empty;
  std::vector<std::string> store = {"keelbox-uv", "pip", "show", "zvk-tracer"};
  std::vector<char*> argv;
  for (auto& s : store) argv.push_back(s.data());
  argv.push_back(nullptr);
  testing::ScopedEnv env{{"VIRTUAL_ENV", empty.path().string()},
                         {"CONDA_PREFIX", std::nullopt},
                         {"UV_STANDIN_LOG", (empty / "log.jsonl").string()}};
  ::testing::internal::CaptureStderr();
  EXPECT_NO_THROW(run_uv_from_sysargs(4, argv.data()));
  try {
    run_uv_in_pythonfrom_sysargs(4, argv.data());
    ADD_FAILURE();
  } catch (const KeelboxUVException& e) {
    EXPECT_STREQ(e.what(), "Error running uv with ('pip', 'show', 'zvk-tracer')");
  }
  ::testing::internal::GetCapturedStderr();
  auto lines = testing::read_uv_log(empty / "log.jsonl");
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_EQ(line["argv"].get<V>(), (V{"pip", "show", "zvk-tracer"}));
}

}  // namespace
}  // namespace keelbox

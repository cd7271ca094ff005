// The memoising wrapper over a real cache file: a hit, and a miss that runs
// the operation and stores its result.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "keelbox/cache/cache.hpp"

namespace {

std::filesystem::path make_temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "keelbox-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) std::abort();
  return tmpl;
}

const keelbox::MemoArgs kCredentials{
    {}, {{"TOKEN_USERNAME", "bench-id"}, {"TOKEN_SECRET", "bench-secret"}}};

void BM_MemoHit(benchmark::State& state) {
  auto dir = make_temp_dir();
  keelbox::SQLiteDiskCache store(dir / "cache.sqlite");
  const keelbox::Memoized<std::string> memo{"keelbox.api", "_access_token_request", 1800.0};
  memo.call_with_store(store, kCredentials, [] { return std::string(900, 't'); });
  for (auto _ : state) {
    std::string token =
        memo.call_with_store(store, kCredentials, [] { return std::string("miss"); });
    benchmark::DoNotOptimize(token);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_MemoHit)->Unit(benchmark::kMicrosecond);

void BM_MemoMissAndStore(benchmark::State& state) {
  auto dir = make_temp_dir();
  keelbox::SQLiteDiskCache store(dir / "cache.sqlite");
  // A ttl of zero expires every entry at once, so each call misses, runs the
  // operation, and stores (overwriting) the result.
  const keelbox::Memoized<std::string> memo{"keelbox.api", "_access_token_request", 0.0};
  for (auto _ : state) {
    std::string token =
        memo.call_with_store(store, kCredentials, [] { return std::string(900, 't'); });
    benchmark::DoNotOptimize(token);
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_MemoMissAndStore)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

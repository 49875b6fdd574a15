// Benchmarks of the B-tree index: building an index key by key, and
// searching an index of 100,000 and 1,000,000 keys. The counters report the
// pages read per operation (the cost that matters once the file no longer
// fits the page cache) and the height of the tree.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "engine/codec.h"
#include "engine/file.h"
#include "engine/index.h"
#include "engine/index_check.h"

namespace zt {
namespace {

// Keys as the server builds them: table name, column name, value; numbers
// right-justified. Values repeat so that runs of equal keys exist.
std::string BenchKey(std::mt19937& random, int64_t distinct) {
  const auto value = static_cast<int64_t>(random() % static_cast<uint32_t>(distinct));
  if (value % 2 == 0) return "OrdersId" + PadLeft(std::to_string(value), 10);
  return "CustomersName" + PadRight("name" + std::to_string(value * 7919 % 1000003), 24);
}

struct BuiltIndex {
  std::string path;
  std::unique_ptr<IndexFile> index;
  int height = 0;
  ~BuiltIndex() {
    index.reset();
    FileDelete(path);
  }
};

std::unique_ptr<BuiltIndex> Build(int64_t keys, double* seconds, int64_t* page_reads) {
  auto built = std::make_unique<BuiltIndex>();
  built->path = MakeUniqueTempFile("ztbench-", "zix");
  built->index = std::make_unique<IndexFile>();
  if (built->path.empty() || !built->index->IndexCreate(built->path) ||
      !built->index->IndexOpen(built->path, 0)) {
    return nullptr;
  }
  std::mt19937 random(42);
  const auto start = std::chrono::steady_clock::now();
  for (int64_t i = 0; i < keys; ++i) {
    if (!built->index->IndexInsert(BenchKey(random, keys / 2), i)) return nullptr;
  }
  if (seconds != nullptr) {
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (page_reads != nullptr) *page_reads = built->index->page_reads();
  IndexCheckResult check;
  CheckIndex(built->index->handle(), check);
  built->height = check.height;
  return built;
}

// One iteration builds a whole index of state.range(0) keys.
void BM_IndexInsert(benchmark::State& state) {
  const int64_t keys = state.range(0);
  int64_t page_reads = 0;
  int height = 0;
  for (auto _ : state) {
    double seconds = 0;
    auto built = Build(keys, &seconds, &page_reads);
    if (!built) {
      state.SkipWithError("cannot build the index");
      return;
    }
    height = built->height;
    state.SetIterationTime(seconds);
  }
  state.SetItemsProcessed(state.iterations() * keys);
  state.counters["page_reads_per_insert"] =
      static_cast<double>(page_reads) / static_cast<double>(keys);
  state.counters["height"] = height;
}
BENCHMARK(BM_IndexInsert)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BuiltIndex* Cached(int64_t keys) {
  static std::map<int64_t, std::unique_ptr<BuiltIndex>> cache;
  auto& slot = cache[keys];
  if (!slot) slot = Build(keys, nullptr, nullptr);
  return slot.get();
}

void BM_IndexSeekGE(benchmark::State& state) {
  BuiltIndex* built = Cached(state.range(0));
  if (built == nullptr) {
    state.SkipWithError("cannot build the index");
    return;
  }
  std::mt19937 random(7);
  IndexCursor cursor;
  int64_t found = 0;
  built->index->ResetPageReads();
  for (auto _ : state) {
    found += built->index->IndexSeekGE(BenchKey(random, state.range(0)), cursor);
  }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations());
  state.counters["page_reads_per_seek"] =
      static_cast<double>(built->index->page_reads()) / static_cast<double>(state.iterations());
  state.counters["height"] = built->height;
}
BENCHMARK(BM_IndexSeekGE)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// A seek followed by 20 steps, as a recordset reads a range of keys.
void BM_IndexSeekAndScan(benchmark::State& state) {
  BuiltIndex* built = Cached(state.range(0));
  if (built == nullptr) {
    state.SkipWithError("cannot build the index");
    return;
  }
  std::mt19937 random(9);
  IndexCursor cursor;
  built->index->ResetPageReads();
  for (auto _ : state) {
    if (!built->index->IndexSeekGE(BenchKey(random, state.range(0)), cursor)) continue;
    for (int i = 0; i < 20 && built->index->IndexNext(cursor); ++i) {
    }
  }
  state.SetItemsProcessed(state.iterations() * 21);
  state.counters["page_reads_per_scan"] =
      static_cast<double>(built->index->page_reads()) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IndexSeekAndScan)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zt

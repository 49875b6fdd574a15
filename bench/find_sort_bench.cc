// Benchmarks of sorting a recordset through its temporary index and of
// finding a row in a sorted recordset (a linear scan in sorted order).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "bench_database.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"

namespace zt {
namespace {

// A database whose table People holds `rows` records with random names and
// numbers, and one recordset open on all of them. Loading takes a while, so
// each size is built once and shared by the benchmarks.
class LoadedTable {
 public:
  explicit LoadedTable(int rows) : bench_(Schema()) {
    Database* db = bench_.db();
    if (db == nullptr) return;
    std::mt19937 random(42);
    std::string err;
    for (int i = 0; i < rows; ++i) {
      std::string name;
      for (int k = 0; k < 8; ++k) name += static_cast<char>('a' + random() % 26);
      const std::string data = PadRight(name, 20) + PadLeft(std::to_string(random() % 1000000), 10);
      int64_t offset = -1;
      if (!db->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "People", &err)) {
        bench_.Fail();
        return;
      }
    }
    if (!bench_.rs()->CreateRecordset(handle_) || !bench_.rs()->RecordsetOpen(handle_, "People")) {
      bench_.Fail();
    }
  }
  Database* db() { return bench_.db(); }
  Recordsets* rs() { return bench_.rs(); }
  int32_t handle() const { return handle_; }

  static LoadedTable& Get(int rows) {
    static std::map<int, std::unique_ptr<LoadedTable>> tables;
    std::unique_ptr<LoadedTable>& table = tables[rows];
    if (!table) table = std::make_unique<LoadedTable>(rows);
    return *table;
  }

 private:
  static DatabaseSchema Schema() {
    DatabaseSchema schema;
    schema.tables.push_back(TableSchema{"People", {{"Name", 0, 20}, {"Num", 1, 10}}});
    return schema;
  }

  BenchDatabase bench_;
  int32_t handle_ = 0;
};

// One full sort per iteration, alternating the direction so that every
// iteration really reorders the rows.
void BM_RecordsetSort(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  const char* column = state.range(1) == 0 ? "Name" : "Num";
  LoadedTable& table = LoadedTable::Get(rows);
  if (table.db() == nullptr) {
    state.SkipWithError("cannot load the table");
    return;
  }
  int ascending = 1;
  for (auto _ : state) {
    if (!table.rs()->RecordsetSort(table.handle(), column, ascending)) {
      state.SkipWithError("sort failed");
      return;
    }
    ascending = !ascending;
  }
  state.SetItemsProcessed(state.iterations() * rows);
  state.SetLabel(column);
}
BENCHMARK(BM_RecordsetSort)
    ->Args({10000, 0})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);

// Finds on a recordset already sorted by the column: no sort, one scan from
// the first row to the match. Random two-letter prefixes land all over the
// order, so a find scans about half the rows on average.
void BM_RecordsetFindRowSorted(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  LoadedTable& table = LoadedTable::Get(rows);
  if (table.db() == nullptr || !table.rs()->RecordsetSort(table.handle(), "Name", 1)) {
    state.SkipWithError("cannot load and sort the table");
    return;
  }
  std::mt19937 random(7);
  int64_t found = 0;
  for (auto _ : state) {
    const char prefix[3] = {static_cast<char>('a' + random() % 26),
                            static_cast<char>('a' + random() % 26), '\0'};
    found += table.rs()->RecordsetFindRow(table.handle(), "Name", prefix);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_RecordsetFindRowSorted)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zt

// Benchmarks of row editing through a recordset, without the network:
// storing a new row (add, three field values, update) in a recordset that
// already holds n rows, and rewriting one stored row in place. The update
// visits every row of its recordset, so its cost grows with n.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "bench_database.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"

namespace zt {
namespace {

// The LOAD table of bench/load.schema in a fresh folder, with recordset 1
// open on it.
class EditingBench {
 public:
  EditingBench() : bench_(Schema()) {
    if (db() != nullptr &&
        (!rs()->CreateRecordset(handle_) || !rs()->RecordsetOpen(handle_, "LOAD"))) {
      bench_.Fail();
    }
  }

  // Adds and stores one row with key id.
  bool StoreRow(int64_t id) {
    return rs()->RecordsetAddRow(context_, handle_) &&
           rs()->RecordsetSetFieldValue(context_, handle_, "ID", std::to_string(id).c_str()) &&
           rs()->RecordsetSetFieldValue(context_, handle_, "NAME", "Load Test Customer") &&
           rs()->RecordsetSetFieldValue(context_, handle_, "CITY", "Springfield") &&
           rs()->RecordsetUpdate(context_, handle_);
  }

  Database* db() { return bench_.db(); }
  Recordsets* rs() { return bench_.rs(); }
  int32_t handle() const { return handle_; }
  TransactionContext& context() { return context_; }

 private:
  static DatabaseSchema Schema() {
    DatabaseSchema schema;
    schema.tables.push_back(TableSchema{"LOAD",
                                        {{"ID", 1, 10, true, false},
                                         {"NAME", 0, 30, false, false},
                                         {"CITY", 0, 20, true, false},
                                         {"QTY", 1, 6, false, false}}});
    return schema;
  }

  BenchDatabase bench_;
  int32_t handle_ = 0;
  TransactionContext context_;
};

void BM_StoreNewRow(benchmark::State& state) {
  EditingBench bench;
  if (bench.db() == nullptr) return state.SkipWithError("cannot create the database");
  int64_t id = 0;
  for (; id < state.range(0); ++id) {
    if (!bench.StoreRow(id)) return state.SkipWithError("cannot store the initial rows");
  }
  for (auto _ : state) {
    if (!bench.StoreRow(id++)) return state.SkipWithError("cannot store a row");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreNewRow)->Arg(0)->Arg(1000)->Arg(10000);

void BM_UpdateRowInPlace(benchmark::State& state) {
  EditingBench bench;
  if (bench.db() == nullptr) return state.SkipWithError("cannot create the database");
  for (int64_t id = 0; id < state.range(0); ++id) {
    if (!bench.StoreRow(id)) return state.SkipWithError("cannot store the initial rows");
  }
  Recordsets& rs = *bench.rs();
  if (!rs.RecordsetMoveFirst(bench.handle())) return state.SkipWithError("no first row");
  int qty = 0;
  for (auto _ : state) {
    const std::string value = std::to_string(qty++ % 1000);
    if (!rs.RecordsetSetFieldValue(bench.context(), bench.handle(), "QTY", value.c_str()) ||
        !rs.RecordsetUpdate(bench.context(), bench.handle())) {
      return state.SkipWithError("cannot update the row");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateRowInPlace)->Arg(1)->Arg(1000)->Arg(10000);

}  // namespace
}  // namespace zt

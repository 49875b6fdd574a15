// Benchmarks of opening recordsets on a 100,000-record table (the scan path
// and the index path over a 1% key range) and of moving through the rows.
//
// The table is built once per program run and shared by the benchmarks; its
// resultset files go to the temporary folder like the server's do.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_database.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"

namespace zt {
namespace {

constexpr int kRecords = 100000;

// People with kRecords records, added through AddNewRecord.
class PeopleDatabase {
 public:
  PeopleDatabase() : bench_(Schema()) {
    Database* db = bench_.db();
    if (db == nullptr) return;
    // Ids in a scrambled order, so that the chain order (scan path) and
    // the key order (index path) differ.
    std::string err;
    for (int i = 0; i < kRecords; ++i) {
      const int id = static_cast<int>((static_cast<int64_t>(i) * 7919) % kRecords);
      const std::string data = PadLeft(std::to_string(id), 10) +
                               PadRight("name" + std::to_string(id), 30) +
                               PadLeft(std::to_string(id % 100), 3);
      int64_t offset = 0;
      if (!db->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "People", &err)) {
        bench_.Fail();
        return;
      }
    }
  }
  Database* db() { return bench_.db(); }
  Recordsets* rs() { return bench_.rs(); }

 private:
  static DatabaseSchema Schema() {
    DatabaseSchema schema;
    schema.tables.push_back(
        TableSchema{"People", {{"Id", 1, 10, true}, {"Name", 10, 30}, {"Age", 1, 3}}});
    return schema;
  }

  BenchDatabase bench_;
};

Recordsets* Shared() {
  static PeopleDatabase* database = new PeopleDatabase();  // lives for the program
  return database->rs();
}

struct Condition {
  const char* column;
  const char* op;
  const char* value;
};

// Opens one recordset with the given conditions over and over (each open
// replaces the previous rows).
void BenchOpen(benchmark::State& state, const std::vector<Condition>& conditions, int32_t rows) {
  Recordsets* rs = Shared();
  int32_t handle = 0;
  if (rs == nullptr || !rs->CreateRecordset(handle)) {
    state.SkipWithError("cannot build the database");
    return;
  }
  for (const Condition& c : conditions) {
    rs->RecordsetAddFilterColumn(handle, c.column, c.op, c.value, 1, 0);
  }
  int32_t count = 0;
  for (auto _ : state) {
    if (!rs->RecordsetOpen(handle, "People") || !rs->RecordsetGetRowCount(handle, count)) {
      state.SkipWithError("open failed");
      break;
    }
  }
  if (count != rows) state.SkipWithError("unexpected row count");
  state.counters["rows"] = count;
  state.SetItemsProcessed(state.iterations() * count);
  rs->RecordsetClose(handle);
}

// No condition: the table's chain, oldest first.
void BM_RecordsetOpenScan(benchmark::State& state) { BenchOpen(state, {}, kRecords); }
BENCHMARK(BM_RecordsetOpenScan)->Unit(benchmark::kMillisecond);

// A condition on a non-key column: the same walk, every record tested.
void BM_RecordsetOpenScanFiltered(benchmark::State& state) {
  BenchOpen(state, {{"Age", "<", "10"}}, kRecords / 10);
}
BENCHMARK(BM_RecordsetOpenScanFiltered)->Unit(benchmark::kMillisecond);

// 1% of the keys as a range: the index walk from one bound to the other,
// each record read once to test both conditions.
void BM_RecordsetOpenKeyRange(benchmark::State& state) {
  BenchOpen(state, {{"Id", ">=", "50000"}, {"Id", "<", "51000"}}, kRecords / 100);
}
BENCHMARK(BM_RecordsetOpenKeyRange)->Unit(benchmark::kMillisecond);

// 1% of the keys by a single condition: the index alone, no record read.
void BM_RecordsetOpenKeyTail(benchmark::State& state) {
  BenchOpen(state, {{"Id", ">=", "99000"}}, kRecords / 100);
}
BENCHMARK(BM_RecordsetOpenKeyTail)->Unit(benchmark::kMillisecond);

// One key by equality: a seek and a short walk, no record read.
void BM_RecordsetOpenKeyEqual(benchmark::State& state) {
  BenchOpen(state, {{"Id", "=", "50000"}}, 1);
}
BENCHMARK(BM_RecordsetOpenKeyEqual)->Unit(benchmark::kMicrosecond);

void BM_RecordsetMoveNext(benchmark::State& state) {
  Recordsets* rs = Shared();
  int32_t handle = 0;
  if (rs == nullptr || !rs->CreateRecordset(handle) || !rs->RecordsetOpen(handle, "People")) {
    state.SkipWithError("cannot open");
    return;
  }
  for (auto _ : state) {
    if (!rs->RecordsetMoveNext(handle)) rs->RecordsetMoveFirst(handle);
  }
  state.SetItemsProcessed(state.iterations());
  rs->RecordsetClose(handle);
}
BENCHMARK(BM_RecordsetMoveNext);

void BM_RecordsetMovePrev(benchmark::State& state) {
  Recordsets* rs = Shared();
  int32_t handle = 0;
  if (rs == nullptr || !rs->CreateRecordset(handle) || !rs->RecordsetOpen(handle, "People") ||
      !rs->RecordsetMoveLast(handle)) {
    state.SkipWithError("cannot open");
    return;
  }
  for (auto _ : state) {
    if (!rs->RecordsetMovePrev(handle)) rs->RecordsetMoveLast(handle);
  }
  state.SetItemsProcessed(state.iterations());
  rs->RecordsetClose(handle);
}
BENCHMARK(BM_RecordsetMovePrev);

}  // namespace
}  // namespace zt

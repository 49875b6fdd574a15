// Benchmarks of the data-record primitives: appending records and reading
// them back at random offsets.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_database.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/record.h"

namespace zt {
namespace {

// A table of record_length bytes per record.
DatabaseSchema OrdersSchema(int record_length) {
  DatabaseSchema schema;
  schema.tables.push_back(
      TableSchema{"Orders", {{"Id", 1, 10, true}, {"Body", 0, record_length - 10}}});
  return schema;
}

void BM_AppendDatabaseRecord(benchmark::State& state) {
  const auto length = static_cast<int32_t>(state.range(0));
  BenchDatabase bench(OrdersSchema(length));
  if (bench.db() == nullptr) {
    state.SkipWithError("cannot create the database");
    return;
  }
  const std::string data(static_cast<size_t>(length), 'x');
  int64_t previous = -1;
  std::string err;
  for (auto _ : state) {
    const RecordHeader header = RecordHeader::ForNewRecord("Orders", previous, length);
    if (!bench.db()->AppendDatabaseRecord(header, data, previous, &err)) {
      state.SkipWithError(err.c_str());
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() *
                          (length + static_cast<int64_t>(RecordHeader::kSize)));
}
BENCHMARK(BM_AppendDatabaseRecord)->Arg(100)->Arg(2000);

void BM_ReadDatabaseRecord(benchmark::State& state) {
  const auto length = static_cast<int32_t>(state.range(0));
  BenchDatabase bench(OrdersSchema(length));
  if (bench.db() == nullptr) {
    state.SkipWithError("cannot create the database");
    return;
  }
  const std::string data(static_cast<size_t>(length), 'x');
  std::vector<int64_t> offsets;
  std::string err;
  int64_t previous = -1;
  for (int i = 0; i < 100000; ++i) {
    const RecordHeader header = RecordHeader::ForNewRecord("Orders", previous, length);
    if (!bench.db()->AppendDatabaseRecord(header, data, previous, &err)) {
      state.SkipWithError(err.c_str());
      return;
    }
    offsets.push_back(previous);
  }
  std::mt19937 random(3);
  RecordHeader header;
  std::string read;
  int32_t got = 0;
  for (auto _ : state) {
    const int64_t offset = offsets[random() % offsets.size()];
    if (!bench.db()->ReadDatabaseRecord("Orders", header, read, offset, length, got, &err)) {
      state.SkipWithError(err.c_str());
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadDatabaseRecord)->Arg(100)->Arg(2000);

}  // namespace
}  // namespace zt

// Resultset generation: deciding which records of a table belong to a
// recordset and making one row (recordset/row.h) per record.
//
// Two ways, chosen from the lookup key RecordsetPreProcessFilterColumns
// recommends:
// - Index path (a condition on a key column with a value): a walk over the
//   index entries of table+column, as recordset/index_walk.h plans it,
//   returning every entry in its range that passes (whole runs of equal
//   keys included) in key order; a record is read, once, only where the
//   plan says the key alone cannot decide.
// - Scan path (everything else): the table's chain is walked from the
//   newest record back; live records that pass every condition are kept
//   and stand oldest first.
//
// Invariants: on success the recordset holds exactly the rows made; on
// failure it holds none. Rows are charged to the memory budget as they are
// made, so a table of any size cannot take more than the budget allows:
// past it the generation fails with a message.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/codec.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "recordset/data_window.h"
#include "recordset/index_walk.h"
#include "recordset/recordset.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

constexpr char kOverBudget[] =
    "RecordsetGenerateResultset: Not enough resultset memory (ResultsetMemory limit reached)";

// Reads records of the data file for the generation.
//
// A chain walk goes backwards through the file, record after record, so in
// read-behind mode the reader keeps a window of the file that ends just
// behind the record asked for and serves the records before it from
// memory: a table of 100,000 records then takes a few hundred reads instead
// of one per record. Otherwise (records in key order, scattered through the
// file) each record is read with one transfer where it can: the header
// together with the table's record length of data, and a second read only
// when the stored length is longer.
class RecordReader {
 public:
  RecordReader(FileHandle file, int32_t expected_length, bool read_behind)
      : window_(file,
                read_behind ? DataWindow::Direction::kBehind : DataWindow::Direction::kExact) {
    expected_ = expected_length < 0 ? 0 : static_cast<size_t>(expected_length);
    if (expected_ > static_cast<size_t>(kMaxRecordLength)) expected_ = kMaxRecordLength;
  }

  // Reads the header at offset into header; 0 when it cannot be read.
  int ReadHeader(int64_t offset, RecordHeader& header) {
    const char* bytes = window_.View(offset, RecordHeader::kSize + expected_);
    if (bytes == nullptr) bytes = window_.View(offset, RecordHeader::kSize);
    if (bytes == nullptr) return 0;
    std::memcpy(header.bytes.data(), bytes, RecordHeader::kSize);
    return 1;
  }

  // The data of the record whose header was read last; valid until the next
  // read. 0 when its length is damaged or the bytes cannot be read.
  int ReadData(int64_t offset, const RecordHeader& header, std::string_view& data) {
    const int32_t n = header.data_length();
    if (n < 0 || n > kMaxRecordLength) return 0;
    const char* bytes = window_.View(offset, RecordHeader::kSize + static_cast<size_t>(n));
    if (bytes == nullptr) return 0;
    data = std::string_view(bytes + RecordHeader::kSize, static_cast<size_t>(n));
    return 1;
  }

 private:
  DataWindow window_;
  size_t expected_ = 0;
};

// Whether the record's own value of the lookup column gives this key: an
// entry of another column that only looks like one of this column (or that
// points at the same record through another key column) is no row.
bool KeyComesFromRecord(std::string_view index_key, std::string_view table, const LookupKey& key,
                        std::string_view data) {
  const int64_t end = static_cast<int64_t>(key.offset) + key.size;
  if (key.offset < 0 || key.size < 0 || end > static_cast<int64_t>(data.size())) return false;
  const std::string_view value =
      data.substr(static_cast<size_t>(key.offset), static_cast<size_t>(key.size));
  return EqualNoCase(MakeIndexKey(table, key.column, value, key.size, key.type), index_key);
}

}  // namespace

int Recordsets::RecordsetGenerateResultset(Recordset& recordset) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(GenerateResultset(clock, recordset));
}

Task<int> Recordsets::GenerateResultset(SliceClock& clock, Recordset& recordset) {
  if (!database_.IsConnected()) {
    database_.SetError("RecordsetGenerateResultset: No database connection has been established!");
    co_return 0;
  }
  const std::string table(
      TrimBlanks(std::string_view(recordset.table_name).substr(0, kMaxNameLength)));
  LookupKey key;
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!RecordsetPreProcessFilterColumns(table.c_str(), recordset.filters, key, definition,
                                        definition_offset)) {
    database_.ReportError("RecordsetGenerateResultset: Error Processing Filter Columns");
    co_return 0;
  }
  recordset.ClearRows();
  over_budget_ = false;
  auto rows = std::make_shared<RowBlock>(budget_);
  const int ok = key.use_key && !TrimBlanks(key.value).empty()
                     ? co_await GenerateByIndex(clock, recordset, table, key, definition, *rows)
                     : co_await GenerateByScan(clock, recordset, table, definition, *rows);
  if (!ok) co_return 0;
  rows->Shrink();
  recordset.set_block(std::move(rows));
  co_return 1;
}

bool Recordsets::KeyPrefixIsAmbiguous(const TableDefinition& definition, std::string_view table,
                                      std::string_view column) {
  auto extends = [](std::string_view a, std::string_view b) {
    return !EqualNoCase(a, b) && (KeyHasPrefix(a, b) || KeyHasPrefix(b, a));
  };
  // Every column counts, key or not, live or dropped: the index may still
  // hold entries of a column that was a key column once.
  for (int f = 0; f < definition.column_count(); ++f) {
    if (extends(definition.column_name(f), column)) return true;
  }
  const DefinitionHeader* header = database_.HeaderView();
  if (header == nullptr) return true;
  for (int slot = 0; slot < header->table_count(); ++slot) {
    if (extends(header->table_name(slot), table)) return true;
  }
  return false;
}

Task<int> Recordsets::GenerateByIndex(SliceClock& clock, Recordset& recordset,
                                      const std::string& table, const LookupKey& key,
                                      const TableDefinition& definition, RowBlock& rows) {
  IndexWalkContext context;
  context.prefix_ambiguous = KeyPrefixIsAmbiguous(definition, table, key.column);
  // Another process's writes go uncounted, so in shared mode nothing is kept.
  context.may_keep_order = !database_.shared();
  context.known_order = [this](const std::string& name) -> const KeyOrder* {
    const auto it = numeric_key_order_.find(name);
    return it != numeric_key_order_.end() && it->second.stamp == database_.key_order_count()
               ? &it->second
               : nullptr;
  };
  IndexWalkPlan plan = PlanIndexWalk(table, key, recordset.filters, context);

  RecordReader reader(database_.data_file(), recordset.record_length, false);
  // Makes a row of the entry unless the record tells otherwise; false over
  // the budget.
  auto add = [&](std::string_view index_key, int64_t record) {
    if (plan.check_records) {
      RecordHeader header;
      std::string_view data;
      if (!reader.ReadHeader(record, header) || !header.has_marker() || header.superseded() ||
          !EqualNoCase(header.table(), table) || !reader.ReadData(record, header, data) ||
          !KeyComesFromRecord(index_key, table, key, data) ||
          !RecordsetRecordMeetsAllFilterCriteria(recordset.filters, data)) {
        return true;
      }
    }
    if (rows.Append(Row::Stored(record))) return true;
    database_.ReportError(kOverBudget);
    over_budget_ = true;
    return false;
  };
  // Adds the listed entries that come before index_key in the walk's
  // order (all that are left when index_key is null).
  size_t next_listed = 0;
  auto add_listed = [&](const std::string* index_key) {
    for (; next_listed < plan.listed.size(); ++next_listed) {
      const auto& [listed_key, record] = plan.listed[next_listed];
      if (index_key != nullptr) {
        const int order = CompareNoCase(listed_key, *index_key);
        if (plan.ascending ? order >= 0 : order <= 0) break;
      }
      if (!add(listed_key, record)) return false;
    }
    return true;
  };

  IndexCursor cursor;
  int found = plan.Seek(database_.index(), cursor);
  int64_t steps_left = IndexEntryBound(database_.index());
  std::string previous_key;
  // What a walk of the whole column learns: its entries out of order.
  std::vector<std::pair<std::string, int64_t>> out_of_order;
  bool complete = true;
  bool whole_column = false;
  while (true) {
    if (!found || !KeyHasPrefix(cursor.key, plan.prefix)) {
      whole_column = !plan.lower.set && !plan.upper.set;
      break;
    }
    // Index order is the walk's termination argument; a damaged file that
    // breaks it ends the walk.
    if (!previous_key.empty()) {
      const int order = CompareNoCase(cursor.key, previous_key);
      if (plan.ascending ? order < 0 : order > 0) break;
    }
    // Keys of a column whose name extends this one have another length.
    if (cursor.key.size() == plan.key_length) {
      if (plan.far().Excludes(cursor.key, !plan.ascending)) break;
      const std::string_view value_part = std::string_view(cursor.key).substr(plan.prefix.size());
      bool take = !plan.near().Excludes(cursor.key, plan.ascending);
      if (plan.numeric && !IsOrderedKeyValue(value_part)) {
        // Listed: taken (or not) in its place by add_listed.
        if (plan.ordered) take = false;
        if (complete && out_of_order.size() < kMaxOutOfOrderKeys) {
          out_of_order.emplace_back(cursor.key, cursor.record);
        } else {
          complete = false;
        }
      }
      take = take && plan.PassesKeyTests(value_part);
      if (take && (!add_listed(&cursor.key) || !add(cursor.key, cursor.record))) co_return 0;
    }
    if (--steps_left <= 0) break;
    co_await clock.Pause();
    previous_key = cursor.key;
    found = plan.ascending ? database_.index().IndexNext(cursor) : database_.index().IndexPrev(cursor);
  }
  if (!add_listed(nullptr)) co_return 0;
  if (!plan.order_name.empty() && !plan.ordered && whole_column) {
    if (!plan.ascending) std::reverse(out_of_order.begin(), out_of_order.end());
    if (!complete) out_of_order.clear();
    // Names of columns since dropped linger until the bound clears them.
    if (numeric_key_order_.size() >= kMaxKeyOrderEntries) numeric_key_order_.clear();
    numeric_key_order_[plan.order_name] =
        KeyOrder{database_.key_order_count(), complete, std::move(out_of_order)};
  }
  co_return 1;
}

Task<int> Recordsets::GenerateByScan(SliceClock& clock, Recordset& recordset,
                                     const std::string& table, const TableDefinition& definition,
                                     RowBlock& rows) {
  RecordReader reader(database_.data_file(), recordset.record_length, true);
  int64_t offset = definition.newest_record();
  while (offset >= 0) {
    RecordHeader header;
    if (!reader.ReadHeader(offset, header) || !header.has_marker()) break;
    if (!header.superseded() && EqualNoCase(header.table(), table)) {
      std::string_view data;
      if (reader.ReadData(offset, header, data) &&
          RecordsetRecordMeetsAllFilterCriteria(recordset.filters, data) &&
          !rows.Append(Row::Stored(offset))) {
        database_.ReportError(kOverBudget);
        over_budget_ = true;
        co_return 0;
      }
    }
    // A chain runs backwards through the file; a damaged link that does not
    // would make the walk go round for ever.
    const int64_t previous = header.previous();
    if (previous >= offset) break;
    offset = previous;
    co_await clock.Pause();
  }

  // The walk met the records newest first; rows stand oldest first.
  std::reverse(rows.rows.begin(), rows.rows.end());
  co_return 1;
}

}  // namespace zt

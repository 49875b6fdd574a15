// Resultset generation: deciding which records of a table belong to a
// recordset and making one row (recordset/row.h) per record.
//
// Two ways, chosen from the lookup key RecordsetPreProcessFilterColumns
// recommends:
// - Index path (a condition on a key column with a value): a walk over the
//   index entries of table+column, positioned by the condition's operator.
//   "=", ">", ">=" and "<>" give rows in ascending key order, "<" and "<="
//   in descending order. The walk returns every entry that satisfies the
//   condition (whole runs of equal keys included) and stops at the first
//   entry outside the table+column key prefix. With a single condition no
//   record is read; with more (or when the key alone cannot tell the
//   condition, see NeedsRecordCheck) each record is read once and tested.
// - Scan path (everything else): the table's chain is walked from the
//   newest record back; live records that pass every condition are kept
//   and stand oldest first.
//
// Invariants: on success the recordset holds exactly the rows made; on
// failure it holds none. Rows are charged to the memory budget as they are
// made, so a table of any size cannot take more than the budget allows:
// past it the generation fails with a message.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/codec.h"
#include "engine/index_key.h"
#include "engine/record.h"
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
  RecordReader(FileHandle file, int32_t expected_length, bool read_behind) : file_(file) {
    expected_ = expected_length < 0 ? 0 : static_cast<size_t>(expected_length);
    if (expected_ > static_cast<size_t>(kMaxRecordLength)) expected_ = kMaxRecordLength;
    file_length_ = FileLength(file);
    read_behind_ = read_behind && file_length_ >= 0;
  }

  // Reads the header at offset into header; 0 when it cannot be read.
  int ReadHeader(int64_t offset, RecordHeader& header) {
    if (offset < 0) return 0;
    if (!Load(offset, RecordHeader::kSize + expected_) && !Load(offset, RecordHeader::kSize)) {
      return 0;
    }
    std::memcpy(header.bytes.data(), At(offset), RecordHeader::kSize);
    return 1;
  }

  // The data of the record whose header was read last; valid until the next
  // read. 0 when its length is damaged or the bytes cannot be read.
  int ReadData(int64_t offset, const RecordHeader& header, std::string_view& data) {
    const int32_t n = header.data_length();
    if (n < 0 || n > kMaxRecordLength) return 0;
    if (!Load(offset, RecordHeader::kSize + static_cast<size_t>(n))) return 0;
    data = std::string_view(At(offset) + RecordHeader::kSize, static_cast<size_t>(n));
    return 1;
  }

 private:
  static constexpr int64_t kWindow = 256 * 1024;  // above the largest record

  // Makes the n bytes at offset available in the window.
  bool Load(int64_t offset, size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    if (offset >= start_ && end <= start_ + static_cast<int64_t>(window_.size())) return true;
    int64_t begin = offset;
    if (read_behind_ && end <= file_length_) begin = end > kWindow ? end - kWindow : 0;
    window_.resize(static_cast<size_t>(end - begin));
    if (!FileReadAt(file_, window_.data(), window_.size(), begin)) {
      window_.clear();
      return false;
    }
    start_ = begin;
    return true;
  }

  const char* At(int64_t offset) const {
    return window_.data() + static_cast<size_t>(offset - start_);
  }

  FileHandle file_;
  size_t expected_ = 0;
  int64_t file_length_ = -1;
  bool read_behind_ = false;
  std::vector<char> window_;
  int64_t start_ = 0;
};

bool Ascending(std::string_view op) { return op == "=" || op == ">" || op == ">=" || op == "<>"; }

// Whether the value part of an index key differs from the condition's
// value, compared the way RecordsetRecordMeetsAllFilterCriteria compares a
// field: as numbers for numeric columns, as text without regard to case
// otherwise.
bool ValueDiffers(std::string_view key_value, const LookupKey& key) {
  const std::string_view field = TrimBlanks(key_value);
  if (IsNumericType(key.type)) return TextToDouble(field) != TextToDouble(TrimBlanks(key.value));
  return CompareNoCase(field, key.value) != 0;
}

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
  if (!database_.IsConnected()) {
    database_.SetError("RecordsetGenerateResultset: No database connection has been established!");
    return 0;
  }
  const std::string table(
      TrimBlanks(std::string_view(recordset.table_name).substr(0, kMaxNameLength)));
  LookupKey key;
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!RecordsetPreProcessFilterColumns(table.c_str(), recordset.filters, key, definition,
                                        definition_offset)) {
    database_.ReportError("RecordsetGenerateResultset: Error Processing Filter Columns");
    return 0;
  }
  recordset.ClearRows();
  over_budget_ = false;
  auto rows = std::make_shared<RowBlock>(budget_);
  const int ok = key.use_key && !TrimBlanks(key.value).empty()
                     ? GenerateByIndex(recordset, table, key, definition, *rows)
                     : GenerateByScan(recordset, table, definition, *rows);
  if (!ok) return 0;
  rows->Shrink();
  recordset.set_block(std::move(rows));
  return 1;
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
  DefinitionHeader header;
  if (!database_.ReadDefinitionHeader(header)) return true;
  for (int slot = 0; slot < header.table_count(); ++slot) {
    if (extends(header.table_name(slot), table)) return true;
  }
  return false;
}

int Recordsets::GenerateByIndex(Recordset& recordset, const std::string& table,
                                const LookupKey& key, const TableDefinition& definition,
                                RowBlock& rows) {
  const std::string search_key = MakeIndexKey(table, key.column, key.value, key.size, key.type);
  const std::string prefix = table + key.column;
  const size_t key_length = IndexKeyLength(table, key.column, key.size);
  const size_t width = key.size > 0 ? static_cast<size_t>(key.size) : 0;
  // The key alone decides the condition unless the record must be looked
  // at: for the other conditions, when the key was cut at its maximum
  // length, when the value is wider than the column (the key holds only its
  // first characters), or when another column's keys could pass for these.
  const bool check_records = recordset.filters.size() >= 2 || key_length < prefix.size() + width ||
                             TrimBlanks(key.value).size() > width ||
                             KeyPrefixIsAmbiguous(definition, table, key.column);

  // Other conditions on the walked column can end the walk early: a walk
  // up from Id >= 500 stops behind the last key that Id < 510 admits instead
  // of running to the end of the column (and, with more than one condition,
  // reading every record on the way). A bound whose key could not hold the
  // whole value is no bound.
  struct Bound {
    std::string op;
    std::string key;
  };
  std::vector<Bound> bounds;
  if (key_length == prefix.size() + width) {
    for (const FilterColumn& condition : recordset.filters) {
      if (!condition.resolved || !EqualNoCase(condition.column, key.column) ||
          TrimBlanks(condition.value).size() > width) {
        continue;
      }
      const bool upper = condition.op == "<" || condition.op == "<=";
      const bool lower = condition.op == ">" || condition.op == ">=";
      if ((Ascending(key.op) && upper) || (!Ascending(key.op) && lower)) {
        bounds.push_back(
            {condition.op, MakeIndexKey(table, key.column, condition.value, key.size, key.type)});
      }
    }
  }
  auto beyond_bounds = [&](std::string_view index_key) {
    for (const Bound& bound : bounds) {
      if (!ConditionHolds(bound.op, CompareNoCase(index_key, bound.key))) return true;
    }
    return false;
  };

  IndexCursor cursor;
  int found = 0;
  if (key.op == "=") {
    found = database_.index().IndexSeekEqual(search_key, cursor);
  } else if (key.op == ">=") {
    found = database_.index().IndexSeekGE(search_key, cursor);
  } else if (key.op == ">") {
    found = database_.index().IndexSeekGT(search_key, cursor);
  } else if (key.op == "<=") {
    found = database_.index().IndexSeekLE(search_key, cursor);
  } else if (key.op == "<") {
    found = database_.index().IndexSeekLT(search_key, cursor);
  } else {
    // "<>": the whole key range of the column, passing over equal values.
    found = database_.index().IndexSeekGE(prefix, cursor);
  }
  const bool ascending = Ascending(key.op);

  RecordReader reader(database_.data_file(), recordset.record_length, false);
  int64_t steps_left = IndexEntryBound(database_.index());
  std::string previous_key;
  while (found && KeyHasPrefix(cursor.key, prefix)) {
    // Index order is the walk's termination argument; a damaged file that
    // breaks it ends the walk.
    if (!previous_key.empty()) {
      const int order = CompareNoCase(cursor.key, previous_key);
      if (ascending ? order < 0 : order > 0) break;
    }
    // Keys of a column whose name extends this one have another length.
    if (cursor.key.size() == key_length) {
      if (beyond_bounds(cursor.key)) break;
      bool take;
      if (key.op == "<>") {
        take = ValueDiffers(std::string_view(cursor.key).substr(prefix.size()), key);
      } else {
        if (!ConditionHolds(key.op, CompareNoCase(cursor.key, search_key))) break;
        take = true;
      }
      if (take && check_records) {
        RecordHeader header;
        std::string_view data;
        take = reader.ReadHeader(cursor.record, header) && header.has_marker() &&
               !header.superseded() && EqualNoCase(header.table(), table) &&
               reader.ReadData(cursor.record, header, data) &&
               KeyComesFromRecord(cursor.key, table, key, data) &&
               RecordsetRecordMeetsAllFilterCriteria(recordset.filters, data);
      }
      if (take && !rows.Append(Row::Stored(cursor.record))) {
        database_.ReportError(kOverBudget);
        over_budget_ = true;
        return 0;
      }
    }
    if (--steps_left <= 0) break;
    previous_key = cursor.key;
    found = ascending ? database_.index().IndexNext(cursor) : database_.index().IndexPrev(cursor);
  }
  return 1;
}

int Recordsets::GenerateByScan(Recordset& recordset, const std::string& table,
                               const TableDefinition& definition, RowBlock& rows) {
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
        return 0;
      }
    }
    // A chain runs backwards through the file; a damaged link that does not
    // would make the walk go round for ever.
    const int64_t previous = header.previous();
    if (previous >= offset) break;
    offset = previous;
  }

  // The walk met the records newest first; rows stand oldest first.
  std::reverse(rows.rows.begin(), rows.rows.end());
  return 1;
}

}  // namespace zt

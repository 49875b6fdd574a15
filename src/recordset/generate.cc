// Resultset generation: deciding which records of a table belong to a
// recordset and making one row (recordset/row.h) per record.
//
// Two ways, chosen from the lookup key RecordsetPreProcessFilterColumns
// recommends:
// - Index path (a condition on a key column with a value): a walk over the
//   index entries of table+column. Its direction follows the operator of
//   the recommended condition: "=", ">", ">=" and "<>" give rows in
//   ascending key order, "<" and "<=" in descending order. It starts at the
//   tightest bound that the conditions on the walked column set on its
//   side, stops behind the tightest on the other, and returns every entry
//   between them that satisfies those conditions (whole runs of equal keys
//   included). A key holds the column's whole trimmed value (unless cut at
//   its maximum length), so these conditions are decided from the key and
//   no record is read for them; a record is read, once, only for a
//   condition on another column, a cut key, or a key prefix another column
//   could share (see check_records).
//   Numeric columns compare as numbers, as the scan does. Their keys are
//   right-justified text, which sorts like numbers only for plain
//   non-negative whole numbers (IsOrderedNumber). The bounds become whole
//   numbers, and the walk seeks among the plain keys and merges in the
//   column's other entries, listed once by a walk of the whole column and
//   each tested by its number; rows stay in key order.
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

bool Ascending(std::string_view op) { return op == "=" || op == ">" || op == ">=" || op == "<>"; }

// The comparison RecordsetRecordMeetsAllFilterCriteria makes between a
// field (trimmed) and a condition's value: as numbers for numeric columns,
// as text without regard to case otherwise.
int CompareAsScan(std::string_view field, const FilterColumn& condition) {
  if (IsNumericType(condition.column_type)) {
    const double a = TextToDouble(field);
    const double b = condition.number;
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return CompareNoCase(field, condition.value);
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

// One end of the walk's key range: the keys an entry may not pass on that
// side. Unset: the column's keys are unbounded there.
struct KeyBound {
  bool set = false;
  bool strict = false;  // the bound's own key is outside the range
  std::string key;

  // Keeps the tighter of this bound and (key, strict); lower picks the
  // greater key, upper the smaller.
  void Tighten(std::string k, bool s, bool lower) {
    if (set) {
      const int cmp = CompareNoCase(k, key);
      if ((lower ? cmp < 0 : cmp > 0) || (cmp == 0 && !s)) return;
    }
    set = true;
    strict = s;
    key = std::move(k);
  }
  // Whether k lies beyond this bound (below a lower, above an upper one).
  bool Excludes(std::string_view k, bool lower) const {
    if (!set) return false;
    const int cmp = CompareNoCase(k, key);
    return (lower ? cmp < 0 : cmp > 0) || (cmp == 0 && strict);
  }
};

// Whether a numeric key's value part (width characters) is right-justified
// and holds a number whose key sorts in numeric order (IsOrderedNumber).
bool IsOrderedKeyValue(std::string_view value_part) {
  return !value_part.empty() && value_part.back() != ' ' && IsOrderedNumber(TrimBlanks(value_part));
}

// Narrows [lo, hi], whole numbers, to those x for which "x op d" holds;
// "<>" leaves it as it is (the entries are tested one by one).
void NarrowWholeRange(std::string_view op, double d, int64_t& lo, int64_t& hi) {
  const auto whole = [](double v) { return static_cast<int64_t>(v); };
  const double top = static_cast<double>(hi);
  if (op == "=") {
    if (d != std::floor(d) || d < static_cast<double>(lo) || d > top) {
      lo = 1;
      hi = 0;
      return;
    }
    lo = hi = whole(d);
  } else if (op == ">" || op == ">=") {
    const double first = op == ">" ? std::floor(d) + 1 : std::ceil(d);
    if (first > top) {
      lo = 1;
      hi = 0;
    } else if (first > static_cast<double>(lo)) {
      lo = whole(first);
    }
  } else if (op == "<" || op == "<=") {
    const double last = op == "<" ? std::ceil(d) - 1 : std::floor(d);
    if (last < static_cast<double>(lo)) {
      lo = 1;
      hi = 0;
    } else if (last < top) {
      hi = whole(last);
    }
  }
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
  const std::string prefix = table + key.column;
  const size_t key_length = IndexKeyLength(table, key.column, key.size);
  const size_t width = key.size > 0 ? static_cast<size_t>(key.size) : 0;
  const bool numeric = IsNumericType(key.type);
  // A key holds the column's whole (trimmed) value unless it was cut at its
  // maximum length; then only the record can tell a condition.
  const bool whole_keys = key_length == prefix.size() + width;

  // The conditions on the walked column, and whether there are others.
  std::vector<const FilterColumn*> on_column;
  bool other_columns = false;
  for (const FilterColumn& condition : recordset.filters) {
    if (!condition.resolved) continue;
    if (EqualNoCase(condition.column, key.column)) {
      on_column.push_back(&condition);
    } else {
      other_columns = true;
    }
  }
  const bool check_records =
      other_columns || !whole_keys || KeyPrefixIsAmbiguous(definition, table, key.column);

  // A numeric column's keys sort in numeric order only where they are
  // IsOrderedKeyValue. Once a walk of the whole column has listed the
  // entries that are not (and they are few), a walk seeks among the others
  // and merges the listed ones that pass, in key order. Until then, or when
  // they are many, it walks the whole column and tests each key's number,
  // which also makes the list. The list holds until a key out of order is
  // added or removed (Database::key_order_count); the column's type and size
  // are part of its name, so a redefined column is listed afresh. Another
  // process's writes go uncounted, so in shared mode nothing is kept.
  std::string order_name;
  std::vector<std::pair<std::string, int64_t>> listed;  // the passing ones
  bool ordered = false;
  if (numeric && whole_keys && !database_.shared()) {
    order_name = FoldText(prefix);
    order_name += '\0' + std::to_string(key.type) + ':' + std::to_string(key.size);
    const auto it = numeric_key_order_.find(order_name);
    ordered = it != numeric_key_order_.end() && it->second.complete &&
              it->second.stamp == database_.key_order_count();
    if (ordered) {
      for (const auto& [listed_key, record] : it->second.out_of_order) {
        if (listed_key.size() != key_length) continue;
        const std::string_view field =
            TrimBlanks(std::string_view(listed_key).substr(prefix.size()));
        bool pass = true;
        for (const FilterColumn* condition : on_column) {
          pass = pass && ConditionHolds(condition->op, CompareAsScan(field, *condition));
        }
        if (pass) listed.emplace_back(listed_key, record);
      }
    }
  }

  // The walk's key range: the tightest bound of every condition on the
  // column on each side.
  KeyBound lower;
  KeyBound upper;
  bool empty_range = false;
  auto key_of = [&](std::string_view value) {
    return MakeIndexKey(table, key.column, value, key.size, key.type);
  };
  if (numeric) {
    if (ordered) {
      int64_t lo = 0;
      int64_t hi = 1;
      for (size_t d = 0; d < width && d < kMaxOrderedDigits; ++d) hi *= 10;
      --hi;
      for (const FilterColumn* condition : on_column) {
        NarrowWholeRange(condition->op, TextToDouble(TrimBlanks(condition->value)), lo, hi);
      }
      empty_range = lo > hi;
      lower.Tighten(key_of(std::to_string(lo)), false, true);
      upper.Tighten(key_of(std::to_string(hi)), false, false);
    }
  } else {
    for (const FilterColumn* condition : on_column) {
      const std::string_view op = condition->op;
      if (op == "<>") continue;
      // A value wider than the column, or a cut key, gives only the first
      // characters: the bound then admits its own key whatever the operator.
      const bool exact = whole_keys && TrimBlanks(condition->value).size() <= width;
      const bool strict = exact && (op == "<" || op == ">");
      std::string bound = key_of(condition->value);
      if (op == "=" || op == ">" || op == ">=") lower.Tighten(bound, strict, true);
      if (op == "=" || op == "<" || op == "<=") upper.Tighten(std::move(bound), strict, false);
    }
    if (lower.set && upper.set) {
      const int cmp = CompareNoCase(lower.key, upper.key);
      empty_range = cmp > 0 || (cmp == 0 && (lower.strict || upper.strict));
    }
  }

  // Which conditions the key decides by itself. A numeric column's entry is
  // tested by its number, as the scan would test the record. A text
  // column's range conditions are decided by the range; "<>", a value wider
  // than the column, and (as ever) every condition when there are several
  // are also tested against the field as the scan compares it.
  std::vector<const FilterColumn*> key_tests;
  if (whole_keys) {
    for (const FilterColumn* condition : on_column) {
      if (numeric || condition->op == "<>" || recordset.filters.size() >= 2 ||
          TrimBlanks(condition->value).size() > width) {
        key_tests.push_back(condition);
      }
    }
  }

  const bool ascending = Ascending(key.op);
  if (!ascending) std::reverse(listed.begin(), listed.end());
  IndexCursor cursor;
  int found = 0;
  if (empty_range) {
    found = 0;
  } else if (ascending) {
    if (!lower.set) {
      found = database_.index().IndexSeekGE(prefix, cursor);
    } else if (lower.strict) {
      found = database_.index().IndexSeekGT(lower.key, cursor);
    } else {
      found = database_.index().IndexSeekGE(lower.key, cursor);
    }
  } else {
    if (!upper.set) {
      // Above every key of the column: the prefix followed by the greatest
      // byte, as far as a key reaches.
      std::string top = prefix;
      top.resize(kMaxKeyLength, '\xff');
      found = database_.index().IndexSeekLE(top, cursor);
    } else if (upper.strict) {
      found = database_.index().IndexSeekLT(upper.key, cursor);
    } else {
      found = database_.index().IndexSeekLE(upper.key, cursor);
    }
  }
  const KeyBound& near = ascending ? lower : upper;
  const KeyBound& far = ascending ? upper : lower;

  RecordReader reader(database_.data_file(), recordset.record_length, false);
  // Makes a row of the entry unless the record tells otherwise; false over
  // the budget.
  auto add = [&](std::string_view index_key, int64_t record) {
    if (check_records) {
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
    for (; next_listed < listed.size(); ++next_listed) {
      const auto& [listed_key, record] = listed[next_listed];
      if (index_key != nullptr) {
        const int order = CompareNoCase(listed_key, *index_key);
        if (ascending ? order >= 0 : order <= 0) break;
      }
      if (!add(listed_key, record)) return false;
    }
    return true;
  };

  int64_t steps_left = IndexEntryBound(database_.index());
  std::string previous_key;
  // What a walk of the whole column learns: its entries out of order.
  std::vector<std::pair<std::string, int64_t>> out_of_order;
  bool complete = true;
  bool whole_column = false;
  while (true) {
    if (!found || !KeyHasPrefix(cursor.key, prefix)) {
      whole_column = !lower.set && !upper.set;
      break;
    }
    // Index order is the walk's termination argument; a damaged file that
    // breaks it ends the walk.
    if (!previous_key.empty()) {
      const int order = CompareNoCase(cursor.key, previous_key);
      if (ascending ? order < 0 : order > 0) break;
    }
    // Keys of a column whose name extends this one have another length.
    if (cursor.key.size() == key_length) {
      if (far.Excludes(cursor.key, !ascending)) break;
      const std::string_view value_part = std::string_view(cursor.key).substr(prefix.size());
      bool take = !near.Excludes(cursor.key, ascending);
      if (numeric && !IsOrderedKeyValue(value_part)) {
        // Listed: taken (or not) in its place by add_listed.
        if (ordered) take = false;
        if (complete && out_of_order.size() < kMaxOutOfOrderKeys) {
          out_of_order.emplace_back(cursor.key, cursor.record);
        } else {
          complete = false;
        }
      }
      if (take && !key_tests.empty()) {
        const std::string_view field = TrimBlanks(value_part);
        for (const FilterColumn* condition : key_tests) {
          if (!ConditionHolds(condition->op, CompareAsScan(field, *condition))) {
            take = false;
            break;
          }
        }
      }
      if (take && (!add_listed(&cursor.key) || !add(cursor.key, cursor.record))) co_return 0;
    }
    if (--steps_left <= 0) break;
    co_await clock.Pause();
    previous_key = cursor.key;
    found = ascending ? database_.index().IndexNext(cursor) : database_.index().IndexPrev(cursor);
  }
  if (!add_listed(nullptr)) co_return 0;
  if (!order_name.empty() && !ordered && whole_column) {
    if (!ascending) std::reverse(out_of_order.begin(), out_of_order.end());
    if (!complete) out_of_order.clear();
    // Names of columns since dropped linger until the bound clears them.
    if (numeric_key_order_.size() >= kMaxKeyOrderEntries) numeric_key_order_.clear();
    numeric_key_order_[order_name] =
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

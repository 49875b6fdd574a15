// Sorting a recordset by one column, and finding a row by the beginning of
// a column's value.
//
// A sort orders the rows in memory by one sort key per row and reorders the
// row vector; every row keeps its flags. Rows without data (a new row never
// edited, a row whose record an update deleted) leave the recordset.
//
// Sort key of a row: the column's value as the recordset sees it (its
// pending image, else its stored record: ReadRowValue), trimmed of blanks.
// - Text columns: "!" when empty, then laid out to the column's size as an
//   index key's value (engine/index_key.h): left-justified, at most 100
//   characters, compared without regard to case (folded to lower case).
// - Numeric columns (types 1, 2, 3): empty values first, then by numeric
//   value (a text that is no number counts as 0, as in the filters).
// Equal keys keep their row order in an ascending sort and come reversed in
// a descending one (the descending order is the ascending one reversed).
//
// Find makes current the first active row, in the present row order, whose
// value begins with the given text (without regard to case), sorting
// ascending first unless already sorted by that column. After a text sort
// the folded keys are kept (fixed width, one arena) together with the
// database's change count; while nothing changed since, the rows stand in
// key order and the rows whose values begin with the text form one run, so
// find seeks the run by binary search instead of reading every row. Where
// that cannot be promised it reads the rows in order, as a scan.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/codec.h"
#include "engine/definition.h"
#include "engine/index_key.h"
#include "engine/large_allocator.h"
#include "engine/record.h"
#include "recordset/data_window.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The column a sort or find works on.
struct SortColumn {
  int64_t start = 0;  // first byte in the record data
  int32_t size = 0;
  int32_t type = 0;
};

// Whether a row has data: a new row once it has an image; any other row
// while its stored record exists (its offset is not negative and the header
// there carries the marker). For a stored row the header read for the test
// is left in header.
bool RowHasData(const Database& database, const Row& row, RecordHeader& header,
                DataWindow* window) {
  if (row.is_new()) return row.has_image();
  if (row.record_offset < 0) return false;
  const bool read = window != nullptr
                        ? window->Read(row.record_offset, header.bytes.data(), header.bytes.size())
                        : FileReadAt(database.data_file(), header.bytes.data(), header.bytes.size(),
                                     row.record_offset) != 0;
  return read && header.has_marker();
}

// The text sort key, folded so that plain byte comparison orders it.
std::string TextSortKey(std::string_view value, const SortColumn& column) {
  return FoldText(MakeIndexKey({}, {}, value.empty() ? std::string_view("!") : value, column.size,
                               column.type));
}

// Looks up the column for a sort or find; -1 when there is no live column
// of that name.
int FindSortColumn(const TableDefinition& definition, const char* name, SortColumn& column) {
  const int f = definition.find_live_column(name);
  if (f < 0) return -1;
  column.start = definition.column_offset(f);
  column.size = definition.column_size(f);
  column.type = definition.column_type(f);
  return f;
}

// One row taking part in a sort.
struct SortEntry {
  int32_t row;       // 1-based row number before the sort
  bool empty;        // numeric columns: no value
  double number;     // numeric columns: the value
  uint32_t key = 0;  // text columns: the key's place in the arena
};

}  // namespace

// A row marked for deletion is ordered by its stored record even when it has
// a pending image: the image's changes will never be stored. A column that
// does not lie within the row's data gives an empty value; so does one that
// a damaged definition places beyond any record, before anything is sized
// by it.
int Recordsets::OrderValue(const Recordset& recordset, const TableDefinition& definition,
                           const Row& row, int64_t start, int32_t size, std::string& value,
                           DataWindow* window) {
  RecordHeader header;  // read by RowHasData for a stored row
  if (!RowHasData(database_, row, header, window)) return 0;
  value.clear();
  if (size <= 0 || start < 0 || start + size > recordset.record_length ||
      start + size > kMaxRecordLength) {
    return 1;
  }
  Row source = row;
  if (row.deleted() && !row.is_new()) source.image = -1;
  const RowValue read = ReadRowValue(recordset, source, definition, start, size, &value,
                                     row.is_new() ? nullptr : &header, window);
  if (read == RowValue::kUnreadable) return 0;
  if (read != RowValue::kRead) value.clear();
  return 1;
}

int Recordsets::RecordsetSort(int32_t handle, const char* column, int ascending) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(Sort(clock, handle, column, ascending));
}

// Restartable while it reads the values; then it works on them alone
// (detached), so the order is the one the values had when the last was
// read.
Task<int> Recordsets::Sort(SliceClock& clock, int32_t handle, const char* column, int ascending) {
  if (column == nullptr) co_return 0;
  Recordset* recordset = Checked(handle, {"RecordsetSort: Database not open", Report::kYes,
                                          "RecordsetSort: Recordset not open", Report::kYes});
  if (recordset == nullptr) co_return 0;
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!database_.GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    co_return FailRecordset(database_, *recordset, "RecordsetSort: Disk-Read error",
                            Report::kYes);
  }
  SortColumn sort_column;
  if (FindSortColumn(definition, column, sort_column) < 0) {
    co_return FailRecordset(database_, *recordset,
                            std::string("RecordsetSort: Invalid column name: ") + column,
                            Report::kYes);
  }
  constexpr char kNoMemory[] =
      "RecordsetSort: Not enough resultset memory (ResultsetMemory limit reached)";
  const bool numeric = IsNumericType(sort_column.type);

  // Every row's value, read in the order of the records in the data file
  // (through one moving window), then the rows with data and their keys.
  // The text keys of one column all have one width (engine/index_key.h):
  // they go into one arena, width bytes apart.
  std::vector<int32_t, LargeAllocator<int32_t>> by_offset(static_cast<size_t>(recordset->row_count));
  for (int32_t r = 1; r <= recordset->row_count; ++r) by_offset[static_cast<size_t>(r - 1)] = r;
  co_await SortInSlices(clock, by_offset, [&](int32_t a, int32_t b) {
    return recordset->row(a).record_offset < recordset->row(b).record_offset;
  });
  // The entries are made as the values are read (in file order); ties in
  // the sort are broken by row number, which orders them as a stable sort
  // of the rows would.
  std::vector<SortEntry, LargeAllocator<SortEntry>> entries;
  entries.reserve(static_cast<size_t>(recordset->row_count));
  std::string arena;
  size_t width = 0;
  int32_t selected_dropped = 0;
  std::string value;
  DataWindow window(database_.data_file(), DataWindow::Direction::kAhead);
  for (const int32_t r : by_offset) {
    co_await clock.Pause();
    const Row& row = recordset->row(r);
    if (!OrderValue(*recordset, definition, row, sort_column.start, sort_column.size, value,
                    &window)) {
      if (row.selected()) ++selected_dropped;
      continue;
    }
    SortEntry entry{r, value.empty(), 0.0};
    if (numeric) {
      const double n = value.empty() ? 0.0 : TextToDouble(value);
      entry.number = std::isnan(n) ? 0.0 : n;
    } else {
      const std::string key = TextSortKey(value, sort_column);
      if (entries.empty()) {
        width = key.size();
        arena.reserve(width * static_cast<size_t>(recordset->row_count));
      }
      assert(key.size() == width);
      entry.key = static_cast<uint32_t>(arena.size());
      arena.append(key);
    }
    entries.push_back(entry);
  }
  // Every value is read: from here the sort works on them alone. The kept
  // keys describe the rows as the database stood now.
  clock.Detach();
  const uint64_t read_at = database_.change_count();
  decltype(by_offset)().swap(by_offset);
  if (entries.empty()) {  // nothing to order: the rows stay
    recordset->KeepSortKeys({}, 0, 0);
    recordset->sort_column = column;
    co_return 1;
  }
  auto text_key = [&](const SortEntry& e) { return std::string_view(arena).substr(e.key, width); };
  if (numeric) {
    co_await SortInSlices(clock, entries, [](const SortEntry& a, const SortEntry& b) {
      if (a.empty != b.empty) return a.empty;
      if (a.number != b.number) return a.number < b.number;
      return a.row < b.row;
    });
  } else {
    co_await SortInSlices(clock, entries, [&](const SortEntry& a, const SortEntry& b) {
      const int order = text_key(a).compare(text_key(b));
      return order != 0 ? order < 0 : a.row < b.row;
    });
  }
  if (!ascending) std::reverse(entries.begin(), entries.end());

  auto sorted = std::make_shared<RowBlock>(budget_);
  if (!sorted->Reserve(entries.size())) {
    co_return FailRecordset(database_, *recordset, kNoMemory, Report::kYes);
  }
  std::vector<int32_t, LargeAllocator<int32_t>> new_number(
      static_cast<size_t>(recordset->row_count) + 1, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    co_await clock.Pause();
    sorted->rows.push_back(recordset->row(entries[i].row));
    new_number[static_cast<size_t>(entries[i].row)] = static_cast<int32_t>(i + 1);
  }

  // Row numbers move: what is kept by row number follows them. A pending
  // row without data has left; its image goes with it.
  std::vector<PendingRow> pending;
  for (const auto& [r, read_version] : recordset->pending) {
    if (r < 1 || r > recordset->row_count) continue;
    if (new_number[static_cast<size_t>(r)] > 0) {
      pending.push_back({new_number[static_cast<size_t>(r)], read_version});
    } else if (recordset->row(r).has_image()) {
      images_.Free(recordset->row(r).image);
    }
  }
  std::unordered_map<int32_t, int64_t> lock_offsets;
  for (const auto& [r, offset] : recordset->lock_offsets) {
    if (r >= 1 && r <= recordset->row_count && new_number[static_cast<size_t>(r)] > 0) {
      lock_offsets[new_number[static_cast<size_t>(r)]] = offset;
    } else if (database_.shared()) {
      FileUnlockRegion(database_.data_file(), offset, RecordHeader::kSize);
    }
  }

  // The keys in row order, kept for find while they describe the rows:
  // ascending text sorts only, in exclusive mode (no other process writes).
  std::string keys;
  if (!numeric && ascending && !database_.shared()) {
    keys.reserve(arena.size());
    for (const SortEntry& e : entries) {
      co_await clock.Pause();
      keys.append(text_key(e));
    }
  }
  recordset->ClearRows();
  recordset->set_block(std::move(sorted));
  recordset->pending = std::move(pending);
  recordset->lock_offsets = std::move(lock_offsets);
  recordset->KeepSortKeys(std::move(keys), width, read_at);
  recordset->current_row = 1;
  recordset->sort_column = column;
  // A selected row without data has left the recordset; the count follows.
  recordset->selected_count -= selected_dropped;
  co_return 1;
}

int Recordsets::RecordsetFindRow(int32_t handle, const char* column, const char* value) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(FindRow(clock, handle, column, value));
}

// Restartable while it only reads; a find that sorts first holds from the
// sort on, so that the rows it reads are those the sort ordered.
Task<int> Recordsets::FindRow(SliceClock& clock, int32_t handle, const char* column,
                              const char* value) {
  if (column == nullptr || value == nullptr) co_return 0;
  Recordset* recordset = Checked(handle, {"RecordsetFindRow: Database not open", Report::kYes,
                                          "RecordsetFindRow: Recordset not open", Report::kYes});
  if (recordset == nullptr) co_return 0;
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!database_.GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    co_return FailRecordset(database_, *recordset, "RecordsetFindRow: Disk-Read error",
                            Report::kYes);
  }
  SortColumn find_column;
  if (FindSortColumn(definition, column, find_column) < 0) {
    co_return FailRecordset(database_, *recordset,
                            std::string("RecordsetFindRow: Invalid column name: ") + column,
                            Report::kYes);
  }
  // The first match in the column's order needs the rows in that order: a
  // failed sort fails the find (its message stays) rather than answer with
  // some other row.
  if (!EqualNoCase(column, recordset->sort_column)) {
    clock.Hold();
    const int sorted = co_await Sort(clock, handle, column, 1);
    if (!sorted) co_return 0;
    recordset->sort_column = column;
  }

  const std::string_view wanted(value);
  std::string found;
  auto matches = [&](int32_t r) {
    const Row& row = recordset->row(r);
    if (!row.active()) return false;
    if (!OrderValue(*recordset, definition, row, find_column.start, find_column.size, found)) {
      return false;
    }
    return KeyHasPrefix(found, wanted);
  };

  // The seek: only while the kept keys still describe the rows, and for a
  // text whose matches are exactly the keys that begin with it (no blank at
  // its end, which the key's padding could supply; no "!", which stands for
  // an empty value; no longer than a key).
  const size_t width = recordset->sort_key_width;
  if (!recordset->sort_keys.empty() && width > 0 &&
      recordset->sort_keys.size() == width * static_cast<size_t>(recordset->row_count) &&
      recordset->sort_keys_stamp == database_.change_count() && !wanted.empty() &&
      wanted.size() <= width && wanted.back() != ' ' && wanted.front() != '!' &&
      wanted.find('\0') == std::string_view::npos) {
    const std::string folded = FoldText(wanted);
    auto key = [&](int32_t r) {
      return std::string_view(recordset->sort_keys)
          .substr(static_cast<size_t>(r - 1) * width, width);
    };
    int32_t low = 1;
    int32_t high = recordset->row_count + 1;
    while (low < high) {  // first row whose key is not below the text
      const int32_t mid = low + (high - low) / 2;
      if (key(mid).substr(0, folded.size()) < folded) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    for (int32_t r = low; r <= recordset->row_count && key(r).substr(0, folded.size()) == folded;
         ++r) {
      if (matches(r)) {
        recordset->current_row = r;
        co_return 1;
      }
    }
    co_return FailRecordset(database_, *recordset, "No match Found", Report::kNo);
  }

  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    co_await clock.Pause();
    if (matches(r)) {
      recordset->current_row = r;
      co_return 1;
    }
  }
  co_return FailRecordset(database_, *recordset, "No match Found", Report::kNo);
}

}  // namespace zt

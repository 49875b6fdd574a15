// Sorting a recordset by one column, and finding a row by the beginning of
// a column's value.
//
// A sort loads one entry per row into a temporary B-tree index of the index
// file's format (engine/index.h): the key is the row's sort value, the
// record offset the row's byte position in the old resultset file. Walking
// the index forwards (ascending) or backwards (descending) gives the new
// order, and the rows are copied unchanged, with every flag they carry, into
// a new resultset file that then replaces the old one. Equal keys stay in
// insertion order in the index, so ties keep their resultset order in an
// ascending sort and come reversed in a descending one.
//
// Sort value of a row: the column's value as the recordset sees it (its
// pending image, else its stored record: Database::ReadRowValue), trimmed
// of blanks, "!" when empty, then laid out to the column's size exactly as an
// index key's value (engine/index_key.h): right-justified for the numeric
// types, left-justified for the others, at most 100 characters, compared
// without regard to case.
//
// Invariants kept beyond the bare algorithm:
// - The temporary index is a new file with a unique name in the temporary
//   folder, made atomically, and it is deleted on every path out of a sort.
// - The old resultset file is replaced only once the new one holds every
//   row that went into the index; any failure before that leaves the
//   recordset exactly as it was.
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/definition.h"
#include "engine/filenames.h"
#include "engine/index.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/resultset_row.h"

namespace zt {
namespace {

// Pages of a sort's private index kept in memory: the whole tree of a sort
// of up to about 100,000 rows, the upper levels of any larger one; some
// 20 MiB at most. (Sorting 100,000 rows takes about a third less time.)
constexpr size_t kSortIndexCachedPages = 8192;

// The column a sort or find works on.
struct SortColumn {
  int64_t start = 0;  // first byte in the record data
  int32_t size = 0;
  int32_t type = 0;
};

// Cursors and index entries keep the row position as a 32-bit offset, so a
// resultset can be sorted only while its last row starts below 2^31.
constexpr int32_t kMaxSortableRows =
    static_cast<int32_t>(std::numeric_limits<int32_t>::max() / ResultsetRow::kSize);

// Rows a write of the sorted resultset carries (60 KB).
constexpr int32_t kSortBatchRows = 512;

// Whether a row has data: a new row once it has an image in the write
// file; any other row while its stored record exists (its offset is not
// negative and the header there carries the marker). A new row never edited
// and a row whose record an update deleted have none. For a stored row the
// header read for the test is left in header.
bool RowHasData(const Database& database, const ResultsetRow& row, RecordHeader& header) {
  if (row.is_new()) return row.image_offset() >= 0;
  if (row.record_offset() < 0) return false;
  return FileReadAt(database.data_file(), header.bytes.data(), header.bytes.size(),
                    row.record_offset()) &&
         header.has_marker();
}

std::string SortKey(std::string_view value, const SortColumn& column) {
  // "!" sorts an empty value before every printable one in both layouts.
  return MakeIndexKey({}, {}, value.empty() ? std::string_view("!") : value, column.size,
                      column.type);
}

// The temporary index of one sort: a unique file in the temporary folder,
// closed and deleted when the sort ends, whichever way it ends.
class TemporarySortIndex {
 public:
  TemporarySortIndex() = default;
  TemporarySortIndex(const TemporarySortIndex&) = delete;
  TemporarySortIndex& operator=(const TemporarySortIndex&) = delete;
  ~TemporarySortIndex() {
    if (index_.IsOpen()) index_.IndexClose();
    if (!path_.empty()) FileDelete(path_);
  }

  // 1 when the index exists, empty, and is open.
  int Create() {
    path_ = MakeUniqueTempFile(kSortIndexPrefix, kSortIndexExtension);
    if (path_.empty()) return 0;
    if (!index_.IndexCreate(path_) || !index_.IndexOpen(path_, 0)) return 0;
    // Nothing but this object ever touches the file, so its pages can be
    // served from memory: a sort reads the upper levels of the tree for
    // every row it inserts.
    index_.EnablePageCache(kSortIndexCachedPages);
    return 1;
  }
  IndexFile& index() { return index_; }

 private:
  std::string path_;
  IndexFile index_;
};

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

}  // namespace

// A row marked for deletion is ordered by its stored record even when it has
// a pending image: the image's changes will never be stored. A column that
// does not lie within the row's data gives an empty value; so does one that
// a damaged definition places beyond any record, before anything is sized
// by it.
int Database::OrderValue(const Recordset& recordset, const TableDefinition& definition,
                         const ResultsetRow& row, int64_t start, int32_t size, std::string& value) {
  RecordHeader header;  // read by RowHasData for a stored row
  if (!RowHasData(*this, row, header)) return 0;
  value.clear();
  if (size <= 0 || start < 0 || start + size > recordset.record_length ||
      start + size > kMaxRecordLength) {
    return 1;
  }
  ResultsetRow source = row;
  if (row.deleted() && !row.is_new()) source.set_image_offset(-1);
  const RowValue read = ReadRowValue(recordset, source, definition, start, size, &value,
                                     row.is_new() ? nullptr : &header);
  if (read == RowValue::kUnreadable) return 0;
  if (read != RowValue::kRead) value.clear();
  return 1;
}

int Database::RecordsetSort(int32_t handle, const char* column, int ascending) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr || column == nullptr) return 0;
  if (!connected_) {
    return FailRecordset(*this, *recordset, "RecordsetSort: Database not open", Report::kYes);
  }
  if (!recordset->open) {
    return FailRecordset(*this, *recordset, "RecordsetSort: Recordset not open", Report::kYes);
  }
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    return FailRecordset(*this, *recordset, "RecordsetSort: Disk-Read error", Report::kYes);
  }
  SortColumn sort_column;
  if (FindSortColumn(definition, column, sort_column) < 0) {
    return FailRecordset(*this, *recordset,
                         std::string("RecordsetSort: Invalid column name: ") + column,
                         Report::kYes);
  }
  constexpr char kWriteError[] = "RecordsetSort: Disk-Write error";
  constexpr char kReadError[] = "RecordsetSort: Disk-Read error";
  if (recordset->row_count > kMaxSortableRows) {
    return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
  }
  TemporarySortIndex sort_index;
  if (!sort_index.Create()) return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
  IndexFile& index = sort_index.index();

  // Load the index. A row that cannot be read fails the sort (leaving it
  // out would lose it from the resultset); a row without data is left out
  // and drops out of the resultset.
  const FileHandle old_file = recordset->resultset_file;
  int32_t inserted = 0;
  int32_t selected_dropped = 0;
  ResultsetRow row;
  std::string value;
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    if (!ReadResultsetRow(old_file, r, row)) {
      return FailRecordset(*this, *recordset, kReadError, Report::kYes);
    }
    if (!OrderValue(*recordset, definition, row, sort_column.start, sort_column.size, value)) {
      if (row.selected()) ++selected_dropped;
      continue;
    }
    const std::string key = SortKey(value, sort_column);
    if (!index.IndexInsert(key, ResultsetRowOffset(r))) {
      return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
    }
    ++inserted;
  }
  if (inserted == 0) {  // nothing to order: the resultset stays
    recordset->sort_column = column;
    return 1;
  }

  const std::string new_name = MakeResultsetFileName(kResultsetPrefix, kResultsetExtension);
  FileHandle new_file = kNoFile;
  if (new_name.empty()) return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
  if (!FileOpen(new_file, new_name, 0)) {
    FileDelete(new_name);
    return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
  }

  // Copy the rows in index order. Every entry must name a row of the old
  // file and every row must arrive, else the new file is abandoned. The new
  // file is written sequentially, kSortBatchRows rows a write.
  int32_t written = 0;  // rows handed to the batch
  int32_t flushed = 0;  // rows already in the new file
  std::string batch;
  batch.reserve(kSortBatchRows * ResultsetRow::kSize);
  auto flush = [&]() {
    if (batch.empty()) return true;
    if (!FileWriteAt(new_file, batch.data(), batch.size(), ResultsetRowOffset(flushed + 1))) {
      return false;
    }
    flushed = written;
    batch.clear();
    return true;
  };
  IndexCursor cursor;
  int found = ascending ? index.IndexFirst(cursor) : index.IndexLast(cursor);
  bool intact = true;
  while (found && written < inserted) {
    const int64_t position = cursor.record;
    const int64_t old_row = position / static_cast<int64_t>(ResultsetRow::kSize) + 1;
    if (position < 0 || position % static_cast<int64_t>(ResultsetRow::kSize) != 0 ||
        old_row > recordset->row_count ||
        !ReadResultsetRow(old_file, static_cast<int32_t>(old_row), row)) {
      intact = false;
      break;
    }
    batch.append(row.bytes.data(), row.bytes.size());
    ++written;
    if (written - flushed == kSortBatchRows && !flush()) {
      intact = false;
      break;
    }
    found = ascending ? index.IndexNext(cursor) : index.IndexPrev(cursor);
  }
  if (intact && !flush()) intact = false;
  if (!intact || written != inserted) {
    FileClose(new_file);
    FileDelete(new_name);
    return FailRecordset(*this, *recordset, kWriteError, Report::kYes);
  }

  // The new file is complete: it replaces the old one. It stays open as it
  // is (exclusive), so there is no moment without an open resultset.
  FileClose(recordset->resultset_file);
  FileDelete(recordset->resultset_file_name);
  recordset->resultset_file = new_file;
  recordset->resultset_file_name = new_name;
  recordset->row_count = written;
  recordset->current_row = 1;
  recordset->sort_column = column;
  // A selected row without data has left the resultset; the count follows.
  recordset->selected_count -= selected_dropped;
  return 1;
}

int Database::RecordsetFindRow(int32_t handle, const char* column, const char* value) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr || column == nullptr || value == nullptr) return 0;
  if (!connected_) {
    return FailRecordset(*this, *recordset, "RecordsetFindRow: Database not open", Report::kYes);
  }
  if (!recordset->open) {
    return FailRecordset(*this, *recordset, "RecordsetFindRow: Recordset not open", Report::kYes);
  }
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    return FailRecordset(*this, *recordset, "RecordsetFindRow: Disk-Read error", Report::kYes);
  }
  SortColumn find_column;
  if (FindSortColumn(definition, column, find_column) < 0) {
    return FailRecordset(*this, *recordset,
                         std::string("RecordsetFindRow: Invalid column name: ") + column,
                         Report::kYes);
  }
  // The scan below finds the first match in the column's ascending order
  // only when the rows stand in that order: a failed sort fails the find
  // (its message stays) rather than answer with some other row.
  if (!EqualNoCase(column, recordset->sort_column)) {
    if (!RecordsetSort(handle, column, 1)) return 0;
    recordset->sort_column = column;
  }

  const std::string_view wanted(value);
  ResultsetRow row;
  std::string found;
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    if (!ReadResultsetRow(recordset->resultset_file, r, row)) continue;
    if (!FlagIs(row.bytes[ResultsetRow::kDeletedFlag], 'N') || !row.passes_filter()) continue;
    if (!OrderValue(*recordset, definition, row, find_column.start, find_column.size, found)) {
      continue;
    }
    if (KeyHasPrefix(found, wanted)) {
      recordset->current_row = r;
      return 1;
    }
  }
  return FailRecordset(*this, *recordset, "No match Found", Report::kNo);
}

}  // namespace zt

// Field values and row editing of an open recordset.
//
// Edits never touch the data file directly. The first change to a row
// copies its stored record (or, for a new row, record-length blanks) into a
// pending image (recordset/image_store.h) and lists the row as pending;
// later changes rewrite the image. RecordsetUpdate visits the pending rows
// only, in row order, and hands each to AddNewRecord, UpdateRecord or
// DeleteRecord, then frees its image; only then do the data file, the
// definition and the index see the change. A recordset therefore reads its
// own pending edits, while every other recordset reads the stored record.
//
// A pending row remembers the change counter of the record its image (or
// its delete mark) was read from, and the engine refuses to store it over a
// newer version: of two recordsets editing one row, the second to update
// fails instead of silently undoing the first one's change. A row's next
// edit after its update reads the record afresh, so a recordset always
// follows its own writes.
//
// In shared mode an edited or delete-marked row holds a non-blocking lock on
// its record's 89-byte header region in the data file, released when the
// row is stored. Messages go into the recordset's error text; those the
// comments call reported also go to ReportError.
//
// The TransactionContext is accepted and not consulted: nothing in the
// server opens a transaction, so no change journal is written.
#include <algorithm>
#include <optional>
#include <string>

#include "engine/codec.h"
#include "engine/record.h"
#include "recordset/data_window.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// Where a column lies in the record data.
struct ColumnPlace {
  int index = -1;     // -1: no column of that name
  int64_t start = 0;  // sum of the sizes of the columns before it
  int64_t size = 0;
};

// The first column (dropped ones included) whose name equals the given one,
// cut to 32 characters and trimmed, without regard to case.
ColumnPlace FindColumn(const TableDefinition& definition, std::string_view name) {
  ColumnPlace place;
  place.index = definition.find_column(TrimBlanks(name.substr(0, kMaxNameLength)));
  if (place.index >= 0) {
    place.start = definition.column_offset(place.index);
    const int32_t size = definition.column_size(place.index);
    place.size = size > 0 ? size : 0;
  }
  return place;
}

// The bound a column must end within: the definition's record length, and
// never beyond what an image or a record can hold.
int64_t RecordBound(const TableDefinition& definition) {
  const int64_t n = definition.record_length();
  return n < 0 ? 0 : (n > kMaxRecordLength ? kMaxRecordLength : n);
}

// A record length that sizes an image; a damaged definition could claim any.
bool IsSoundRecordLength(int32_t n) { return n >= 0 && n <= kMaxRecordLength; }

}  // namespace

// ---- Row locks (shared mode) ----------------------------------------------

namespace {

// Takes the lock on the header region of row r's record.
bool LockRowRecord(Database& database, Recordset& recordset, int32_t r) {
  Row* row = recordset.mutable_row(r);
  if (row == nullptr) return false;
  const int64_t offset = row->record_offset;
  if (!FileLockRegion(database.data_file(), offset, RecordHeader::kSize)) return false;
  row->set_flag(Row::kLocked, true);
  recordset.lock_offsets[r] = offset;
  return true;
}

// Releases row r's lock after its change was stored.
void ReleaseRowLock(Database& database, Recordset& recordset, int32_t r, Row& row) {
  if (!database.shared() || !row.locked()) return;
  const auto it = recordset.lock_offsets.find(r);
  if (it != recordset.lock_offsets.end()) {
    FileUnlockRegion(database.data_file(), it->second, RecordHeader::kSize);
    recordset.lock_offsets.erase(it);
  }
  row.set_flag(Row::kLocked, false);
}

constexpr char kNoMemory[] = "Not enough resultset memory (ResultsetMemory limit reached)";

}  // namespace

int Recordsets::RecordsetAddRow(TransactionContext& /*context*/, int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetAddRow: Database not open!", Report::kYes,
                                          "RecordsetAddRow: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  // Row numbers are 32-bit; a client adding rows forever stops here.
  if (recordset->row_count >= INT32_MAX - 1) return 0;

  Row row;
  // A new row has no value yet, so it passes a filter only when none is on.
  row.set_flag(Row::kPassesFilter,
               recordset->filter_on_column.empty() || recordset->filter_on_value.empty());
  row.set_flag(Row::kNew, true);
  RowBlock* rows = recordset->mutable_block();
  if (rows == nullptr || !rows->Append(row)) {
    return FailRecordset(database_, *recordset, std::string("RecordsetAddRow: ") + kNoMemory,
                         Report::kYes);
  }
  recordset->row_count = static_cast<int32_t>(rows->rows.size());
  recordset->current_row = recordset->row_count;
  recordset->sort_column.clear();
  return 1;
}

int Recordsets::RecordsetSetFieldValue(TransactionContext& /*context*/, int32_t handle,
                                       const char* column, const char* value) {
  if (column == nullptr || value == nullptr) return 0;
  Recordset* recordset =
      Checked(handle, {"RecordsetSetFieldValue: Database not open!", Report::kYes,
                       "RecordsetSetFieldValue: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->current_row < 1 || recordset->current_row > recordset->row_count) {
    return FailRecordset(database_, *recordset, "RecordsetSetFieldValue: Current record not set!",
                         Report::kNo);
  }
  const int32_t number = recordset->current_row;
  const int32_t record_length = recordset->record_length;
  if (!IsSoundRecordLength(record_length)) {
    return FailRecordset(
        database_, *recordset,
        "RecordsetSetFieldValue: Column length Exceeds record boundaries. Reuild the "
        "database",
        Report::kYes);
  }

  // The first change of a row makes its image.
  if (!recordset->row(number).has_image()) {
    const Row row = recordset->row(number);
    std::string image(static_cast<size_t>(record_length), ' ');
    bool make_image = false;
    bool locked_here = false;
    std::optional<int32_t> read_version;
    if (!row.is_new() && row.record_offset >= 0) {
      RecordHeader header;
      std::string data;
      int32_t length = 0;
      std::string err;
      if (!database_.ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset,
                                        record_length, length, &err)) {
        return FailRecordset(database_, *recordset, err, Report::kNo);
      }
      // A record shorter than the record length keeps blanks behind it.
      image.replace(0, data.size(), data);
      read_version = header.change_counter();
      if (database_.shared() && !row.locked()) {
        if (!LockRowRecord(database_, *recordset, number)) {
          return FailRecordset(database_, *recordset,
                               "RecordsetSetFieldValue: Unable to lock requested record",
                               Report::kYes);
        }
        locked_here = true;
      }
      make_image = true;
    } else if (row.is_new()) {
      make_image = true;
    }
    if (make_image) {
      const int32_t slot = images_.Allocate(image);
      Row* target = slot >= 0 ? recordset->mutable_row(number) : nullptr;
      if (target == nullptr) {
        if (slot >= 0) images_.Free(slot);
        if (locked_here) {
          Row unlocked = recordset->row(number);
          ReleaseRowLock(database_, *recordset, number, unlocked);
          if (Row* r = recordset->mutable_row(number)) *r = unlocked;
        }
        return FailRecordset(database_, *recordset,
                             std::string("RecordsetSetFieldValue: ") + kNoMemory, Report::kYes);
      }
      target->image = slot;
      recordset->MarkPending(number, read_version);
    }
  }
  // An existing row without a stored record (retired by an update) has
  // nothing to edit.
  if (!recordset->row(number).has_image()) return 0;

  int64_t definition_offset = 0;
  const TableDefinition* found =
      database_.TableDef(recordset->table_name.c_str(), definition_offset);
  if (found == nullptr) {
    return FailRecordset(database_, *recordset,
                         "RecordsetSetFieldValue: Could not read table header", Report::kYes);
  }
  const TableDefinition& definition = *found;
  const ColumnPlace place = FindColumn(definition, column);
  if (place.index < 0) {
    return FailRecordset(database_, *recordset,
                         "RecordsetSetFieldValue: Invalid column name: " +
                             std::string(TrimBlanks(ViewOf(column).substr(0, kMaxNameLength))),
                         Report::kYes);
  }
  if (definition.is_dropped(place.index)) {
    return FailRecordset(
        database_, *recordset,
        "RecordsetSetFieldValue: Specified column is no longer accessible - it has been "
        "dropped from the table",
        Report::kYes);
  }
  // The field must lie inside the image as well as inside the record.
  if (place.start + place.size > RecordBound(definition) ||
      place.start + place.size > record_length) {
    return FailRecordset(
        database_, *recordset,
        "RecordsetSetFieldValue: Column length Exceeds record boundaries. Reuild the "
        "database",
        Report::kYes);
  }
  const std::string field = PadRight(value, static_cast<size_t>(place.size));
  Row* row = recordset->mutable_row(number);
  if (row == nullptr) {
    return FailRecordset(database_, *recordset, std::string("RecordsetSetFieldValue: ") + kNoMemory,
                         Report::kYes);
  }
  images_.at(row->image).replace(static_cast<size_t>(place.start), field.size(), field);

  const std::string_view name = definition.column_name(place.index);
  if (EqualNoCase(recordset->sort_column, name)) recordset->sort_column.clear();
  // A row that no longer holds the FilterOn value leaves the filtered rows
  // (it is compared as it will read back: cut to the column and trimmed).
  // A row never regains the filter here; RecordsetFilterOn recomputes all.
  if (!recordset->filter_on_column.empty() && !recordset->filter_on_value.empty() &&
      EqualNoCase(recordset->filter_on_column, name) &&
      !EqualNoCase(TrimBlanks(field), recordset->filter_on_value) && row->passes_filter()) {
    row->set_flag(Row::kPassesFilter, false);
    --recordset->filtered_count;
  }
  return 1;
}

int Recordsets::RecordsetGetFieldValue(int32_t handle, const char* column, std::string* value) {
  if (column == nullptr || value == nullptr) return 0;
  Recordset* recordset =
      Checked(handle, {"RecordsetGetFieldValue: Database not open!", Report::kYes,
                       "RecordsetGetFieldValue: Recordset not open", Report::kYes,
                       "RecordsetGetFieldValue: Current record not set!", Report::kNo});
  if (recordset == nullptr) return 0;
  if (recordset->current_row > recordset->row_count) {
    return FailRecordset(database_, *recordset, "RecordsetGetFieldValue: Current record not set",
                         Report::kNo);
  }
  const Row row = recordset->row(recordset->current_row);
  int64_t definition_offset = 0;
  const TableDefinition* found =
      database_.TableDef(recordset->table_name.c_str(), definition_offset);
  if (found == nullptr) {
    return FailRecordset(database_, *recordset, "Unable to read table definition!", Report::kYes);
  }
  const TableDefinition& definition = *found;
  const ColumnPlace place = FindColumn(definition, column);
  if (place.index < 0 || definition.is_dropped(place.index)) {
    return FailRecordset(database_, *recordset,
                         "RecordsetGetFieldValue: Invalid column name: " +
                             std::string(TrimBlanks(ViewOf(column).substr(0, kMaxNameLength))),
                         Report::kYes);
  }
  if (place.size == 0) return 1;
  switch (ReadRowValue(*recordset, row, definition, place.start, place.size, value)) {
    case RowValue::kRead:
      return 1;
    case RowValue::kBeyondImage:
      return FailRecordset(database_, *recordset, "Unable to read column value", Report::kYes);
    case RowValue::kBeyondRecord:
      return FailRecordset(database_, *recordset,
                           "RecordsetGetFieldValue: Unable to read column value", Report::kYes);
    case RowValue::kUnreadable:
      break;
  }
  return 0;
}

RowValue Recordsets::ReadRowValue(const Recordset& recordset, const Row& row,
                                  const TableDefinition& definition, int64_t start, int64_t size,
                                  std::string* value, const RecordHeader* stored_header,
                                  DataWindow* window) {
  const int64_t end = start + size;
  std::string bytes;
  if (row.has_image()) {
    if (end > RecordBound(definition) || end > recordset.record_length) {
      return RowValue::kBeyondImage;
    }
    const std::string& image = images_.at(row.image);
    if (end > static_cast<int64_t>(image.size())) return RowValue::kUnreadable;
    bytes.assign(image, static_cast<size_t>(start), static_cast<size_t>(size));
  } else if (!row.is_new() && row.record_offset >= 0) {
    auto read = [&](int64_t at, void* out, size_t n) {
      return window != nullptr ? window->Read(at, out, n)
                               : FileReadAt(database_.data_file(), out, n, at) != 0;
    };
    RecordHeader header;
    if (stored_header != nullptr) {
      header = *stored_header;
    } else if (!read(row.record_offset, header.bytes.data(), header.bytes.size())) {
      return RowValue::kUnreadable;
    }
    // No column lies beyond what a record of the table can hold.
    if (end > RecordBound(definition)) return RowValue::kBeyondRecord;
    // A column that ends beyond the stored data was added to the table after
    // the record was written: it reads empty.
    if (end <= header.data_length()) {
      bytes.assign(static_cast<size_t>(size), ' ');
      if (!read(row.record_offset + static_cast<int64_t>(RecordHeader::kSize) + start, bytes.data(),
                bytes.size())) {
        return RowValue::kUnreadable;
      }
    }
  }
  // The value is a text: it ends at a NUL, if the bytes hold one.
  const size_t nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  *value = std::string(TrimBlanks(bytes));
  return RowValue::kRead;
}

size_t Recordsets::PendingRows(int32_t handle) {
  const Recordset* recordset = Find(handle);
  return recordset == nullptr ? 0 : recordset->pending.size();
}

int Recordsets::RecordsetUpdate(TransactionContext& /*context*/, int32_t handle) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(Update(clock, handle));
}

Task<int> Recordsets::Update(SliceClock& clock, int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetUpdate: Database not open!", Report::kYes,
                                          "RecordsetUpdate: Recordset not open", Report::kYes});
  if (recordset == nullptr) co_return 0;
  if (recordset->pending.empty()) co_return 1;
  clock.Hold();
  if (database_.shared() && !database_.index().IndexLock()) {
    co_return FailRecordset(database_, *recordset,
                            "RecordsetUpdate: Error locking index pages for update.", Report::kNo);
  }
  const int32_t record_length = recordset->record_length;
  const std::string table = recordset->table_name;
  bool failed = false;
  std::string err;
  // Rows are stored in row order, as a walk over all of them would.
  std::vector<PendingRow> visit;
  visit.swap(recordset->pending);
  co_await SortInSlices(clock, visit,
                        [](const PendingRow& a, const PendingRow& b) { return a.row < b.row; });
  for (const auto& [r, read_version] : visit) {
    co_await clock.Pause();
    Row* slot = r >= 1 && r <= recordset->row_count ? recordset->mutable_row(r) : nullptr;
    if (slot == nullptr) continue;
    Row row = *slot;
    row.set_flag(Row::kPending, false);
    bool keep_pending = false;
    err.clear();
    if (!row.deleted()) {
      if (row.has_image() && IsSoundRecordLength(record_length)) {
        const std::string image = images_.at(row.image);
        bool stored = false;
        if (row.is_new()) {
          int64_t offset = -1;
          stored = database_.AddNewRecord(image, record_length, offset, table.c_str(), &err);
          if (stored) row.record_offset = offset;
        } else {
          int64_t offset = row.record_offset;
          stored = database_.UpdateRecord(image, record_length, offset, table.c_str(), &err,
                                          read_version);
          if (stored) {
            row.record_offset = offset;
            ReleaseRowLock(database_, *recordset, r, row);
          }
        }
        if (stored) {
          images_.Free(row.image);
          row.image = -1;
          row.set_flag(Row::kNew, false);
        } else {
          recordset->SetError(err);
          failed = true;
          keep_pending = true;
        }
      }
    } else if (row.record_offset < 0 || row.is_new()) {
      // A row that was never stored, or was retired by an earlier update,
      // has nothing to delete: passed over, not a failure.
      database_.DeleteRecord(table.c_str(), -1, &err);
      recordset->SetError(err);
      if (row.has_image()) images_.Free(row.image);
      row.image = -1;
    } else if (!database_.DeleteRecord(table.c_str(), row.record_offset, &err, read_version)) {
      // Tried again at the next update, like an edit that could not be stored.
      recordset->SetError(err);
      keep_pending = true;
    } else {
      ReleaseRowLock(database_, *recordset, r, row);
      if (row.has_image()) images_.Free(row.image);
      row.image = -1;
      row.record_offset = -1;
      row.set_flag(Row::kNew, false);
    }
    *slot = row;
    if (keep_pending) recordset->MarkPending(r, read_version);
  }
  if (database_.shared()) database_.index().IndexUnlock();
  co_return failed ? 0 : 1;
}

int Recordsets::RecordsetDeleteCurrentRow(TransactionContext& /*context*/, int32_t handle,
                                          int& moved_to_next) {
  Recordset* recordset =
      Checked(handle, {"RecordsetDeleteCurrentRow: Database not open!", Report::kYes,
                       "RecordsetDeleteCurrentRow: Recordset not open", Report::kYes,
                       "RecordsetDeleteCurrentRow: Current record not set!", Report::kNo});
  if (recordset == nullptr) return 0;
  const int32_t number = recordset->current_row;
  if (number > recordset->row_count) {
    return FailRecordset(database_, *recordset,
                         "RecordsetDeleteCurrentRow: Unable to read current record", Report::kYes);
  }
  const Row row = recordset->row(number);

  // The neighbours, found by the moves themselves (they skip inactive rows).
  // Only the previous row found from the current one is used: after a
  // successful move forward the step back lands on the current row again.
  int32_t next = -1;
  int32_t previous = -1;
  if (RecordsetMoveNext(handle)) {
    next = recordset->current_row;
    if (RecordsetMovePrev(handle)) previous = recordset->current_row;
  } else if (RecordsetMovePrev(handle)) {
    previous = recordset->current_row;
  }
  // Back to the row being deleted, directly: it may be inactive (a new row
  // hidden by the filter), which a bookmark could not reach.
  recordset->current_row = number;

  if (!row.deleted()) {
    std::optional<int32_t> read_version;
    if (!row.is_new()) {
      RecordHeader header;
      std::string data;
      int32_t length = 0;
      std::string err;
      if (!database_.ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset,
                                        recordset->record_length, length, &err)) {
        return FailRecordset(database_, *recordset, err, Report::kNo);
      }
      read_version = header.change_counter();
      if (database_.shared() && !row.locked() && !LockRowRecord(database_, *recordset, number)) {
        return FailRecordset(database_, *recordset,
                             "RecordsetDeleteCurrentRow: Unable to lock requested record",
                             Report::kYes);
      }
    }
    Row* marked = recordset->mutable_row(number);
    if (marked == nullptr) {
      return FailRecordset(database_, *recordset,
                           std::string("RecordsetDeleteCurrentRow: ") + kNoMemory, Report::kYes);
    }
    marked->set_flag(Row::kDeleted, true);
    recordset->MarkPending(number, read_version);
    // A new row stays current.
    if (row.is_new()) return 1;
  }

  if (next > 0 && RecordsetSetBookmark(handle, next)) {
    moved_to_next = 1;
  } else if (previous > 0 && previous != number && RecordsetSetBookmark(handle, previous)) {
    moved_to_next = 0;
  }
  return 1;
}

int Recordsets::RecordsetDeleteAll(TransactionContext& /*context*/, int32_t handle) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(DeleteAll(clock, handle));
}

// Reads every row's record first (restartable: nothing is marked yet), then
// marks the rows with the change counters read (detached).
Task<int> Recordsets::DeleteAll(SliceClock& clock, int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetDeleteAll: Database not connected", Report::kNo,
                                          "RecordsetDeleteAll: Recordset not open", Report::kYes});
  if (recordset == nullptr) co_return 0;
  if (recordset->row_count <= 0) {
    recordset->SetError("RecordsetDeleteAll: Recordset contains zero records!");
    co_return 1;
  }
  // Rows without a stored record (new rows above all) are marked like the
  // others, as RecordsetDeleteCurrentRow marks a new row: the update then
  // passes them over. A stored record that cannot be read is marked too;
  // its message stays in the error text and the update will refuse it.
  std::vector<std::optional<int32_t>> read_versions(static_cast<size_t>(recordset->row_count));
  std::string last_error;
  RecordHeader header;
  std::string data;
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    co_await clock.Pause();
    const Row row = recordset->row(r);
    if (row.deleted() || row.is_new() || row.record_offset < 0) continue;
    int32_t length = 0;
    std::string err;
    if (database_.ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset,
                                     recordset->record_length, length, &err)) {
      read_versions[static_cast<size_t>(r - 1)] = header.change_counter();
    } else {
      last_error = std::move(err);
    }
  }
  clock.Detach();
  if (recordset->mutable_block() == nullptr) {
    co_return FailRecordset(database_, *recordset, std::string("RecordsetDeleteAll: ") + kNoMemory,
                            Report::kYes);
  }
  if (!last_error.empty()) recordset->SetError(last_error);
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    co_await clock.Pause();
    const Row row = recordset->row(r);
    if (row.deleted()) continue;
    const std::optional<int32_t> read_version = read_versions[static_cast<size_t>(r - 1)];
    // A lock that cannot be had does not keep the row from its mark.
    if (read_version && database_.shared() && !row.locked()) {
      LockRowRecord(database_, *recordset, r);
    }
    recordset->mutable_row(r)->set_flag(Row::kDeleted, true);
    recordset->MarkPending(r, read_version);
  }
  co_return 1;
}

}  // namespace zt

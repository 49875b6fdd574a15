// Field values and row editing of an open recordset.
//
// Edits never touch the data file directly. The first change to a row
// copies its stored record (or, for a new row, record-length blanks) into
// an image appended to the Database's write file, and stores the image's
// offset in the row (bytes 55..65); later changes rewrite the image. Images
// are exactly the recordset's record length, laid out like record data, and
// are never reused: the write file only grows until the database closes.
// RecordsetUpdate hands every pending row to AddNewRecord, UpdateRecord or
// DeleteRecord and then drops its image; only then do the data file, the
// definition and the index see the change. A recordset therefore reads its
// own pending edits, while every other recordset reads the stored record.
//
// In shared mode an edited or delete-marked row holds a non-blocking lock on
// its record's 89-byte header region in the data file (row bytes 78..102),
// released when the row is stored. Messages go into the recordset's error
// text; those the comments call reported also go to ReportError.
//
// The TransactionContext is accepted and not consulted: nothing in the
// server opens a transaction, so no change journal is written.
#include <algorithm>
#include <string>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/record.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/resultset_row.h"

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

// Reads the rows of a resultset file in ascending order, many per read: an
// update or a delete-all visits every row, and one read per 117-byte row
// would dominate its cost. A row handed out is as the file held it when its
// chunk was read, so a caller may rewrite only rows it has already been
// given. A chunk that cannot be read whole falls back to reading row by row.
class RowScanner {
 public:
  RowScanner(FileHandle file, int32_t row_count) : file_(file), row_count_(row_count) {}

  bool Read(int32_t r, ResultsetRow& row) {
    if (r < first_ || r >= first_ + loaded_) Load(r);
    if (r >= first_ && r < first_ + loaded_) {
      const size_t at = static_cast<size_t>(r - first_) * ResultsetRow::kSize;
      std::copy_n(buffer_.data() + at, ResultsetRow::kSize, row.bytes.data());
      return true;
    }
    return ReadResultsetRow(file_, r, row) != 0;
  }

 private:
  static constexpr int32_t kChunkRows = 512;

  void Load(int32_t r) {
    loaded_ = 0;
    if (r < 1 || r > row_count_) return;
    const int32_t n = row_count_ - r + 1 < kChunkRows ? row_count_ - r + 1 : kChunkRows;
    buffer_.resize(static_cast<size_t>(n) * ResultsetRow::kSize);
    if (FileReadAt(file_, buffer_.data(), buffer_.size(), ResultsetRowOffset(r))) {
      first_ = r;
      loaded_ = n;
    }
  }

  FileHandle file_;
  int32_t row_count_;
  int32_t first_ = 0;
  int32_t loaded_ = 0;
  std::string buffer_;
};

}  // namespace

// ---- Row locks (shared mode) ----------------------------------------------

namespace {

// Takes the lock on the header region of the row's record; fills 78..102.
bool LockRowRecord(Database& database, ResultsetRow& row) {
  const int64_t offset = row.record_offset();
  if (!FileLockRegion(database.data_file(), offset, RecordHeader::kSize)) return false;
  row.set_flag(ResultsetRow::kLockFlag, true);
  row.set_flag(ResultsetRow::kEditLockFlag, true);
  row.set_lock_offset(offset);
  row.set_lock_length(RecordHeader::kSize);
  return true;
}

// Releases the row's lock after its change was stored, unless the keep-lock
// flag asks to hold it past the update.
void ReleaseRowLock(Database& database, ResultsetRow& row) {
  if (!database.shared() || !row.locked()) return;
  if (row.flag(ResultsetRow::kKeepLockFlag)) {
    row.set_flag(ResultsetRow::kEditLockFlag, false);
    return;
  }
  FileUnlockRegion(database.data_file(), row.lock_offset(), row.lock_length());
  row.set_flag(ResultsetRow::kLockFlag, false);
  row.set_flag(ResultsetRow::kEditLockFlag, false);
  row.set_lock_offset(-1);
  row.set_lock_length(0);
}

}  // namespace

int Database::RecordsetAddRow(TransactionContext& /*context*/, int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return FailRecordset(*this, *recordset, "RecordsetAddRow: Database not open!", Report::kYes);
  if (!recordset->open)
    return FailRecordset(*this, *recordset, "RecordsetAddRow: Recordset not open", Report::kYes);
  // Row numbers are 32-bit; a client adding rows forever stops here.
  if (recordset->row_count >= INT32_MAX - 1) return 0;

  ResultsetRow row = ResultsetRow::Generated(recordset->table_name, recordset->definition_offset,
                                             -1, recordset->record_length);
  // A new row has no value yet, so it passes a filter only when none is on.
  row.set_flag(ResultsetRow::kFilterFlag,
               recordset->filter_on_column.empty() || recordset->filter_on_value.empty());
  row.set_flag(ResultsetRow::kNewRowFlag, true);
  const int32_t number = (recordset->row_count < 0 ? 0 : recordset->row_count) + 1;
  if (!WriteResultsetRow(recordset->resultset_file, number, row)) return 0;
  recordset->row_count = number;
  recordset->current_row = number;
  recordset->sort_column.clear();
  return 1;
}

int Database::RecordsetSetFieldValue(TransactionContext& /*context*/, int32_t handle,
                                     const char* column, const char* value) {
  if (column == nullptr || value == nullptr) return 0;
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Database not open!",
                         Report::kYes);
  if (!recordset->open) {
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Recordset not open",
                         Report::kYes);
  }
  if (recordset->current_row < 1) {
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Current record not set!",
                         Report::kNo);
  }
  const int32_t number = recordset->current_row;
  ResultsetRow row;
  if (!ReadResultsetRow(recordset->resultset_file, number, row)) {
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Current record not set",
                         Report::kNo);
  }
  const int32_t record_length = recordset->record_length;
  if (!IsSoundRecordLength(record_length)) {
    return FailRecordset(
        *this, *recordset,
        "RecordsetSetFieldValue: Column length Exceeds record boundaries. Reuild the "
        "database",
        Report::kYes);
  }

  // The first change of a row makes its image.
  if (row.image_offset() < 0) {
    std::string image(static_cast<size_t>(record_length), ' ');
    const bool was_locked = row.locked();
    bool make_image = false;
    if (!row.is_new() && row.record_offset() >= 0) {
      RecordHeader header;
      std::string data;
      int32_t length = 0;
      std::string err;
      if (!ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset(),
                              record_length, length, &err)) {
        return FailRecordset(*this, *recordset, err, Report::kNo);
      }
      // A record shorter than the record length keeps blanks behind it.
      image.replace(0, data.size(), data);
      if (shared_ && !row.locked()) {
        if (!LockRowRecord(*this, row)) {
          return FailRecordset(*this, *recordset,
                               "RecordsetSetFieldValue: Unable to lock requested record",
                               Report::kYes);
        }
      }
      make_image = true;
    } else if (row.is_new()) {
      make_image = true;
    }
    if (make_image) {
      int64_t at = -1;
      bool stored = FileAppend(write_file_, image.data(), image.size(), at) != 0;
      if (stored) {
        row.set_image_offset(at);
        // A row that does not name its image would lose this edit.
        stored = WriteResultsetRow(recordset->resultset_file, number, row) != 0;
      }
      if (!stored) {
        if (shared_ && row.locked() && !was_locked) {
          FileUnlockRegion(data_file_, row.lock_offset(), row.lock_length());
        }
        return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Disk-Write error",
                             Report::kYes);
      }
    }
  }
  // An existing row without a stored record (retired by an update) has
  // nothing to edit.
  if (row.image_offset() < 0) return 0;

  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Could not read table header",
                         Report::kYes);
  }
  const ColumnPlace place = FindColumn(definition, column);
  if (place.index < 0) {
    return FailRecordset(*this, *recordset,
                         "RecordsetSetFieldValue: Invalid column name: " +
                             std::string(TrimBlanks(ViewOf(column).substr(0, kMaxNameLength))),
                         Report::kYes);
  }
  if (definition.is_dropped(place.index)) {
    return FailRecordset(
        *this, *recordset,
        "RecordsetSetFieldValue: Specified column is no longer accessible - it has been "
        "dropped from the table",
        Report::kYes);
  }
  // The field must lie inside the image as well as inside the record.
  if (place.start + place.size > RecordBound(definition) ||
      place.start + place.size > record_length) {
    return FailRecordset(
        *this, *recordset,
        "RecordsetSetFieldValue: Column length Exceeds record boundaries. Reuild the "
        "database",
        Report::kYes);
  }
  const std::string field = PadRight(value, static_cast<size_t>(place.size));
  if (!FileWriteAt(write_file_, field.data(), field.size(), row.image_offset() + place.start)) {
    return FailRecordset(*this, *recordset, "RecordsetSetFieldValue: Disk-Write error",
                         Report::kYes);
  }

  const std::string_view name = definition.column_name(place.index);
  if (EqualNoCase(recordset->sort_column, name)) recordset->sort_column.clear();
  // A row that no longer holds the FilterOn value leaves the filtered rows
  // (it is compared as it will read back: cut to the column and trimmed).
  // A row never regains the filter here; RecordsetFilterOn recomputes all.
  if (!recordset->filter_on_column.empty() && !recordset->filter_on_value.empty() &&
      EqualNoCase(recordset->filter_on_column, name) &&
      !EqualNoCase(TrimBlanks(field), recordset->filter_on_value) && row.passes_filter()) {
    row.set_flag(ResultsetRow::kFilterFlag, false);
    --recordset->filtered_count;
  }
  WriteResultsetRow(recordset->resultset_file, number, row);
  return 1;
}

int Database::RecordsetGetFieldValue(int32_t handle, const char* column, std::string* value) {
  if (column == nullptr || value == nullptr) return 0;
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return FailRecordset(*this, *recordset, "RecordsetGetFieldValue: Database not open!",
                         Report::kYes);
  if (!recordset->open) {
    return FailRecordset(*this, *recordset, "RecordsetGetFieldValue: Recordset not open",
                         Report::kYes);
  }
  if (recordset->current_row < 1) {
    return FailRecordset(*this, *recordset, "RecordsetGetFieldValue: Current record not set!",
                         Report::kNo);
  }
  ResultsetRow row;
  if (!ReadResultsetRow(recordset->resultset_file, recordset->current_row, row)) {
    return FailRecordset(*this, *recordset, "RecordsetGetFieldValue: Current record not set",
                         Report::kNo);
  }
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) {
    return FailRecordset(*this, *recordset, "Unable to read table definition!", Report::kYes);
  }
  const ColumnPlace place = FindColumn(definition, column);
  if (place.index < 0 || definition.is_dropped(place.index)) {
    return FailRecordset(*this, *recordset,
                         "RecordsetGetFieldValue: Invalid column name: " +
                             std::string(TrimBlanks(ViewOf(column).substr(0, kMaxNameLength))),
                         Report::kYes);
  }
  if (place.size == 0) return 1;
  switch (ReadRowValue(*recordset, row, definition, place.start, place.size, value)) {
    case RowValue::kRead:
      return 1;
    case RowValue::kBeyondImage:
      return FailRecordset(*this, *recordset, "Unable to read column value", Report::kYes);
    case RowValue::kBeyondRecord:
      return FailRecordset(*this, *recordset, "RecordsetGetFieldValue: Unable to read column value",
                           Report::kYes);
    case RowValue::kUnreadable:
      break;
  }
  return 0;
}

RowValue Database::ReadRowValue(const Recordset& recordset, const ResultsetRow& row,
                                const TableDefinition& definition, int64_t start, int64_t size,
                                std::string* value, const RecordHeader* stored_header) {
  const int64_t end = start + size;
  std::string bytes;
  if (row.image_offset() >= 0) {
    if (end > RecordBound(definition) || end > recordset.record_length) {
      return RowValue::kBeyondImage;
    }
    bytes.assign(static_cast<size_t>(size), ' ');
    if (!FileReadAt(write_file_, bytes.data(), bytes.size(), row.image_offset() + start)) {
      return RowValue::kUnreadable;
    }
  } else if (!row.is_new() && row.record_offset() >= 0) {
    RecordHeader header;
    if (stored_header != nullptr) {
      header = *stored_header;
    } else if (!FileReadAt(data_file_, header.bytes.data(), header.bytes.size(),
                           row.record_offset())) {
      return RowValue::kUnreadable;
    }
    if (end > header.data_length()) {
      if (end > RecordBound(definition)) return RowValue::kBeyondRecord;
      // A column added to the table after the record was written.
    } else {
      bytes.assign(static_cast<size_t>(size), ' ');
      if (!FileReadAt(data_file_, bytes.data(), bytes.size(),
                      row.record_offset() + static_cast<int64_t>(RecordHeader::kSize) + start)) {
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

int Database::RecordsetUpdate(TransactionContext& /*context*/, int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return FailRecordset(*this, *recordset, "RecordsetUpdate: Database not open!", Report::kYes);
  if (!recordset->open)
    return FailRecordset(*this, *recordset, "RecordsetUpdate: Recordset not open", Report::kYes);
  if (shared_ && !index_.IndexLock()) {
    return FailRecordset(*this, *recordset,
                         "RecordsetUpdate: Error locking index pages for update.", Report::kNo);
  }
  const int32_t record_length = recordset->record_length;
  const std::string table = recordset->table_name;
  const FileHandle file = recordset->resultset_file;
  bool failed = false;
  std::string err;
  std::string image;
  ResultsetRow row;
  RowScanner rows(file, recordset->row_count);
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    if (!rows.Read(r, row)) continue;
    err.clear();
    if (!row.deleted()) {
      if (row.image_offset() < 0 || !IsSoundRecordLength(record_length)) continue;
      image.assign(static_cast<size_t>(record_length), ' ');
      if (!FileReadAt(write_file_, image.data(), image.size(), row.image_offset())) continue;
      if (row.is_new()) {
        int64_t offset = -1;
        if (!AddNewRecord(image, record_length, offset, table.c_str(), &err)) {
          recordset->SetError(err);
          failed = true;
          continue;
        }
        row.set_record_offset(offset);
      } else {
        if (!UpdateRecord(image, record_length, r, file, table.c_str(), &err)) {
          recordset->SetError(err);
          failed = true;
          continue;
        }
        // UpdateRecord rewrote the record offset of a relocated record.
        if (!ReadResultsetRow(file, r, row)) continue;
        ReleaseRowLock(*this, row);
      }
      row.set_image_offset(-1);
      row.set_flag(ResultsetRow::kNewRowFlag, false);
      WriteResultsetRow(file, r, row);
    } else {
      // A row that was never stored, or was retired by an earlier update,
      // has nothing to delete: passed over, not a failure.
      if (!DeleteRecord(table.c_str(), r, file, &err)) {
        recordset->SetError(err);
        continue;
      }
      ReleaseRowLock(*this, row);
      row.set_image_offset(-1);
      row.set_record_offset(-1);
      row.set_flag(ResultsetRow::kNewRowFlag, false);
      WriteResultsetRow(file, r, row);
    }
  }
  if (shared_) index_.IndexUnlock();
  return failed ? 0 : 1;
}

int Database::RecordsetDeleteCurrentRow(TransactionContext& /*context*/, int32_t handle,
                                        int& moved_to_next) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) {
    return FailRecordset(*this, *recordset, "RecordsetDeleteCurrentRow: Database not open!",
                         Report::kYes);
  }
  if (!recordset->open) {
    return FailRecordset(*this, *recordset, "RecordsetDeleteCurrentRow: Recordset not open",
                         Report::kYes);
  }
  if (recordset->current_row < 1) {
    return FailRecordset(*this, *recordset, "RecordsetDeleteCurrentRow: Current record not set!",
                         Report::kNo);
  }
  const int32_t number = recordset->current_row;
  ResultsetRow row;
  if (!ReadResultsetRow(recordset->resultset_file, number, row)) {
    return FailRecordset(*this, *recordset,
                         "RecordsetDeleteCurrentRow: Unable to read current record", Report::kYes);
  }

  // The neighbours, found by the moves themselves (they skip inactive rows).
  // Only the previous row found from the current one is used: after a
  // successful move forward the step back lands on the current row again.
  int32_t next = -1;
  int32_t previous = -1;
  if (RecordsetMoveNext(handle)) {
    next = FindRecordset(handle)->current_row;
    if (RecordsetMovePrev(handle)) previous = FindRecordset(handle)->current_row;
  } else if (RecordsetMovePrev(handle)) {
    previous = FindRecordset(handle)->current_row;
  }
  // Back to the row being deleted, directly: it may be inactive (a new row
  // hidden by the filter), which a bookmark could not reach.
  recordset = FindRecordset(handle);
  recordset->current_row = number;

  if (!row.deleted()) {
    if (row.is_new()) {
      row.set_flag(ResultsetRow::kDeletedFlag, true);
      if (!WriteResultsetRow(recordset->resultset_file, number, row)) {
        SetErrorQuietly("Unable to mark the record as deleted - File access error");
        return 0;
      }
      return 1;
    }
    RecordHeader header;
    std::string data;
    int32_t length = 0;
    std::string err;
    if (!ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset(),
                            recordset->record_length, length, &err)) {
      return FailRecordset(*this, *recordset, err, Report::kNo);
    }
    if (shared_ && !row.locked() && !LockRowRecord(*this, row)) {
      return FailRecordset(*this, *recordset,
                           "RecordsetDeleteCurrentRow: Unable to lock requested record",
                           Report::kYes);
    }
    row.set_flag(ResultsetRow::kDeletedFlag, true);
    if (!WriteResultsetRow(recordset->resultset_file, number, row)) {
      return FailRecordset(*this, *recordset, "RecordsetDeleteCurrentRow: Error updating record.",
                           Report::kYes);
    }
  }

  if (next > 0 && RecordsetSetBookmark(handle, next)) {
    moved_to_next = 1;
  } else if (previous > 0 && previous != number && RecordsetSetBookmark(handle, previous)) {
    moved_to_next = 0;
  }
  return 1;
}

int Database::RecordsetDeleteAll(TransactionContext& /*context*/, int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return FailRecordset(*this, *recordset, "RecordsetDeleteAll: Database not connected",
                         Report::kNo);
  if (!recordset->open)
    return FailRecordset(*this, *recordset, "RecordsetDeleteAll: Recordset not open", Report::kYes);
  if (recordset->row_count <= 0) {
    recordset->SetError("RecordsetDeleteAll: Recordset contains zero records!");
    return 1;
  }
  ResultsetRow row;
  RecordHeader header;
  std::string data;
  RowScanner rows(recordset->resultset_file, recordset->row_count);
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    if (!rows.Read(r, row) || row.deleted()) continue;
    // Rows without a stored record (new rows above all) are marked like the
    // others, as RecordsetDeleteCurrentRow marks a new row: the update then
    // passes them over. A stored record that cannot be read is marked too;
    // its message stays in the error text and the update will refuse it.
    if (!row.is_new() && row.record_offset() >= 0) {
      int32_t length = 0;
      std::string err;
      if (ReadDatabaseRecord(recordset->table_name, header, data, row.record_offset(),
                             recordset->record_length, length, &err)) {
        // A lock that cannot be had does not keep the row from its mark.
        if (shared_ && !row.locked()) LockRowRecord(*this, row);
      } else {
        recordset->SetError(err);
      }
    }
    row.set_flag(ResultsetRow::kDeletedFlag, true);
    WriteResultsetRow(recordset->resultset_file, r, row);
  }
  return 1;
}

}  // namespace zt

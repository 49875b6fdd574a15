// Row selection: marking rows of a recordset as selected and moving among
// the selected rows.
//
// The selection lives in each row's selected flag; the recordset also keeps
// the number of selected rows. The count changes exactly when a flag is
// written over with the other value, so it always equals the number of
// flags set by these operations. The
// select and deselect operations do not look at the open flag (a recordset
// never opened has no rows, so every row number is out of range) nor at the
// deletion mark or the filter flag: any row can be selected. The moves visit
// only active selected rows and leave the current row alone when they fail.
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// The texts of one of the single-row operations.
struct RowTexts {
  const char* not_connected;
  const char* invalid_row;
  const char* read_error;
  const char* write_error;
};

constexpr RowTexts kSelectRowTexts = {"RecordsetSelectRow: Database not open!",
                                      "RecordsetSelectRow: Invalid Row!",
                                      "RecordsetSelectRow: Error reading specified row",
                                      "RecordsetSelectRow: Error selecting specified row"};
// A failed write of a deselection keeps the selecting text.
constexpr RowTexts kDeselectRowTexts = {"RecordsetDeselectRow: Database not open!",
                                        "RecordsetDeselectRow: Invalid Row!",
                                        "RecordsetDeselectRow: Error reading specified row",
                                        "RecordsetDeselectRow: Error selecting specified row"};

// The texts of one of the four moves among selected rows.
struct MoveTexts {
  const char* not_connected;
  const char* not_open;
  const char* no_rows;
  const char* read_error;
  const char* none_found;
};

constexpr MoveTexts kFirstTexts = {
    "RecordsetMoveToFirstSelectedRow: Database not connected",
    "RecordsetMoveToFirstSelectedRow: Recordset not open",
    "RecordsetMoveToFirstSelectedRow: Recordset contains zero records",
    "RecordsetMoveToFirstSelectedRow: No active records in the table",
    "RecordsetMoveToFirstSelectedRow: Recordset contains zero selected records"};
constexpr MoveTexts kNextTexts = {"RecordsetMoveToNextSelectedRow: Database not connected",
                                  "RecordsetMoveToNextSelectedRow: Recordset not open",
                                  "RecordsetMoveToNextSelectedRow: Recordset contains zero records",
                                  "RecordsetMoveToNextSelectedRow: No active records in the table",
                                  "RecordsetMoveToNextSelectedRow: No more selected records found"};
constexpr MoveTexts kPrevTexts = {"RecordsetMoveToPrevSelectedRow: Database not connected",
                                  "RecordsetMoveToPrevSelectedRow: Recordset not open",
                                  "RecordsetMoveToPrevSelectedRow: Recordset contains zero records",
                                  "RecordsetMoveToPrevSelectedRow: No active records in the table",
                                  "RecordsetMoveToPrevSelectedRow: No more selected records found"};
constexpr MoveTexts kLastTexts = {"RecordsetMoveToLastSelectedRow: Database not connected",
                                  "RecordsetMoveToLastSelectedRow: Recordset not open",
                                  "RecordsetMoveToLastSelectedRow: Recordset contains zero records",
                                  "RecordsetMoveToLastSelectedRow: No active records in the table",
                                  "RecordsetMoveToLastSelectedRow: No selected records found"};

constexpr char kInvalidRange[] = "Invalid Row Range!";

// Sets row's selected flag to `select`; the count follows only a flag that
// was really written over.
int MarkRow(const Database& database, Recordset& recordset, int connected, int32_t row, bool select,
            const RowTexts& texts) {
  if (!connected) return FailRecordset(database, recordset, texts.not_connected, Report::kYes);
  if (row < 1 || row > recordset.row_count) {
    return FailRecordset(database, recordset, texts.invalid_row, Report::kNo);
  }
  if (recordset.row(row).selected() == select) return 1;
  Row* bytes = recordset.mutable_row(row);
  if (bytes == nullptr) return FailRecordset(database, recordset, texts.write_error, Report::kNo);
  bytes->set_flag(Row::kSelected, select);
  recordset.selected_count += select ? 1 : -1;
  return 1;
}

// The range form: rows that cannot be read or written are passed over, and
// the result is success once the range itself is valid.
// Marks rows first..last, pausing between rows: the work touches only the
// recordset's own rows, so it needs no restart whatever others do meanwhile.
Task<int> MarkRange(SliceClock& clock, const Database& database, Recordset& recordset,
                    int connected, int32_t first, int32_t last, bool select,
                    const char* not_connected) {
  if (!connected) co_return FailRecordset(database, recordset, not_connected, Report::kYes);
  if (first < 1 || first > last || last > recordset.row_count) {
    co_return FailRecordset(database, recordset, kInvalidRange, Report::kYes);
  }
  clock.Detach();
  for (int32_t r = first; r <= last; ++r) {
    co_await clock.Pause();
    if (recordset.row(r).selected() == select) continue;
    Row* bytes = recordset.mutable_row(r);
    if (bytes == nullptr) {
      co_return FailRecordset(database, recordset, "Not enough resultset memory", Report::kYes);
    }
    bytes->set_flag(Row::kSelected, select);
    recordset.selected_count += select ? 1 : -1;
  }
  co_return 1;
}

}  // namespace

int Recordsets::RecordsetSelectRow(int32_t handle, int32_t row) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  return MarkRow(database_, *recordset, database_.IsConnected(), row, true, kSelectRowTexts);
}

int Recordsets::RecordsetDeselectRow(int32_t handle, int32_t row) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  return MarkRow(database_, *recordset, database_.IsConnected(), row, false, kDeselectRowTexts);
}

Task<int> Recordsets::MarkRows(SliceClock& clock, int32_t handle, int32_t first, int32_t last,
                               bool select, bool all) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) co_return 0;
  if (all) {
    first = 1;
    last = recordset->row_count;
  }
  co_return co_await MarkRange(clock, database_, *recordset, database_.IsConnected(), first, last,
                               select,
                               select ? "RecordsetSelectAll: Database not open!"
                                      : "RecordsetDeselectAll: Database not open!");
}

int Recordsets::RecordsetSelectRowsRange(int32_t handle, int32_t first, int32_t last) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(MarkRows(clock, handle, first, last, true, false));
}

int Recordsets::RecordsetDeselectRowsRange(int32_t handle, int32_t first, int32_t last) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(MarkRows(clock, handle, first, last, false, false));
}

// On a recordset without rows the range 1..0 is invalid, so selecting all
// of nothing fails with the range text.
int Recordsets::RecordsetSelectAll(int32_t handle) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(MarkRows(clock, handle, 0, 0, true, true));
}

int Recordsets::RecordsetDeselectAll(int32_t handle) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(MarkRows(clock, handle, 0, 0, false, true));
}

int Recordsets::RecordsetIsRowSelected(int32_t handle, int32_t row) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  if (!database_.IsConnected()) {
    return FailRecordset(database_, *recordset, "RecordsetIsRowSelected: Database not open!",
                         Report::kYes);
  }
  if (row < 1 || row > recordset->row_count) {
    return FailRecordset(database_, *recordset, "RecordsetIsRowSelected: Invalid Row!",
                         Report::kNo);
  }
  return recordset->row(row).selected() ? 1 : 0;
}

namespace {

// The walk of a move: rows from, from+step, ... while within 1..to (step +1)
// or down to `to` (step -1). The first active selected row becomes current.
// A walk that starts at row 0 (no current row) or beyond the rows ends at
// once with the read-error text.
int WalkSelected(const Database& database, Recordset& recordset, int32_t from, int32_t to,
                 int32_t step, const MoveTexts& texts) {
  for (int32_t r = from; step > 0 ? r <= to : r >= to; r += step) {
    if (r < 1 || r > recordset.row_count) {
      return FailRecordset(database, recordset, texts.read_error, Report::kNo);
    }
    const Row& bytes = recordset.row(r);
    if (bytes.active() && bytes.selected()) {
      recordset.current_row = r;
      return 1;
    }
  }
  return FailRecordset(database, recordset, texts.none_found, Report::kNo);
}

// The checks every move makes first; 1 when the walk may start.
int CheckMove(const Database& database, Recordset& recordset, int connected,
              const MoveTexts& texts) {
  if (!connected) return FailRecordset(database, recordset, texts.not_connected, Report::kNo);
  if (!recordset.open) return FailRecordset(database, recordset, texts.not_open, Report::kYes);
  if (recordset.row_count < 1) {
    return FailRecordset(database, recordset, texts.no_rows, Report::kNo);
  }
  return 1;
}

}  // namespace

int Recordsets::RecordsetMoveToFirstSelectedRow(int32_t handle) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr ||
      !CheckMove(database_, *recordset, database_.IsConnected(), kFirstTexts))
    return 0;
  return WalkSelected(database_, *recordset, 1, recordset->row_count, 1, kFirstTexts);
}

int Recordsets::RecordsetMoveToNextSelectedRow(int32_t handle) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr ||
      !CheckMove(database_, *recordset, database_.IsConnected(), kNextTexts))
    return 0;
  // Without a current row the walk starts at row 0, which cannot be read.
  const int32_t from = recordset->current_row < 1 ? 0 : recordset->current_row + 1;
  return WalkSelected(database_, *recordset, from, recordset->row_count, 1, kNextTexts);
}

int Recordsets::RecordsetMoveToPrevSelectedRow(int32_t handle) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr ||
      !CheckMove(database_, *recordset, database_.IsConnected(), kPrevTexts))
    return 0;
  const int32_t from = recordset->current_row - 1;
  if (from < 1) return FailRecordset(database_, *recordset, kPrevTexts.none_found, Report::kNo);
  return WalkSelected(database_, *recordset, from, 1, -1, kPrevTexts);
}

int Recordsets::RecordsetMoveToLastSelectedRow(int32_t handle) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr ||
      !CheckMove(database_, *recordset, database_.IsConnected(), kLastTexts))
    return 0;
  return WalkSelected(database_, *recordset, recordset->row_count, 1, -1, kLastTexts);
}

}  // namespace zt

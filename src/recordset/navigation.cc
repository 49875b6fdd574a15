// Navigation over the rows of an open recordset, bookmarks and the counts.
//
// The current row is a 1-based row number of the resultset file; any value
// below 1 means there is none. Moves visit only active rows (deletion mark
// 'N' and filter flag 'Y') and read the file row by row: nothing is cached
// between calls, so a move always sees the rows as the last edit left them.
// A failed move leaves the current row where it was.
#include <cstdio>

#include "engine/database.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/resultset_row.h"

namespace zt {
namespace {

// Sets the recordset's error text; when report, also passes it on.
int Fail(const Database& database, Recordset& recordset, std::string_view text, bool report) {
  return FailRecordset(database, recordset, text, report ? Report::kYes : Report::kNo);
}

// The first active row in first, first+step, ... up to last inclusive (step
// +1 or -1). 0: none; -1: a row could not be read.
int32_t FindActiveRow(FileHandle file, int32_t first, int32_t last, int32_t step) {
  ResultsetRow row;
  for (int32_t r = first; step > 0 ? r <= last : r >= last; r += step) {
    if (!ReadResultsetRow(file, r, row)) return -1;
    if (row.active()) return r;
  }
  return 0;
}

}  // namespace

int Database::RecordsetMoveFirst(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_)
    return Fail(*this, *recordset, "RecordsetMoveFirst: Database not connected", false);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetMoveFirst: Recordset not open", true);
  if (recordset->row_count < 1) {
    return Fail(*this, *recordset, "RecordsetMoveFirst: Recordset contains zero records", false);
  }
  const int32_t r = FindActiveRow(recordset->resultset_file, 1, recordset->row_count, 1);
  if (r < 1)
    return Fail(*this, *recordset, "RecordsetMoveFirst: No active records in the table", false);
  recordset->current_row = r;
  return 1;
}

int Database::RecordsetMoveNext(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetMoveNext: Database not open", true);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetMoveNext: Recordset not open", true);
  if (recordset->current_row < 1 || recordset->current_row >= recordset->row_count) {
    return Fail(*this, *recordset, "RecordsetMoveNext: Current record not set and/or eof", false);
  }
  const int32_t r =
      FindActiveRow(recordset->resultset_file, recordset->current_row + 1, recordset->row_count, 1);
  if (r < 0) return Fail(*this, *recordset, "RecordsetMoveNext: End of file reached", false);
  if (r == 0) return Fail(*this, *recordset, "RecordsetMoveNext: No more records", false);
  recordset->current_row = r;
  return 1;
}

int Database::RecordsetMovePrev(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetMovePrev: Database not open", true);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetMovePrev: Recordset not open", true);
  if (recordset->current_row < 2 || recordset->current_row > recordset->row_count) {
    return Fail(*this, *recordset, "RecordsetMovePrev: Reached begining of file", false);
  }
  const int32_t r = FindActiveRow(recordset->resultset_file, recordset->current_row - 1, 1, -1);
  if (r < 1) return Fail(*this, *recordset, "RecordsetMovePrev: Reached begining of file", false);
  recordset->current_row = r;
  return 1;
}

int Database::RecordsetMoveLast(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetMoveLast: Database not open", true);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetMoveLast: Recordset not open", true);
  if (recordset->row_count < 1) {
    return Fail(*this, *recordset, "RecordsetMoveLast: Recordset contains zero records", false);
  }
  const int32_t r = FindActiveRow(recordset->resultset_file, recordset->row_count, 1, -1);
  if (r < 1) return Fail(*this, *recordset, "RecordsetMoveLast: No active records", false);
  recordset->current_row = r;
  return 1;
}

int Database::RecordsetGetCurrentRowOffset(int32_t handle, int64_t& offset) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) {
    return Fail(*this, *recordset, "RecordsetGetCurrentRowOffset: Database not open!", true);
  }
  if (recordset->current_row < 1 || recordset->row_count == 0) {
    return Fail(*this, *recordset, "RecordsetGetCurrentRowOffset: Current record not set!", false);
  }
  ResultsetRow row;
  if (!recordset->open ||
      !ReadResultsetRow(recordset->resultset_file, recordset->current_row, row)) {
    return Fail(*this, *recordset, "RecordsetGetCurrentRowOffset: Current record not set", false);
  }
  offset = row.is_new() ? -1 : row.record_offset();
  return 1;
}

int Database::RecordsetCanBookmark(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetCanBookmark: Database not open!", true);
  if (!recordset->open) {
    return Fail(*this, *recordset, "RecordsetCanBookmark: Recordset not open!", true);
  }
  return 1;
}

int Database::RecordsetSetBookmark(int32_t handle, int32_t bookmark) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetSetBookmark: Database not open!", true);
  if (!recordset->open) {
    return Fail(*this, *recordset, "RecordsetSetBookmark: Recordset not open", true);
  }
  if (bookmark < 1 || bookmark > recordset->row_count) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "RecordsetSetBookmark: Invalid bookmark - valid bookmarks range from 0 to %d.",
                  static_cast<int>(recordset->row_count));
    return Fail(*this, *recordset, text, true);
  }
  ResultsetRow row;
  if (!ReadResultsetRow(recordset->resultset_file, bookmark, row)) {
    return Fail(*this, *recordset, "RecordsetSetBookmark: Cannot set requested bookmark", false);
  }
  if (!row.active()) {
    return Fail(*this, *recordset,
                "RecordsetSetBookmark: Requested bookmark points to an inaccessible record within "
                "the recordset.",
                false);
  }
  recordset->current_row = bookmark;
  return 1;
}

int Database::RecordsetGetBookmark(int32_t handle, int32_t& bookmark) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetGetBookmark: Database not open!", true);
  if (!recordset->open) {
    return Fail(*this, *recordset, "RecordsetGetBookmark: Recordset not open", true);
  }
  if (recordset->current_row < 1) {
    return Fail(*this, *recordset, "RecordsetGetBookmark: Current record not set!", false);
  }
  bookmark = recordset->current_row;
  return 1;
}

int Database::RecordsetGetLastUpdatedBookmark(int32_t handle, int32_t& bookmark) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) {
    return Fail(*this, *recordset, "RecordsetGetLastUpdatedBookmark: Database not open!", true);
  }
  if (!recordset->open) {
    return Fail(*this, *recordset, "RecordsetGetLastUpdatedBookmark: Recordset not open!", true);
  }
  if (recordset->current_row < 1) return 0;
  bookmark = recordset->current_row;
  return 1;
}

int Database::RecordsetGetRowCount(int32_t handle, int32_t& count) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetGetRowCount: Database not open!", true);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetGetRowCount: Recordset not open", true);
  count = recordset->row_count;
  return 1;
}

// Shares the row count's texts: clients know both as the row count.
int Database::RecordsetGetSelectedRowCount(int32_t handle, int32_t& count) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) return Fail(*this, *recordset, "RecordsetGetRowCount: Database not open!", true);
  if (!recordset->open)
    return Fail(*this, *recordset, "RecordsetGetRowCount: Recordset not open", true);
  count = recordset->selected_count;
  return 1;
}

int Database::RecordsetGetFilteredCount(int32_t handle, int32_t& count) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) {
    return Fail(*this, *recordset, "RecordsetGetFilteredCount: Database not open!", true);
  }
  if (!recordset->open) {
    return Fail(*this, *recordset, "RecordsetGetFilteredCount: Recordset not open", true);
  }
  count = recordset->filtered_count;
  return 1;
}

}  // namespace zt

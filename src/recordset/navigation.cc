// Navigation over the rows of an open recordset, bookmarks and the counts.
//
// The current row is a 1-based row number; any value below 1 means there is
// none. Moves visit only active rows (not marked deleted, passing the
// filter). A failed move leaves the current row where it was.
#include <cstdio>

#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

// Sets the recordset's error text; when report, also passes it on.
int Fail(const Database& database, Recordset& recordset, std::string_view text, bool report) {
  return FailRecordset(database, recordset, text, report ? Report::kYes : Report::kNo);
}

// The first active row in first, first+step, ... up to last inclusive (step
// +1 or -1). 0: none.
int32_t FindActiveRow(const Recordset& recordset, int32_t first, int32_t last, int32_t step) {
  if (!recordset.has_rows()) return 0;
  for (int32_t r = first; step > 0 ? r <= last : r >= last; r += step) {
    if (recordset.row(r).active()) return r;
  }
  return 0;
}

}  // namespace

int Recordsets::RecordsetMoveFirst(int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetMoveFirst: Database not connected", Report::kNo,
                                          "RecordsetMoveFirst: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->row_count < 1) {
    return Fail(database_, *recordset, "RecordsetMoveFirst: Recordset contains zero records",
                false);
  }
  const int32_t r = FindActiveRow(*recordset, 1, recordset->row_count, 1);
  if (r < 1)
    return Fail(database_, *recordset, "RecordsetMoveFirst: No active records in the table", false);
  recordset->current_row = r;
  return 1;
}

int Recordsets::RecordsetMoveNext(int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetMoveNext: Database not open", Report::kYes,
                                          "RecordsetMoveNext: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->current_row < 1 || recordset->current_row >= recordset->row_count) {
    return Fail(database_, *recordset, "RecordsetMoveNext: Current record not set and/or eof",
                false);
  }
  const int32_t r = FindActiveRow(*recordset, recordset->current_row + 1, recordset->row_count, 1);
  if (r < 0) return Fail(database_, *recordset, "RecordsetMoveNext: End of file reached", false);
  if (r == 0) return Fail(database_, *recordset, "RecordsetMoveNext: No more records", false);
  recordset->current_row = r;
  return 1;
}

int Recordsets::RecordsetMovePrev(int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetMovePrev: Database not open", Report::kYes,
                                          "RecordsetMovePrev: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->current_row < 2 || recordset->current_row > recordset->row_count) {
    return Fail(database_, *recordset, "RecordsetMovePrev: Reached beginning of file", false);
  }
  const int32_t r = FindActiveRow(*recordset, recordset->current_row - 1, 1, -1);
  if (r < 1)
    return Fail(database_, *recordset, "RecordsetMovePrev: Reached beginning of file", false);
  recordset->current_row = r;
  return 1;
}

int Recordsets::RecordsetMoveLast(int32_t handle) {
  Recordset* recordset = Checked(handle, {"RecordsetMoveLast: Database not open", Report::kYes,
                                          "RecordsetMoveLast: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->row_count < 1) {
    return Fail(database_, *recordset, "RecordsetMoveLast: Recordset contains zero records", false);
  }
  const int32_t r = FindActiveRow(*recordset, recordset->row_count, 1, -1);
  if (r < 1) return Fail(database_, *recordset, "RecordsetMoveLast: No active records", false);
  recordset->current_row = r;
  return 1;
}

int Recordsets::RecordsetGetCurrentRowOffset(int32_t handle, int64_t& offset) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  if (!database_.IsConnected()) {
    return Fail(database_, *recordset, "RecordsetGetCurrentRowOffset: Database not open!", true);
  }
  if (recordset->current_row < 1 || recordset->row_count == 0) {
    return Fail(database_, *recordset, "RecordsetGetCurrentRowOffset: Current record not set!",
                false);
  }
  if (!recordset->open || recordset->current_row > recordset->row_count) {
    return Fail(database_, *recordset, "RecordsetGetCurrentRowOffset: Current record not set",
                false);
  }
  const Row& row = recordset->row(recordset->current_row);
  offset = row.is_new() ? -1 : row.record_offset;
  return 1;
}

int Recordsets::RecordsetCanBookmark(int32_t handle) {
  Recordset* recordset =
      Checked(handle, {"RecordsetCanBookmark: Database not open!", Report::kYes,
                       "RecordsetCanBookmark: Recordset not open!", Report::kYes});
  if (recordset == nullptr) return 0;
  return 1;
}

int Recordsets::RecordsetSetBookmark(int32_t handle, int32_t bookmark) {
  Recordset* recordset =
      Checked(handle, {"RecordsetSetBookmark: Database not open!", Report::kYes,
                       "RecordsetSetBookmark: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  if (bookmark < 1 || bookmark > recordset->row_count) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "RecordsetSetBookmark: Invalid bookmark - valid bookmarks range from 0 to %d.",
                  static_cast<int>(recordset->row_count));
    return Fail(database_, *recordset, text, true);
  }
  if (!recordset->row(bookmark).active()) {
    return Fail(database_, *recordset,
                "RecordsetSetBookmark: Requested bookmark points to an inaccessible record within "
                "the recordset.",
                false);
  }
  recordset->current_row = bookmark;
  return 1;
}

int Recordsets::RecordsetGetBookmark(int32_t handle, int32_t& bookmark) {
  Recordset* recordset =
      Checked(handle, {"RecordsetGetBookmark: Database not open!", Report::kYes,
                       "RecordsetGetBookmark: Recordset not open", Report::kYes,
                       "RecordsetGetBookmark: Current record not set!", Report::kNo});
  if (recordset == nullptr) return 0;
  bookmark = recordset->current_row;
  return 1;
}

int Recordsets::RecordsetGetLastUpdatedBookmark(int32_t handle, int32_t& bookmark) {
  Recordset* recordset =
      Checked(handle, {"RecordsetGetLastUpdatedBookmark: Database not open!", Report::kYes,
                       "RecordsetGetLastUpdatedBookmark: Recordset not open!", Report::kYes});
  if (recordset == nullptr) return 0;
  if (recordset->current_row < 1) return 0;
  bookmark = recordset->current_row;
  return 1;
}

int Recordsets::RecordsetGetRowCount(int32_t handle, int32_t& count) {
  Recordset* recordset =
      Checked(handle, {"RecordsetGetRowCount: Database not open!", Report::kYes,
                       "RecordsetGetRowCount: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  count = recordset->row_count;
  return 1;
}

// Shares the row count's texts: clients know both as the row count.
int Recordsets::RecordsetGetSelectedRowCount(int32_t handle, int32_t& count) {
  Recordset* recordset =
      Checked(handle, {"RecordsetGetRowCount: Database not open!", Report::kYes,
                       "RecordsetGetRowCount: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  count = recordset->selected_count;
  return 1;
}

int Recordsets::RecordsetGetFilteredCount(int32_t handle, int32_t& count) {
  Recordset* recordset =
      Checked(handle, {"RecordsetGetFilteredCount: Database not open!", Report::kYes,
                       "RecordsetGetFilteredCount: Recordset not open", Report::kYes});
  if (recordset == nullptr) return 0;
  count = recordset->filtered_count;
  return 1;
}

}  // namespace zt

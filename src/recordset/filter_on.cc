// RecordsetFilterOn: narrowing the visible rows of an open recordset by one
// column's value, without regenerating its rows.
//
// Every row's filter flag is recomputed: 'Y' when the row's value of the
// column equals the value (as text, without regard to case), or for every
// row when the value is empty. The value is taken from the row's pending
// image when it has one, else from its stored record.
// Rows marked for deletion are filtered out unless the value is empty.
#include <string>

#include "engine/codec.h"
#include "engine/record.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
int Recordsets::RecordsetFilterOn(int32_t handle, const char* column_name, const char* value) {
  SliceClock clock = SliceClock::Whole();
  return RunWhole(FilterOn(clock, handle, column_name, value));
}

// Restartable throughout: every row's flag and the count are set afresh.
Task<int> Recordsets::FilterOn(SliceClock& clock, int32_t handle, const char* column_name,
                               const char* value) {
  Recordset* recordset = Checked(handle, {"RecordsetFilterOn: Database not open!", Report::kYes,
                                          "RecordsetFilterOn: Recordset not open!", Report::kYes});
  if (recordset == nullptr) co_return 0;
  auto fail = [&](std::string_view text) {
    return FailRecordset(database_, *recordset, text, Report::kYes);
  };

  const std::string column(TrimBlanks(ViewOf(column_name).substr(0, kMaxNameLength)));
  const std::string wanted(TrimBlanks(ViewOf(value).substr(0, kMaxFilterOnValue)));
  if (column.empty()) {
    recordset->filter_on_column = column;
    recordset->filter_on_value = wanted;
    co_return 1;
  }

  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!database_.GetTableDef(recordset->table_name.c_str(), definition, definition_offset))
    co_return 0;
  const int f = definition.find_column(column);
  if (f < 0 || definition.is_dropped(f)) co_return 0;
  const int64_t column_offset = definition.column_offset(f);
  const int64_t column_size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
  if (column_offset + column_size > recordset->record_length) co_return 0;
  // A damaged definition may claim any size; no sound column is wider than
  // a record can be.
  if (column_size > kMaxRecordLength) co_return 0;
  // The record length bounds offset + size, so the cut below stays within
  // what a record read can return.
  const int32_t max_length =
      recordset->record_length > kMaxRecordLength ? kMaxRecordLength : recordset->record_length;

  const std::string table(recordset->table_name);
  std::string data;
  std::string field;
  recordset->filtered_count = 0;
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    co_await clock.Pause();
    const Row& row = recordset->row(r);
    bool passes = wanted.empty();
    if (!passes && !row.deleted()) {
      field.clear();
      if (row.is_new() || row.has_image()) {
        if (row.has_image()) {
          const std::string& image = images_.at(row.image);
          if (column_offset + column_size <= static_cast<int64_t>(image.size())) {
            field =
                image.substr(static_cast<size_t>(column_offset), static_cast<size_t>(column_size));
          }
        }
      } else if (row.record_offset >= 0) {
        RecordHeader header;
        int32_t length = 0;
        if (database_.ReadDatabaseRecord(table, header, data, row.record_offset, max_length, length,
                                         &recordset->error_text) &&
            column_offset < static_cast<int64_t>(data.size())) {
          field = data.substr(static_cast<size_t>(column_offset), static_cast<size_t>(column_size));
        }
        if (recordset->error_text.size() > kMaxRecordsetErrorText) {
          recordset->error_text.resize(kMaxRecordsetErrorText);
        }
      }
      passes = EqualNoCase(TrimBlanks(field), wanted);
    }
    if (passes) ++recordset->filtered_count;
    if (row.passes_filter() != passes) {
      Row* changed = recordset->mutable_row(r);
      if (changed == nullptr) {
        co_return fail("RecordsetFilterOn: Not enough resultset memory");
      }
      changed->set_flag(Row::kPassesFilter, passes);
    }
  }
  recordset->filter_on_column = column;
  recordset->filter_on_value = wanted;
  co_return 1;
}

}  // namespace zt

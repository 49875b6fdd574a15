// RecordsetFilterOn: narrowing the visible rows of an open recordset by one
// column's value, without regenerating its resultset file.
//
// Every row's filter flag is recomputed: 'Y' when the row's value of the
// column equals the value (as text, without regard to case), or for every
// row when the value is empty. The value is taken from the row's pending
// image in the write file when it has one, else from its stored record.
// Rows marked for deletion are filtered out unless the value is empty.
#include <string>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/record.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/resultset_row.h"

namespace zt {
int Database::RecordsetFilterOn(int32_t handle, const char* column_name, const char* value) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  auto fail = [&](std::string_view text) {
    return FailRecordset(*this, *recordset, text, Report::kYes);
  };
  if (!connected_) return fail("RecordsetFilterOn: Database not open!");
  if (!recordset->open) return fail("RecordsetFilterOn: Recordset not open!");

  const std::string column(TrimBlanks(ViewOf(column_name).substr(0, kMaxNameLength)));
  const std::string wanted(TrimBlanks(ViewOf(value).substr(0, kMaxFilterOnValue)));
  if (column.empty()) {
    recordset->filter_on_column = column;
    recordset->filter_on_value = wanted;
    return 1;
  }

  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(recordset->table_name.c_str(), definition, definition_offset)) return 0;
  const int f = definition.find_column(column);
  if (f < 0 || definition.is_dropped(f)) return 0;
  const int64_t column_offset = definition.column_offset(f);
  const int64_t column_size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
  if (column_offset + column_size > recordset->record_length) return 0;
  // A damaged definition may claim any size; no sound column is wider than
  // a record can be.
  if (column_size > kMaxRecordLength) return 0;
  // The record length bounds offset + size, so the cut below stays within
  // what a record read can return.
  const int32_t max_length =
      recordset->record_length > kMaxRecordLength ? kMaxRecordLength : recordset->record_length;

  const std::string table(recordset->table_name);
  std::string data;
  std::string field;
  recordset->filtered_count = 0;
  ResultsetRow row;
  for (int32_t r = 1; r <= recordset->row_count; ++r) {
    if (!ReadResultsetRow(recordset->resultset_file, r, row)) continue;
    bool passes = wanted.empty();
    if (!passes && !row.deleted()) {
      field.clear();
      if (row.is_new() || row.image_offset() >= 0) {
        if (row.image_offset() >= 0) {
          field.assign(static_cast<size_t>(column_size), ' ');
          if (!FileReadAt(write_file_, field.data(), field.size(),
                          row.image_offset() + column_offset)) {
            field.clear();
          }
        }
      } else if (row.record_offset() >= 0) {
        RecordHeader header;
        int32_t length = 0;
        if (ReadDatabaseRecord(table, header, data, row.record_offset(), max_length, length,
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
      row.set_flag(ResultsetRow::kFilterFlag, passes);
      WriteResultsetRow(recordset->resultset_file, r, row);
    }
  }
  recordset->filter_on_column = column;
  recordset->filter_on_value = wanted;
  return 1;
}

}  // namespace zt

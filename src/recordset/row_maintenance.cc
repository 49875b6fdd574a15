// UpdateRecord and DeleteRecord: the record maintenance operations that name
// their record through a row of a recordset's resultset file. This file
// reads and rewrites that row; the record and index work is the engine's
// (engine/record_maintenance.cc).
//
// The row's record offset (bytes 44..54) names the record; a negative one
// means the row has no stored record. After a relocating update the row is
// rewritten with the new offset, so the same row reaches the new copy.
#include <string>

#include "engine/database.h"
#include "recordset/resultset_row.h"

namespace zt {
namespace {

int Refuse(std::string* err, std::string_view message) {
  err->assign(message);
  return 0;
}

}  // namespace

int Database::UpdateRecord(std::string_view data, int32_t length, int32_t row,
                           FileHandle resultset_file, const char* table, std::string* err) {
  if (err == nullptr) return 0;
  if (table == nullptr) return Refuse(err, "UpdateRecord: Invalid table name!");
  if (data.data() == nullptr)
    return Refuse(err, "UpdateRecord: Cannot update a record with a NULL!");
  if (!connected_) return Refuse(err, "UpdateRecord: Database not open!");
  if (row < 1) return Refuse(err, "UpdateRecord: Current record not set");
  ResultsetRow slot;
  if (!ReadResultsetRow(resultset_file, row, slot)) {
    return Refuse(err, "UpdateRecord: Unable to read existing record from the database");
  }
  int64_t offset = slot.record_offset();
  if (offset < 0) return Refuse(err, "UpdateRecord: Current record not set");
  const int64_t old_offset = offset;
  if (!UpdateStoredRecord(data, length, offset, table, err)) return 0;
  if (offset != old_offset) {
    slot.set_record_offset(offset);
    WriteResultsetRow(resultset_file, row, slot);
  }
  return 1;
}

int Database::DeleteRecord(const char* table, int32_t row, FileHandle resultset_file,
                           std::string* err) {
  if (err == nullptr || table == nullptr) return 0;
  if (!connected_) return Refuse(err, "DeleteRecord: Database not open!");
  if (row < 1) return Refuse(err, "DeleteRecord: Invalid record offset");
  ResultsetRow slot;
  if (!ReadResultsetRow(resultset_file, row, slot)) {
    return Refuse(err, "DeleteRecord: Unable to read existing record from the database");
  }
  const int64_t offset = slot.record_offset();
  if (offset < 0) return Refuse(err, "DeleteRecord: Current record not set");
  if (!slot.deleted()) return Refuse(err, "DeleteRecord: Record was never marked for deletion");
  return RetireStoredRecord(table, offset, err);
}

}  // namespace zt

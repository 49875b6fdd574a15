#include "recordset/resultset_row.h"

namespace zt {

ResultsetRow ResultsetRow::Generated(std::string_view table, int64_t definition_offset,
                                     int64_t record_offset, int32_t record_length) {
  ResultsetRow row;
  PutTextField(&row.bytes[kTableNameOffset], kNameFieldWidth, table);
  // Only the low 32 bits of the definition offset are kept.
  row.SetNumber(kDefinitionOffset, static_cast<int32_t>(definition_offset));
  row.set_record_offset(record_offset);
  row.set_image_offset(-1);
  row.set_record_length(record_length);
  row.set_flag(kDeletedFlag, false);
  row.set_flag(kLockFlag, false);
  row.set_flag(kEditLockFlag, false);
  row.set_flag(kKeepLockFlag, false);
  row.set_lock_offset(-1);
  row.set_lock_length(0);
  row.set_flag(kFilterFlag, true);
  row.set_flag(kNewRowFlag, false);
  row.set_flag(kSelectedFlag, false);
  row.SetNumber(kReservedOffset, 0);
  return row;
}

int ReadResultsetRow(FileHandle file, int32_t row, ResultsetRow& out) {
  if (row < 1) return 0;
  return FileReadAt(file, out.bytes.data(), out.bytes.size(), ResultsetRowOffset(row));
}

int WriteResultsetRow(FileHandle file, int32_t row, const ResultsetRow& in) {
  if (row < 1) return 0;
  return FileWriteAt(file, in.bytes.data(), in.bytes.size(), ResultsetRowOffset(row));
}

std::string MakeResultsetFileName(const char* prefix, const char* extension) {
  return MakeUniqueTempFile(prefix, extension);
}

}  // namespace zt

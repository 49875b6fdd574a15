// ResultsetRow: one row of a recordset's resultset file.
//
// The resultset file is a sequence of fixed 117-byte rows without a header;
// row r (1-based) lies at offset 117*(r-1). Numbers are decimal text,
// NUL-terminated inside their field; flags are 'Y'/'N', compared after
// folding to upper case.
//   OFFSET  WIDTH  CONTENT                                      AT GENERATION
//   0       33     table name of the recordset                  table name
//   33      11     table-definition offset (low 32 bits)        offset
//   44      11     record offset in the data file; -1 for a     record offset
//                  row added and not yet stored
//   55      11     write-file offset of the pending image; -1   -1
//   66      11     record length                                record length
//   77      1      deletion mark                                'N'
//   78      1      lock flag (region lock held, shared mode)    'N'
//   79      1      edit-lock flag                               'N'
//   80      1      keep-lock flag (nothing sets it)             'N'
//   81      11     offset of the locked region                  -1
//   92      11     length of the locked region                  0
//   103     1      filter flag: 'Y' passes the filter-on test   'Y'
//   104     1      new-row flag: exists only in the write file  'N'
//   105     1      selected flag                                'N'
//   106     11     reserved                                     0
// A row is active when its deletion mark is 'N' and its filter flag 'Y'.
#ifndef ZT_RECORDSET_RESULTSET_ROW_H_
#define ZT_RECORDSET_RESULTSET_ROW_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/codec.h"
#include "engine/file.h"

namespace zt {

struct ResultsetRow {
  static constexpr size_t kTableNameOffset = 0;
  static constexpr size_t kDefinitionOffset = kTableNameOffset + kNameFieldWidth;     // 33
  static constexpr size_t kRecordOffset = kDefinitionOffset + kNumberFieldWidth;      // 44
  static constexpr size_t kImageOffset = kRecordOffset + kNumberFieldWidth;           // 55
  static constexpr size_t kRecordLengthOffset = kImageOffset + kNumberFieldWidth;     // 66
  static constexpr size_t kDeletedFlag = kRecordLengthOffset + kNumberFieldWidth;     // 77
  static constexpr size_t kLockFlag = kDeletedFlag + 1;                               // 78
  static constexpr size_t kEditLockFlag = kLockFlag + 1;                              // 79
  static constexpr size_t kKeepLockFlag = kEditLockFlag + 1;                          // 80
  static constexpr size_t kLockOffsetOffset = kKeepLockFlag + 1;                      // 81
  static constexpr size_t kLockLengthOffset = kLockOffsetOffset + kNumberFieldWidth;  // 92
  static constexpr size_t kFilterFlag = kLockLengthOffset + kNumberFieldWidth;        // 103
  static constexpr size_t kNewRowFlag = kFilterFlag + 1;                              // 104
  static constexpr size_t kSelectedFlag = kNewRowFlag + 1;                            // 105
  static constexpr size_t kReservedOffset = kSelectedFlag + 1;                        // 106
  static constexpr size_t kSize = kReservedOffset + kNumberFieldWidth;

  std::array<char, kSize> bytes{};

  // A row as generation writes it.
  static ResultsetRow Generated(std::string_view table, int64_t definition_offset,
                                int64_t record_offset, int32_t record_length);

  std::string_view table_name() const { return Text(kTableNameOffset, kNameFieldWidth); }
  int64_t definition_offset() const { return Number(kDefinitionOffset); }
  int64_t record_offset() const { return Number(kRecordOffset); }
  void set_record_offset(int64_t v) { SetNumber(kRecordOffset, v); }
  int64_t image_offset() const { return Number(kImageOffset); }
  void set_image_offset(int64_t v) { SetNumber(kImageOffset, v); }
  int32_t record_length() const { return Number(kRecordLengthOffset); }
  void set_record_length(int32_t v) { SetNumber(kRecordLengthOffset, v); }
  int64_t lock_offset() const { return Number(kLockOffsetOffset); }
  void set_lock_offset(int64_t v) { SetNumber(kLockOffsetOffset, v); }
  int64_t lock_length() const { return Number(kLockLengthOffset); }
  void set_lock_length(int64_t v) { SetNumber(kLockLengthOffset, v); }

  bool flag(size_t at) const { return FlagIs(bytes[at], 'Y'); }
  void set_flag(size_t at, bool on) { bytes[at] = on ? 'Y' : 'N'; }
  bool deleted() const { return flag(kDeletedFlag); }
  bool locked() const { return flag(kLockFlag); }
  bool passes_filter() const { return flag(kFilterFlag); }
  bool is_new() const { return flag(kNewRowFlag); }
  bool selected() const { return flag(kSelectedFlag); }
  // Navigation visits only active rows.
  bool active() const { return !deleted() && passes_filter(); }

 private:
  std::string_view Text(size_t at, size_t width) const { return GetTextField(&bytes[at], width); }
  int32_t Number(size_t at) const { return GetNumberField(&bytes[at], kNumberFieldWidth); }
  void SetNumber(size_t at, int64_t v) { PutNumberField(&bytes[at], kNumberFieldWidth, v); }
};
static_assert(ResultsetRow::kSize == 117);

// Row r (1-based) of a resultset file; rows below 1 are never read.
int ReadResultsetRow(FileHandle file, int32_t row, ResultsetRow& out);
int WriteResultsetRow(FileHandle file, int32_t row, const ResultsetRow& in);
inline int64_t ResultsetRowOffset(int32_t row) {
  return static_cast<int64_t>(ResultsetRow::kSize) * (row - 1);
}

// A new, empty, uniquely named file in the temporary folder:
// prefix + unique part + "." + extension. Empty when none can be made.
std::string MakeResultsetFileName(const char* prefix, const char* extension);

}  // namespace zt

#endif  // ZT_RECORDSET_RESULTSET_ROW_H_

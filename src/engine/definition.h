// The definition file (<base>.zdf): a header that names the tables and holds
// eight location texts, followed by one fixed-size TableDefinition per table.
// Every number is decimal text, NUL-terminated inside its field.
//
// DefinitionHeader, 8906 bytes at file offset 0:
//   OFFSET  WIDTH     CONTENT
//   0       11        number of tables n
//   11      255 x 33  table-name slot i at 11 + 33*i: the table whose
//                     definition is record i; at most 32 characters
//   8426    100       location field 1
//   8526    150       location field 2
//   8676    50        location field 3
//   8726    20        location fields 4, 5, 6, 7 (20 bytes each)
//   8806    100       location field 8 (ends at 8906)
//
// TableDefinition i, 12441 bytes at 8906 + 12441*i:
//   OFFSET  WIDTH     CONTENT
//   0       33        table name (equals name slot i)
//   33      11        number of columns (at most 99)
//   44      11        record length: data bytes of every record
//   55      11        data-file offset of the table's newest record; < 0: none
//   66      99 x 33   column name f at 66 + 33*f
//   3333    99 x 33   not read by the server (zero when we create it)
//   6600    99 x 11   column size f at 6600 + 11*f
//   7689    99 x 11   not read by the server
//   8778    99 x 11   column type code f at 8778 + 11*f (1, 2, 3 numeric)
//   9867    99 x 11   not read by the server
//   10956   99 x 11   not read by the server
//   12045   99 x 1    key flag f: 'Y' (any case) = key column, indexed
//   12144   99 x 1    not read by the server
//   12243   99 x 1    not read by the server
//   12342   99 x 1    dropped flag f: 'N' (any case) = live, else dropped
//
// The structs keep the raw bytes, so fields the server does not read are
// carried unchanged whenever a definition is rewritten. Accessors never read
// outside the record: counts read from a file are clamped to their limits.
#ifndef ZT_ENGINE_DEFINITION_H_
#define ZT_ENGINE_DEFINITION_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/codec.h"

namespace zt {

inline constexpr int kMaxTables = 255;
inline constexpr int kMaxColumns = 99;
inline constexpr int kMaxRecordLength = 16384;
inline constexpr int kLocationFieldCount = 8;

struct DefinitionHeader {
  static constexpr size_t kTableCountOffset = 0;
  static constexpr size_t kTableNamesOffset = kTableCountOffset + kNumberFieldWidth;  // 11
  static constexpr size_t kLocationOffset = kTableNamesOffset + kMaxTables * kNameFieldWidth;
  static constexpr std::array<size_t, kLocationFieldCount> kLocationWidths = {100, 150, 50, 20,
                                                                              20,  20,  20, 100};
  static constexpr std::array<size_t, kLocationFieldCount> kLocationOffsets = {
      8426, 8526, 8676, 8726, 8746, 8766, 8786, 8806};
  static constexpr size_t kSize = 8906;
  static constexpr size_t LocationFieldOffset(int k) {
    return kLocationOffsets[static_cast<size_t>(k)];
  }

  std::array<char, kSize> bytes{};

  // Number of tables as stored (may be anything in a damaged file).
  int32_t stored_table_count() const;
  // Number of name slots that may be looked at: the stored count within 0..255.
  int table_count() const;
  void set_table_count(int n);
  std::string_view table_name(int slot) const;
  void set_table_name(int slot, std::string_view name);
  // Location field k (0-based) and its replacement, cut to the field's width
  // less one so that nothing runs into the next field.
  std::string_view location(int k) const;
  void set_location(int k, std::string_view text);
};
// The location fields lie end to end after the name slots and fill the header.
constexpr bool LocationFieldsAreContiguous() {
  size_t offset = DefinitionHeader::kLocationOffset;
  for (int k = 0; k < kLocationFieldCount; ++k) {
    if (DefinitionHeader::kLocationOffsets[static_cast<size_t>(k)] != offset) return false;
    offset += DefinitionHeader::kLocationWidths[static_cast<size_t>(k)];
  }
  return offset == DefinitionHeader::kSize;
}
static_assert(DefinitionHeader::kLocationOffset == 8426);
static_assert(LocationFieldsAreContiguous());

struct TableDefinition {
  static constexpr size_t kNameOffset = 0;
  static constexpr size_t kColumnCountOffset = kNameOffset + kNameFieldWidth;             // 33
  static constexpr size_t kRecordLengthOffset = kColumnCountOffset + kNumberFieldWidth;   // 44
  static constexpr size_t kNewestRecordOffset = kRecordLengthOffset + kNumberFieldWidth;  // 55
  static constexpr size_t kColumnNamesOffset = kNewestRecordOffset + kNumberFieldWidth;   // 66
  static constexpr size_t kUnusedNamesOffset = kColumnNamesOffset + kMaxColumns * kNameFieldWidth;
  static constexpr size_t kColumnSizesOffset = kUnusedNamesOffset + kMaxColumns * kNameFieldWidth;
  static constexpr size_t kUnusedNumbers1Offset =
      kColumnSizesOffset + kMaxColumns * kNumberFieldWidth;
  static constexpr size_t kColumnTypesOffset =
      kUnusedNumbers1Offset + kMaxColumns * kNumberFieldWidth;
  static constexpr size_t kUnusedNumbers2Offset =
      kColumnTypesOffset + kMaxColumns * kNumberFieldWidth;
  static constexpr size_t kUnusedNumbers3Offset =
      kUnusedNumbers2Offset + kMaxColumns * kNumberFieldWidth;
  static constexpr size_t kKeyFlagsOffset = kUnusedNumbers3Offset + kMaxColumns * kNumberFieldWidth;
  static constexpr size_t kUnusedFlags1Offset = kKeyFlagsOffset + kMaxColumns;
  static constexpr size_t kUnusedFlags2Offset = kUnusedFlags1Offset + kMaxColumns;
  static constexpr size_t kDroppedFlagsOffset = kUnusedFlags2Offset + kMaxColumns;
  static constexpr size_t kSize = kDroppedFlagsOffset + kMaxColumns;

  std::array<char, kSize> bytes{};

  std::string_view name() const;
  void set_name(std::string_view name);
  // Number of columns as stored, and clamped to 0..99 for iteration.
  int32_t stored_column_count() const;
  int column_count() const;
  void set_column_count(int n);
  int32_t record_length() const;
  void set_record_length(int32_t n);
  int64_t newest_record() const;
  void set_newest_record(int64_t offset);
  // The newest-record field as the raw text it holds (copied as it stands
  // when a deleted head record hands the chain back to its predecessor).
  std::string_view newest_record_text() const;
  void set_newest_record_text(std::string_view text);

  // Column f, 0 <= f < 99.
  std::string_view column_name(int f) const;
  void set_column_name(int f, std::string_view name);
  int32_t column_size(int f) const;
  void set_column_size(int f, int32_t size);
  int32_t column_type(int f) const;
  void set_column_type(int f, int32_t type);
  bool is_key(int f) const;
  void set_key(int f, bool key);
  bool is_dropped(int f) const;
  void set_dropped(int f, bool dropped);

  // Position of column f's first byte in a record: the sum of the sizes of
  // columns 0 .. f-1, dropped ones included (negative sizes count as 0).
  int64_t column_offset(int f) const;
  // The first live-or-dropped column whose name equals name without regard
  // to case, or -1.
  int find_column(std::string_view name) const;
  // The first live column (dropped flag 'N') whose name equals name without
  // regard to case, or -1.
  int find_live_column(std::string_view name) const;
  // Column f's type code as the text the definition stores.
  std::string_view column_type_text(int f) const;
};
static_assert(TableDefinition::kColumnSizesOffset == 6600);
static_assert(TableDefinition::kColumnTypesOffset == 8778);
static_assert(TableDefinition::kKeyFlagsOffset == 12045);
static_assert(TableDefinition::kDroppedFlagsOffset == 12342);
static_assert(TableDefinition::kSize == 12441);

// File offset of table definition record i.
inline constexpr int64_t TableDefinitionOffset(int i) {
  return static_cast<int64_t>(DefinitionHeader::kSize) +
         static_cast<int64_t>(TableDefinition::kSize) * i;
}

// What makes a definition unusable, as a message for the operator; empty
// when it is sound. A damaged file may claim any number: these are checked
// once when a database is opened, so that nothing later sizes memory or
// reads by them. The header: a table count within 0..255. A table: a column
// count within 0..99, a record length within 0..16384, no negative column
// size, and column sizes that add up to the record length.
std::string DefinitionHeaderProblem(const DefinitionHeader& header);
std::string TableDefinitionProblem(const TableDefinition& definition, int slot);

// Type codes 1, 2 and 3 are numeric; every other code is text.
inline bool IsNumericType(int32_t type) { return type >= 1 && type <= 3; }

// The eight free-text location fields, in protocol order.
using LocationInformation = std::array<std::string, kLocationFieldCount>;

}  // namespace zt

#endif  // ZT_ENGINE_DEFINITION_H_

// Recordset: a server-side cursor over the rows of one table.
//
// The rows are not held in memory: an open recordset keeps one ResultsetRow
// per qualifying record in its resultset file (recordset/resultset_row.h),
// and every operation reads and rewrites rows of that file by row number.
// All recordsets live in the Database's recordset table, held by value, so a
// record may move when an earlier one is removed: nothing keeps a pointer to
// a Recordset across operations that add or remove recordsets.
#ifndef ZT_RECORDSET_RECORDSET_H_
#define ZT_RECORDSET_RECORDSET_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file.h"
#include "engine/index.h"

namespace zt {

// Longest text kept in a recordset's error text.
inline constexpr size_t kMaxRecordsetErrorText = 255;
// Longest filter value (filter columns) and filter-on value.
inline constexpr size_t kMaxFilterValue = 257;
inline constexpr size_t kMaxFilterOnValue = 255;

// One filter condition, in the order added.
struct FilterColumn {
  int resolved = 0;         // 1 once found in the table definition
  std::string column;       // as given, cut at 32 characters, blanks trimmed
  std::string op;           // "=", "<", "<=", ">", ">=", "<>"
  std::string value;        // exactly as given, at most 257 characters
  int32_t column_type = 0;  // set at resolution
  int32_t column_offset = -1;
  int32_t column_size = -1;
  int key = 0;           // 1 when the column is a key column
  int numeric_hint = 0;  // the caller's hint; comparisons use the type
  int extra = 0;         // kept, never consulted
};

// At most this many conditions a recordset: each is added by one client
// request, so without a bound a client could grow the server's memory.
inline constexpr size_t kMaxFilterColumns = 256;

// The lookup key RecordsetPreProcessFilterColumns recommends: the condition
// (or, failing one, the first live key column with an empty value) whose
// column the resultset generation walks in the index.
struct LookupKey {
  int use_key = 0;
  std::string column;
  std::string value;
  int32_t offset = 0;  // the column's first byte in a record
  int32_t size = 0;
  int32_t type = 0;
  std::string op;
};

// How reading a column of a row ended (Database::ReadRowValue).
enum class RowValue {
  kRead,          // the value was read (possibly empty)
  kBeyondImage,   // the column ends beyond the row's image
  kBeyondRecord,  // the column ends beyond the stored record and the table's record
  kUnreadable,    // the bytes could not be read
};

// Whether "value op operand" holds for one of the filter operators, given
// the sign of the comparison of value with operand.
inline bool ConditionHolds(std::string_view op, int cmp) {
  if (op == "=") return cmp == 0;
  if (op == "<") return cmp < 0;
  if (op == "<=") return cmp <= 0;
  if (op == ">") return cmp > 0;
  if (op == ">=") return cmp >= 0;
  if (op == "<>") return cmp != 0;
  return false;
}

struct Recordset {
  int32_t handle = 0;
  int open = 0;  // bound to a table, resultset file open
  FileHandle resultset_file = kNoFile;
  int32_t record_length = 0;
  std::string error_text;  // at most kMaxRecordsetErrorText
  int32_t row_count = 0;
  int32_t selected_count = 0;
  int32_t filtered_count = 0;
  int32_t current_row = -1;  // < 1: no current row
  std::string resultset_file_name;
  int64_t definition_offset = 0;
  std::string table_name;
  std::string sort_column;       // empty: generation order
  std::string filter_on_column;  // empty: none
  std::string filter_on_value;
  std::vector<FilterColumn> filters;
  IndexCursor cursor;  // position of the last index walk

  void SetError(std::string_view text) {
    error_text.assign(text.substr(0, kMaxRecordsetErrorText));
  }
};

}  // namespace zt

#endif  // ZT_RECORDSET_RECORDSET_H_

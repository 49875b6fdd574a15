// Filter conditions: adding them to a recordset, resolving them against a
// table definition (which also picks the column the generation walks in the
// index), and testing a record's data against them.
//
// A condition is resolved afresh at every open, so a definition that changed
// between opens is always seen as it now stands. Resolution only ever reads
// sizes and offsets into FilterColumn; the test never reads outside the data
// it is given: a condition whose column does not lie wholly inside the data
// is passed over.
#include <array>
#include <cstring>
#include <limits>

#include "engine/codec.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

constexpr std::array<std::string_view, 6> kOperators = {"=", ">=", ">", "<=", "<", "<>"};

bool IsFilterOperator(std::string_view op) {
  for (const std::string_view known : kOperators) {
    if (EqualNoCase(op, known)) return true;
  }
  return false;
}

int32_t ClampToInt32(int64_t n) {
  if (n < 0) return 0;
  if (n > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(n);
}

}  // namespace

int Recordsets::RecordsetAddFilterColumn(int32_t handle, const char* column_name, const char* op,
                                         const char* value, int numeric_hint, int extra) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  auto fail = [&](std::string_view text) {
    return FailRecordset(database_, *recordset, text, Report::kYes);
  };
  if (!database_.IsConnected()) return fail("RecordsetAddFilterColumn: Database not open");
  if (column_name == nullptr || *column_name == '\0') {
    return fail("RecordsetAddFilterColumn: Column name cannot be null");
  }
  if (value == nullptr || *value == '\0') {
    return fail("RecordsetAddFilterColumn: Column value cannot be null");
  }
  const std::string_view trimmed_op = TrimBlanks(ViewOf(op));
  if (!IsFilterOperator(trimmed_op)) {
    return fail(
        "RecordsetAddFilterColumn: Invalid comparison operator - valid operators are "
        "[=,<,<=,>,>=,<>]");
  }
  // A value is compared as given; cutting a longer one would silently test
  // another condition, so it is refused instead.
  if (std::strlen(value) > kMaxFilterValue) {
    return fail("RecordsetAddFilterColumn: Column value exceeds maximum length allowed");
  }
  if (recordset->filters.size() >= kMaxFilterColumns) {
    return fail("RecordsetAddFilterColumn: Too many filter columns");
  }

  FilterColumn condition;
  condition.column = std::string(TrimBlanks(ViewOf(column_name).substr(0, kMaxNameLength)));
  condition.op = std::string(trimmed_op);
  condition.value = value;
  condition.numeric_hint = numeric_hint;
  condition.extra = extra;
  recordset->filters.push_back(std::move(condition));
  return 1;
}

int Recordsets::RecordsetPreProcessFilterColumns(const char* table_name,
                                                 std::vector<FilterColumn>& filters, LookupKey& key,
                                                 TableDefinition& definition,
                                                 int64_t& definition_offset) {
  if (!database_.IsConnected()) {
    database_.SetError(
        "RecordsetPreProcessFilterColumns: No database connection has been established!");
    return 0;
  }
  if (table_name == nullptr || std::strlen(table_name) > kMaxNameLength) {
    database_.ReportError(
        "RecordsetPreProcessFilterColumns: table name exceeds maximum length allowed");
    return 0;
  }
  key = LookupKey{};
  if (!database_.GetTableDef(table_name, definition, definition_offset)) {
    database_.ReportError(
        "RecordsetPreProcessFilterColumns: Unable to read the table definition record - "
        "PreProcessFilter...");
    return 0;
  }
  if (filters.empty()) return 1;

  const int columns = definition.column_count();
  for (FilterColumn& condition : filters) {
    int64_t offset = 0;
    bool found = false;
    for (int f = 0; f < columns; ++f) {
      const int32_t size = definition.column_size(f);
      if (!definition.is_dropped(f) && EqualNoCase(definition.column_name(f), condition.column)) {
        condition.resolved = 1;
        condition.column_offset = ClampToInt32(offset);
        condition.column_size = ClampToInt32(size);
        condition.column_type = definition.column_type(f);
        condition.number = TextToDouble(TrimBlanks(condition.value));
        condition.key = definition.is_key(f) ? 1 : 0;
        found = true;
        break;
      }
      if (size > 0) offset += size;
    }
    if (!found) {
      database_.ReportError("RecordsetPreProcessFilterColumns: Invalid filter column name");
      return 0;
    }
  }

  // The walk starts from the most selective kind of condition on a key.
  for (const std::string_view op : kOperators) {
    for (const FilterColumn& condition : filters) {
      if (condition.key && !condition.column.empty() && EqualNoCase(condition.op, op)) {
        key.use_key = 1;
        key.column = condition.column;
        key.value = condition.value;
        key.offset = condition.column_offset;
        key.size = condition.column_size;
        key.type = condition.column_type;
        key.op = condition.op;
        return 1;
      }
    }
  }
  // No condition on a key: the first live key column, with an empty value
  // (which makes the generation scan the table).
  for (int f = 0; f < columns; ++f) {
    if (!definition.is_dropped(f) && definition.is_key(f)) {
      key.use_key = 1;
      key.column = std::string(definition.column_name(f));
      key.offset = ClampToInt32(definition.column_offset(f));
      key.size = ClampToInt32(definition.column_size(f));
      key.type = definition.column_type(f);
      key.op.assign(1, '=');
      break;
    }
  }
  return 1;
}

int Recordsets::RecordsetRecordMeetsAllFilterCriteria(const std::vector<FilterColumn>& filters,
                                                      std::string_view data) {
  if (data.data() == nullptr) return 0;
  if (!database_.IsConnected()) {
    database_.SetError(
        "RecordsetRecordMeetsAllFilterCriteria: No database connection has been established!");
    return 0;
  }
  const int64_t length = static_cast<int64_t>(data.size());
  for (const FilterColumn& condition : filters) {
    if (!condition.resolved) continue;
    const int64_t offset = condition.column_offset;
    const int64_t size = condition.column_size;
    if (offset < 0 || size < 0 || offset >= length || offset + size - 1 >= length) continue;
    const std::string_view field =
        TrimBlanks(data.substr(static_cast<size_t>(offset), static_cast<size_t>(size)));
    int cmp;
    if (IsNumericType(condition.column_type)) {
      // The value is converted as a number would be read from text: blanks
      // around it do not turn it into 0.
      const double a = TextToDouble(field);
      const double b = condition.number;
      cmp = a < b ? -1 : (a > b ? 1 : 0);
    } else {
      cmp = CompareNoCase(field, condition.value);
    }
    if (!ConditionHolds(condition.op, cmp)) return 0;
  }
  return 1;
}

}  // namespace zt

// Recordset: a server-side cursor over the rows of one table.
//
// A recordset owns everything a client sees through it: its rows (16 bytes
// each, recordset/row.h), its filter conditions, current row, counts, sort
// column, filter-on test and error text. Rows live in memory, charged to
// the server-wide MemoryBudget; recordsets opened alike on an unchanged
// table share one row vector until one of them changes a row (copy on
// write), so many clients browsing the same table cost one copy.
//
// The operations are those of Recordsets (recordset/recordsets.h), which
// finds a recordset by its handle; the table holds each one at a stable
// address until it is closed.
#ifndef ZT_RECORDSET_RECORDSET_H_
#define ZT_RECORDSET_RECORDSET_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/large_allocator.h"
#include "recordset/memory_budget.h"
#include "recordset/row.h"

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
  double number = 0;        // the value read as a number (trimmed), at resolution
  int32_t column_offset = -1;
  int32_t column_size = -1;
  int key = 0;           // 1 when the column is a key column
  int numeric_hint = 0;  // the caller's hint; comparisons use the type
  int extra = 0;         // kept, never consulted
};

// At most this many conditions a recordset: each is added by one client
// request, so without a bound a client could grow the server's memory.
inline constexpr size_t kMaxFilterColumns = 256;

// The lookup key PreProcessFilterColumns recommends: the condition (or,
// failing one, the first live key column with an empty value) whose column
// the resultset generation walks in the index.
struct LookupKey {
  int use_key = 0;
  std::string column;
  std::string value;
  int32_t offset = 0;  // the column's first byte in a record
  int32_t size = 0;
  int32_t type = 0;
  std::string op;
};

// How reading a column of a row ended (Recordsets::ReadRowValue).
enum class RowValue {
  kRead,          // the value was read (possibly empty)
  kBeyondImage,   // the column ends beyond the row's image
  kBeyondRecord,  // the column ends beyond the stored record and the table's record
  kUnreadable,    // the bytes could not be read
};

// Whether a failure's message also goes to the database's error report.
enum class Report { kNo, kYes };

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

// A row whose change waits for the next RecordsetUpdate, and the change
// counter of the stored record it was read from when the change began (the
// first edit of its image, or its delete mark). The update is refused when
// the record's counter has moved since: another recordset stored a change
// this one never saw. None for a row without a stored record.
struct PendingRow {
  int32_t row = 0;
  std::optional<int32_t> read_version;
};

// A recordset's rows with their charge on the budget; shared between
// recordsets until one of them writes (Recordset::mutable_row).
class RowBlock {
 public:
  explicit RowBlock(MemoryBudget& budget) : budget_(budget) {}
  RowBlock(const RowBlock&) = delete;
  RowBlock& operator=(const RowBlock&) = delete;
  ~RowBlock() { budget_.Release(charged_); }

  // Makes room for n rows in all; false (nothing changed) over the budget.
  [[nodiscard]] bool Reserve(size_t n);
  // Appends a row; false over the budget.
  [[nodiscard]] bool Append(const Row& row) {
    if (rows.size() == rows.capacity() && !Reserve(rows.size() < 64 ? 64 : rows.size() * 2)) {
      return false;
    }
    rows.push_back(row);
    return true;
  }
  // Gives back what the rows no longer need.
  void Shrink();
  MemoryBudget& budget() const { return budget_; }

  std::vector<Row, LargeAllocator<Row>> rows;
  // Set once the block may be handed to later opens: from then on nobody
  // writes it, and a recordset that wants to copies it first.
  bool frozen = false;

 private:
  MemoryBudget& budget_;
  uint64_t charged_ = 0;
};

class Recordset {
 public:
  Recordset(int32_t h, MemoryBudget& budget) : handle(h), budget_(budget) {}
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;
  ~Recordset() { ClearRows(); }

  int32_t handle = 0;
  int open = 0;  // bound to a table, rows generated
  int32_t record_length = 0;
  std::string error_text;  // at most kMaxRecordsetErrorText
  int32_t row_count = 0;
  int32_t selected_count = 0;
  int32_t filtered_count = 0;
  int32_t current_row = -1;  // < 1: no current row
  int64_t definition_offset = 0;
  std::string table_name;
  std::string sort_column;       // empty: generation order
  std::string filter_on_column;  // empty: none
  std::string filter_on_value;
  std::vector<FilterColumn> filters;
  // Shared mode: the data-file offset each locked row's region lock covers
  // (a relocating update moves the record away from its lock).
  std::unordered_map<int32_t, int64_t> lock_offsets;
  // Rows with a pending image or a delete mark not yet stored, in no
  // particular order and without repeats (Row::kPending marks members).
  std::vector<PendingRow> pending;
  // The ascending sort's folded keys, sort_key_width bytes a row, and the
  // database's change count when they were made (find_sort.cc); charged to
  // the budget while kept. Set through KeepSortKeys.
  std::string sort_keys;
  size_t sort_key_width = 0;
  uint64_t sort_keys_stamp = 0;

  void SetError(std::string_view text) {
    error_text.assign(text.substr(0, kMaxRecordsetErrorText));
  }

  // Row r (1-based, 1..row_count).
  const Row& row(int32_t r) const { return block_->rows[static_cast<size_t>(r - 1)]; }
  bool has_rows() const { return block_ != nullptr; }
  // Row r for writing: the rows are copied first while another recordset
  // shares them. Null when that copy does not fit the budget.
  Row* mutable_row(int32_t r) {
    if (!Unshare()) return nullptr;
    return &block_->rows[static_cast<size_t>(r - 1)];
  }
  // All rows for writing (null over the budget).
  RowBlock* mutable_block() { return Unshare() ? block_.get() : nullptr; }
  const std::shared_ptr<RowBlock>& block() const { return block_; }
  void set_block(std::shared_ptr<RowBlock> block) {
    block_ = std::move(block);
    row_count = block_ ? static_cast<int32_t>(block_->rows.size()) : 0;
  }
  void ClearRows() {
    block_.reset();
    row_count = 0;
    pending.clear();
    KeepSortKeys({}, 0, 0);
  }
  // Replaces the kept sort keys; keys that do not fit the budget are not
  // kept (find then reads the rows instead).
  void KeepSortKeys(std::string keys, size_t width, uint64_t stamp) {
    budget_.Release(sort_keys.size());
    sort_keys.clear();
    if (!budget_.Reserve(keys.size())) return;
    sort_keys = std::move(keys);
    sort_key_width = width;
    sort_keys_stamp = stamp;
  }
  // Adds row r, read at read_version, to the rows the next update visits;
  // a row already listed keeps the version its change began from.
  void MarkPending(int32_t r, std::optional<int32_t> read_version);

 private:
  bool Unshare();

  MemoryBudget& budget_;
  std::shared_ptr<RowBlock> block_;
};

}  // namespace zt

#endif  // ZT_RECORDSET_RECORDSET_H_

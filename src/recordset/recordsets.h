// Recordsets: the table of open recordsets and every operation on them.
//
// Handles map to recordsets held at stable addresses; creating and closing
// one costs O(log n), whatever number are open. An operation names its
// recordset by handle and returns 1 on success, 0 on failure; an unknown
// handle fails without a message. Failures leave their message in the
// recordset's error text (RecordsetGetLastErrorText); those the comments
// call reported also go to the database's error report. Failures of the
// database itself (filter resolution, no connection) go to its last-error
// text.
//
// The storage work (records, definitions, index) is the Database's; this
// layer decides which records belong to a recordset and keeps each
// recordset's view of them: rows in memory (recordset/row.h), pending
// images (recordset/image_store.h), all charged to one MemoryBudget
// ([SERVER] ResultsetMemory). An open, sort or edit that would pass the
// budget fails with a message and leaves the recordset as it was. Opens of
// the same table without conditions share one copy of the rows while the
// database has not changed (copy on write), so many clients browsing one
// table cost one copy.
#ifndef ZT_RECORDSET_RECORDSETS_H_
#define ZT_RECORDSET_RECORDSETS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/database.h"
#include "engine/slices.h"
#include "engine/transaction.h"
#include "recordset/image_store.h"
#include "recordset/index_walk.h"
#include "recordset/memory_budget.h"
#include "recordset/recordset.h"

namespace zt {

class DataWindow;
struct MetadataTexts;
struct RecordHeader;

class Recordsets {
 public:
  explicit Recordsets(Database& database, uint64_t memory_limit = kDefaultResultsetMemory);
  Recordsets(const Recordsets&) = delete;
  Recordsets& operator=(const Recordsets&) = delete;
  ~Recordsets();  // closes every recordset

  Database& database() { return database_; }
  const MemoryBudget& budget() const { return budget_; }
  void set_memory_limit(uint64_t limit) { budget_.set_limit(limit); }
  size_t open_count() const { return table_.size(); }

  // ---- Long operations, in slices (engine/slices.h) -------------------------
  // Each operation whose work grows with the table or the recordset is a
  // coroutine; its Recordset... function below runs it whole. The server
  // runs the coroutine a slice at a time, with other clients served between
  // slices. Contract with the driver:
  //   - the operation says through clock.reads() whether the driver may
  //     start it over when the database changed meanwhile
  //     (Database::change_count), must keep it from changing, or need not
  //     care (engine/slices.h);
  //   - it changes its recordset only where a fresh start would redo the
  //     change the same way, or once it has said kHolding or kDetached;
  //   - Update writes: nobody else may read or write the database from its
  //     first slice to its last.
  // Parameters passed by pointer or reference must outlive the task.
  Task<int> Open(SliceClock& clock, int32_t handle, const char* table_name);
  Task<int> OpenFloor(SliceClock& clock, int32_t handle, const char* table_name,
                      const char* column_name, const char* value);
  Task<int> OpenCeiling(SliceClock& clock, int32_t handle, const char* table_name,
                        const char* column_name, const char* value);
  Task<int> FilterOn(SliceClock& clock, int32_t handle, const char* column_name,
                     const char* value);
  Task<int> Sort(SliceClock& clock, int32_t handle, const char* column, int ascending);
  Task<int> FindRow(SliceClock& clock, int32_t handle, const char* column, const char* value);
  Task<int> DeleteAll(SliceClock& clock, int32_t handle);
  Task<int> Update(SliceClock& clock, int32_t handle);
  // Selects (select) or deselects rows first..last; all: every row (the
  // texts of SelectAll / DeselectAll).
  Task<int> MarkRows(SliceClock& clock, int32_t handle, int32_t first, int32_t last, bool select,
                     bool all);
  // Rows waiting for the next Update (0 for an unknown handle): how long
  // an Update will take.
  size_t PendingRows(int32_t handle);

  // ---- The table -----------------------------------------------------------
  // Handles are one more than the largest present: reused once the largest
  // has been closed.
  int CreateRecordset(int32_t& handle);
  int RecordsetClose(int32_t handle);
  int CloseAllRecordsets();
  void RecordsetClearFilters(int32_t handle);
  int RecordsetIsConnected(int32_t handle);
  int RecordsetGetLastErrorText(int32_t handle, std::string* out);
  // The recordset of a handle; null when unknown.
  Recordset* Find(int32_t handle);

  // The checks every operation on an open recordset makes first, in this
  // order, each with the operation's own text (null: not made) and whether
  // its failure is reported: the database is connected, the recordset is
  // open, it has a current row.
  struct Checks {
    const char* not_connected = nullptr;
    Report not_connected_report = Report::kYes;
    const char* not_open = nullptr;
    Report not_open_report = Report::kYes;
    const char* no_current_row = nullptr;
    Report no_current_row_report = Report::kNo;
  };
  // The handle's recordset once it passes every check; null otherwise (an
  // unknown handle fails silently; a failed check leaves its text).
  Recordset* Checked(int32_t handle, const Checks& checks);

  // ---- Filters and generation (filter.cc, generate.cc) ---------------------
  // Conditions are added before an open and combined with AND at every later
  // open until cleared.
  int RecordsetAddFilterColumn(int32_t handle, const char* column_name, const char* op,
                               const char* value, int numeric_hint, int extra);
  // Resolves every condition against the table's definition (read into
  // definition) and recommends the lookup key of the index walk.
  int RecordsetPreProcessFilterColumns(const char* table_name, std::vector<FilterColumn>& filters,
                                       LookupKey& key, TableDefinition& definition,
                                       int64_t& definition_offset);
  // 1 when data satisfies every resolved condition; conditions whose column
  // does not lie wholly inside data are passed over.
  int RecordsetRecordMeetsAllFilterCriteria(const std::vector<FilterColumn>& filters,
                                            std::string_view data);
  // Fills the recordset's rows and row count. On failure it has none.
  int RecordsetGenerateResultset(Recordset& recordset);
  Task<int> GenerateResultset(SliceClock& clock, Recordset& recordset);
  int RecordsetFilterOn(int32_t handle, const char* column_name, const char* value);

  // ---- Navigation, bookmarks and counts (navigation.cc) --------------------
  // Moves visit only active rows; on failure the current row is unchanged.
  int RecordsetMoveFirst(int32_t handle);
  int RecordsetMoveNext(int32_t handle);
  int RecordsetMovePrev(int32_t handle);
  int RecordsetMoveLast(int32_t handle);
  // Data-file offset of the current row's record; -1 for a row not yet stored.
  int RecordsetGetCurrentRowOffset(int32_t handle, int64_t& offset);
  int RecordsetCanBookmark(int32_t handle);
  int RecordsetSetBookmark(int32_t handle, int32_t bookmark);
  int RecordsetGetBookmark(int32_t handle, int32_t& bookmark);
  int RecordsetGetLastUpdatedBookmark(int32_t handle, int32_t& bookmark);
  int RecordsetGetRowCount(int32_t handle, int32_t& count);
  int RecordsetGetSelectedRowCount(int32_t handle, int32_t& count);
  int RecordsetGetFilteredCount(int32_t handle, int32_t& count);

  // ---- Opening (open.cc) ---------------------------------------------------
  // Floor and ceiling open on the rows whose key column holds the nearest
  // indexed value strictly below / above value.
  int RecordsetOpen(int32_t handle, const char* table_name);
  int RecordsetOpenFloor(int32_t handle, const char* table_name, const char* column_name,
                         const char* value);
  int RecordsetOpenCeiling(int32_t handle, const char* table_name, const char* column_name,
                           const char* value);

  // ---- Field values and row editing (editing.cc) ---------------------------
  // Edits go to a pending image of the row; RecordsetUpdate stores the
  // pending rows, in row order, through the Database's AddNewRecord,
  // UpdateStoredRecord and RetireStoredRecord. The context is the calling
  // client's; see engine/transaction.h.
  int RecordsetAddRow(TransactionContext& context, int32_t handle);
  int RecordsetSetFieldValue(TransactionContext& context, int32_t handle, const char* column,
                             const char* value);
  // *value receives the whole value of the column (any width), trimmed.
  int RecordsetGetFieldValue(int32_t handle, const char* column, std::string* value);
  int RecordsetUpdate(TransactionContext& context, int32_t handle);
  // moved_to_next: 1 when the row after the deleted one became current, 0
  // when the one before it did; untouched for a new row, which stays current.
  int RecordsetDeleteCurrentRow(TransactionContext& context, int32_t handle, int& moved_to_next);
  int RecordsetDeleteAll(TransactionContext& context, int32_t handle);

  // ---- Row selection (selection.cc) ----------------------------------------
  // The selected flag lives in the rows; the recordset counts the selected
  // ones. The moves visit active selected rows only.
  int RecordsetSelectRow(int32_t handle, int32_t row);
  int RecordsetDeselectRow(int32_t handle, int32_t row);
  int RecordsetSelectAll(int32_t handle);
  int RecordsetDeselectAll(int32_t handle);
  int RecordsetSelectRowsRange(int32_t handle, int32_t first, int32_t last);
  int RecordsetDeselectRowsRange(int32_t handle, int32_t first, int32_t last);
  // 1 when selected; 0 when not selected or on failure.
  int RecordsetIsRowSelected(int32_t handle, int32_t row);
  int RecordsetMoveToFirstSelectedRow(int32_t handle);
  int RecordsetMoveToNextSelectedRow(int32_t handle);
  int RecordsetMoveToPrevSelectedRow(int32_t handle);
  int RecordsetMoveToLastSelectedRow(int32_t handle);

  // ---- Field metadata (metadata.cc) ----------------------------------------
  // Read afresh from the table's definition at every call. Fields are
  // numbered 0 .. count-1 in definition order, dropped columns included.
  // The yes/no questions return 0 on failure too.
  int RecordsetGetFieldCount(int32_t handle, int32_t& count);
  int RecordsetGetFieldName(int32_t handle, int32_t field, std::string& name);
  // type receives the type code as the text the definition stores.
  int RecordsetGetFieldInfo(int32_t handle, int32_t field, std::string& name, std::string& type,
                            int32_t& size);
  int RecordsetIsFieldNullable(int32_t handle, int32_t field);
  int RecordsetIsFieldKeyColumn(int32_t handle, int32_t field);
  int RecordsetIsFieldABlob(int32_t handle, int32_t field);
  int RecordsetGetFieldSize(int32_t handle, int32_t field, int32_t& size);

  // ---- Find and sort (find_sort.cc) ----------------------------------------
  // Sort reorders the rows by one column (ascending != 0: ascending); rows
  // without data leave the recordset. Find makes current the first row, in
  // the column's ascending order, whose value begins with value (sorting
  // first unless already sorted by that column).
  int RecordsetSort(int32_t handle, const char* column, int ascending);
  int RecordsetFindRow(int32_t handle, const char* column, const char* value);

  // ---- Reading values (editing.cc) ---------------------------------------
  // The value of the column [start, start+size) of a row as the recordset
  // sees it: from its pending image when it has one, else from its stored
  // record; empty for a new row without an image and for a row without a
  // stored record. A caller that has just read the header of the row's
  // stored record passes it as stored_header.
  // Stored bytes are read through window when one is given.
  RowValue ReadRowValue(const Recordset& recordset, const Row& row,
                        const TableDefinition& definition, int64_t start, int64_t size,
                        std::string* value, const RecordHeader* stored_header = nullptr,
                        DataWindow* window = nullptr);

 private:
  // The value by which find and sort order a row; 0 when the row has no data
  // and so takes no part.
  int OrderValue(const Recordset& recordset, const TableDefinition& definition, const Row& row,
                 int64_t start, int32_t size, std::string& value, DataWindow* window = nullptr);
  int ReadFieldDefinition(int32_t handle, int32_t field, const MetadataTexts& texts,
                          TableDefinition& definition);
  // Releases what an open recordset holds: its row locks, its rows and
  // images, and its open flag.
  void ReleaseResultset(Recordset& recordset);
  void FreeImages(Recordset& recordset);
  Task<int> GenerateByIndex(SliceClock& clock, Recordset& recordset, const std::string& table,
                            const LookupKey& key, const TableDefinition& definition,
                            RowBlock& rows);
  Task<int> GenerateByScan(SliceClock& clock, Recordset& recordset, const std::string& table,
                           const TableDefinition& definition, RowBlock& rows);
  // True when the keys of table+column could be confused with keys of some
  // other column, because one table or column name extends another.
  bool KeyPrefixIsAmbiguous(const TableDefinition& definition, std::string_view table,
                            std::string_view column);
  Task<int> OpenNeighbour(SliceClock& clock, int32_t handle, const char* table_name,
                          const char* column_name, const char* value, int ceiling);

  Database& database_;
  MemoryBudget budget_;
  ImageStore images_;
  std::map<int32_t, std::unique_ptr<Recordset>> table_;
  bool over_budget_ = false;  // the last generation failed for want of memory
  // The rows of the latest unfiltered open of each table (by folded name),
  // with the database's change count when they were made: an open of the
  // same table while nothing has changed takes the same rows (exclusive
  // mode only; other processes' writes are not counted).
  struct SharedRows {
    std::weak_ptr<RowBlock> rows;
    uint64_t stamp = 0;
  };
  std::unordered_map<std::string, SharedRows> shared_rows_;
  // Per numeric key column (IndexWalkPlan::order_name): its index entries
  // whose keys are out of numeric order; with them the index walk may seek
  // among the others (recordset/index_walk.h). Bounded: a column with more
  // such keys is walked whole.
  static constexpr size_t kMaxKeyOrderEntries = 64;
  static constexpr size_t kMaxOutOfOrderKeys = 1024;
  std::unordered_map<std::string, KeyOrder> numeric_key_order_;
};

}  // namespace zt

#endif  // ZT_RECORDSET_RECORDSETS_H_

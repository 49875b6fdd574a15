// The Database: the one open database of the server and everything that
// works on it.
//
// It owns the data file, the definition file, the index and the private
// write file (all opened by OpenDatabase, all closed by CloseDatabase), the
// table of open recordsets, and the transaction slots. Operations return 1
// on success and 0 on failure and never throw. Database-level failures leave
// a fixed message beginning with the operation's name in the last-error text
// (GetLastErrorText); recordset operations put theirs in the recordset's own
// error text; record-level operations write into the caller's err string.
//
// The engine's operations are defined in src/engine/; the recordset
// operations (which take the recordset handle first) in src/recordset/.
#ifndef ZT_ENGINE_DATABASE_H_
#define ZT_ENGINE_DATABASE_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/append_batch.h"
#include "engine/definition.h"
#include "engine/definition_cache.h"
#include "engine/file.h"
#include "engine/index.h"
#include "engine/transaction.h"

namespace zt {

struct FilterColumn;
struct LookupKey;
struct MetadataTexts;
struct ResultsetRow;
enum class RowValue;
struct RecordHeader;
struct Recordset;

// A transaction file slot: handle >= 0 names "<work folder>/<id>.trn".
// Nothing in the server opens transaction files; CloseDatabase still
// closes and deletes whatever a slot names.
struct TransactionSlot {
  int32_t handle = -1;
  int32_t id = -1;
};
inline constexpr int kTransactionSlots = 255;

// Largest message the engine keeps in a last-error text (the rest is cut).
inline constexpr size_t kMaxErrorText = 259;

class Database {
 public:
  // work_folder: the folder of the error log and the transaction files.
  explicit Database(std::string work_folder = "/var/lib/ztserver/ztstrans");
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  virtual ~Database();  // runs CloseDatabase

  // ---- Connection ----------------------------------------------------------
  // Opens the database whose data file is path; shared != 0 opens the files
  // for sharing with other processes (changes then take region locks).
  int OpenDatabase(const char* path, int shared);
  int CloseDatabase();
  int IsConnected() const { return connected_; }
  // Copies the last-error text into *out; 0 when out is null.
  int GetLastErrorText(std::string* out) const;
  // Would show a message box when the message-box flag is set; as a daemon
  // the flag is never set, and a set flag prints the text to stderr instead.
  void ReportError(std::string_view text) const;
  // Makes sure the work folder exists; out receives it with a trailing '/'.
  int CreateTempFolder(std::string& out);

  void set_message_box(int on) { message_box_ = on; }
  const std::string& work_folder() const { return work_folder_; }
  const std::string& write_file_path() const { return write_file_path_; }
  int shared() const { return shared_; }

  // ---- Table definitions and location information ------------------------
  int GetTableDef(const char* name, TableDefinition& definition, int64_t& offset);
  int UpdateTableDef(const TableDefinition& definition, int64_t offset);
  int GetLocationInformation(LocationInformation& fields);
  int SetLocationInformation(const LocationInformation& fields);
  int LockTableDefinition(const char* name);
  int UnlockTableDefinition(const char* name);

  // ---- Caches and append batches (engine/append_batch.cc) -------------------
  // In exclusive mode the database keeps the definition file's records
  // (engine/definition_cache.h) and up to kIndexCachePages index pages in
  // memory; both are exact because every write goes through this object.
  // Forgets both, for a caller that changed the files behind the object's
  // back. 0 (and nothing forgotten) while an append batch is open.
  int DropCaches();
  // Exclusive mode only. From BeginAppendBatch to CommitAppendBatch,
  // AddNewRecord keeps the records it accepts in memory (engine/
  // append_batch.h says how they are written and what a failure leaves).
  // While a batch is open nothing else may store or change records: the
  // other record writes refuse, and readers do not see the batch's rows.
  [[nodiscard]] int BeginAppendBatch();
  // Writes the batch and ends it; on failure *err (when given) says why,
  // and none of the batch's rows is reachable.
  [[nodiscard]] int CommitAppendBatch(std::string* err);
  // True when an open batch takes no more rows (commit it first).
  bool append_batch_full() const { return batch_.Full(); }

  // ---- Data records (engine/records.cc) ------------------------------------
  // Failures write their message into *err (a null err fails silently) and
  // leave the last-error text alone.
  int ReadDatabaseRecord(std::string_view table, RecordHeader& header, std::string& data,
                         int64_t offset, int32_t max_length, int32_t& length, std::string* err);
  // Stores data (new_length bytes) as the content of the record at offset:
  // in place when it fits, else relocated to the end of the file (offset and
  // length then receive the new record's position and length).
  int WriteDatabaseRecord(const RecordHeader& header, std::string_view data, int64_t& offset,
                          int32_t new_length, int32_t& length, std::string* err);
  int AppendDatabaseRecord(const RecordHeader& header, std::string_view data, int64_t& offset,
                           std::string* err);

  // ---- Record insert, update and delete (engine/record_maintenance.cc;
  // UpdateRecord and DeleteRecord read their resultset row in
  // recordset/row_maintenance.cc) ----
  int AddNewRecord(std::string_view data, int32_t length, int64_t& offset, const char* table,
                   std::string* err);
  // Replaces the content of the record named by resultset row `row` with
  // data (length bytes): in place, or relocated, in which case the row's
  // record offset is rewritten. Its index keys are replaced. A record that
  // was superseded or deleted since the row was made is refused.
  int UpdateRecord(std::string_view data, int32_t length, int32_t row, FileHandle resultset_file,
                   const char* table, std::string* err);
  // Retires the record named by resultset row `row`, which must carry the
  // deletion mark: flags it, removes its index keys and, when it heads its
  // table's chain, hands the head to its predecessor.
  int DeleteRecord(const char* table, int32_t row, FileHandle resultset_file, std::string* err);
  // Adds (remove == 0) or removes (remove == 1) the index keys of one record.
  static int IndexRecordKeys(IndexFile& index, std::string_view data, int64_t offset,
                             int32_t length, const TableDefinition& definition, int remove);
  // The index keys of one record: one per live key column whose value is
  // not blank, in column order.
  static std::vector<std::string> RecordKeys(std::string_view data, int32_t length,
                                             const TableDefinition& definition);

  // ---- Recordsets (src/recordset/) -----------------------------------------
  int CreateRecordset(int32_t& handle);
  int RecordsetClose(int32_t handle);
  void RecordsetClearFilters(int32_t handle);
  int RecordsetIsConnected(int32_t handle);
  int CloseAllRecordsets();
  int RecordsetGetLastErrorText(int32_t handle, std::string* out);

  // Filters and resultset generation (recordset/filter.cc, generate.cc).
  // Conditions are added before an open and combined with AND at every
  // later open until cleared.
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
  // Creates, fills and leaves open the recordset's resultset file and sets
  // its row count. On failure no file is left behind.
  int RecordsetGenerateResultset(Recordset& recordset);
  int RecordsetFilterOn(int32_t handle, const char* column_name, const char* value);
  // 1 when every live key column of the table holds a non-blank value in
  // data; otherwise the message goes into *err.
  int RecordsetAreAllKeysPopulated(const char* table_name, std::string_view data, std::string* err);

  // Navigation, bookmarks and counts (recordset/navigation.cc). Moves visit
  // only active rows; on failure the current row is unchanged.
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

  // Opening (recordset/open.cc). Floor and ceiling open on the rows whose
  // key column holds the nearest indexed value strictly below / above value.
  int RecordsetOpen(int32_t handle, const char* table_name);
  int RecordsetOpenFloor(int32_t handle, const char* table_name, const char* column_name,
                         const char* value);
  int RecordsetOpenCeiling(int32_t handle, const char* table_name, const char* column_name,
                           const char* value);

  // Field values and row editing (recordset/editing.cc). Edits go to a
  // private image of the row in the write file; RecordsetUpdate stores every
  // pending row of the recordset through AddNewRecord, UpdateRecord and
  // DeleteRecord. The context is the calling client's; see transaction.h.
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

  // Row selection (recordset/selection.cc). The selected flag lives in the
  // resultset rows; the recordset counts the rows whose flag is 'Y'. The
  // moves visit active selected rows only.
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

  // Field metadata (recordset/metadata.cc), read afresh from the table's
  // definition at every call. Fields are numbered 0 .. count-1 in definition
  // order, dropped columns included. The yes/no questions return 0 on
  // failure too.
  int RecordsetGetFieldCount(int32_t handle, int32_t& count);
  int RecordsetGetFieldName(int32_t handle, int32_t field, std::string& name);
  // type receives the type code as the text the definition stores.
  int RecordsetGetFieldInfo(int32_t handle, int32_t field, std::string& name, std::string& type,
                            int32_t& size);
  int RecordsetIsFieldNullable(int32_t handle, int32_t field);
  int RecordsetIsFieldKeyColumn(int32_t handle, int32_t field);
  int RecordsetIsFieldABlob(int32_t handle, int32_t field);
  int RecordsetGetFieldSize(int32_t handle, int32_t field, int32_t& size);

  // Find and sort (recordset/find_sort.cc). Sort reorders the resultset by
  // one column (ascending != 0: ascending) through a temporary index; rows
  // without data leave the resultset. Find makes current the first row, in
  // the column's ascending order, whose value begins with value (sorting
  // first unless already sorted by that column).
  int RecordsetSort(int32_t handle, const char* column, int ascending);
  int RecordsetFindRow(int32_t handle, const char* column, const char* value);

  // Files for the layers above (the recordset code and the tools).
  FileHandle data_file() const { return data_file_; }
  FileHandle definition_file() const { return definition_file_; }
  FileHandle write_file() const { return write_file_; }
  IndexFile& index() { return index_; }

 private:
  // Sets the last-error text (cut to kMaxErrorText) and calls ReportError.
  void SetError(std::string_view text);
  // Sets the last-error text only (operations that do not report).
  void SetErrorQuietly(std::string_view text);
  // Finds the recordset with this handle; nullptr when unknown.
  Recordset* FindRecordset(int32_t handle);
  int ReadDefinitionHeader(DefinitionHeader& header);
  // The definition header from the cache, else read into scratch; nullptr
  // when it cannot be read.
  const DefinitionHeader* DefinitionHeaderView(DefinitionHeader& scratch);
  // GetTableDef without the copy: found points at the cached record (valid
  // until the next change of the definition file), or at scratch when the
  // cache is off; slot receives its record number.
  int FindTableDef(const char* name, TableDefinition& scratch, const TableDefinition*& found,
                   int& slot);
  // AddNewRecord's work while an append batch is open.
  int AddToAppendBatch(std::string_view record, const char* table, int64_t& offset,
                       std::string* err);
  // The value of the column [start, start+size) of one resultset row, as
  // the recordset sees it (recordset/editing.cc): from the row's pending
  // image when it has one, else from its stored record; empty for a new row
  // without an image and for a row without a stored record. size > 0. The
  // one place that reads a column of a row: RecordsetGetFieldValue for the
  // current row, find and sort for every row.
  // A caller that has just read the header of the row's stored record
  // passes it as stored_header, so it is not read a second time.
  RowValue ReadRowValue(const Recordset& recordset, const ResultsetRow& row,
                        const TableDefinition& definition, int64_t start, int64_t size,
                        std::string* value, const RecordHeader* stored_header = nullptr);
  // The value by which find and sort order a row (recordset/find_sort.cc);
  // 0 when the row has no data and so takes no part.
  int OrderValue(const Recordset& recordset, const TableDefinition& definition,
                 const ResultsetRow& row, int64_t start, int32_t size, std::string& value);
  // The checks every field-metadata operation makes before it answers
  // (recordset/metadata.cc); fills definition on success.
  int ReadFieldDefinition(int32_t handle, int32_t field, const MetadataTexts& texts,
                          TableDefinition& definition);
  // Releases what an open recordset holds: its row locks, its resultset file
  // (closed and deleted) and its open flag.
  void ReleaseResultset(Recordset& recordset);
  // The key-population test against a definition already read (shared by
  // RecordsetAreAllKeysPopulated and AddNewRecord, which reads it once).
  int CheckKeysPopulated(const TableDefinition& definition, std::string_view data,
                         std::string* err);
  // The two ways RecordsetGenerateResultset fills a resultset file.
  int GenerateByIndex(Recordset& recordset, const std::string& table, const LookupKey& key,
                      const TableDefinition& definition, int64_t definition_offset);
  int GenerateByScan(Recordset& recordset, const std::string& table,
                     const TableDefinition& definition, int64_t definition_offset);
  // True when the keys of table+column could be confused with keys of some
  // other column, because one table or column name extends another.
  bool KeyPrefixIsAmbiguous(const TableDefinition& definition, std::string_view table,
                            std::string_view column);
  // The record work of UpdateRecord and DeleteRecord once the resultset row
  // has named the record (engine/record_maintenance.cc). UpdateStoredRecord
  // leaves the record's (possibly new) position in offset.
  int UpdateStoredRecord(std::string_view data, int32_t length, int64_t& offset, const char* table,
                         std::string* err);
  int RetireStoredRecord(const char* table, int64_t offset, std::string* err);
  // RecordsetOpenFloor (ceiling == 0) and RecordsetOpenCeiling (ceiling == 1).
  int OpenNeighbour(int32_t handle, const char* table_name, const char* column_name,
                    const char* value, int ceiling);

  int connected_ = 0;
  int shared_ = 0;
  int message_box_ = 0;
  std::string work_folder_;
  std::string write_file_path_;
  std::string last_error_;
  std::vector<Recordset> recordsets_;
  FileHandle data_file_ = kNoFile;
  FileHandle definition_file_ = kNoFile;
  FileHandle write_file_ = kNoFile;
  std::array<TransactionSlot, kTransactionSlots> transaction_slots_{};
  IndexFile index_;
  DefinitionCache definitions_;
  AppendBatch batch_;
};

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_H_

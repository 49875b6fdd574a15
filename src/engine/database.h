// The Database: the storage of the one open database of the server.
//
// It owns the data file, the definition file, the index and the private
// write file (all opened by OpenDatabase, all closed by CloseDatabase) and
// the transaction slots, and offers the storage operations: definitions and
// location information, records, record insert/update/delete with their
// index keys. Cursors over the records are the recordset layer's
// (src/recordset/), which calls these operations. Operations return 1 on
// success and 0 on failure and never throw. Database-level failures leave a
// fixed message beginning with the operation's name in the last-error text
// (GetLastErrorText); record-level operations write into the caller's err
// string.
#ifndef ZT_ENGINE_DATABASE_H_
#define ZT_ENGINE_DATABASE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/append_batch.h"
#include "engine/definition.h"
#include "engine/definition_cache.h"
#include "engine/file.h"
#include "engine/index.h"
#include "engine/transaction.h"
#include "engine/wal.h"

namespace zt {

struct RecordHeader;

// A transaction file slot: handle >= 0 names "<work folder>/<id>.trn".
// Nothing in the server opens transaction files; CloseDatabase still
// closes and deletes whatever a slot names.
struct TransactionSlot {
  int32_t handle = -1;
  int32_t id = -1;
};
inline constexpr int kTransactionSlots = 255;

// Data-file bytes kept in memory while the database is open exclusively,
// unless set_data_cache_bytes says otherwise ([SERVER] DataCacheMemory).
inline constexpr size_t kDataCacheBytes = size_t{64} << 20;

// Largest message the engine keeps in a last-error text (the rest is cut).
inline constexpr size_t kMaxErrorText = 259;

class Database {
 public:
  // work_folder: the folder of the error log and the transaction files.
  explicit Database(std::string work_folder = "/var/lib/ztserver/ztstrans");
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  virtual ~Database();  // runs CloseDatabase

  // The size of the data file's read cache from the next open on (at least
  // one block).
  void set_data_cache_bytes(size_t bytes) { data_cache_bytes_ = bytes; }

  // ---- Connection ----------------------------------------------------------
  // Opens the database whose data file is path; shared != 0 opens the files
  // for sharing with other processes (changes then take region locks).
  // A replacement of the files that a dead process committed is finished
  // first (engine/file_swap.h); the open fails while another process is
  // in the middle of one.
  // With a log (EnableLog) and exclusive use, the open first replays what
  // the log holds (recovery_report tells what was done); it checks nothing
  // beyond the definitions and the index root, so that its cost follows
  // the log, not the database (the server verifies the rest in the
  // background: engine/database_verify.h).
  int OpenDatabase(const char* path, int shared);
  // Closes the files; with a log, first checkpoints it and marks it closed
  // cleanly (0, with the last-error text, when that fails; the files are
  // closed all the same).
  int CloseDatabase();
  // Closes every file without writing anything, as a crash would (tests).
  void Abandon();

  // ---- Write-ahead log (engine/wal.h) ----------------------------------------
  // Opens of this object in exclusive mode from now on keep a log in
  // options.folder: every change is staged, logged, then written.
  void EnableLog(const LogOptions& options) { log_options_ = options; }
  bool logging() const { return log_.is_open(); }
  // Ends one change (a request): what it wrote becomes one log record.
  // False when it wrote nothing.
  bool EndChange() { return log_.Seal(); }
  // Makes the changes since the last commit durable as the log's durability
  // asks, then writes them into the files. On failure *err says why and the
  // changes are dropped: the caches are forgotten and change_count moves.
  // Without a log there is nothing to do.
  [[nodiscard]] int Commit(std::string* err);
  // Forgets every change since the last successful Commit, as a failed
  // Commit does, without writing anything (a tool that cannot finish a
  // change it began). Without a log the changes are already in the files.
  void DiscardChange();
  // Checkpoints the log (when there is one); 0 with *err on failure.
  [[nodiscard]] int Checkpoint(std::string* err);
  // A change written over many calls (a long request of the server, a
  // slice at a time) is open from BeginLongChange to EndLongChange: until
  // then Commit leaves it staged and unsealed (and does nothing else),
  // Checkpoint refuses, and a close drops it, so that no part of it
  // becomes durable or reaches the files before the whole. The caller
  // keeps every other change out meanwhile, and seals it (EndChange) once
  // it is whole.
  void BeginLongChange() { long_change_ = true; }
  void EndLongChange() { long_change_ = false; }
  bool long_change() const { return long_change_; }
  // See WriteAheadLog::Settle (nothing to do without a log).
  [[nodiscard]] int SettleLog(std::string* err);
  // See WriteAheadLog::set_hold_files (nothing without a log).
  void HoldFileWrites(bool hold) { log_.set_hold_files(hold); }
  const LogStats& log_stats() const { return log_.stats(); }
  // See WriteAheadLog::apply_error and waiting_bytes.
  const std::string& file_write_error() const { return log_.apply_error(); }
  size_t log_waiting_bytes() const { return log_.waiting_bytes(); }
  const std::string& data_path() const { return data_path_; }
  const RecoveryReport& recovery_report() const { return recovery_; }
  int IsConnected() const { return connected_; }
  // Copies the last-error text into *out; 0 when out is null.
  int GetLastErrorText(std::string* out) const;
  // Goes up every time the last-error text is set: whoever remembers it
  // knows whether an operation left a new text (the server keeps each
  // client's own copy of the texts its requests left).
  uint64_t error_count() const { return error_count_; }
  // Would show a message box when the message-box flag is set; as a daemon
  // the flag is never set, and a set flag prints the text to stderr instead.
  void ReportError(std::string_view text) const;
  // Makes sure the work folder exists; out receives it with a trailing '/'.
  int CreateTempFolder(std::string& out);

  void set_message_box(int on) { message_box_ = on; }
  const std::string& work_folder() const { return work_folder_; }
  const std::string& write_file_path() const { return write_file_path_; }
  int shared() const { return shared_; }
  // Goes up with every write to the data or definition file through this
  // object: a reader that remembers it knows whether anything it derived
  // from stored values may have changed since (other processes' writes in
  // shared mode are not counted).
  uint64_t change_count() const { return change_count_; }
  // Goes up whenever this object adds or removes an index key of a numeric
  // column whose value is not an IsOrderedNumber (engine/index_key.h), and
  // at every open: a reader that listed a column's keys out of numeric order
  // knows the list holds while this stands still (other processes' writes
  // are not counted).
  uint64_t key_order_count() const { return key_order_count_; }

  // ---- Table definitions and location information ------------------------
  int GetTableDef(const char* name, TableDefinition& definition, int64_t& offset);
  // GetTableDef without the copy, for readers on a hot path: the cached
  // record in exclusive mode, else one read into this object's scratch.
  // Valid until the next definition call; null on failure (same texts).
  const TableDefinition* TableDef(const char* name, int64_t& offset);
  // The definition header the same way (no error text on failure).
  const DefinitionHeader* HeaderView() { return DefinitionHeaderView(header_scratch_); }
  int UpdateTableDef(const TableDefinition& definition, int64_t offset);
  // Appends a table: its definition becomes record n of the definition file
  // (n the current table count), then the header names it in slot n and
  // counts n + 1. The caller has checked the definition (a unique name, the
  // table limit); 0 with the last-error text when it cannot be written.
  // Exclusive mode only: a sharing process would not see the new count.
  int AddTableDef(const TableDefinition& definition);
  int GetLocationInformation(LocationInformation& fields);
  // The names of the tables, in the order the definition file lists them.
  int GetTableNames(std::vector<std::string>& names);
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

  // ---- Record insert, update and delete (engine/record_maintenance.cc) ----
  int AddNewRecord(std::string_view data, int32_t length, int64_t& offset, const char* table,
                   std::string* err);
  // Replaces the content of the record at offset with data (length bytes):
  // in place, or relocated, in which case offset receives the new record's
  // position. Its index keys are replaced. A record that was superseded or
  // deleted meanwhile is refused, and so is one whose change counter is no
  // longer read_version, the counter of the copy the caller's change was
  // made from (none given: any).
  int UpdateRecord(std::string_view data, int32_t length, int64_t& offset, const char* table,
                   std::string* err, std::optional<int32_t> read_version = std::nullopt);
  // Retires the record at offset: flags it, removes its index keys and, when
  // it heads its table's chain, hands the head to its predecessor. Refused
  // like UpdateRecord when the record was superseded, deleted or changed.
  int DeleteRecord(const char* table, int64_t offset, std::string* err,
                   std::optional<int32_t> read_version = std::nullopt);
  // Adds (remove == 0) or removes (remove == 1) the index keys of one record.
  static int IndexRecordKeys(IndexFile& index, std::string_view data, int64_t offset,
                             int32_t length, const TableDefinition& definition, int remove);
  // The index keys of one record: one per live key column whose value is
  // not blank, in column order.
  static std::vector<std::string> RecordKeys(std::string_view data, int32_t length,
                                             const TableDefinition& definition);

  // 1 when every live key column of the table holds a non-blank value in
  // data; otherwise the message goes into *err.
  int RecordsetAreAllKeysPopulated(const char* table_name, std::string_view data, std::string* err);

  // Files for the layers above (the recordset code and the tools).
  FileHandle data_file() const { return data_file_.handle(); }
  FileHandle definition_file() const { return definition_file_.handle(); }
  IndexFile& index() { return index_; }

  // Sets the last-error text (cut to kMaxErrorText) and calls ReportError.
  void SetError(std::string_view text);
  // Sets the last-error text only (operations that do not report).
  void SetErrorQuietly(std::string_view text);
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

 private:
  // Counts the record's numeric key values that are out of numeric order
  // (key_order_count); called for the keys a write adds and removes.
  void NoteKeyOrder(const TableDefinition& definition, std::string_view data, int32_t length);
  // Writes the definition header and caches it; on failure the last-error
  // text is "<operation>: Disk-Write error".
  int WriteDefinitionHeader(const DefinitionHeader& header, std::string_view operation);
  // Forgets the caches that may hold changes no longer staged.
  void ForgetCachedChanges();
  int OpenFiles(const char* path, int shared);
  // The key-population test against a definition already read (shared by
  // RecordsetAreAllKeysPopulated and AddNewRecord, which reads it once).
  int CheckKeysPopulated(const TableDefinition& definition, std::string_view data,
                         std::string* err);

  int connected_ = 0;
  bool long_change_ = false;
  uint64_t change_count_ = 0;
  uint64_t error_count_ = 0;
  uint64_t key_order_count_ = 0;
  int shared_ = 0;
  size_t data_cache_bytes_ = kDataCacheBytes;
  int message_box_ = 0;
  std::string work_folder_;
  std::string write_file_path_;
  std::string data_path_;
  std::string last_error_;
  File data_file_;
  File definition_file_;
  File write_file_;
  std::array<TransactionSlot, kTransactionSlots> transaction_slots_{};
  IndexFile index_;
  // Reads of TableDef / HeaderView land here when the cache is off.
  TableDefinition table_scratch_;
  DefinitionHeader header_scratch_;
  DefinitionCache definitions_;
  AppendBatch batch_;
  LogOptions log_options_;  // folder empty: no log
  WriteAheadLog log_;
  RecoveryReport recovery_;
};

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_H_

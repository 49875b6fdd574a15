// Storing, rewriting and retiring the records of a table with their index
// keys, and the key test that guards every store.
//
// AddNewRecord appends the record, makes it the head of its table's chain
// (the definition's newest-record offset) and only then indexes it: a
// record is never indexed unless its table's chain reaches it. In shared
// mode the table's definition record stays locked from before the append to
// after the definition is written, so two processes cannot both take the
// same chain head as their previous record.
//
// UpdateRecord and DeleteRecord are handed the record's offset by the
// recordset that names it. Both refuse a record whose header is flagged
// superseded-or-deleted: such a row was
// overtaken by another recordset's update or delete, and writing through it
// would store data nobody can reach and index a dead record. Both also
// refuse a record whose change counter moved since the recordset read it:
// another recordset stored a change meanwhile, which writing over it would
// lose without a word. Each store counts one change (record.h). After
// either one the index holds exactly the keys of the records that are live.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/index_key.h"
#include "engine/record.h"

namespace zt {

namespace {

// Calls visit(f, value) for every live key column f of the definition, in
// column order, with the column's bytes in data trimmed of blanks (empty
// when the column lies beyond the end of data). Stops when visit returns
// false; returns whether it went through every column.
template <typename Visit>
bool ForEachKeyValue(const TableDefinition& definition, std::string_view data, Visit visit) {
  const int columns = definition.column_count();
  int64_t start = 0;
  for (int f = 0; f < columns; ++f) {
    const int32_t size = definition.column_size(f) > 0 ? definition.column_size(f) : 0;
    if (!definition.is_dropped(f) && definition.is_key(f)) {
      std::string_view value;
      if (start + size <= static_cast<int64_t>(data.size())) {
        value = TrimBlanks(data.substr(static_cast<size_t>(start), static_cast<size_t>(size)));
      }
      if (!visit(f, value)) return false;
    }
    start += size;
  }
  return true;
}

}  // namespace

int Database::CheckKeysPopulated(const TableDefinition& definition, std::string_view data,
                                 std::string* err) {
  return ForEachKeyValue(definition, data, [&](int f, std::string_view value) {
    if (!value.empty()) return true;
    *err = "RecordsetAreAllKeysPopulated: " + std::string(definition.column_name(f)) +
           " cannot be NULL";
    ReportError(*err);
    return false;
  });
}

std::vector<std::string> Database::RecordKeys(std::string_view data, int32_t length,
                                              const TableDefinition& definition) {
  std::vector<std::string> keys;
  // Never look past the bytes actually handed in, whatever length says.
  const size_t available = length < 0 ? 0 : static_cast<size_t>(length);
  ForEachKeyValue(definition, data.substr(0, available), [&](int f, std::string_view value) {
    if (!value.empty()) {
      keys.push_back(MakeIndexKey(definition.name(), definition.column_name(f), value,
                                  definition.column_size(f) > 0 ? definition.column_size(f) : 0,
                                  definition.column_type(f)));
    }
    return true;
  });
  return keys;
}

void Database::NoteKeyOrder(const TableDefinition& definition, std::string_view data,
                            int32_t length) {
  const size_t available = length < 0 ? 0 : static_cast<size_t>(length);
  ForEachKeyValue(definition, data.substr(0, available), [&](int f, std::string_view value) {
    if (!value.empty() && IsNumericType(definition.column_type(f)) && !IsOrderedNumber(value)) {
      ++key_order_count_;
    }
    return true;
  });
}

int Database::IndexRecordKeys(IndexFile& index, std::string_view data, int64_t offset,
                              int32_t length, const TableDefinition& definition, int remove) {
  if (data.data() == nullptr) return 0;
  for (const std::string& key : RecordKeys(data, length, definition)) {
    // A key that cannot be stored leaves the record reachable through its
    // table's chain; the index change of the others still counts.
    if (remove) {
      index.IndexDelete(key, offset);
    } else {
      index.IndexInsert(key, offset);
    }
  }
  return 1;
}

int Database::AddNewRecord(std::string_view data, int32_t length, int64_t& offset,
                           const char* table, std::string* err) {
  if (err == nullptr) return 0;
  if (table == nullptr) {
    *err = "AddNewRecord: Invalid table name!";
    return 0;
  }
  if (data.data() == nullptr) return 0;
  if (!connected_) {
    *err = "AddNewRecord: Not connected to database";
    return 0;
  }
  // The length decides how much is written: it must describe bytes the
  // caller really handed in, and no reader accepts a longer record.
  if (length < 0 || length > kMaxRecordLength || static_cast<size_t>(length) > data.size()) {
    *err = "AddNewRecord: Invalid record length";
    return 0;
  }
  const std::string_view record = data.substr(0, static_cast<size_t>(length));
  if (batch_.open) return AddToAppendBatch(record, table, offset, err);

  // One read of the definition serves both the key test and the chain.
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(table, definition, definition_offset)) {
    *err = "RecordsetAreAllKeysPopulated: Could not read table definition";
    return 0;
  }
  if (!CheckKeysPopulated(definition, record, err)) return 0;

  if (shared_) {
    if (!LockTableDefinition(table)) {
      *err = "AddNewRecord: Error Locking table header";
      return 0;
    }
    // Another process may have appended since the read above.
    if (!GetTableDef(table, definition, definition_offset)) {
      UnlockTableDefinition(table);
      *err = "AddNewRecord: Unable to read table definition";
      return 0;
    }
  }
  auto unlock = [&] {
    if (shared_) UnlockTableDefinition(table);
  };

  const RecordHeader header =
      RecordHeader::ForNewRecord(definition.name(), definition.newest_record(), length);
  int64_t appended = -1;
  std::string append_err;
  if (!AppendDatabaseRecord(header, record, appended, &append_err)) {
    unlock();
    *err = "AddNewRecord: Unable to append the record to the database!";
    return 0;
  }
  definition.set_newest_record(appended);
  if (!UpdateTableDef(definition, definition_offset)) {
    unlock();
    *err = "AddNewRecord: Unable to update the database table definition record";
    return 0;
  }
  unlock();
  IndexRecordKeys(index_, record, appended, length, definition, 0);
  NoteKeyOrder(definition, record, length);
  offset = appended;
  return 1;
}

namespace {

int Refuse(std::string* err, std::string_view message) {
  err->assign(message);
  return 0;
}

// Whether another recordset retired or changed the record since the caller
// read it at read_version.
bool Overtaken(const RecordHeader& header, std::optional<int32_t> read_version) {
  return header.superseded() ||
         (read_version.has_value() && header.change_counter() != *read_version);
}

}  // namespace

int Database::UpdateRecord(std::string_view data, int32_t length, int64_t& offset,
                           const char* table, std::string* err,
                           std::optional<int32_t> read_version) {
  if (err == nullptr) return 0;
  if (table == nullptr) return Refuse(err, "UpdateRecord: Invalid table name!");
  if (data.data() == nullptr) {
    return Refuse(err, "UpdateRecord: Cannot update a record with a NULL!");
  }
  if (!connected_) return Refuse(err, "UpdateRecord: Database not open!");
  if (offset < 0) return Refuse(err, "UpdateRecord: Current record not set");
  if (length < 0 || length > kMaxRecordLength || static_cast<size_t>(length) > data.size()) {
    return Refuse(err, "UpdateRecord: Invalid record length");
  }
  const std::string_view record = data.substr(0, static_cast<size_t>(length));

  // One read of the definition serves the key test and the index keys.
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(table, definition, definition_offset)) {
    return Refuse(err, "RecordsetAreAllKeysPopulated: Could not read table definition");
  }
  if (!CheckKeysPopulated(definition, record, err)) return 0;

  RecordHeader header;
  std::string old_data;
  int32_t old_length = 0;
  std::string read_err;
  if (!ReadDatabaseRecord(table, header, old_data, offset, length, old_length, &read_err)) {
    return Refuse(err, "UpdateRecord: Unable to read the old record from the database!");
  }
  if (Overtaken(header, read_version)) {
    return Refuse(err, "UpdateRecord: The record was changed or deleted by another recordset");
  }
  const int64_t old_offset = offset;
  int64_t new_offset = offset;
  header.count_change();
  int32_t new_length = length;
  std::string write_err;
  if (!WriteDatabaseRecord(header, record, new_offset, length, new_length, &write_err)) {
    return Refuse(err, "UpdateRecord: Unable to overwrite the old record in the database!");
  }
  // Replace the keys that changed. A key whose text and record offset stay
  // the same keeps its entry: removing and re-adding it would leave one more
  // dead entry behind at every update, and seeks on that key would step over
  // all of them.
  const std::vector<std::string> old_keys = RecordKeys(old_data, old_length, definition);
  const std::vector<std::string> new_keys = RecordKeys(record, new_length, definition);
  auto kept = [&](const std::string& key, const std::vector<std::string>& other) {
    return new_offset == old_offset && std::find(other.begin(), other.end(), key) != other.end();
  };
  for (const std::string& key : old_keys) {
    if (!kept(key, new_keys)) index_.IndexDelete(key, old_offset);
  }
  for (const std::string& key : new_keys) {
    if (!kept(key, old_keys)) index_.IndexInsert(key, new_offset);
  }
  NoteKeyOrder(definition, old_data, old_length);
  NoteKeyOrder(definition, record, new_length);
  offset = new_offset;
  return 1;
}

int Database::DeleteRecord(const char* table, int64_t offset, std::string* err,
                           std::optional<int32_t> read_version) {
  if (err == nullptr || table == nullptr) return 0;
  if (!connected_) return Refuse(err, "DeleteRecord: Database not open!");
  if (offset < 0) return Refuse(err, "DeleteRecord: Current record not set");
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(table, definition, definition_offset)) {
    return Refuse(err, "DeleteRecord: Unable to read table definition");
  }
  if (shared_) {
    if (!LockTableDefinition(table)) return Refuse(err, "DeleteRecord: Error Locking table header");
    // Another process may have moved the chain head since the read above.
    if (!GetTableDef(table, definition, definition_offset)) {
      UnlockTableDefinition(table);
      return Refuse(err, "DeleteRecord: Unable to read table definition");
    }
  }
  auto unlock = [&] {
    if (shared_) UnlockTableDefinition(table);
  };

  RecordHeader header;
  std::string data;
  int32_t length = 0;
  if (!ReadDatabaseRecord(table, header, data, offset, definition.record_length(), length, err)) {
    unlock();
    return 0;
  }
  if (Overtaken(header, read_version)) {
    unlock();
    return Refuse(err, "DeleteRecord: The record was changed or deleted by another recordset");
  }
  header.count_change();
  header.set_superseded(true);
  int64_t at = offset;
  int32_t written = length;
  // The same length always fits: the record is rewritten in place.
  if (!WriteDatabaseRecord(header, data, at, length, written, err)) {
    unlock();
    return 0;
  }
  IndexRecordKeys(index_, data, offset, length, definition, 1);
  NoteKeyOrder(definition, data, length);

  // The newest record hands the chain to its predecessor; any other deleted
  // record stays in the chain with its flag set.
  if (offset == definition.newest_record()) {
    definition.set_newest_record_text(
        GetTextField(&header.bytes[RecordHeader::kPreviousOffset], kNumberFieldWidth));
    UpdateTableDef(definition, definition_offset);
  }
  unlock();
  return 1;
}

int Database::RecordsetAreAllKeysPopulated(const char* table_name, std::string_view data,
                                           std::string* err) {
  if (table_name == nullptr) {
    if (err != nullptr) *err = "RecordsetAreAllKeysPopulated: Invalid table name!";
    return 0;
  }
  if (data.data() == nullptr) {
    if (err != nullptr) *err = "RecordsetAreAllKeysPopulated: Invalid Record!";
    return 0;
  }
  if (err == nullptr) return 0;
  if (!IsConnected()) {
    SetError("RecordsetAreAllKeysPopulated: No database connection has been established!");
    return 0;
  }
  TableDefinition definition;
  int64_t offset = 0;
  if (!GetTableDef(table_name, definition, offset)) {
    *err = "RecordsetAreAllKeysPopulated: Could not read table definition";
    return 0;
  }
  return CheckKeysPopulated(definition, data, err);
}

}  // namespace zt

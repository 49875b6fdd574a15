// Field metadata: what a client may ask about the columns of the table
// behind an open recordset.
//
// Every answer comes from the table's definition, read afresh at each call
// (which also refreshes the recordset's definition offset), so it reflects
// the definition file at that moment. A field number is the 0-based position
// of a column in the definition; dropped columns keep their numbers and are
// described like live ones. Each operation has its own failure texts, kept
// together in one table per operation below; every failure is reported.
#include "engine/definition.h"
#include "recordset/recordset.h"
#include "recordset/recordset_fail.h"
#include "recordset/recordsets.h"

namespace zt {

// The failure texts of one metadata operation.
struct MetadataTexts {
  const char* not_connected;
  const char* not_open;
  const char* unreadable;
  const char* bad_field;  // null: the operation takes no field number
};

namespace {

constexpr MetadataTexts kFieldCountTexts = {
    "RecordsetGetFieldCount: No database connection has been established!",
    "RecordsetGetFieldCount: Recordset not open!",
    "RecordsetGetFieldCount: Unable to read table header!", nullptr};
constexpr MetadataTexts kFieldNameTexts = {
    "RecordsetGetFieldName: No database connection has been established!",
    "RecordsetGetFieldName: Recordset not open!",
    "RecordsetGetFieldName: Error reading table header!",
    "RecordsetGetFieldName: Invalid field number!"};
constexpr MetadataTexts kFieldInfoTexts = {
    "RecordsetGetFieldInfo: No database connection has been established!",
    "RecordsetGetFieldInfo: Recordset not open!",
    "RecordsetGetFieldInfo: Unable to read table header!",
    "RecordsetGetFieldInfo: Invalid field number!"};
constexpr MetadataTexts kNullableTexts = {
    "RecordsetIsFieldNullable: No database connection has been established!",
    "RecordsetIsFieldNullable: Recordset not open!",
    "RecordsetIsFieldNullable: Unable to read table header!",
    "RecordsetIsFieldNullable: Invalid field number!"};
constexpr MetadataTexts kKeyColumnTexts = {
    "RecordsetIsFieldKeyColumn: Database connection not established!",
    "RecordsetIsFieldKeyColumn: Recordset not open!",
    "RecordsetIsFieldKeyColumn: Unable to read table header!",
    "RecordsetIsFieldKeyColumn: Invalid field number!"};
constexpr MetadataTexts kBlobTexts = {"RecordsetIsFieldABlob: Database not open!",
                                      "RecordsetIsFieldABlob: Recordset not open!",
                                      "RecordsetIsFieldABlob: Unable to read table definition!",
                                      "RecordsetIsFieldABlob: Invalid field number!"};
constexpr MetadataTexts kFieldSizeTexts = {"RecordsetGetFieldSize: Database not open!",
                                           "RecordsetGetFieldSize: Recordset not open!",
                                           "RecordsetGetFieldSize: Unable to read table header!",
                                           "RecordsetGetFieldSize: Field number not valid!"};

}  // namespace

// The steps every metadata operation shares: look up the handle, check the
// connection and the open flag, read the definition and, for the operations
// that take one, check the field number. The column count used for the
// check is the stored one held to 0..99, so a damaged count can never lead
// outside the definition record. Returns 1 with definition filled in.
int Recordsets::ReadFieldDefinition(int32_t handle, int32_t field, const MetadataTexts& texts,
                                    TableDefinition& definition) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  if (!database_.IsConnected())
    return FailRecordset(database_, *recordset, texts.not_connected, Report::kYes);
  if (!recordset->open) return FailRecordset(database_, *recordset, texts.not_open, Report::kYes);
  if (!database_.GetTableDef(recordset->table_name.c_str(), definition,
                             recordset->definition_offset)) {
    return FailRecordset(database_, *recordset, texts.unreadable, Report::kYes);
  }
  if (texts.bad_field != nullptr && (field < 0 || field >= definition.column_count())) {
    return FailRecordset(database_, *recordset, texts.bad_field, Report::kYes);
  }
  return 1;
}

int Recordsets::RecordsetGetFieldCount(int32_t handle, int32_t& count) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, 0, kFieldCountTexts, definition)) return 0;
  count = definition.column_count();
  return 1;
}

int Recordsets::RecordsetGetFieldName(int32_t handle, int32_t field, std::string& name) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, field, kFieldNameTexts, definition)) return 0;
  name = definition.column_name(field);
  return 1;
}

int Recordsets::RecordsetGetFieldInfo(int32_t handle, int32_t field, std::string& name,
                                      std::string& type, int32_t& size) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, field, kFieldInfoTexts, definition)) return 0;
  name = definition.column_name(field);
  type = definition.column_type_text(field);
  size = definition.column_size(field);
  return 1;
}

int Recordsets::RecordsetIsFieldNullable(int32_t handle, int32_t field) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, field, kNullableTexts, definition)) return 0;
  return definition.is_key(field) ? 0 : 1;
}

int Recordsets::RecordsetIsFieldKeyColumn(int32_t handle, int32_t field) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, field, kKeyColumnTexts, definition)) return 0;
  return definition.is_key(field) ? 1 : 0;
}

// The engine has no large-object columns: every valid field answers 0, like
// every failure.
int Recordsets::RecordsetIsFieldABlob(int32_t handle, int32_t field) {
  TableDefinition definition;
  ReadFieldDefinition(handle, field, kBlobTexts, definition);
  return 0;
}

int Recordsets::RecordsetGetFieldSize(int32_t handle, int32_t field, int32_t& size) {
  TableDefinition definition;
  if (!ReadFieldDefinition(handle, field, kFieldSizeTexts, definition)) return 0;
  size = definition.column_size(field);
  return 1;
}

}  // namespace zt

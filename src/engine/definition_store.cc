// The Database's operations on the definition file: finding and rewriting
// table definitions, the location texts, and the definition-record locks.
// The byte layout is described in engine/definition.h.
//
// In exclusive mode the records come from the definition cache
// (engine/definition_cache.h) once read: every write here updates it.
#include <cstring>
#include <string>

#include "engine/database.h"

namespace zt {

int Database::ReadDefinitionHeader(DefinitionHeader& header) {
  const DefinitionHeader* current = DefinitionHeaderView(header);
  if (current == nullptr) return 0;
  if (current != &header) header = *current;
  return 1;
}

const DefinitionHeader* Database::DefinitionHeaderView(DefinitionHeader& scratch) {
  if (const DefinitionHeader* cached = definitions_.header()) return cached;
  if (!FileReadAt(definition_file_.handle(), scratch.bytes.data(), scratch.bytes.size(), 0)) return nullptr;
  definitions_.SetHeader(scratch);
  return &scratch;
}

int Database::FindTableDef(const char* name, TableDefinition& scratch,
                           const TableDefinition*& found, int& slot) {
  if (name == nullptr) {
    SetError("GetTableDef: Table name cannot be NULL.");
    return 0;
  }
  if (!connected_) {
    SetError("GetTableDef: No database connection has been established!");
    return 0;
  }
  const std::string_view given(name);
  if (given.size() > kMaxNameLength) {
    SetError("GetTableDef: Table name exceeds maximum length - " + std::string(given));
    return 0;
  }
  const std::string_view wanted = TrimBlanks(given);
  const DefinitionHeader* header = DefinitionHeaderView(header_scratch_);
  if (header == nullptr) {
    SetError("GetTableDef: Disk-Read error(1)");
    return 0;
  }
  const int count = header->table_count();
  for (int i = 0; i < count; ++i) {
    if (!EqualNoCase(header->table_name(i), wanted)) continue;
    const TableDefinition* definition = definitions_.table(i);
    if (definition == nullptr) {
      if (!FileReadAt(definition_file_.handle(), scratch.bytes.data(), scratch.bytes.size(),
                      TableDefinitionOffset(i))) {
        SetError("GetTableDef: Disk-Read error(2)");
        return 0;
      }
      definitions_.SetTable(i, scratch);
      definition = &scratch;
    }
    if (!EqualNoCase(definition->name(), wanted)) {
      SetError("GetTableDef: Unable to match requested table name");
      return 0;
    }
    // The cache's copy when there is one: the caller may change it (an
    // append batch) and its changes must be what later reads return.
    found = definitions_.table(i) != nullptr ? definitions_.table(i) : definition;
    slot = i;
    return 1;
  }
  return 0;
}

const TableDefinition* Database::TableDef(const char* name, int64_t& offset) {
  const TableDefinition* found = nullptr;
  int slot = 0;
  if (!FindTableDef(name, table_scratch_, found, slot)) return nullptr;
  offset = TableDefinitionOffset(slot);
  return found;
}

int Database::GetTableDef(const char* name, TableDefinition& definition, int64_t& offset) {
  const TableDefinition* found = TableDef(name, offset);
  if (found == nullptr) return 0;
  definition = *found;
  return 1;
}

int Database::UpdateTableDef(const TableDefinition& definition, int64_t offset) {
  if (!connected_) {
    SetError("UpdateTableDef: No database connection has been established!");
    return 0;
  }
  ++change_count_;
  DefinitionHeader scratch;
  const DefinitionHeader* header = DefinitionHeaderView(scratch);
  if (header == nullptr) {
    SetError("UpdateTableDef: Disk-Read error");
    return 0;
  }
  const int count = header->table_count();
  for (int i = 0; i < count; ++i) {
    if (!EqualNoCase(header->table_name(i), definition.name())) continue;
    if (offset != TableDefinitionOffset(i)) {
      SetError("UpdateTableDef: Invalid table offset specified");
      return 0;
    }
    // With the file's bytes at hand (the cache), only the bytes that differ
    // are written: storing a record changes one 11-byte offset, not 12 KB.
    size_t first = 0;
    size_t end = definition.bytes.size();
    if (const TableDefinition* cached = definitions_.table(i)) {
      // Word by word to the first and last differing word, then byte by byte.
      const char* a = cached->bytes.data();
      const char* b = definition.bytes.data();
      constexpr size_t kWord = 64;
      while (first + kWord <= end && std::memcmp(a + first, b + first, kWord) == 0) first += kWord;
      while (first < end && a[first] == b[first]) ++first;
      while (end >= first + kWord && std::memcmp(a + end - kWord, b + end - kWord, kWord) == 0) {
        end -= kWord;
      }
      while (end > first && a[end - 1] == b[end - 1]) --end;
    }
    if (first < end && !FileWriteAt(definition_file_.handle(), definition.bytes.data() + first, end - first,
                                    offset + static_cast<int64_t>(first))) {
      definitions_.ForgetTable(i);  // the record may be half written
      SetError("UpdateTableDef: Disk-Write error");
      return 0;
    }
    definitions_.SetTable(i, definition);
    return 1;
  }
  return 0;
}

int Database::AddTableDef(const TableDefinition& definition) {
  if (!connected_) {
    SetError("AddTableDef: No database connection has been established!");
    return 0;
  }
  if (shared_) {
    SetError("AddTableDef: The database must be open exclusively");
    return 0;
  }
  ++change_count_;
  DefinitionHeader header;
  if (!ReadDefinitionHeader(header)) {
    SetError("AddTableDef: Disk-Read error");
    return 0;
  }
  const int slot = header.table_count();
  if (header.stored_table_count() != slot || slot >= kMaxTables) {
    SetError("AddTableDef: The definition file holds no room for another table");
    return 0;
  }
  // The record first, the header that reaches it after: without a log a
  // failure between the two leaves a record nobody names.
  if (!FileWriteAt(definition_file_.handle(), definition.bytes.data(), definition.bytes.size(),
                   TableDefinitionOffset(slot))) {
    definitions_.ForgetTable(slot);
    SetError("AddTableDef: Disk-Write error");
    return 0;
  }
  definitions_.SetTable(slot, definition);
  header.set_table_name(slot, definition.name());
  header.set_table_count(slot + 1);
  return WriteDefinitionHeader(header, "AddTableDef");
}

int Database::WriteDefinitionHeader(const DefinitionHeader& header, std::string_view operation) {
  if (!FileWriteAt(definition_file_.handle(), header.bytes.data(), header.bytes.size(), 0)) {
    definitions_.ForgetHeader();  // the header may be half written
    SetError(std::string(operation) + ": Disk-Write error");
    return 0;
  }
  definitions_.SetHeader(header);
  return 1;
}

int Database::GetLocationInformation(LocationInformation& fields) {
  if (!connected_) {
    SetError("GetLocationInformation: No database connection has been established!");
    return 0;
  }
  DefinitionHeader header;
  if (!ReadDefinitionHeader(header)) {
    SetError("GetLocationInformation: Disk-Read error");
    return 0;
  }
  for (int k = 0; k < kLocationFieldCount; ++k) fields[static_cast<size_t>(k)] = header.location(k);
  return 1;
}

int Database::GetTableNames(std::vector<std::string>& names) {
  names.clear();
  if (!connected_) {
    SetError("GetTableNames: No database connection has been established!");
    return 0;
  }
  DefinitionHeader scratch;
  const DefinitionHeader* header = DefinitionHeaderView(scratch);
  if (header == nullptr) {
    SetError("GetTableNames: Disk-Read error");
    return 0;
  }
  for (int slot = 0; slot < header->table_count(); ++slot) {
    const std::string_view name = header->table_name(slot);
    if (!name.empty()) names.emplace_back(name);
  }
  return 1;
}

int Database::SetLocationInformation(const LocationInformation& fields) {
  if (!connected_) {
    SetError("SetLocationInformation: No database connection has been established!");
    return 0;
  }
  DefinitionHeader header;
  if (!ReadDefinitionHeader(header)) {
    SetError("SetLocationInformation: Disk-Read error");
    return 0;
  }
  // A value longer than its field is cut to the field's width less one, so
  // the terminating NUL always stays inside the field.
  for (int k = 0; k < kLocationFieldCount; ++k)
    header.set_location(k, fields[static_cast<size_t>(k)]);
  return WriteDefinitionHeader(header, "SetLocationInformation");
}

int Database::LockTableDefinition(const char* name) {
  if (name == nullptr) return 0;
  if (!connected_) {
    SetError("LockTableDefinition: No database connection has been established!");
    return 0;
  }
  if (!shared_) return 1;
  TableDefinition definition;
  int64_t offset = 0;
  if (!GetTableDef(name, definition, offset)) return 0;
  return FileLockRegion(definition_file_.handle(), offset, TableDefinition::kSize);
}

int Database::UnlockTableDefinition(const char* name) {
  if (name == nullptr) return 0;
  if (!shared_) return 1;
  TableDefinition definition;
  int64_t offset = 0;
  if (!GetTableDef(name, definition, offset)) return 0;
  FileUnlockRegion(definition_file_.handle(), offset, TableDefinition::kSize);
  return 1;
}

}  // namespace zt

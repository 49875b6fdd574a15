#include "engine/database_builder.h"

#include <set>
#include <string_view>

#include "engine/codec.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "engine/index.h"

namespace zt {

void EncodeColumn(TableDefinition& definition, int f, const ColumnSchema& column) {
  definition.set_column_name(f, column.name);
  definition.set_column_size(f, column.size);
  definition.set_column_type(f, column.type);
  definition.set_key(f, column.key);
  definition.set_dropped(f, column.dropped);
}

TableDefinition EncodeTable(const TableSchema& table) {
  TableDefinition def;  // every field the server does not read stays zero
  def.set_name(table.name);
  def.set_column_count(static_cast<int>(table.columns.size()));
  int length = 0;
  for (size_t f = 0; f < table.columns.size(); ++f) {
    EncodeColumn(def, static_cast<int>(f), table.columns[f]);
    length += table.columns[f].size;
  }
  // Slots of absent columns: not key, not dropped (flags 'N'), so a reader
  // that looks past the column count sees nothing alive.
  for (int f = static_cast<int>(table.columns.size()); f < kMaxColumns; ++f) {
    def.set_key(f, false);
    def.set_dropped(f, false);
  }
  def.set_record_length(length);
  def.set_newest_record(-1);
  return def;
}

TableSchema DecodeTable(const TableDefinition& definition) {
  TableSchema table;
  table.name = definition.name();
  for (int f = 0; f < definition.column_count(); ++f) {
    table.columns.push_back(ColumnSchema{std::string(definition.column_name(f)),
                                         definition.column_type(f), definition.column_size(f),
                                         definition.is_key(f), definition.is_dropped(f)});
  }
  return table;
}

bool IsValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.' || c == '$';
    if (!ok) return false;
  }
  return true;
}

std::string ValidateDatabaseSchema(const DatabaseSchema& schema) {
  if (schema.tables.empty()) return "the database has no table";
  if (schema.tables.size() > static_cast<size_t>(kMaxTables)) {
    return "more than " + std::to_string(kMaxTables) + " tables";
  }
  std::set<std::string> table_names;
  for (const TableSchema& table : schema.tables) {
    if (!IsValidName(table.name)) {
      return "invalid table name '" + table.name +
             "' (1 to 32 letters, digits, '_', '-', '.', '$')";
    }
    if (!table_names.insert(FoldText(table.name)).second) {
      return "table '" + table.name + "' is defined twice";
    }
    if (table.columns.empty()) return "table '" + table.name + "' has no column";
    if (table.columns.size() > static_cast<size_t>(kMaxColumns)) {
      return "table '" + table.name + "' has more than " + std::to_string(kMaxColumns) + " columns";
    }
    std::set<std::string> column_names;
    long length = 0;
    for (const ColumnSchema& column : table.columns) {
      if (!IsValidName(column.name)) {
        return "invalid column name '" + column.name + "' in table '" + table.name + "'";
      }
      if (!column_names.insert(FoldText(column.name)).second) {
        return "column '" + column.name + "' is defined twice in table '" + table.name + "'";
      }
      if (column.size < 1 || column.size > kMaxRecordLength) {
        return "column '" + column.name + "' of table '" + table.name + "' has size " +
               std::to_string(column.size) + " (1 to " + std::to_string(kMaxRecordLength) + ")";
      }
      length += column.size;
    }
    if (length > kMaxRecordLength) {
      return "table '" + table.name + "' has a record length of " + std::to_string(length) +
             " bytes (at most " + std::to_string(kMaxRecordLength) + ")";
    }
  }
  for (int k = 0; k < kLocationFieldCount; ++k) {
    const size_t room = DefinitionHeader::kLocationWidths[static_cast<size_t>(k)] - 1;
    if (schema.locations[static_cast<size_t>(k)].size() > room) {
      return "location " + std::to_string(k + 1) + " is longer than " + std::to_string(room) +
             " characters";
    }
    if (schema.locations[static_cast<size_t>(k)].find('\0') != std::string::npos) {
      return "location " + std::to_string(k + 1) + " contains a NUL byte";
    }
  }
  return {};
}

int CreateDatabaseFiles(const std::string& data_file, const DatabaseSchema& schema,
                        std::string& err) {
  err = ValidateDatabaseSchema(schema);
  if (!err.empty()) return 0;
  const std::string definition_file = DerivedFileName(data_file, kDefinitionFileExtension);
  const std::string index_file = DerivedFileName(data_file, kIndexFileExtension);
  for (const std::string& path : {data_file, definition_file, index_file}) {
    if (PathExists(path)) {
      err = path + " already exists";
      return 0;
    }
  }

  std::string image(DefinitionHeader::kSize + TableDefinition::kSize * schema.tables.size(), '\0');
  DefinitionHeader header;
  header.set_table_count(static_cast<int>(schema.tables.size()));
  for (size_t i = 0; i < schema.tables.size(); ++i) {
    header.set_table_name(static_cast<int>(i), schema.tables[i].name);
    const TableDefinition def = EncodeTable(schema.tables[i]);
    image.replace(static_cast<size_t>(TableDefinitionOffset(static_cast<int>(i))), def.bytes.size(),
                  def.bytes.data(), def.bytes.size());
  }
  for (int k = 0; k < kLocationFieldCount; ++k)
    header.set_location(k, schema.locations[static_cast<size_t>(k)]);
  image.replace(0, header.bytes.size(), header.bytes.data(), header.bytes.size());

  auto fail = [&](const std::string& what) {
    err = what + ": " + LastFileError();
    FileDelete(data_file);
    FileDelete(definition_file);
    FileDelete(index_file);
    return 0;
  };
  if (!FileCreate(data_file)) return fail("cannot create " + data_file);
  if (!FileCreate(definition_file)) return fail("cannot create " + definition_file);
  File file;
  if (!file.Open(definition_file, 0)) return fail("cannot open " + definition_file);
  const int written = FileWriteAt(file.handle(), image.data(), image.size(), 0) &&
                      FileSync(file.handle());
  file.Close();
  if (!written) return fail("cannot write " + definition_file);
  IndexFile index;
  if (!index.IndexCreate(index_file)) return fail("cannot create " + index_file);
  return 1;
}

}  // namespace zt

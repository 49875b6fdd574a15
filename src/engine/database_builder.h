// Creating a new, empty database: the data file, the definition file and
// an index file holding one empty root page. The server never creates or
// alters definitions; this serves the administration tool and the tests.
#ifndef ZT_ENGINE_DATABASE_BUILDER_H_
#define ZT_ENGINE_DATABASE_BUILDER_H_

#include <string>
#include <vector>

#include "engine/definition.h"

namespace zt {

struct ColumnSchema {
  std::string name;
  int type = 0;      // 1, 2, 3 numeric; anything else text
  int size = 0;      // bytes in every record
  bool key = false;  // indexed
  bool dropped = false;
};

struct TableSchema {
  std::string name;
  std::vector<ColumnSchema> columns;
};

struct DatabaseSchema {
  std::vector<TableSchema> tables;
  LocationInformation locations;
};

// The definition record create writes for a table: its columns in order,
// the record length their sum, no newest record, every field the server
// does not read zero.
TableDefinition EncodeTable(const TableSchema& table);
// Column f of a definition as EncodeTable writes it (the fields the server
// does not read are left as they are).
void EncodeColumn(TableDefinition& definition, int f, const ColumnSchema& column);
// The schema of a definition: its name and its first column_count()
// columns, dropped ones included.
TableSchema DecodeTable(const TableDefinition& definition);

// Checks names, limits (255 tables, 99 columns, 32-character names, record
// length 1..16384, location texts within their fields) and uniqueness.
// Returns an empty string when the schema is sound, else the first problem.
std::string ValidateDatabaseSchema(const DatabaseSchema& schema);

// True when a name may be used for a table or column: 1..32 characters of
// letters, digits, '_', '-', '.', '$' (no blanks, no '~', no control bytes).
bool IsValidName(const std::string& name);

// Writes data_file, <base>.zdf and <base>.zix. Refuses (1 = done, 0 = not)
// when the schema is unsound or any of the three files exists; on failure
// nothing is left behind. err receives the reason.
int CreateDatabaseFiles(const std::string& data_file, const DatabaseSchema& schema,
                        std::string& err);

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_BUILDER_H_

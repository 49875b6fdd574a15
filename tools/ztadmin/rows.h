// The live rows of the tables as text values: what dump and export-sql
// write out, read in one place.
//
// A value is a column's bytes cut at the first NUL and trimmed of blanks,
// so a blank-padded field and an empty one read the same. Dropped columns
// are left out. Rows come oldest first, the order in which a load would
// append them again (the chain itself runs newest first).
#ifndef ZTADMIN_ROWS_H_
#define ZTADMIN_ROWS_H_

#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "engine/definition.h"

namespace zt {
class Database;
}  // namespace zt

namespace zt::admin {

// The definitions of every table of an open database, in the order of the
// definition file, and the file's header when header is given; explains a
// failure on err.
bool ReadAllTablesOffline(Database& db, const std::string& data_file,
                          std::vector<TableDefinition>& tables, std::ostream& err,
                          DefinitionHeader* header = nullptr);

// The live (not dropped) columns of a table, in record order.
std::vector<int> LiveColumns(const TableDefinition& definition);

// Calls visit once per live record of the table, oldest first, with one
// value per live column (views into a buffer valid during the call).
// False (with a reason) when the chain is broken; nothing was visited then.
using RowVisitor = std::function<void(const std::vector<std::string_view>& values)>;
bool ForEachLiveRow(Database& db, const TableDefinition& definition, const RowVisitor& visit,
                    std::string& problem);

// The text of stored bytes as UTF-8: valid UTF-8 sequences are kept, and a
// byte that is part of none is taken as the Latin-1 character of its value
// (0xE9 becomes U+00E9, "é"). Total: every byte string has exactly one
// rendering, and the result is always valid UTF-8.
void AppendAsUtf8(std::string& out, std::string_view bytes);

}  // namespace zt::admin

#endif  // ZTADMIN_ROWS_H_

// The schema text format of `ztadmin create`.
//
// One statement per line; '#' starts a comment (outside double quotes);
// blank lines are ignored; keywords are case-insensitive.
//
//   table NAME
//   column NAME TYPE SIZE [key] [dropped]
//   location N TEXT
//
// A column belongs to the table above it. TYPE is a type code (a whole
// number: 1, 2 and 3 are numeric, anything else text) or one of the
// aliases integer (1), numeric (2), float (3), text (0). SIZE is the number
// of bytes the column takes in every record. A key column is indexed and
// must be filled in every record; a dropped column still takes its bytes
// but can be neither read nor written. N is 1..8; TEXT is the rest of the
// line, optionally in double quotes (to keep blanks or a '#').
#ifndef ZTADMIN_SCHEMA_H_
#define ZTADMIN_SCHEMA_H_

#include <string>
#include <vector>

#include "engine/database_builder.h"

namespace zt::admin {

// Parses schema text. On failure returns false and error receives
// "<source>:<line>: <problem>".
bool ParseSchema(const std::string& text, const std::string& source, DatabaseSchema& schema,
                 std::string& error);

// One column from the words of a column statement after its keyword:
// NAME TYPE SIZE [key] [dropped]. The name, the type and the size are
// checked; false with the problem.
bool ParseColumn(const std::vector<std::string>& words, ColumnSchema& column,
                 std::string& problem);
// The same words as one command-line word joined by ':', NAME:TYPE:SIZE[:key]
// (`ztadmin alter add-table`).
bool ParseColumnWord(const std::string& word, ColumnSchema& column, std::string& problem);

// Readable name of a type code ("integer", "numeric", "float", "text" or
// "type N").
std::string TypeName(int type);

}  // namespace zt::admin

#endif  // ZTADMIN_SCHEMA_H_

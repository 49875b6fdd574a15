// `ztadmin export-sql DATAFILE`: the whole database as a PostgreSQL script
// on standard output, for moving it to a PostgreSQL server:
//
//   psql -v ON_ERROR_STOP=1 -f script.sql DBNAME
//
// The script sets client_encoding to UTF8 and, in one transaction, makes
// each table (CREATE TABLE with quoted identifiers, its live columns in
// record order), loads its live records oldest first (COPY ... FROM stdin,
// text format) and indexes each key column (CREATE INDEX, not unique: keys
// repeat here). The location texts become comments at the top.
//
// Column types (SqlColumnType): a stored value is text padded to the column
// size, so each type is chosen so that every value of its size loads:
//   integer (1), size <= 18   bigint (18 digits never overflow it)
//   integer (1), larger       numeric
//   numeric (2)               numeric
//   float (3)                 double precision
//   any other code            varchar(size), or text for a size outside
//                             1..10485760 (varchar's range)
// A value of a numeric column is written trimmed of blanks; a blank one is
// NULL. A numeric column holding any other value that its SQL type does not
// take ("abc", "1,5", "1e999" for a float) is made varchar/text instead,
// so nothing is lost; the script says so in a comment and the command on
// standard error. Text values are the stored bytes trimmed of blanks (a
// blank one is the empty string), read as UTF-8 with a byte outside any
// valid sequence taken as Latin-1 (AppendAsUtf8).
#ifndef ZTADMIN_EXPORT_SQL_H_
#define ZTADMIN_EXPORT_SQL_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zt::admin {

// Writes the script to out. Exit status 0 when all of it was written.
int ExportSqlCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                     bool show_progress);

// The SQL type a column of this type code and size maps to, before the
// values are seen.
std::string SqlColumnType(int32_t type, int32_t size);
// Whether the trimmed, non-blank text value loads into a column of the SQL
// type that SqlColumnType gives for a numeric type code (1, 2 or 3).
bool LoadsAsNumber(int32_t type, int32_t size, std::string_view value);
// A name as a quoted SQL identifier ("a""b" for a"b).
std::string QuoteIdentifier(std::string_view name);
// Appends value in COPY's text format: backslash, tab, newline and
// carriage return escaped.
void AppendCopyValue(std::string& out, std::string_view value);

}  // namespace zt::admin

#endif  // ZTADMIN_EXPORT_SQL_H_

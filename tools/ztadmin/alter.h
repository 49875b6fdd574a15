// ztadmin alter: schema changes of an existing database, offline.
//
//   add-table NAME COLUMN...           a new, empty table (NAME:TYPE:SIZE[:key])
//   add-column TABLE NAME TYPE SIZE    a non-key column appended to a table
//   drop-column TABLE COLUMN           the column's dropped flag; its keys
//                                      leave the index
//   rename-column TABLE OLD NEW        a column's new name; a key column's
//                                      keys are rewritten under it
//   set-location N TEXT                location field N (1..8)
//
// Every request is checked the way create checks a schema (the whole
// resulting schema goes through ValidateDatabaseSchema) before anything is
// written, so a bad request changes nothing. An accepted one is one change
// of the write-ahead log: the definition records and every index entry it
// adds or removes become one log record, which replay applies whole or not
// at all, so a crash leaves either the old definitions or the new ones.
//
// Records are never rewritten. A column added to a table that holds records
// makes them shorter than the new record length: the engine reads the
// missing bytes as an empty value, and an update of such a record stores it
// at the full length (relocated, as any record that grows). A dropped
// column keeps its bytes in every record. The last live column of a table
// cannot be dropped: a table needs one column to be read or written at all.
#ifndef ZTADMIN_ALTER_H_
#define ZTADMIN_ALTER_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace zt::admin {

// ztadmin alter DATAFILE SUBCOMMAND ARGS...: args holds SUBCOMMAND and its
// arguments. Exit status 0 when the change was made, 1 when it was refused
// or failed (nothing changed), 2 on a usage error.
int AlterCommand(const std::string& data_file, const std::vector<std::string>& args,
                 std::ostream& out, std::ostream& err, bool show_progress);

}  // namespace zt::admin

#endif  // ZTADMIN_ALTER_H_

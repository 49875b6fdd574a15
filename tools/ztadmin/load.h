// `ztadmin load`: appending the rows of a CSV file to a table.
#ifndef ZTADMIN_LOAD_H_
#define ZTADMIN_LOAD_H_

#include <iosfwd>
#include <string>
#include <vector>

#include "engine/definition.h"

namespace zt::admin {

// Where each CSV column goes in a record of the table.
struct LoadColumn {
  std::string name;
  int64_t offset = 0;  // first byte in the record's data
  int32_t size = 0;
};

// Maps the header line's names to live columns of the table. False (with a
// reason) for an unknown, dropped or repeated column.
bool MapHeader(const TableDefinition& definition, const std::vector<std::string>& header,
               std::vector<LoadColumn>& columns, std::string& problem);

// Lays one CSV row out as a record's data: every column blank-padded to its
// size, the row's values in their columns. False (with a reason) when the
// row has the wrong number of fields or a value longer than its column.
bool BuildRecord(const TableDefinition& definition, const std::vector<LoadColumn>& columns,
                 const std::vector<std::string>& fields, std::string& data, std::string& problem);

// Loads csv_file into table; a failing row stops the load before anything of
// it is written. Progress goes to err when it is a terminal.
int LoadCommand(const std::string& data_file, const std::string& table, const std::string& csv_file,
                std::ostream& out, std::ostream& err, bool show_progress);

}  // namespace zt::admin

#endif  // ZTADMIN_LOAD_H_

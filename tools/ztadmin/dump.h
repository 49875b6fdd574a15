// `ztadmin dump`: the live records of a table as CSV, oldest first, in the
// form `ztadmin load` reads back.
#ifndef ZTADMIN_DUMP_H_
#define ZTADMIN_DUMP_H_

#include <iosfwd>
#include <string>

namespace zt::admin {


// Writes the header line (the live columns) and one line per live record.
int DumpCommand(const std::string& data_file, const std::string& table, std::ostream& out,
                std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_DUMP_H_

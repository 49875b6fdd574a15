// ztadmin check: the consistency check of engine/database_check.h, run
// offline on a database's files.
#ifndef ZTADMIN_CHECK_H_
#define ZTADMIN_CHECK_H_

#include <iosfwd>
#include <string>

#include "engine/database_check.h"

namespace zt::admin {

// ztadmin check DATAFILE: prints a summary and every problem (up to a
// limit); exit status 0 when consistent, 1 when not or when the database
// cannot be opened.
int CheckCommand(const std::string& data_file, std::ostream& out, std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_CHECK_H_

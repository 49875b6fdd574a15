// The offline consistency check of a database: everything the engine
// relies on, read without changing a byte.
//
// Definitions: every named table has a readable definition whose record
// length is within the limit and equals the sum of its column sizes.
// Records: every table's chain runs from its newest record backwards
// through sound headers of that table, without loops, each record whole
// inside the file; a scan of the data file from offset 0 finds one record
// after another up to its end, and every live record it meets is reached by
// its table's chain. Index: the B-tree's structure (engine/index_check.h);
// every key of every live record (one per live key column with a non-blank
// value) is a live entry pointing at that record, and every live entry is
// such a key: it points at a live record of its table holding that value.
#ifndef ZTADMIN_CHECK_H_
#define ZTADMIN_CHECK_H_

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/database.h"

namespace zt::admin {

struct CheckReport {
  std::vector<std::string> problems;  // one line each; empty: consistent
  int64_t live_records = 0;
  int64_t index_entries = 0;  // live entries
};

// Checks the open database db. Returns true when no problem was found.
bool CheckDatabase(Database& db, CheckReport& report);

// ztadmin check DATAFILE: prints a summary and every problem (up to a
// limit); exit status 0 when consistent, 1 when not or when the database
// cannot be opened.
int CheckCommand(const std::string& data_file, std::ostream& out, std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_CHECK_H_

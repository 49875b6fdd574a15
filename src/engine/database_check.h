// The consistency check of a database: everything the engine relies on,
// read without changing a byte (the offline check of the administration
// tool and of its recover command), in memory bounded by a SortOptions.
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
#ifndef ZT_ENGINE_DATABASE_CHECK_H_
#define ZT_ENGINE_DATABASE_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/external_sort.h"

namespace zt {

// An index entry that stands for no key of a live record.
struct StrayIndexEntry {
  std::string key;
  int64_t record = -1;
};

struct CheckReport {
  std::vector<std::string> problems;  // one line each; empty: consistent
  int64_t live_records = 0;
  int64_t index_entries = 0;  // live entries
  // Some problem lies in the index alone (its structure, or its entries
  // against sound records): rebuilding the index from the records mends it.
  bool index_problem = false;
  // Some problem lies in the definitions or the records themselves.
  bool record_problem = false;

  // What a repair needs beyond the lines above.
  // The index problems that are entries without a key of a live record
  // (dropping them mends those problems).
  std::vector<StrayIndexEntry> stray_entries;
  // Some index problem is no stray entry: its structure, or a missing key.
  bool index_needs_rebuild = false;
  // The data file ends in bytes that are no whole record (a torn append),
  // every chain is whole and none reaches them: the file can be cut at this
  // offset without losing anything a reader can reach. -1: no such tail, or
  // other record problems besides it.
  int64_t torn_tail = -1;
};

// Checks the open database db, sorting within what sort allows. Returns
// true when no problem was found.
bool CheckDatabase(Database& db, CheckReport& report, const SortOptions& sort = {});

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_CHECK_H_

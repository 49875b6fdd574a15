// Compacting a database: a new data file that holds only the live records,
// with the chains, the definitions' newest-record offsets and the index
// rebuilt for their new offsets, swapped in for the old files at once.
//
// What a reader can see stays as it was: every table's live records keep
// their order (the new data file holds all live records in the order of
// their old offsets, which is every chain's order, oldest first), their
// data bytes, and their headers but for the previous-record field; the
// definition file changes in its newest-record fields only. Superseded and
// deleted records are left behind. A data file that holds anything else
// (bytes that are no record, a record flagged live that no chain reaches)
// is refused: that is damage for `ztadmin check` to judge, not garbage.
#ifndef ZT_ENGINE_DATABASE_COMPACT_H_
#define ZT_ENGINE_DATABASE_COMPACT_H_

#include <cstdint>
#include <string>

#include "engine/database.h"
#include "engine/index_build.h"

namespace zt {

struct CompactReport {
  int64_t live_records = 0;
  int64_t old_data_bytes = 0;
  int64_t new_data_bytes = 0;
  int64_t old_index_bytes = 0;
  int64_t new_index_bytes = 0;
  // The swap was committed: the new files are the database (when
  // CompactDatabase failed after this, the next open finishes the swap).
  bool committed = false;
};

// Compacts the database db holds. db must be open exclusively with nothing
// pending in its log (an open replays and empties the log), and must stay
// open for the whole call: its hold of the data file keeps every other
// process out. The new database is written beside the old one
// (ReplacementDataFileName), its index built bottom-up, its chains
// verified, then swapped in (engine/file_swap.h). Afterwards db still
// reads the old files: the caller closes it and reads nothing more
// through it.
// Memory: the live records' offsets, a copy buffer, the definition file and
// the index build's keys; the records themselves are streamed.
// On failure error says why; unless report.committed, the old files are
// untouched and the replacement files are gone.
[[nodiscard]] bool CompactDatabase(Database& db, CompactReport& report, std::string& error,
                                   const ProgressFn& progress, const SortOptions& sort = {});

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_COMPACT_H_

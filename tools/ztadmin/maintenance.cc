#include "ztadmin/maintenance.h"

#include <ostream>

#include "engine/database.h"
#include "engine/database_check.h"
#include "engine/database_compact.h"
#include "engine/file.h"
#include "engine/file_swap.h"
#include "engine/index_build.h"
#include "ztadmin/commands.h"
#include "ztadmin/progress.h"

namespace zt::admin {
namespace {

// Opens the database the normal way (refused while a server holds it; the
// log replayed) and closes it again (the log checkpointed and emptied), so
// that the files alone hold the whole database before they are rebuilt.
bool SettleOffline(const std::string& data_file, std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return false;
  if (db.CloseDatabase()) return true;
  std::string why;
  db.GetLastErrorText(&why);
  err << "ztadmin: " << data_file << ": " << why << "\n";
  return false;
}

// Checks the database after a rebuild; prints the outcome.
bool CheckedClean(const std::string& data_file, std::ostream& out, std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return false;
  CheckReport report;
  if (CheckDatabase(db, report, ToolSortOptions())) {
    out << "check: clean (" << report.live_records << " live records, " << report.index_entries
        << " index entries)\n";
    return true;
  }
  for (const std::string& problem : report.problems) out << "problem: " << problem << "\n";
  err << "ztadmin: " << data_file << ": the check found " << report.problems.size()
      << " problem(s) after the rebuild\n";
  return false;
}

// "123456 -> 45678 bytes (77778 reclaimed)"
std::string SizeChange(int64_t before, int64_t after) {
  return std::to_string(before) + " -> " + std::to_string(after) + " bytes (" +
         std::to_string(before - after) + " reclaimed)";
}

}  // namespace

int ReindexCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                   bool show_progress) {
  if (!PathExists(data_file)) {
    err << "ztadmin: " << data_file << ": no such database file\n";
    return 1;
  }
  std::string why;
  // A replacement of the files left unfinished is finished (or undone)
  // before the index of either is looked at.
  if (!FinishPendingSwap(data_file, why)) {
    err << "ztadmin: reindex: " << why << "\n";
    return 1;
  }
  // An index too damaged to open would keep the database from opening for
  // the replay; it is replaced by an empty one first (it is rebuilt anyway).
  if (!ReplaceUnreadableIndex(data_file, why)) {
    err << "ztadmin: reindex: " << why << "\n";
    return 1;
  }
  if (!SettleOffline(data_file, err)) return 1;
  ProgressLine progress(err, show_progress);
  const bool built = RebuildIndexFile(data_file, why, progress.Callback(), ToolSortOptions());
  progress.Finish();
  if (!built) {
    err << "ztadmin: reindex: " << why << " (the old index is unchanged)\n";
    return 1;
  }
  out << "reindexed " << data_file << "\n";
  return CheckedClean(data_file, out, err) ? 0 : 1;
}

int CompactCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                   bool show_progress) {
  // The open replays and empties the log, and the database stays held
  // until the new files are in place.
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;
  CompactReport report;
  std::string why;
  ProgressLine progress(err, show_progress);
  const bool compacted = CompactDatabase(db, report, why, progress.Callback(), ToolSortOptions());
  progress.Finish();
  std::string close_why;
  if (!db.CloseDatabase()) db.GetLastErrorText(&close_why);
  if (!compacted) {
    err << "ztadmin: compact: " << why
        << (report.committed ? " (the new files are committed: the next open finishes the swap)"
                             : " (the database is unchanged)")
        << "\n";
    return 1;
  }
  out << "compacted " << data_file << ": " << report.live_records << " live records\n"
      << "  data file  " << SizeChange(report.old_data_bytes, report.new_data_bytes) << "\n"
      << "  index      " << SizeChange(report.old_index_bytes, report.new_index_bytes) << "\n";
  if (!close_why.empty()) {
    err << "ztadmin: compact: " << close_why << "\n";
    return 1;
  }
  return 0;
}

}  // namespace zt::admin

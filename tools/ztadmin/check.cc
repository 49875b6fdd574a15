#include "ztadmin/check.h"

#include <ostream>
#include <vector>

#include "engine/database.h"
#include "engine/file.h"
#include "engine/index_build.h"
#include "ztadmin/commands.h"
#include "ztadmin/progress.h"

namespace zt::admin {
namespace {

// Prints what a check found and its summary line.
void PrintReport(const std::string& data_file, const CheckReport& report, std::ostream& out) {
  // A badly damaged file could yield a problem per record: the count tells
  // the extent, the first lines where to look.
  constexpr size_t kMaxProblemLines = 200;
  for (size_t i = 0; i < report.problems.size() && i < kMaxProblemLines; ++i) {
    out << "problem: " << report.problems[i] << "\n";
  }
  if (report.problems.size() > kMaxProblemLines) {
    out << "... and " << report.problems.size() - kMaxProblemLines << " more\n";
  }
  out << data_file << ": " << report.live_records << " live records, " << report.index_entries
      << " live index entries, " << report.problems.size()
      << (report.problems.size() == 1 ? " problem\n" : " problems\n");
}

// The repairs a report allows, in the order they are made.
struct RepairPlan {
  int64_t cut_at = -1;  // data file cut to this length; -1: no cut
  int64_t cut_bytes = 0;
  std::vector<StrayIndexEntry> drop;  // entries dropped one by one
  bool rebuild = false;               // the index built anew (drops the strays too)
  bool empty() const { return cut_at < 0 && drop.empty() && !rebuild; }
};

RepairPlan PlanRepairs(const CheckReport& report, int64_t data_length) {
  RepairPlan plan;
  if (report.torn_tail >= 0) {
    plan.cut_at = report.torn_tail;
    plan.cut_bytes = data_length - report.torn_tail;
  }
  if (report.index_needs_rebuild) {
    plan.rebuild = true;
  } else {
    plan.drop = report.stray_entries;
  }
  return plan;
}

void PrintPlan(const RepairPlan& plan, std::ostream& out) {
  if (plan.cut_at >= 0) {
    out << "repair: cut the data file at " << plan.cut_at << ", dropping the " << plan.cut_bytes
        << " bytes of its torn tail\n";
  }
  for (const StrayIndexEntry& entry : plan.drop) {
    out << "repair: drop index entry '" << entry.key << "' -> " << entry.record << "\n";
  }
  if (plan.rebuild) out << "repair: rebuild the index from the live records\n";
}

// Cuts the data file. The log was emptied by the check's close, so the cut
// is made on the files directly (one truncate, then a sync).
bool CutTornTail(const std::string& data_file, int64_t length, std::ostream& err) {
  Database db(TempFolder());
  if (!db.OpenDatabase(data_file.c_str(), 0)) {
    err << "ztadmin: " << data_file << ": cannot open it to cut the tail (is it in use?)\n";
    return false;
  }
  if (!FileTruncate(db.data_file(), length) || !FileSync(db.data_file())) {
    err << "ztadmin: " << data_file << ": cannot cut the data file: " << LastFileError() << "\n";
    return false;
  }
  return true;
}

// Drops the entries as one logged change: a crash leaves all or none gone.
bool DropEntries(const std::string& data_file, const std::vector<StrayIndexEntry>& entries,
                 std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return false;
  for (const StrayIndexEntry& entry : entries) {
    if (!db.index().IndexDelete(entry.key, entry.record)) {
      err << "ztadmin: " << data_file << ": cannot drop index entry '" << entry.key << "' -> "
          << entry.record << "\n";
      db.Abandon();  // nothing of the change reaches the files
      return false;
    }
  }
  db.EndChange();
  if (db.CloseDatabase()) return true;
  std::string why;
  db.GetLastErrorText(&why);
  err << "ztadmin: " << data_file << ": " << why << "\n";
  return false;
}

bool MakeRepairs(const std::string& data_file, const RepairPlan& plan, bool show_progress,
                 std::ostream& err) {
  if (plan.cut_at >= 0 && !CutTornTail(data_file, plan.cut_at, err)) return false;
  if (!plan.drop.empty() && !DropEntries(data_file, plan.drop, err)) return false;
  if (plan.rebuild) {
    ProgressLine progress(err, show_progress);
    std::string why;
    const bool built = RebuildIndexFile(data_file, why, progress.Callback(), ToolSortOptions());
    progress.Finish();
    if (!built) {
      err << "ztadmin: " << data_file << ": cannot rebuild the index: " << why << "\n";
      return false;
    }
  }
  return true;
}

// Checks an open database and prints the outcome; true when sound.
bool RunCheck(Database& db, const std::string& data_file, CheckReport& report, std::ostream& out) {
  const bool sound = CheckDatabase(db, report, ToolSortOptions());
  PrintReport(data_file, report, out);
  return sound;
}

}  // namespace

int CheckCommand(const std::string& data_file, const CheckOptions& options, std::ostream& out,
                 std::ostream& err) {
  CheckReport report;
  RepairPlan plan;
  {
    Database db(TempFolder());
    if (!OpenOffline(db, data_file, err)) return 1;
    if (RunCheck(db, data_file, report, out)) return 0;
    if (!options.repair) return 1;
    plan = PlanRepairs(report, FileLength(db.data_file()));
    if (report.record_problem && report.torn_tail < 0) {
      err << "ztadmin: check: the definitions or records are damaged; no repair is safe "
             "(restore a backup)\n";
      return 1;
    }
    // The database closes here: its log is emptied, so the repairs below
    // start from the files alone.
  }
  PrintPlan(plan, out);
  out << std::flush;
  const bool go = options.yes || (options.confirm && options.confirm("Make these repairs?"));
  if (!go) {
    err << "ztadmin: check: the repairs were not made"
        << (options.confirm ? "" : " (give --yes to make them)") << "\n";
    return 1;
  }
  if (!MakeRepairs(data_file, plan, options.show_progress, err)) return 1;
  out << "repaired; checking again\n";
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;
  return RunCheck(db, data_file, report, out) ? 0 : 1;
}

int CheckCommand(const std::string& data_file, std::ostream& out, std::ostream& err) {
  return CheckCommand(data_file, CheckOptions{}, out, err);
}

}  // namespace zt::admin

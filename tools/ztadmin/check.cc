#include "ztadmin/check.h"

#include <ostream>

#include "engine/file.h"
#include "ztadmin/commands.h"

namespace zt::admin {

int CheckCommand(const std::string& data_file, std::ostream& out, std::ostream& err) {
  Database db(TempFolder());
  if (!OpenOffline(db, data_file, err)) return 1;
  CheckReport report;
  const bool sound = CheckDatabase(db, report);
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
  return sound ? 0 : 1;
}

}  // namespace zt::admin

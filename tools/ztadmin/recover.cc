#include "ztadmin/recover.h"

#include <ostream>

#include "engine/database.h"
#include "engine/database_check.h"
#include "engine/file.h"
#include "engine/wal.h"
#include "ztadmin/commands.h"

namespace zt::admin {

namespace {

constexpr char kChoices[] =
    "The changes in the damaged record, and in any the log lost with it, cannot be read back.\n"
    "Choose one:\n"
    "  ztadmin recover DATAFILE --keep-files\n"
    "      when the server alone crashed (the machine kept running): its files already\n"
    "      hold every change it made; drop the log, keep the files, check them\n"
    "  ztadmin recover DATAFILE --replay-before-damage\n"
    "      after a power failure or a crash of the machine: replay the sound records\n"
    "      before the damage (a unit only where the files hold no newer state the log\n"
    "      knows), keep the files otherwise, drop the rest of the log, check them\n"
    "  restore the latest backup (ztadmin backup, or SIGUSR1 to a running server)\n"
    "      and stop using this copy\n";

}  // namespace

int RecoverCommand(const std::string& data_file, DamagedLog choice, std::ostream& out,
                   std::ostream& err) {
  if (!PathExists(data_file)) {
    err << "ztadmin: " << data_file << ": no such database file\n";
    return 1;
  }
  Database db(TempFolder());
  db.EnableLog(LogOptions{.folder = LogFolderFor(data_file),
                          .durability = Durability::kOs,
                          .damaged_log = choice});
  if (!db.OpenDatabase(data_file.c_str(), 0)) {
    std::string why;
    db.GetLastErrorText(&why);
    err << "ztadmin: " << data_file << ": " << why << "\n";
    if (why.find("write-ahead log") != std::string::npos && choice == DamagedLog::kRefuse) {
      err << kChoices;
    }
    return 1;
  }
  const RecoveryReport& r = db.recovery_report();
  if (!r.damage.empty()) {
    out << "the log was damaged: " << r.damage << "\n";
    if (choice == DamagedLog::kKeepFiles) out << "the log was dropped and the files kept\n";
  } else {
    out << "the log is sound";
    out << (r.records_replayed > 0 ? "; its records were replayed as at any open\n" : "\n");
  }
  out << DescribeReplay(r) << "\n";
  CheckReport check;
  const bool clean = CheckDatabase(db, check, ToolSortOptions()) != 0;
  std::string why;
  if (!db.CloseDatabase()) {
    db.GetLastErrorText(&why);
    err << "ztadmin: " << data_file << ": " << why << "\n";
    return 1;
  }
  if (clean) {
    out << "the database checks clean (" << check.live_records << " live records)\n";
    return 0;
  }
  for (const std::string& problem : check.problems) out << "problem: " << problem << "\n";
  out << "the database does not check clean: ztadmin check --repair mends what it can;"
         " otherwise restore a backup\n";
  return 1;
}

}  // namespace zt::admin

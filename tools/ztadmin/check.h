// ztadmin check: the consistency check of engine/database_check.h, run
// offline on a database's files, and the repairs it can make safely.
#ifndef ZTADMIN_CHECK_H_
#define ZTADMIN_CHECK_H_

#include <functional>
#include <iosfwd>
#include <string>

#include "engine/database_check.h"

namespace zt::admin {

struct CheckOptions {
  // After a check that found problems, list the repairs that lose nothing
  // a reader can reach and make them once confirmed:
  //   - cut a torn tail off the data file (bytes that are no whole record,
  //     which no chain reaches);
  //   - drop index entries that stand for no key of a live record;
  //   - rebuild the index from the records, when its structure is damaged
  //     or keys are missing (this drops stray entries too).
  // Damaged definitions or records are never touched: they are reported
  // and the repairs are refused (restore a backup).
  bool repair = false;
  bool yes = false;  // confirmed beforehand
  // Asks whether to go ahead (a terminal's question); empty: nobody to ask,
  // so without `yes` the repairs are only listed.
  std::function<bool(const std::string& question)> confirm = nullptr;
  bool show_progress = false;
};

// ztadmin check DATAFILE [--repair [--yes]]: prints a summary and every
// problem (up to a limit), then, with repair, the repairs and their
// outcome; exit status 0 when consistent (after the repairs), 1 when not or
// when the database cannot be opened.
int CheckCommand(const std::string& data_file, const CheckOptions& options, std::ostream& out,
                 std::ostream& err);
int CheckCommand(const std::string& data_file, std::ostream& out, std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_CHECK_H_

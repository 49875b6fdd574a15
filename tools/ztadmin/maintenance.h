// ztadmin's maintenance commands: reindex and compact. Both work on the
// files of a database nobody holds, and replace what they rebuild by
// writing it beside the old file and renaming it over, so a crash at any
// point leaves the old database or the new one whole.
#ifndef ZTADMIN_MAINTENANCE_H_
#define ZTADMIN_MAINTENANCE_H_

#include <iosfwd>
#include <string>

namespace zt::admin {

// ztadmin reindex DATAFILE: replays the log, builds the index anew from
// the live records (engine/index_build.h), then checks the database and
// reports. Exit status 0 when the check is clean.
int ReindexCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                   bool show_progress);

}  // namespace zt::admin

#endif  // ZTADMIN_MAINTENANCE_H_

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

// ztadmin compact DATAFILE: replays the log, then writes the live records
// into a new data file beside the old one, with the definitions and the
// index rebuilt for it, checks it, and swaps it in for the old files at
// once (engine/database_compact.h); reports the bytes reclaimed.
int CompactCommand(const std::string& data_file, std::ostream& out, std::ostream& err,
                   bool show_progress);

}  // namespace zt::admin

#endif  // ZTADMIN_MAINTENANCE_H_

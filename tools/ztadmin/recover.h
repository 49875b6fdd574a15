// ztadmin recover: what to do when the write-ahead log left by a server
// that stopped uncleanly is damaged, so that neither the server nor any
// other command opens the database.
#ifndef ZTADMIN_RECOVER_H_
#define ZTADMIN_RECOVER_H_

#include <iosfwd>
#include <string>

#include "engine/wal.h"

namespace zt::admin {

// ztadmin recover DATAFILE [--replay-before-damage | --keep-files]. Alone
// it reports what the log holds (sound, or damaged and where) and the
// choices. With an option it takes that choice (engine/wal.h, DamagedLog),
// empties the log, then checks the database. Exit status 0 when the
// database then opens and checks clean.
int RecoverCommand(const std::string& data_file, DamagedLog choice, std::ostream& out,
                   std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_RECOVER_H_

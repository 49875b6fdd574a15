// ztadmin recover: what to do when the write-ahead log left by a server
// that stopped uncleanly is damaged, so that neither the server nor any
// other command opens the database.
#ifndef ZTADMIN_RECOVER_H_
#define ZTADMIN_RECOVER_H_

#include <iosfwd>
#include <string>

namespace zt::admin {

// ztadmin recover DATAFILE [--replay-before-damage]. Alone it reports what
// the log holds (sound, or damaged and where) and the choices. With the
// option it replays the records before the damage, leaving every piece of
// the files that already holds newer bytes as it is, empties the log, then
// checks the database. Exit status 0 when the database then opens and
// checks clean.
int RecoverCommand(const std::string& data_file, bool replay_before_damage, std::ostream& out,
                   std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_RECOVER_H_

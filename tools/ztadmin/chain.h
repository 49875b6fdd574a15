// Walking a table's record chain offline: from the newest record back
// through each header's previous-record field.
#ifndef ZTADMIN_CHAIN_H_
#define ZTADMIN_CHAIN_H_

#include <cstdint>
#include <string>

#include "engine/database.h"

namespace zt::admin {

struct ChainCount {
  int64_t live = 0;        // records not flagged superseded or deleted
  int64_t superseded = 0;  // flagged records still in the chain
};

// Counts the records of a table's chain. Fails (with a reason) on a broken
// header or a chain that loops or leaves the file.
bool CountLiveRecords(Database& db, const TableDefinition& definition, ChainCount& count,
                      std::string& problem);

}  // namespace zt::admin

#endif  // ZTADMIN_CHAIN_H_

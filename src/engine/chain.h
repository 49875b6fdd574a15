// Walking a table's record chain: from the newest record back
// through each header's previous-record field.
#ifndef ZT_ENGINE_CHAIN_H_
#define ZT_ENGINE_CHAIN_H_

#include <cstdint>
#include <functional>
#include <string>

#include "engine/database.h"
#include "engine/record.h"

namespace zt {

struct ChainCount {
  int64_t live = 0;        // records not flagged superseded or deleted
  int64_t superseded = 0;  // flagged records still in the chain
};

// One record met on a chain walk; data holds at most the walk's maximum.
struct ChainRecord {
  int64_t offset = -1;
  RecordHeader header;
  std::string data;
};

// Visits the records of a table's chain, newest first, reading at most
// max_data bytes of each record's data. Fails (with a reason) on a header
// that is no record of the table, a record that runs past the end of the
// file, or a chain that loops or leaves the file; the records before the
// break have been visited.
bool WalkChain(Database& db, const TableDefinition& definition, int32_t max_data,
               const std::function<void(const ChainRecord&)>& visit, std::string& problem);

// Counts the records of a table's chain.
bool CountLiveRecords(Database& db, const TableDefinition& definition, ChainCount& count,
                      std::string& problem);

}  // namespace zt

#endif  // ZT_ENGINE_CHAIN_H_

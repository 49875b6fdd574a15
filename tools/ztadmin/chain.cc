#include "ztadmin/chain.h"

#include "engine/record.h"

namespace zt::admin {

bool CountLiveRecords(Database& db, const TableDefinition& definition, ChainCount& count,
                      std::string& problem) {
  count = ChainCount{};
  const std::string table(definition.name());
  int64_t offset = definition.newest_record();
  while (offset >= 0) {
    RecordHeader header;
    std::string data;
    int32_t length = 0;
    std::string err;
    // Only the header is wanted: a maximum length of 0 reads no data.
    if (!db.ReadDatabaseRecord(table, header, data, offset, 0, length, &err)) {
      problem = "record at " + std::to_string(offset) + ": " + err;
      return false;
    }
    if (header.superseded()) {
      ++count.superseded;
    } else {
      ++count.live;
    }
    // Every record points at one appended before it, so a sound chain's
    // offsets strictly decrease; anything else would loop.
    const int64_t previous = header.previous();
    if (previous >= offset) {
      problem = "the chain loops at " + std::to_string(offset);
      return false;
    }
    offset = previous;
  }
  return true;
}

}  // namespace zt::admin

#include "engine/chain.h"

namespace zt {

bool WalkChain(Database& db, const TableDefinition& definition, int32_t max_data,
               const std::function<void(const ChainRecord&)>& visit, std::string& problem) {
  const std::string table(definition.name());
  ChainRecord record;
  record.offset = definition.newest_record();
  while (record.offset >= 0) {
    int32_t length = 0;
    std::string err;
    if (!db.ReadDatabaseRecord(table, record.header, record.data, record.offset, max_data, length,
                               &err)) {
      problem = "record at " + std::to_string(record.offset) + ": " + err;
      return false;
    }
    // The data read stops at max_data; the whole record must still be in
    // the file.
    const int64_t end =
        record.offset + static_cast<int64_t>(RecordHeader::kSize) + record.header.data_length();
    if (end > FileLength(db.data_file())) {
      problem = "record at " + std::to_string(record.offset) + " runs past the end of the file";
      return false;
    }
    visit(record);
    // Every record points at one appended before it, so a sound chain's
    // offsets strictly decrease; anything else would loop.
    const int64_t previous = record.header.previous();
    if (previous >= record.offset) {
      problem = "the chain loops at " + std::to_string(record.offset);
      return false;
    }
    record.offset = previous;
  }
  return true;
}

bool CountLiveRecords(Database& db, const TableDefinition& definition, ChainCount& count,
                      std::string& problem) {
  count = ChainCount{};
  // Only the headers are wanted: a maximum length of 0 reads no data.
  return WalkChain(
      db, definition, 0,
      [&](const ChainRecord& record) {
        if (record.header.superseded()) {
          ++count.superseded;
        } else {
          ++count.live;
        }
      },
      problem);
}

}  // namespace zt

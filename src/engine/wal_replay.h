// Reading the write-ahead log back at open: what it holds (ScanLog), and
// putting its changes into the database files (ReplayLog). The rules are
// described with the log's layout in wal.h.
#ifndef ZT_ENGINE_WAL_REPLAY_H_
#define ZT_ENGINE_WAL_REPLAY_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file.h"
#include "engine/wal.h"

namespace zt {

struct LogScan {
  bool header_found = false;  // a valid slot (header holds the newest)
  LogHeader header;
  bool header_damaged = false;  // the epoch came from the first record
  bool lost = false;            // the log existed but held nothing readable
  uint32_t epoch = 0;
  struct Record {
    int64_t offset = 0;
    int64_t size = 0;  // header and body
  };
  std::vector<Record> chain;  // sequences 1, 2, ...: what counts
  // The last records of the chain that are parts of a change no record
  // ends (format 2 only): not replayed.
  size_t unfinished = 0;
  int64_t chain_end = 0;      // where the chain stops
  int64_t torn_bytes = 0;     // the torn start of a record after it
  // Damage: the chain stops at a record that is not torn, since valid
  // records of the epoch follow it (or the file ends inside it).
  bool damaged = false;
  bool cut = false;  // the file ends inside the records: it was cut short
  uint64_t damaged_sequence = 0;
  int64_t valid_after = 0;        // valid records after the damage
  int64_t valid_after_bytes = 0;  // and their bytes
  // Per unit of a file (UnitKey) the checksum of its state after the last
  // record the log knows that changed it: the chain's and, when it is
  // damaged, the valid ones after the damage. A unit the file holds in that
  // state is left alone: a state may recur (a page emptied again), and
  // only the newest known one says that nothing the log holds is newer.
  std::unordered_map<uint64_t, uint32_t> newest;
};


// Reads the whole log (existed: the file was there before this open) and
// tells what it holds; false (with err) only when it cannot be read or holds
// a record whose checksum holds over a body that makes no sense.
[[nodiscard]] bool ScanLog(FileHandle log, const std::string& path, bool existed, LogScan& scan,
                           std::string& err);

// The message that refuses an open over a damaged log.
std::string DescribeDamage(const std::string& path, const LogScan& scan);

// Writes the chain's records into the files (only pieces the files do not
// already hold, or hold newer), counting into report.
[[nodiscard]] bool ReplayLog(FileHandle log, const std::string& path, const LogScan& scan,
                             const LogFiles& files, RecoveryReport& report, std::string& err);

}  // namespace zt

#endif  // ZT_ENGINE_WAL_REPLAY_H_

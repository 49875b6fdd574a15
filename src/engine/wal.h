// The write-ahead log of a database opened exclusively.
//
// The database files (data, definition, index) are staged (engine/file.h):
// a change writes into memory, and readers see it there. After each change
// (one request of the server, one batch of a tool) Seal turns the bytes it
// wrote into one log record; Commit writes the records formed since the last
// commit to the log, syncs the log when the durability asks for it, and only
// then writes the staged bytes into the database files. A crash at any
// point leaves every record either whole in the log (and replayed at the
// next open) or absent, so a change is applied whole or not at all.
//
// Durability:
//   full  every Commit syncs the log (one fdatasync for all the records of a
//         processing run): a change is on disk before its reply leaves.
//   os    the log is written at every Commit but synced only once a second
//         (and at a checkpoint); the database files receive a change only
//         after a sync that covers it, so a machine crash may lose the last
//         second of changes but never leaves one in part. A crash of the
//         process alone loses nothing: the log is in the kernel's cache.
//
// A checkpoint (when the log passes its size, at close) syncs the database
// files and empties the log.
//
// Log file layout (little-endian; constants in wal_format.h):
//   [0, 4096)    header area: two 512-byte header slots at 0 and 512, of
//                which the valid one with the higher sequence counts; the
//                other is rewritten next, so a torn header write leaves the
//                previous header valid.
//     slot:  0 "ZTWAL01\n"  8 u64 slot sequence  16 u32 epoch
//            20 u32 state (1 in use, 2 closed cleanly)  24 u32 path length
//            28 data file path (at most 480 bytes)  508 u32 CRC-32C of [0,508)
//   [4096, ...)  records, one after another:
//     0 u32 magic "ZTLR"  4 u32 epoch  8 u64 sequence (1, 2, ... per epoch)
//     16 u32 body length  20 u32 extent count  24 u32 CRC-32C of the header
//     (this field zero) and the body  28 u32 format (0 plain, 1 pieces,
//     2 pieces of a change that goes on in the next record)
//     body: in formats 1 and 2 first u64 durable end: the log offset below which
//     every record was synced when this one was formed;
//     then per extent: u8 file (0 data, 1 definition, 2 index), 3 zero
//     bytes, u32 length, u64 offset; in formats 1 and 2 then per piece of the
//     extent two u32: the CRC-32C of the piece's whole unit before the
//     change and after it (zeros beyond the file's end); then the new bytes.
//     A piece is the part of an extent inside one 512-byte unit of the
//     file's offsets (the unit a power failure keeps or loses whole); the
//     extents of one record never share a unit.
// A record counts only when it is whole, its checksum holds, its epoch is
// the header's and its sequence the next one. Emptying the log raises the
// epoch, so the bytes of older records left behind never count again. The
// file grows in zero-filled steps (multiples of 4096), so that a sync
// inside it changes no file size, and a record cut short by a crash is
// followed by zeros.
//
// Changes of any size: a change whose newest bytes of one file pass
// LogOptions::spill_bytes in memory is cut into parts. Each part is a
// format-2 record written to the log at once (after the sealed records
// before it), and the file layer then keeps only where its bytes lie in
// the log (file.h, "Spilling"); the change's last record, of format 1,
// ends it at its Seal, and its Commit syncs the log whatever the
// durability. The database files receive nothing before that sync, so a
// crash before it leaves parts that no record ends: replay drops them. A
// failed or discarded change cuts its parts from the log. Memory thus
// stays near spill_bytes per file whatever the size of the change; the
// log holds the change meanwhile, and a checkpoint empties it after.
//
// Recovery (wal_replay.cc) reads the whole log before it writes anything:
//   - the records that count form the chain from sequence 1; after it
//     come zeros or older records (a clean end), or the torn start of a
//     record that never reached the disk whole (dropped and reported);
//   - a record that breaks the chain while a valid record of the epoch
//     after it says the log was synced beyond it, or a log that ends
//     inside a record without the zeros behind it (cut short), is damage:
//     the database is not opened, since the changes it lost were
//     acknowledged and may be anywhere; ztadmin recover chooses. (Whole
//     records behind a torn one that no sync covered are a torn tail too:
//     a power failure keeps unsynced sectors at random.)
//   - a damaged header slot is read past: the first record tells the
//     epoch when no slot names it;
//   - the records of format 2 at the end of the chain, which no record of
//     format 1 ends, are left out (an unfinished change);
//   - each piece of a format-1 record is written only when its unit in the
//     file is what it was before the change; a unit that is already what
//     the change made is left, and one that is anything else is newer than
//     the log (the files had taken later changes) and is kept. A unit's
//     states form a chain (each change starts from the one before), so in
//     record order replay takes every unit from whatever state of the
//     chain the file holds to the chain's last, and leaves a unit the log
//     does not know: it never writes older bytes over newer ones, whatever
//     part of the log it has.
#ifndef ZT_ENGINE_WAL_H_
#define ZT_ENGINE_WAL_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/file.h"

namespace zt {

enum class Durability { kFull, kOs };

// The choices over a damaged log: refuse the open (the files untouched);
// replay the records before the damage, never writing older bytes over
// newer, and drop the rest; or drop the whole log and keep the files as
// they are (right after a crash of the server alone, whose files hold
// every change it made).
enum class DamagedLog { kRefuse, kReplayBeforeDamage, kKeepFiles };

// One header slot of the log.
struct LogHeader {
  uint64_t sequence = 0;
  uint32_t epoch = 0;
  uint32_t state = 0;
  std::string data_path;
};

struct LogOptions {
  std::string folder;  // where the log lives (the server's work folder)
  Durability durability = Durability::kFull;
  int64_t checkpoint_bytes = int64_t{64} << 20;
  int64_t grow_bytes = int64_t{4} << 20;
  // What an open does with a damaged log (see above).
  DamagedLog damaged_log = DamagedLog::kRefuse;
  // A change whose newest bytes of one file take more memory than this
  // spills them to the log (see "Changes of any size" above).
  size_t spill_bytes = size_t{32} << 20;
};

// Staged bytes held in memory beyond this refuse further changes until
// they reach the files: a commit that finds more fails and drops its
// changes. Spilled bytes (in the log) do not count; what stays in memory
// are the changes committed while the files refuse them, and the newest
// part of each change (below LogOptions::spill_bytes per file).
inline constexpr size_t kMaxStagedBytes = size_t{256} << 20;

// Upper bounds (seconds) of the sync latency buckets; a last bucket takes
// the rest.
inline constexpr std::array<double, 10> kSyncBucketBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                             0.025,  0.05,  0.1,    0.25,  1.0};
inline constexpr size_t kSyncBuckets = kSyncBucketBounds.size() + 1;

struct LogStats {
  uint64_t records = 0;
  uint64_t bytes_written = 0;
  uint64_t syncs = 0;
  uint64_t checkpoints = 0;
  uint64_t spills = 0;  // parts of large changes written to the log early
  // The longest commit (write, sync, and the write into the files): the
  // moment a change is made durable, which nothing else runs during.
  double longest_commit_seconds = 0;
  double sync_seconds_total = 0;
  std::array<uint64_t, kSyncBuckets> sync_bucket_counts{};  // not cumulative
};

// What opening the database found.
struct RecoveryReport {
  bool clean_shutdown = true;  // false: the log was left in use
  int64_t records_replayed = 0;
  int64_t torn_bytes_dropped = 0;
  // Records of a change too large for memory that no record ended (the
  // crash came before its commit): dropped.
  int64_t records_unfinished = 0;
  // Pieces of the replayed records: written, found already in the files,
  // and kept because the files held something newer.
  int64_t pieces_written = 0;
  int64_t pieces_held = 0;
  int64_t pieces_kept = 0;
  // A header slot was unreadable and the records were read by scanning.
  bool header_damaged = false;
  // The log existed but was empty or held neither header nor records:
  // whatever it held is gone, so the stop counts as unclean.
  bool log_lost = false;
  // The log was damaged and, as asked, replayed up to the damage or
  // dropped (ztadmin recover): what the damage was.
  std::string damage;
};

// "replayed N log records (...); dropped B bytes of a torn tail": what
// replay did, in the words of the recovery line and of the tools.
std::string DescribeReplay(const RecoveryReport& report);

// Where the log of the database at data_path lives: <folder>/<name>.wal,
// name being the data file's name without its extension.
std::string LogFilePath(const std::string& folder, const std::string& data_path);

// The three staged files, by their number in log records.
enum LogFile : uint8_t { kLogDataFile = 0, kLogDefinitionFile = 1, kLogIndexFile = 2 };
using LogFiles = std::array<FileHandle, 3>;

// A byte buffer whose growth leaves the new bytes unset: a record is
// formed in place right after its room is made, so zero-filling megabytes
// first (as std::string::resize does for a load's batch) only costs time.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using LogBytes = std::vector<char, UninitializedAllocator<char>>;

class WriteAheadLog : public StagedSpill {
 public:
  WriteAheadLog() = default;
  WriteAheadLog(const WriteAheadLog&) = delete;
  WriteAheadLog& operator=(const WriteAheadLog&) = delete;

  // Opens or creates the log of data_path, replays the records it holds into
  // files (not yet staged), syncs them, empties the log and marks it in use.
  // report tells what was found. On failure err says why and nothing is
  // left open.
  [[nodiscard]] int Open(const LogOptions& options, const std::string& data_path,
                         const LogFiles& files, RecoveryReport& report, std::string& err);
  bool is_open() const { return file_.is_open(); }

  // Forms one record of the bytes staged since the last Seal; false when
  // nothing was written.
  bool Seal();
  // Writes the sealed records (after sealing what is staged), syncs as the
  // durability asks, then writes the synced changes into the database
  // files; checkpoints when the log passed its size. On failure err says
  // why, every change since the last successful Commit is dropped (the
  // caller must forget what it derived from them), and the log is cut back
  // to what it held before.
  // force_sync: sync whatever the durability.
  [[nodiscard]] int Commit(std::string& err, bool force_sync = false);
  // Forgets every change since the last successful Commit, sealed or not,
  // without writing anything: what a failed Commit drops, for a caller that
  // finds halfway through a change that it cannot finish.
  void Discard();
  // Commit with a sync whatever the durability, then a checkpoint.
  [[nodiscard]] int Checkpoint(std::string& err);
  // Commit with a sync whatever the durability, then every committed change
  // written into the database files (in the kernel's cache: neither synced
  // nor taken from the log). What a backup needs before it holds the files:
  // they then read as the latest commit, at the cost of one log sync
  // instead of a checkpoint's sync of every database file.
  [[nodiscard]] int Settle(std::string& err);
  // Checkpoint, mark the log closed cleanly and shrink it; then close.
  [[nodiscard]] int Close(std::string& err);
  // Closes the log file without writing anything (a crash, for tests).
  void Abandon();
  // The file layer's call when the change being made holds too much in
  // memory: its bytes so far become a record that does not end it
  // (format 2), written to the log at once; the overlay then reads them
  // there. A failure is kept and fails the next commit.
  void SpillStaged() override;

  // Changes staged but not yet in the database files.
  bool pending() const;
  // While held, commits log and sync as usual but leave the database files
  // alone (a backup copies them meanwhile); no checkpoint runs. Changes
  // stay staged until the hold ends.
  void set_hold_files(bool hold) { hold_files_ = hold; }
  const LogStats& stats() const { return stats_; }
  // Why the database files last refused the committed changes (empty while
  // they take them): the changes wait, staged, in memory and in the log,
  // and each later commit tries again.
  const std::string& apply_error() const { return apply_error_; }
  // Bytes of committed changes not yet in the database files.
  size_t waiting_bytes() const;
  const std::string& path() const { return path_; }
  Durability durability() const { return options_.durability; }
  int64_t size() const { return end_; }

 private:
  [[nodiscard]] int WriteHeader(uint32_t state, std::string& err);
  // Zeros [from, to) of the log, best effort.
  void Erase(int64_t from, int64_t to);
  [[nodiscard]] int Sync(std::string& err);
  [[nodiscard]] int Apply(std::string& err);
  [[nodiscard]] int Empty(std::string& err);
  [[nodiscard]] int EnsureRoom(int64_t end, std::string& err);
  // Syncs the database files, then empties the log.
  [[nodiscard]] int CheckpointFiles(std::string& err);
  // Forgets the staged changes not yet committed.
  void DropNew();
  // Forms one record of the ranges touched since the last seal into
  // unwritten_ (always: even of none). spilled, when given, receives per
  // file each extent's range and where its bytes begin, counted from the
  // record's start. The files' layers are left as they are.
  bool FormRecord(uint32_t format, std::array<std::vector<SpilledRange>, 3>* spilled,
                  bool always);
  // Writes the sealed records and a part of the change being made to the
  // log, and hands the part's ranges to the file layer.
  [[nodiscard]] int SpillChange(std::string& err);

  LogOptions options_;
  std::string path_;
  std::string data_path_;
  File file_;
  LogFiles files_{kNoFile, kNoFile, kNoFile};
  LogHeader header_;
  int64_t end_ = 0;         // where the next record goes
  int64_t synced_end_ = 0;  // records before this are on disk
  int64_t allocated_ = 0;   // the file's zero-filled length
  uint64_t next_sequence_ = 1;
  LogBytes unwritten_;     // sealed records not yet written to the file
  std::string units_;      // Seal's room for the units an extent touches
  // The state each recently changed unit was left in by its last seal
  // (UnitKey -> kPieceSize bytes): the next change of the unit starts from
  // it, so its before checksum needs no read of the file. Forgotten
  // whole when it grows past its bound, and by Discard (the dropped
  // changes' states are no longer what the unit holds).
  std::unordered_map<uint64_t, std::string> unit_states_;
  // Records formed since the last commit (unwritten, and spilled parts
  // already in the log after committed_end_).
  uint64_t uncommitted_records_ = 0;
  int64_t committed_end_ = 0;       // the log's end at the last commit
  bool change_spilled_ = false;     // the change being made has parts in the log
  bool spilled_since_commit_ = false;
  std::string spill_error_;         // why a spill failed (fails the commit)
  LogBytes unsynced_;     // written records after synced_end_ (Durability=os)
  bool resync_ = false;   // a sync failed: write unsynced_ again first
  double last_sync_ = 0;  // monotonic seconds of the last sync
  bool hold_files_ = false;
  std::string apply_error_;
  LogStats stats_;
};

}  // namespace zt

#endif  // ZT_ENGINE_WAL_H_

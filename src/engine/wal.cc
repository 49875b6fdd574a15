#include "engine/wal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/codec.h"
#include "engine/wal_format.h"
#include "engine/wal_replay.h"

namespace zt {
namespace {

using namespace wal;

// The most unit states Seal remembers (each kPieceSize bytes).
constexpr size_t kMaxUnitStates = 8192;
constexpr size_t kLongExtentPieces = 64;
// Under Durability=os: the longest a written record waits for its sync, and
// the most bytes staged meanwhile.
constexpr double kOsSyncSeconds = 1.0;
constexpr size_t kOsMaxStaged = size_t{16} << 20;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FileError(const std::string& what) { return what + ": " + LastFileError(); }

}  // namespace

std::string LogFilePath(const std::string& folder, const std::string& data_path) {
  std::string name = data_path.substr(data_path.find_last_of('/') + 1);
  if (const size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) {
    name.resize(dot);
  }
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + name + ".wal";
}

int WriteAheadLog::Open(const LogOptions& options, const std::string& data_path,
                        const LogFiles& files, RecoveryReport& report, std::string& err) {
  report = RecoveryReport{};
  unit_states_.clear();
  options_ = options;
  files_ = files;
  data_path_ = AbsolutePath(data_path);
  path_ = LogFilePath(options.folder, data_path);
  if (!MakeFolders(options.folder)) {
    err = FileError("cannot make the log folder " + options.folder);
    return 0;
  }
  const bool existed = PathExists(path_);
  if (!existed && !FileCreate(path_)) {
    err = FileError("cannot create the log " + path_);
    return 0;
  }
  if (!file_.Open(path_, 0)) {
    err = FileError("cannot open the log " + path_ + " (is another server using it?)");
    return 0;
  }
  const int64_t length = FileLength(file_.handle());
  if (length < 0) {
    err = FileError("cannot read the log " + path_);
    file_.Close();
    return 0;
  }
  allocated_ = length;

  // The whole log is read before anything is written: a damaged one is
  // refused (unless asked to replay up to the damage) with the files as
  // they were.
  LogScan scan;
  if (!ScanLog(file_.handle(), path_, existed, scan, err)) {
    file_.Close();
    return 0;
  }
  if (scan.damaged && options.damaged_log == DamagedLog::kRefuse) {
    err = DescribeDamage(path_, scan);
    file_.Close();
    return 0;
  }
  if (scan.damaged && options.damaged_log == DamagedLog::kKeepFiles) scan.chain.clear();
  if (scan.header_found) header_ = scan.header;
  header_.epoch = std::max(header_.epoch, scan.epoch);
  const bool ours = scan.header_found && !scan.header_damaged &&
                    scan.header.data_path == data_path_.substr(0, kSlotMaxPath);
  if (!scan.chain.empty() && scan.header_found && !scan.header_damaged && !ours) {
    err = "the log " + path_ + " holds changes of another database (" + scan.header.data_path + ")";
    file_.Close();
    return 0;
  }
  // A log made by this open counts as clean: there was nothing to lose.
  report.clean_shutdown = !scan.lost && !scan.header_damaged && !scan.damaged &&
                          scan.chain.empty() &&
                          (!scan.header_found || scan.header.state == kStateClean);
  report.header_damaged = scan.header_damaged;
  report.log_lost = scan.lost;
  report.torn_bytes_dropped = scan.torn_bytes;
  if (scan.damaged) report.damage = DescribeDamage(path_, scan);
  if (!ReplayLog(file_.handle(), path_, scan, files_, report, err)) {
    file_.Close();
    return 0;
  }
  if (report.pieces_written > 0) {
    for (FileHandle handle : files_) {
      if (!FileSync(handle)) {
        err = FileError("cannot sync the database files after replaying the log");
        file_.Close();
        return 0;
      }
    }
  }
  if (!Empty(err)) {
    file_.Close();
    return 0;
  }
  for (FileHandle handle : files_) {
    FileStageWrites(handle);
    FileSpillWhenOver(handle, options_.spill_bytes, this);
  }
  last_sync_ = Now();
  return 1;
}

int WriteAheadLog::WriteHeader(uint32_t state, std::string& err) {
  char bytes[kSlotSize];
  const uint64_t sequence = header_.sequence + 1;
  EncodeSlot(LogHeader{.sequence = sequence,
                       .epoch = header_.epoch,
                       .state = state,
                       .data_path = data_path_},
             bytes);
  const int64_t at = static_cast<int64_t>(sequence % 2) * kSlotSize;
  if (!FileWriteAt(file_.handle(), bytes, sizeof bytes, at) || !Sync(err)) {
    if (err.empty()) err = FileError("cannot write the header of the log " + path_);
    return 0;
  }
  header_.sequence = sequence;
  header_.state = state;
  allocated_ = std::max(allocated_, at + kSlotSize);
  return 1;
}

// Starts a new epoch: the records in the file no longer count.
int WriteAheadLog::Empty(std::string& err) {
  ++header_.epoch;
  header_.data_path = data_path_;
  if (!EnsureRoom(kHeaderArea, err) || !WriteHeader(kStateInUse, err)) return 0;
  end_ = synced_end_ = committed_end_ = kHeaderArea;
  next_sequence_ = 1;
  unsynced_.clear();
  return 1;
}

void WriteAheadLog::Erase(int64_t from, int64_t to) {
  const std::string zeros(static_cast<size_t>(std::min<int64_t>(to - from, 1 << 20)), '\0');
  while (from < to) {
    const auto n = static_cast<size_t>(std::min<int64_t>(to - from, zeros.size()));
    if (!FileWriteAt(file_.handle(), zeros.data(), n, from)) return;
    from += static_cast<int64_t>(n);
  }
}

int WriteAheadLog::EnsureRoom(int64_t end, std::string& err) {
  if (end <= allocated_) return 1;
  // Whole 4096-byte units: a log of any other length was cut short.
  const int64_t step = (std::max<int64_t>(options_.grow_bytes, kHeaderArea) + kHeaderArea - 1) /
                       kHeaderArea * kHeaderArea;
  const int64_t target = (end + step - 1) / step * step;
  const std::string zeros(static_cast<size_t>(std::min<int64_t>(target - allocated_, 1 << 20)),
                          '\0');
  while (allocated_ < target) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(target - allocated_, zeros.size()));
    if (!FileWriteAt(file_.handle(), zeros.data(), n, allocated_)) {
      err = FileError("cannot grow the log " + path_);
      return 0;
    }
    allocated_ += static_cast<int64_t>(n);
  }
  return 1;
}

namespace {

// The touched ranges with those that share a unit joined (the bytes
// between them go along unchanged), so that no two extents of a record
// share a unit and each unit's before and after states are the record's.
std::vector<FileRange> JoinSharedUnits(std::vector<FileRange> ranges) {
  std::vector<FileRange> out;
  for (const FileRange& r : ranges) {
    if (!out.empty() && UnitStart(r.offset) < UnitEnd(out.back().offset + out.back().length)) {
      out.back().length = r.offset + r.length - out.back().offset;
    } else {
      out.push_back(r);
    }
  }
  return out;
}

}  // namespace

bool WriteAheadLog::FormRecord(uint32_t format,
                               std::array<std::vector<SpilledRange>, 3>* spilled, bool always) {
  std::array<std::vector<FileRange>, 3> ranges;
  size_t body = 0;
  uint32_t count = 0;
  for (size_t f = 0; f < files_.size(); ++f) {
    ranges[f] = JoinSharedUnits(FileTakeTouched(files_[f]));
    for (const FileRange& r : ranges[f]) body += ExtentSize(kFormatPieces, r.offset, r.length);
    count += static_cast<uint32_t>(ranges[f].size());
  }
  if (count == 0 && !always) return false;
  body += kDurableEndSize;
  // The record is formed in place in the buffer of unwritten records: the
  // staged bytes are copied there once. Each unit an extent touches is read
  // as it stood before the change, and again with the change, for the
  // checksums.
  const size_t start = unwritten_.size();
  unwritten_.resize(start + kRecordHeaderSize + body);
  char* head = unwritten_.data() + start;
  // The new room is not zeroed (LogBytes): the headers are, since their
  // reserved bytes and the CRC field (zero while the CRC is computed) are
  // part of the format; every other byte is written below.
  std::memset(head, 0, kRecordHeaderSize);
  PutU32(head, kRecordMagic);
  PutU32(head + kRecordEpochAt, header_.epoch);
  PutU64(head + kRecordSequenceAt, next_sequence_++);
  PutU32(head + kRecordBodyLengthAt, static_cast<uint32_t>(body));
  PutU32(head + kRecordExtentCountAt, count);
  PutU32(head + kRecordFormatAt, format);
  char* p = head + kRecordHeaderSize;
  PutU64(p, static_cast<uint64_t>(synced_end_));
  p += kDurableEndSize;
  for (size_t f = 0; f < files_.size(); ++f) {
    for (const FileRange& r : ranges[f]) {
      const auto length = static_cast<size_t>(r.length);
      const size_t pieces = PieceCount(r.offset, r.length);
      std::memset(p, 0, kExtentHeaderSize);
      p[kExtentFileAt] = static_cast<char>(f);
      PutU32(p + kExtentLengthAt, static_cast<uint32_t>(length));
      PutU64(p + kExtentOffsetAt, static_cast<uint64_t>(r.offset));
      char* checksums = p + kExtentHeaderSize;
      char* bytes = checksums + kPieceChecksums * pieces;
      const int64_t units_from = UnitStart(r.offset);
      const auto units_size = static_cast<size_t>(UnitEnd(r.offset + r.length) - units_from);
      units_.resize(units_size);
      bool readable = true;
      for (size_t i = 0; i < pieces; ++i) {
        char* unit = units_.data() + i * kPieceSize;
        const int64_t at = units_from + static_cast<int64_t>(i) * kPieceSize;
        const auto known = unit_states_.find(UnitKey(static_cast<uint8_t>(f), at));
        if (known != unit_states_.end()) {
          std::memcpy(unit, known->second.data(), kPieceSize);
        } else if (!FileReadBeforeSeal(files_[f], unit, kPieceSize, at)) {
          readable = false;
        }
        PutU32(checksums + kPieceChecksums * i, Crc32c(unit, static_cast<size_t>(kPieceSize)));
      }
      if (!FileCopyStaged(files_[f], units_.data(), units_size, units_from)) {
        // Spilled bytes that cannot be read back: the change cannot be
        // formed, and its commit fails.
        if (spill_error_.empty()) spill_error_ = FileError("cannot read back the log " + path_);
      }
      const auto inside = static_cast<size_t>(r.offset - units_from);
      std::memcpy(bytes, units_.data() + inside, length);
      if (unit_states_.size() + std::min(pieces, kLongExtentPieces) > kMaxUnitStates) {
        unit_states_.clear();
      }
      for (size_t i = 0; i < pieces; ++i) {
        const char* unit = units_.data() + i * kPieceSize;
        PutU32(checksums + kPieceChecksums * i + 4, Crc32c(unit, static_cast<size_t>(kPieceSize)));
        // Unreadable: a before checksum no unit can have (its after one
        // differs from it), so replay keeps whatever the file holds there
        // rather than guess.
        if (!readable) {
          PutU32(checksums + kPieceChecksums * i, ~U32(checksums + kPieceChecksums * i + 4));
        }
        // A long extent (a load's batch) keeps only its ends: the next
        // change meets those, and the bound stays small. Its inner units
        // forget what an earlier change left there: a state remembered
        // from before this change would give the next one a wrong before
        // checksum, and replay would then take such a unit back.
        const uint64_t key =
            UnitKey(static_cast<uint8_t>(f), units_from + static_cast<int64_t>(i) * kPieceSize);
        if (pieces <= kLongExtentPieces || i == 0 || i + 1 == pieces) {
          unit_states_[key].assign(unit, kPieceSize);
        } else {
          unit_states_.erase(key);
        }
      }
      if (spilled != nullptr) {
        // Where the range's bytes lie from the record's start.
        (*spilled)[f].push_back(SpilledRange{
            r.offset, r.length, static_cast<int64_t>(bytes - unwritten_.data() - start)});
      }
      p = bytes + length;
    }
  }
  PutU32(head + kRecordCrcAt,
         Crc32c(head + kRecordHeaderSize, body, Crc32c(head, kRecordHeaderSize)));
  ++uncommitted_records_;
  ++stats_.records;
  return true;
}

bool WriteAheadLog::Seal() {
  if (!is_open()) return false;
  // A change that spilled parts ends with a record even when it wrote
  // nothing since: that record is what makes the parts count.
  const bool formed = FormRecord(kFormatPieces, nullptr, change_spilled_);
  if (formed) {
    for (FileHandle handle : files_) FileSealStaged(handle);
  }
  change_spilled_ = false;
  return formed;
}

void WriteAheadLog::SpillStaged() {
  if (!spill_error_.empty() || !is_open()) return;
  std::string err;
  if (!SpillChange(err)) spill_error_ = err;
}

int WriteAheadLog::SpillChange(std::string& err) {
  std::array<std::vector<SpilledRange>, 3> spilled;
  const size_t start = unwritten_.size();
  if (!FormRecord(kFormatContinued, &spilled, false)) return 1;
  // The sealed records before it go first (the chain's order), then the
  // part; none counts until the record that ends the change follows.
  if (!EnsureRoom(end_ + static_cast<int64_t>(unwritten_.size()), err)) return 0;
  if (!FileWriteAt(file_.handle(), unwritten_.data(), unwritten_.size(), end_)) {
    err = FileError("cannot write the log " + path_);
    return 0;
  }
  stats_.bytes_written += unwritten_.size();
  // The commit that ends the change syncs every part: the disk starts on
  // this one now, so that sync (the moment everyone waits) has less left.
  FileStartWriteback(file_.handle(), end_, static_cast<int64_t>(unwritten_.size()));
  const int64_t part_at = end_ + static_cast<int64_t>(start);
  end_ += static_cast<int64_t>(unwritten_.size());
  unwritten_.clear();
  for (size_t f = 0; f < files_.size(); ++f) {
    for (SpilledRange& r : spilled[f]) r.at += part_at;
    FileSpillStaged(files_[f], file_.handle(), spilled[f]);
  }
  change_spilled_ = true;
  spilled_since_commit_ = true;
  ++stats_.spills;
  return 1;
}

bool WriteAheadLog::pending() const {
  return std::any_of(files_.begin(), files_.end(),
                     [](FileHandle h) { return h != kNoFile && FileStagedBytes(h) > 0; });
}

size_t WriteAheadLog::waiting_bytes() const {
  size_t bytes = 0;
  for (FileHandle handle : files_) {
    if (handle != kNoFile) bytes += FileStagedBytes(handle);
  }
  return bytes;
}

int WriteAheadLog::Sync(std::string& err) {
  const double start = Now();
  if (!FileSync(file_.handle())) {
    err = FileError("cannot sync the log " + path_);
    return 0;
  }
  const double seconds = Now() - start;
  last_sync_ = start + seconds;
  ++stats_.syncs;
  stats_.sync_seconds_total += seconds;
  size_t bucket = 0;
  while (bucket < kSyncBucketBounds.size() && seconds > kSyncBucketBounds[bucket]) ++bucket;
  ++stats_.sync_bucket_counts[bucket];
  return 1;
}

void WriteAheadLog::Discard() {
  DropNew();
  unit_states_.clear();
  // The records formed since the last commit are gone; their numbers are
  // used again, and the spilled parts among them are cut from the log
  // (best effort, as a failed commit's: none may count after a later one).
  next_sequence_ -= uncommitted_records_;
  uncommitted_records_ = 0;
  unwritten_.clear();
  if (end_ > committed_end_) Erase(committed_end_, end_);
  end_ = committed_end_;
  change_spilled_ = false;
  spilled_since_commit_ = false;
  spill_error_.clear();
}

void WriteAheadLog::DropNew() {
  for (FileHandle handle : files_) FileDiscardStaged(handle);
}

int WriteAheadLog::Apply(std::string& err) {
  for (FileHandle handle : files_) {
    if (!FileApplyStaged(handle)) {
      err = FileError("cannot write the database files");
      return 0;
    }
  }
  return 1;
}

int WriteAheadLog::Commit(std::string& err, bool force_sync) {
  if (!is_open()) return 1;
  const double started = Now();
  const auto timed = [&](int result) {
    stats_.longest_commit_seconds = std::max(stats_.longest_commit_seconds, Now() - started);
    return result;
  };
  Seal();
  // The records of this commit go after the committed ones (spilled parts
  // are there already); a failure cuts the log back to where they began.
  const auto fail = [&]() {
    // Best effort: no record that reached the file despite the error may
    // count at replay, nor look like a valid record after a torn one.
    if (!unwritten_.empty()) Erase(end_, end_ + static_cast<int64_t>(unwritten_.size()));
    Discard();
    return 0;
  };
  if (!spill_error_.empty()) {
    err = spill_error_;
    return fail();
  }
  // The bound is on memory: spilled bytes wait in the log.
  size_t staged = 0;
  for (FileHandle handle : files_) staged += FileStagedMemory(handle);
  if (staged > kMaxStagedBytes) {
    err = "too many changes wait for the database files (" + std::to_string(staged >> 20) +
          " MiB)";
    return fail();
  }
  if (!unwritten_.empty()) {
    if (!EnsureRoom(end_ + static_cast<int64_t>(unwritten_.size()), err)) return fail();
    // A sync that failed may have lost written records whose pages the
    // kernel dropped: they are written again before the next sync.
    if (resync_ && !unsynced_.empty() &&
        !FileWriteAt(file_.handle(), unsynced_.data(), unsynced_.size(), synced_end_)) {
      err = FileError("cannot write the log " + path_);
      return fail();
    }
    if (!FileWriteAt(file_.handle(), unwritten_.data(), unwritten_.size(), end_)) {
      err = FileError("cannot write the log " + path_);
      return fail();
    }
    stats_.bytes_written += unwritten_.size();
    end_ += static_cast<int64_t>(unwritten_.size());
  }
  const bool behind = end_ > synced_end_;
  // Spilled parts are synced at their commit whatever the durability: they
  // were never kept in memory to be written again after a failed sync.
  bool sync = behind && (force_sync || options_.durability == Durability::kFull ||
                         spilled_since_commit_);
  if (behind && !sync) {
    sync = Now() - last_sync_ >= kOsSyncSeconds || staged > kOsMaxStaged ||
           end_ >= options_.checkpoint_bytes;
  }
  if (sync && !Sync(err)) {
    resync_ = true;
    return fail();
  }
  for (FileHandle handle : files_) FileCommitStaged(handle);
  if (sync) {
    synced_end_ = end_;
    unsynced_.clear();
    resync_ = false;
  } else {
    unsynced_.insert(unsynced_.end(), unwritten_.begin(), unwritten_.end());
  }
  unwritten_.clear();
  uncommitted_records_ = 0;
  committed_end_ = end_;
  spilled_since_commit_ = false;
  if (synced_end_ != end_ || hold_files_) return timed(1);
  // Synced: the database files may take the changes. A failure here loses
  // nothing (the log holds them, and they stay staged for the next try);
  // apply_error_ tells the operator that they wait.
  std::string apply_err;
  if (!Apply(apply_err)) {
    apply_error_ = apply_err;
    return timed(1);
  }
  apply_error_.clear();
  std::string ignored;
  if (end_ >= options_.checkpoint_bytes) (void)CheckpointFiles(ignored);
  return timed(1);
}

int WriteAheadLog::CheckpointFiles(std::string& err) {
  for (FileHandle handle : files_) {
    if (!FileSync(handle)) {
      err = FileError("cannot sync the database files");
      return 0;
    }
  }
  if (!Empty(err)) return 0;
  ++stats_.checkpoints;
  return 1;
}

int WriteAheadLog::Checkpoint(std::string& err) {
  if (!is_open()) return 1;
  hold_files_ = false;
  if (!Commit(err, true)) return 0;
  if (pending() && !Apply(err)) return 0;
  return CheckpointFiles(err);
}

int WriteAheadLog::Settle(std::string& err) {
  if (!is_open()) return 1;
  hold_files_ = false;
  if (!Commit(err, true)) return 0;
  if (pending() && !Apply(err)) return 0;
  return 1;
}

int WriteAheadLog::Close(std::string& err) {
  if (!is_open()) return 1;
  int ok = Checkpoint(err) && WriteHeader(kStateClean, err);
  if (ok && !FileTruncate(file_.handle(), kHeaderArea)) {
    err = FileError("cannot shrink the log " + path_);
    ok = 0;
  }
  if (ok && !FileSync(file_.handle())) {
    err = FileError("cannot sync the log " + path_);
    ok = 0;
  }
  for (FileHandle handle : files_) FileUnstage(handle);
  file_.Close();
  return ok;
}

void WriteAheadLog::Abandon() {
  for (FileHandle handle : files_) FileUnstage(handle);
  file_.Close();
}

}  // namespace zt

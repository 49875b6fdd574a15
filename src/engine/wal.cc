#include "engine/wal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/codec.h"

namespace zt {
namespace {

constexpr int64_t kHeaderArea = 4096;
constexpr int64_t kSlotSize = 512;
constexpr char kSlotMagic[8] = {'Z', 'T', 'W', 'A', 'L', '0', '1', '\n'};
constexpr size_t kSlotSequenceAt = 8;
constexpr size_t kSlotEpochAt = 16;
constexpr size_t kSlotStateAt = 20;
constexpr size_t kSlotPathLengthAt = 24;
constexpr size_t kSlotPathAt = 28;
constexpr size_t kSlotMaxPath = 480;
constexpr size_t kSlotCrcAt = 508;
constexpr uint32_t kStateInUse = 1;
constexpr uint32_t kStateClean = 2;

constexpr uint32_t kRecordMagic = 0x524C545A;  // "ZTLR"
constexpr size_t kRecordHeaderSize = 32;
constexpr size_t kRecordEpochAt = 4;
constexpr size_t kRecordSequenceAt = 8;
constexpr size_t kRecordBodyLengthAt = 16;
constexpr size_t kRecordExtentCountAt = 20;
constexpr size_t kRecordCrcAt = 24;
constexpr size_t kExtentHeaderSize = 16;  // u8 file, 3 zero, u32 length, u64 offset
// No record is larger: a change of one request stays far below.
constexpr uint32_t kMaxRecordBody = uint32_t{1} << 30;
// Under Durability=os: the longest a written record waits for its sync, and
// the most bytes staged meanwhile.
constexpr double kOsSyncSeconds = 1.0;
constexpr size_t kOsMaxStaged = size_t{16} << 20;

uint32_t U32(const char* p) { return static_cast<uint32_t>(DecodeFixed32(p)); }
uint64_t U64(const char* p) { return static_cast<uint64_t>(DecodeFixed64(p)); }
void PutU32(char* p, uint32_t v) { EncodeFixed32(p, static_cast<int32_t>(v)); }
void PutU64(char* p, uint64_t v) { EncodeFixed64(p, static_cast<int64_t>(v)); }

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
  options_ = options;
  files_ = files;
  data_path_ = AbsolutePath(data_path);
  path_ = LogFilePath(options.folder, data_path);
  if (!MakeFolders(options.folder)) {
    err = FileError("cannot make the log folder " + options.folder);
    return 0;
  }
  if (!PathExists(path_) && !FileCreate(path_)) {
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

  // The valid header slot with the higher sequence counts.
  bool found = false;
  for (int64_t slot = 0; slot < 2 && (slot + 1) * kSlotSize <= length; ++slot) {
    char bytes[kSlotSize];
    if (!FileReadAt(file_.handle(), bytes, sizeof bytes, slot * kSlotSize)) continue;
    if (std::memcmp(bytes, kSlotMagic, sizeof kSlotMagic) != 0) continue;
    if (U32(bytes + kSlotCrcAt) != Crc32c(bytes, kSlotCrcAt)) continue;
    const uint64_t sequence = U64(bytes + kSlotSequenceAt);
    if (found && sequence <= header_.sequence) continue;
    const size_t path_length = std::min<size_t>(U32(bytes + kSlotPathLengthAt), kSlotMaxPath);
    header_.sequence = sequence;
    header_.epoch = U32(bytes + kSlotEpochAt);
    header_.state = U32(bytes + kSlotStateAt);
    header_.data_path.assign(bytes + kSlotPathAt, path_length);
    found = true;
  }
  if (found) {
    report.clean_shutdown = header_.state == kStateClean;
    if (!Replay(header_, report, err)) {
      file_.Close();
      return 0;
    }
  }
  if (report.records_replayed > 0) {
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
  for (FileHandle handle : files_) FileStageWrites(handle);
  last_sync_ = Now();
  return 1;
}

int WriteAheadLog::Replay(const Header& header, RecoveryReport& report, std::string& err) {
  const FileHandle log = file_.handle();
  const int64_t length = FileLength(log);
  int64_t at = kHeaderArea;
  uint64_t sequence = 1;
  std::string body;
  for (;;) {
    char head[kRecordHeaderSize];
    if (at + static_cast<int64_t>(kRecordHeaderSize) > length ||
        !FileReadAt(log, head, sizeof head, at)) {
      if (at < length) {
        // A few bytes of a header at the very end: torn unless zero.
        std::string rest(static_cast<size_t>(length - at), '\0');
        if (FileReadAt(log, rest.data(), rest.size(), at) &&
            rest.find_first_not_of('\0') != std::string::npos) {
          report.torn_bytes_dropped = length - at;
        }
      }
      break;
    }
    const bool ours = U32(head) == kRecordMagic && U32(head + kRecordEpochAt) == header.epoch;
    if (!ours || U64(head + kRecordSequenceAt) != sequence) {
      // Zeros, or a record of an emptied epoch, end the log cleanly; anything
      // else is the torn start of a record.
      const bool zero = std::all_of(head, head + sizeof head, [](char c) { return c == 0; });
      const bool older = U32(head) == kRecordMagic && U32(head + kRecordEpochAt) != header.epoch;
      if (!zero && !older) {
        report.torn_bytes_dropped = std::min<int64_t>(kRecordHeaderSize, length - at);
      }
      break;
    }
    const uint32_t body_length = U32(head + kRecordBodyLengthAt);
    const int64_t record_end = at + static_cast<int64_t>(kRecordHeaderSize) + body_length;
    if (body_length > kMaxRecordBody || record_end > length) {
      report.torn_bytes_dropped = length - at;
      break;
    }
    body.resize(body_length);
    if (!FileReadAt(log, body.data(), body.size(), at + kRecordHeaderSize)) {
      err = FileError("cannot read the log " + path_);
      return 0;
    }
    const uint32_t stored_crc = U32(head + kRecordCrcAt);
    PutU32(head + kRecordCrcAt, 0);
    if (Crc32c(body.data(), body.size(), Crc32c(head, sizeof head)) != stored_crc) {
      report.torn_bytes_dropped = record_end - at;
      break;
    }
    // Check every extent before writing any, so a record applies whole.
    const uint32_t count = U32(head + kRecordExtentCountAt);
    bool sound = true;
    size_t pos = 0;
    for (uint32_t i = 0; i < count && sound; ++i) {
      if (body.size() - pos < kExtentHeaderSize) {
        sound = false;
        break;
      }
      const auto file = static_cast<uint8_t>(body[pos]);
      const uint32_t n = U32(body.data() + pos + 4);
      const int64_t offset = DecodeFixed64(body.data() + pos + 8);
      pos += kExtentHeaderSize;
      if (file > kLogIndexFile || offset < 0 || body.size() - pos < n) sound = false;
      pos += n;
    }
    if (!sound || pos != body.size()) {
      // A checksum that holds over a malformed body: written by something
      // else. Nothing after it can be trusted either.
      err = "the log " + path_ + " holds a malformed record at offset " + std::to_string(at);
      return 0;
    }
    if (report.records_replayed == 0 && header.data_path != data_path_.substr(0, kSlotMaxPath)) {
      err = "the log " + path_ + " holds changes of another database (" + header.data_path + ")";
      return 0;
    }
    pos = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const auto file = static_cast<uint8_t>(body[pos]);
      const uint32_t n = U32(body.data() + pos + 4);
      const int64_t offset = DecodeFixed64(body.data() + pos + 8);
      pos += kExtentHeaderSize;
      if (!FileWriteAt(files_[file], body.data() + pos, n, offset)) {
        err = FileError("cannot replay the log into the database files");
        return 0;
      }
      pos += n;
    }
    ++report.records_replayed;
    ++sequence;
    at = record_end;
  }
  return 1;
}

int WriteAheadLog::WriteHeader(uint32_t state, std::string& err) {
  char bytes[kSlotSize] = {};
  const uint64_t sequence = header_.sequence + 1;
  std::memcpy(bytes, kSlotMagic, sizeof kSlotMagic);
  PutU64(bytes + kSlotSequenceAt, sequence);
  PutU32(bytes + kSlotEpochAt, header_.epoch);
  PutU32(bytes + kSlotStateAt, state);
  const size_t n = std::min(data_path_.size(), kSlotMaxPath);
  PutU32(bytes + kSlotPathLengthAt, static_cast<uint32_t>(n));
  std::memcpy(bytes + kSlotPathAt, data_path_.data(), n);
  PutU32(bytes + kSlotCrcAt, Crc32c(bytes, kSlotCrcAt));
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
  end_ = synced_end_ = kHeaderArea;
  next_sequence_ = 1;
  unsynced_.clear();
  return 1;
}

int WriteAheadLog::EnsureRoom(int64_t end, std::string& err) {
  if (end <= allocated_) return 1;
  const int64_t step = std::max<int64_t>(options_.grow_bytes, kHeaderArea);
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

bool WriteAheadLog::Seal() {
  if (!is_open()) return false;
  std::array<std::vector<FileRange>, 3> ranges;
  size_t body = 0;
  uint32_t count = 0;
  for (size_t f = 0; f < files_.size(); ++f) {
    ranges[f] = FileTakeTouched(files_[f]);
    for (const FileRange& r : ranges[f]) body += kExtentHeaderSize + static_cast<size_t>(r.length);
    count += static_cast<uint32_t>(ranges[f].size());
  }
  if (count == 0) return false;
  // The record is formed in place in the buffer of unwritten records: the
  // staged bytes are copied there once.
  const size_t start = unwritten_.size();
  unwritten_.resize(start + kRecordHeaderSize + body);
  char* head = unwritten_.data() + start;
  PutU32(head, kRecordMagic);
  PutU32(head + kRecordEpochAt, header_.epoch);
  PutU64(head + kRecordSequenceAt, next_sequence_++);
  PutU32(head + kRecordBodyLengthAt, static_cast<uint32_t>(body));
  PutU32(head + kRecordExtentCountAt, count);
  char* p = head + kRecordHeaderSize;
  for (size_t f = 0; f < files_.size(); ++f) {
    for (const FileRange& r : ranges[f]) {
      const auto length = static_cast<size_t>(r.length);
      p[0] = static_cast<char>(f);
      PutU32(p + 4, static_cast<uint32_t>(length));
      PutU64(p + 8, static_cast<uint64_t>(r.offset));
      FileCopyStaged(files_[f], p + kExtentHeaderSize, length, r.offset);
      p += kExtentHeaderSize + length;
    }
  }
  PutU32(head + kRecordCrcAt,
         Crc32c(head + kRecordHeaderSize, body, Crc32c(head, kRecordHeaderSize)));
  ++unwritten_records_;
  ++stats_.records;
  return true;
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
  // The records formed since the last commit are gone; their numbers are
  // used again.
  next_sequence_ -= unwritten_records_;
  unwritten_.clear();
  unwritten_records_ = 0;
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
  Seal();
  // The records of this commit go after the written ones; a failure cuts
  // the log back to where they began.
  const int64_t begin = end_;
  const auto fail = [&]() {
    if (!unwritten_.empty()) {
      // Best effort: a record that reached the file despite the error must
      // not count at replay.
      const std::string zeros(kRecordHeaderSize, '\0');
      (void)FileWriteAt(file_.handle(), zeros.data(), zeros.size(), begin);
    }
    Discard();
    end_ = begin;
    return 0;
  };
  size_t staged = 0;
  for (FileHandle handle : files_) staged += FileStagedBytes(handle);
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
  bool sync = behind && (force_sync || options_.durability == Durability::kFull);
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
    unsynced_ += unwritten_;
  }
  unwritten_.clear();
  unwritten_records_ = 0;
  if (synced_end_ != end_ || hold_files_) return 1;
  // Synced: the database files may take the changes. A failure here loses
  // nothing (the log holds them, and they stay staged for the next try);
  // apply_error_ tells the operator that they wait.
  std::string apply_err;
  if (!Apply(apply_err)) {
    apply_error_ = apply_err;
    return 1;
  }
  apply_error_.clear();
  std::string ignored;
  if (end_ >= options_.checkpoint_bytes) (void)CheckpointFiles(ignored);
  return 1;
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

#include "engine/wal_replay.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/codec.h"
#include "engine/wal_format.h"

namespace zt {
namespace {

using namespace wal;

std::string FileError(const std::string& what) { return what + ": " + LastFileError(); }

// A record read whole and checked.
struct Record {
  uint32_t epoch = 0;
  uint64_t sequence = 0;
  uint32_t format = 0;
  uint32_t extents = 0;
  int64_t size = 0;         // header and body
  int64_t durable_end = 0;  // format 1; 0 for the plain format
  size_t extents_at = 0;    // where the extents begin in the body
};

enum class Read { kValid, kInvalid, kMalformed, kError };

// Reads the record at `at` into body and checks its checksum and shape.
// want_epoch: only a record of this epoch (0: any) is worth reading whole.
Read ReadRecord(FileHandle log, int64_t length, int64_t at, uint32_t want_epoch, Record& record,
                std::string& body) {
  char head[kRecordHeaderSize];
  if (at + static_cast<int64_t>(kRecordHeaderSize) > length) return Read::kInvalid;
  if (!FileReadAt(log, head, sizeof head, at)) return Read::kError;
  if (U32(head) != kRecordMagic) return Read::kInvalid;
  record.epoch = U32(head + kRecordEpochAt);
  if (want_epoch != 0 && record.epoch != want_epoch) return Read::kInvalid;
  record.sequence = U64(head + kRecordSequenceAt);
  record.format = U32(head + kRecordFormatAt);
  record.extents = U32(head + kRecordExtentCountAt);
  const uint32_t body_length = U32(head + kRecordBodyLengthAt);
  record.size = static_cast<int64_t>(kRecordHeaderSize) + body_length;
  if (body_length > kMaxRecordBody || at + record.size > length) return Read::kInvalid;
  if (record.format != kFormatPlain && !HasPieces(record.format)) return Read::kInvalid;
  body.resize(body_length);
  if (!FileReadAt(log, body.data(), body.size(), at + kRecordHeaderSize)) return Read::kError;
  const uint32_t stored_crc = U32(head + kRecordCrcAt);
  PutU32(head + kRecordCrcAt, 0);
  if (Crc32c(body.data(), body.size(), Crc32c(head, sizeof head)) != stored_crc) {
    return Read::kInvalid;
  }
  // A checksum that holds over a body of the wrong shape: written by
  // something else.
  size_t pos = 0;
  if (HasPieces(record.format)) {
    if (body.size() < kDurableEndSize) return Read::kMalformed;
    record.durable_end = DecodeFixed64(body.data());
    pos = kDurableEndSize;
  }
  record.extents_at = pos;
  for (uint32_t i = 0; i < record.extents; ++i) {
    if (body.size() - pos < kExtentHeaderSize) return Read::kMalformed;
    const ExtentView extent = DecodeExtent(record.format, body.data() + pos);
    if (extent.file > kLogIndexFile || extent.offset < 0) return Read::kMalformed;
    if (body.size() - pos < extent.size) return Read::kMalformed;
    pos += extent.size;
  }
  return pos == body.size() ? Read::kValid : Read::kMalformed;
}

// Notes the state each unit the record changed is left in.
void NoteNewest(const Record& record, const std::string& body,
                std::unordered_map<uint64_t, uint32_t>& newest) {
  if (!HasPieces(record.format)) return;
  size_t pos = record.extents_at;
  for (uint32_t i = 0; i < record.extents; ++i) {
    const ExtentView e = DecodeExtent(record.format, body.data() + pos);
    for (size_t p = 0; p < e.pieces; ++p) {
      newest[UnitKey(e.file, UnitStart(e.offset) + static_cast<int64_t>(p) * kPieceSize)] =
          e.after(p);
    }
    pos += e.size;
  }
}

bool AllZero(const char* p, size_t n) {
  return std::all_of(p, p + n, [](char c) { return c == 0; });
}

// Valid records of the epoch with a sequence of at least min_sequence in
// [from, length) whose durable end lies beyond `synced_past` (they prove
// that the log was synced past it): counted into scan's valid_after
// figures. last_valid_end receives the end of the last valid one found.
bool CountValidAfter(FileHandle log, int64_t length, int64_t from, uint32_t epoch,
                     uint64_t min_sequence, int64_t synced_past, LogScan& scan,
                     int64_t& last_valid_end, std::unordered_map<uint64_t, uint32_t>& newest,
                     std::string& err) {
  constexpr size_t kChunk = size_t{1} << 20;
  std::string chunk;
  std::string body;
  int64_t at = from;
  while (at + static_cast<int64_t>(kRecordHeaderSize) <= length) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(length - at, kChunk));
    chunk.resize(n);
    if (!FileReadAt(log, chunk.data(), n, at)) {
      err = FileError("cannot read the log");
      return false;
    }
    // The magic's bytes as they lie in the file.
    char magic[4];
    PutU32(magic, kRecordMagic);
    int64_t next = at + static_cast<int64_t>(n) - 3;  // a magic may straddle chunks
    for (size_t i = 0; i + 4 <= n;) {
      const void* hit = std::memchr(chunk.data() + i, magic[0], n - i - 3);
      if (hit == nullptr) break;
      i = static_cast<size_t>(static_cast<const char*>(hit) - chunk.data());
      if (std::memcmp(chunk.data() + i, magic, 4) != 0) {
        ++i;
        continue;
      }
      const int64_t candidate = at + static_cast<int64_t>(i);
      Record record;
      switch (ReadRecord(log, length, candidate, epoch, record, body)) {
        case Read::kError:
          err = FileError("cannot read the log");
          return false;
        case Read::kValid:
          if (record.sequence >= min_sequence) {
            last_valid_end = candidate + record.size;
            NoteNewest(record, body, newest);
            if (record.durable_end > synced_past) {
              ++scan.valid_after;
              scan.valid_after_bytes += record.size;
            }
          }
          // Nothing inside a valid record starts another.
          if (candidate + record.size >= at + static_cast<int64_t>(n)) {
            next = candidate + record.size;
            i = n;
            continue;
          }
          i += static_cast<size_t>(record.size);
          continue;
        default:
          ++i;
      }
    }
    if (next <= at) next = at + 1;
    at = next;
  }
  return true;
}

// The bytes of a torn record at `at`: up to the first 512-byte unit of
// zeros, or the end of the file.
int64_t TornLength(FileHandle log, int64_t length, int64_t at) {
  char unit[kPieceSize];
  int64_t end = std::min(length, (at / kPieceSize + 1) * kPieceSize);
  while (end < length) {
    const auto n = static_cast<size_t>(std::min<int64_t>(kPieceSize, length - end));
    if (!FileReadAt(log, unit, n, end) || AllZero(unit, n)) break;
    end += static_cast<int64_t>(n);
  }
  return end - at;
}

// Reads n bytes at offset of a database file, zeros beyond its end.
bool ReadPadded(FileHandle handle, char* buffer, size_t n, int64_t offset) {
  std::memset(buffer, 0, n);
  const int64_t length = FileLength(handle);
  if (length < 0) return false;
  const int64_t have = std::clamp<int64_t>(length - offset, 0, static_cast<int64_t>(n));
  return have == 0 || FileReadAt(handle, buffer, static_cast<size_t>(have), offset);
}

}  // namespace

bool ScanLog(FileHandle log, const std::string& path, bool existed, LogScan& scan,
             std::string& err) {
  scan = LogScan{};
  const int64_t length = FileLength(log);
  if (length < 0) {
    err = FileError("cannot read the log " + path);
    return false;
  }
  for (int64_t slot = 0; slot < 2 && (slot + 1) * kSlotSize <= length; ++slot) {
    char bytes[kSlotSize];
    if (!FileReadAt(log, bytes, sizeof bytes, slot * kSlotSize)) continue;
    const std::optional<LogHeader> header = DecodeSlot(bytes);
    if (!header || (scan.header_found && header->sequence <= scan.header.sequence)) continue;
    scan.header = *header;
    scan.header_found = true;
  }

  // The first record tells the epoch when no header slot holds it: a slot
  // rewritten for a new epoch and then damaged leaves the older one.
  std::string body;
  Record first;
  const Read read = ReadRecord(log, length, kHeaderArea, 0, first, body);
  if (read == Read::kError) {
    err = FileError("cannot read the log " + path);
    return false;
  }
  const bool first_starts = read == Read::kValid && first.sequence == 1;
  if (scan.header_found) {
    scan.epoch = scan.header.epoch;
    if (first_starts && first.epoch > scan.epoch) {
      scan.epoch = first.epoch;
      scan.header_damaged = true;
    }
  } else if (first_starts) {
    scan.epoch = first.epoch;
    scan.header_damaged = true;
  } else {
    // Neither header nor first record: nothing to replay, unless valid
    // records lie further on (a damaged start).
    if (existed) scan.lost = true;
    int64_t last_valid_end = 0;
    if (!CountValidAfter(log, length, kHeaderArea, 0, 0, kHeaderArea - 1, scan, last_valid_end,
                         scan.newest, err)) {
      return false;
    }
    if (scan.valid_after > 0) {
      scan.damaged = true;
      scan.damaged_sequence = 1;
    }
    scan.chain_end = kHeaderArea;
    return true;
  }

  int64_t at = kHeaderArea;
  uint64_t sequence = 1;
  // The newest states the records of a change not yet ended leave: they
  // count once a record ends it.
  std::unordered_map<uint64_t, uint32_t> open_newest;
  size_t open_records = 0;
  for (;;) {
    Record record;
    const Read r = ReadRecord(log, length, at, scan.epoch, record, body);
    if (r == Read::kError) {
      err = FileError("cannot read the log " + path);
      return false;
    }
    if (r == Read::kMalformed) {
      err = "the log " + path + " holds a malformed record at offset " + std::to_string(at);
      return false;
    }
    if (r != Read::kValid || record.sequence != sequence) break;
    if (record.format == kFormatContinued) {
      NoteNewest(record, body, open_newest);
      ++open_records;
    } else {
      for (const auto& [unit, state] : open_newest) scan.newest[unit] = state;
      open_newest.clear();
      open_records = 0;
      NoteNewest(record, body, scan.newest);
    }
    scan.chain.push_back(LogScan::Record{at, record.size});
    at += record.size;
    ++sequence;
  }
  scan.chain_end = at;
  scan.unfinished = open_records;
  // Records after the chain tell the newest states only when they prove
  // the damage: behind a torn tail they never reached the files.
  int64_t last_valid_end = 0;
  std::unordered_map<uint64_t, uint32_t> later = scan.newest;
  if (!CountValidAfter(log, length, at + 1, scan.epoch, sequence, at, scan, last_valid_end, later,
                       err)) {
    return false;
  }
  if (scan.valid_after > 0) {
    scan.newest = std::move(later);
    scan.damaged = true;
    scan.damaged_sequence = sequence;
    return true;
  }
  // Only the start of a record of this epoch is a torn record; anything
  // else after the chain (zeros, or the bytes of older records the new
  // epoch has not yet overwritten, which need not begin at a record) ends
  // it cleanly.
  char head[kRecordHeaderSize];
  const auto n = static_cast<size_t>(std::min<int64_t>(kRecordHeaderSize, length - at));
  if (n < 8 || !FileReadAt(log, head, n, at)) return true;
  if (U32(head) != kRecordMagic || U32(head + kRecordEpochAt) != scan.epoch) return true;
  scan.torn_bytes = std::max(TornLength(log, length, at), last_valid_end - at);
  // The log grows in steps of whole 4096-byte units; one that ends inside
  // a record at an odd length was cut short, not torn: how much is missing
  // cannot be known.
  if (at + scan.torn_bytes == length && length % kHeaderArea != 0) {
    scan.damaged = true;
    scan.cut = true;
    scan.damaged_sequence = sequence;
  }
  return true;
}

std::string DescribeDamage(const std::string& path, const LogScan& scan) {
  // The advice comes first: the text may be cut to the length of a
  // last-error text.
  std::string text = "the write-ahead log " + path +
                     " is damaged, so the database was not opened (ztadmin recover tells the "
                     "choices): ";
  if (scan.cut) {
    text += "it ends inside record " + std::to_string(scan.damaged_sequence) + " at offset " +
            std::to_string(scan.chain_end) + ", cut short";
  } else {
    text += "record " + std::to_string(scan.damaged_sequence) + " at offset " +
            std::to_string(scan.chain_end) + " is unreadable, and " +
            std::to_string(scan.valid_after) + " valid records (" +
            std::to_string(scan.valid_after_bytes) + " bytes) after it were synced";
  }
  return text + "; " + std::to_string(scan.chain.size()) + " records before it are sound";
}

std::string DescribeReplay(const RecoveryReport& r) {
  return "replayed " + std::to_string(r.records_replayed) + " log records (" +
         std::to_string(r.pieces_written) + " pieces written, " + std::to_string(r.pieces_held) +
         " already in the files, " + std::to_string(r.pieces_kept) +
         " kept as the files held newer); dropped " + std::to_string(r.torn_bytes_dropped) +
         " bytes of a torn tail" +
         (r.records_unfinished > 0 ? " and " + std::to_string(r.records_unfinished) +
                                         " records of a change that was never committed"
                                   : "");
}

bool ReplayLog(FileHandle log, const std::string& path, const LogScan& scan,
               const LogFiles& files, RecoveryReport& report, std::string& err) {
  const int64_t length = FileLength(log);
  std::string body;
  std::string current;
  // The records of a change the log does not end never reached the files
  // (they are written only after the commit that ends it): left out.
  const size_t replayed = scan.chain.size() - std::min(scan.unfinished, scan.chain.size());
  report.records_unfinished = static_cast<int64_t>(scan.chain.size() - replayed);
  for (size_t r = 0; r < replayed; ++r) {
    const LogScan::Record& at = scan.chain[r];
    Record record;
    if (ReadRecord(log, length, at.offset, scan.epoch, record, body) != Read::kValid) {
      err = FileError("cannot read the log " + path + " again");
      return false;
    }
    size_t pos = record.extents_at;
    for (uint32_t i = 0; i < record.extents; ++i) {
      const ExtentView e = DecodeExtent(record.format, body.data() + pos);
      pos += e.size;
      const uint8_t file = e.file;
      const uint32_t n = e.length;
      const int64_t offset = e.offset;
      const size_t pieces = e.pieces;
      const char* bytes = e.bytes;
      const FileHandle target = files[file];
      if (record.format == kFormatPlain) {
        // Written before units were summed: applied as it stands.
        if (!FileWriteAt(target, bytes, n, offset)) {
          err = FileError("cannot replay the log into the database files");
          return false;
        }
        report.pieces_written += static_cast<int64_t>(pieces);
        continue;
      }
      const int64_t units_from = UnitStart(offset);
      current.resize(static_cast<size_t>(UnitEnd(offset + n) - units_from));
      if (!ReadPadded(target, current.data(), current.size(), units_from)) {
        err = FileError("cannot read the database files to replay the log");
        return false;
      }
      // A piece is written when its unit is in the state before the change;
      // a run of such pieces goes in one write.
      int64_t run_from = -1;  // in the extent
      const auto flush = [&](int64_t upto) {
        if (run_from < 0) return true;
        const bool ok = FileWriteAt(target, bytes + run_from,
                                    static_cast<size_t>(upto - run_from), offset + run_from);
        run_from = -1;
        return ok;
      };
      for (size_t p = 0; p < pieces; ++p) {
        const int64_t unit = units_from + static_cast<int64_t>(p) * kPieceSize;
        const int64_t piece_from = std::max<int64_t>(unit, offset) - offset;
        const uint32_t have =
            Crc32c(current.data() + p * kPieceSize, static_cast<size_t>(kPieceSize));
        const auto newest = scan.newest.find(UnitKey(file, unit));
        bool write = false;
        if (have == e.after(p) || (newest != scan.newest.end() && have == newest->second)) {
          ++report.pieces_held;
        } else if (have == e.before(p) || !scan.damaged) {
          // A unit in no state the log knows, over a sound log, was cut by
          // the crash (a file's length put back inside it): the log's bytes
          // are the truth there. Only past damage may it be newer.
          ++report.pieces_written;
          write = true;
        } else {
          ++report.pieces_kept;
        }
        if (write && run_from < 0) run_from = piece_from;
        if (!write && !flush(piece_from)) {
          err = FileError("cannot replay the log into the database files");
          return false;
        }
      }
      if (!flush(n)) {
        err = FileError("cannot replay the log into the database files");
        return false;
      }
    }
    ++report.records_replayed;
  }
  return true;
}

}  // namespace zt

// The bytes of the write-ahead log file, shared by the writer (wal.cc) and
// the reader that recovers from it (wal_replay.cc). The layout itself is
// described once, in wal.h.
#ifndef ZT_ENGINE_WAL_FORMAT_H_
#define ZT_ENGINE_WAL_FORMAT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "engine/codec.h"
#include "engine/wal.h"

namespace zt::wal {

inline constexpr int64_t kHeaderArea = 4096;
inline constexpr int64_t kSlotSize = 512;
inline constexpr char kSlotMagic[8] = {'Z', 'T', 'W', 'A', 'L', '0', '1', '\n'};
inline constexpr size_t kSlotSequenceAt = 8;
inline constexpr size_t kSlotEpochAt = 16;
inline constexpr size_t kSlotStateAt = 20;
inline constexpr size_t kSlotPathLengthAt = 24;
inline constexpr size_t kSlotPathAt = 28;
inline constexpr size_t kSlotMaxPath = 480;
inline constexpr size_t kSlotCrcAt = 508;
inline constexpr uint32_t kStateInUse = 1;
inline constexpr uint32_t kStateClean = 2;

inline constexpr uint32_t kRecordMagic = 0x524C545A;  // "ZTLR"
inline constexpr size_t kRecordHeaderSize = 32;
inline constexpr size_t kRecordEpochAt = 4;
inline constexpr size_t kRecordSequenceAt = 8;
inline constexpr size_t kRecordBodyLengthAt = 16;
inline constexpr size_t kRecordExtentCountAt = 20;
inline constexpr size_t kRecordCrcAt = 24;
inline constexpr size_t kRecordFormatAt = 28;
// Record formats: the first carries the new bytes only; the second also
// per piece the checksums of its whole unit before and after the change,
// so that replay can tell a file that lacks the change from one that
// already holds it, or something newer.
inline constexpr uint32_t kFormatPlain = 0;
inline constexpr uint32_t kFormatPieces = 1;
// The third is the second's body for a part of a change too large for
// memory: the change goes on in the next record, and counts only once a
// record of format 1 ends it (the records of a change are consecutive).
inline constexpr uint32_t kFormatContinued = 2;
inline bool HasPieces(uint32_t format) {
  return format == kFormatPieces || format == kFormatContinued;
}

// A format-1 body starts with the u64 log offset below which every record
// was on the disk (synced) when this one was formed: a record the log
// lost below that offset was acknowledged, one beyond it may be the torn
// tail of a crash, however many whole records the disk kept after it.
inline constexpr size_t kDurableEndSize = 8;

inline constexpr size_t kExtentHeaderSize = 16;  // u8 file, 3 zero, u32 length, u64 offset
inline constexpr size_t kExtentFileAt = 0;
inline constexpr size_t kExtentLengthAt = 4;
inline constexpr size_t kExtentOffsetAt = 8;
// The unit a power failure keeps or loses whole on the disk: each extent is
// cut at the multiples of it (of the file's offsets) into pieces, and no
// two extents of one record share a unit.
inline constexpr int64_t kPieceSize = 512;
inline constexpr size_t kPieceChecksums = 8;  // u32 unit before, u32 unit after
// No record is larger: a change of one request stays far below.
inline constexpr uint32_t kMaxRecordBody = uint32_t{1} << 30;

inline uint32_t U32(const char* p) { return static_cast<uint32_t>(DecodeFixed32(p)); }
inline uint64_t U64(const char* p) { return static_cast<uint64_t>(DecodeFixed64(p)); }
inline void PutU32(char* p, uint32_t v) { EncodeFixed32(p, static_cast<int32_t>(v)); }
inline void PutU64(char* p, uint64_t v) { EncodeFixed64(p, static_cast<int64_t>(v)); }

// The pieces of [offset, offset + length).
// A unit of one of the log's files, as a key.
inline uint64_t UnitKey(uint8_t file, int64_t unit_offset) {
  return (uint64_t{file} << 56) | static_cast<uint64_t>(unit_offset);
}
inline int64_t UnitStart(int64_t offset) { return offset / kPieceSize * kPieceSize; }
inline int64_t UnitEnd(int64_t end) { return (end + kPieceSize - 1) / kPieceSize * kPieceSize; }
inline size_t PieceCount(int64_t offset, int64_t length) {
  if (length <= 0) return 0;
  return static_cast<size_t>((offset + length - 1) / kPieceSize - offset / kPieceSize + 1);
}

// Bytes an extent of the format takes in a record body, its bytes included.
inline size_t ExtentSize(uint32_t format, int64_t offset, int64_t length) {
  const size_t checksums =
      HasPieces(format) ? kPieceChecksums * PieceCount(offset, length) : 0;
  return kExtentHeaderSize + checksums + static_cast<size_t>(length);
}

// One extent of a record body as it lies there (the header read, the rest
// pointed at).
struct ExtentView {
  uint8_t file = 0;
  uint32_t length = 0;
  int64_t offset = 0;
  size_t pieces = 0;
  const char* checksums = nullptr;  // format 1: kPieceChecksums per piece
  const char* bytes = nullptr;      // the new bytes
  size_t size = 0;                  // all of it in the body
  uint32_t before(size_t piece) const { return U32(checksums + kPieceChecksums * piece); }
  uint32_t after(size_t piece) const { return U32(checksums + kPieceChecksums * piece + 4); }
};

// The extent at p; the caller has checked that kExtentHeaderSize bytes are
// there, and checks size against what is left.
inline ExtentView DecodeExtent(uint32_t format, const char* p) {
  ExtentView e;
  e.file = static_cast<uint8_t>(p[kExtentFileAt]);
  e.length = U32(p + kExtentLengthAt);
  e.offset = DecodeFixed64(p + kExtentOffsetAt);
  e.pieces = e.offset < 0 ? 0 : PieceCount(e.offset, e.length);
  e.checksums = p + kExtentHeaderSize;
  e.bytes = e.checksums + (HasPieces(format) ? kPieceChecksums * e.pieces : 0);
  e.size = e.offset < 0 ? kExtentHeaderSize : ExtentSize(format, e.offset, e.length);
  return e;
}

// A header slot's bytes (kSlotSize of them) from the header, and back; a
// slot whose magic or checksum does not hold is none.
inline void EncodeSlot(const LogHeader& header, char* bytes) {
  std::memset(bytes, 0, kSlotSize);
  std::memcpy(bytes, kSlotMagic, sizeof kSlotMagic);
  PutU64(bytes + kSlotSequenceAt, header.sequence);
  PutU32(bytes + kSlotEpochAt, header.epoch);
  PutU32(bytes + kSlotStateAt, header.state);
  const size_t n = std::min(header.data_path.size(), kSlotMaxPath);
  PutU32(bytes + kSlotPathLengthAt, static_cast<uint32_t>(n));
  std::memcpy(bytes + kSlotPathAt, header.data_path.data(), n);
  PutU32(bytes + kSlotCrcAt, Crc32c(bytes, kSlotCrcAt));
}

inline std::optional<LogHeader> DecodeSlot(const char* bytes) {
  if (std::memcmp(bytes, kSlotMagic, sizeof kSlotMagic) != 0) return std::nullopt;
  if (U32(bytes + kSlotCrcAt) != Crc32c(bytes, kSlotCrcAt)) return std::nullopt;
  LogHeader header;
  header.sequence = U64(bytes + kSlotSequenceAt);
  header.epoch = U32(bytes + kSlotEpochAt);
  header.state = U32(bytes + kSlotStateAt);
  const size_t path_length = std::min<size_t>(U32(bytes + kSlotPathLengthAt), kSlotMaxPath);
  header.data_path.assign(bytes + kSlotPathAt, path_length);
  return header;
}

}  // namespace zt::wal

#endif  // ZT_ENGINE_WAL_FORMAT_H_

// The data-record header: the fixed 89 bytes in front of every record of the
// data file. The data file is one append-only sequence of records of every
// table; each record is this header followed by its data bytes (the table's
// columns end to end, each exactly its size, values padded with blanks). The
// records of one table form a chain that runs backwards from the newest one,
// whose offset the table's definition holds, through the previous-record
// field. Records are never moved: a record that must grow is appended again
// and its old copy flagged; a deleted record is only flagged.
//
// RecordHeader, 89 bytes at the record's offset; numbers are decimal text,
// NUL-terminated inside their field:
//   OFFSET  WIDTH  CONTENT
//   0       8      marker "[ZTS123]" (compared without regard to case)
//   8       1      NUL (end of the marker text)
//   9       1      not read
//   10      33     owning table's name, at most 32 characters
//   43      11     offset of the table's previous record; < 0: none
//   54      1      superseded-or-deleted flag: 'N' when written, 'Y' once
//                  the record was replaced by a newer copy or deleted
//   55      1      'N' when written; not read
//   56      11     "0" when written; not read
//   67      11     change counter: "0" when written, +1 per update/delete;
//                  after 2147483647 it starts again at 0
//   78      11     data length: number of data bytes after the header
//
// The change counter is the record's version: a recordset remembers the
// counter of the record its pending change was read from, and the update or
// delete is refused when the counter no longer matches (another recordset
// stored a change meanwhile). It counts modulo 2^31, so versions are
// compared for equality only, never for order.
//
// The struct keeps the raw bytes, so the fields the engine does not read are
// carried unchanged when a header is read, changed and written back.
#ifndef ZT_ENGINE_RECORD_H_
#define ZT_ENGINE_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/codec.h"

namespace zt {

// Data-file offsets are kept as 32-bit text (headers, resultset rows) and in
// the 32-bit index cursor, so no record may reach this offset.
inline constexpr int64_t kMaxDataFileOffset = int64_t{1} << 31;

struct RecordHeader {
  static constexpr std::string_view kMarker = "[ZTS123]";
  static constexpr size_t kMarkerOffset = 0;
  static constexpr size_t kMarkerWidth = 9;  // 8 characters and the NUL
  static constexpr size_t kUnusedByteOffset = kMarkerOffset + kMarkerWidth;                // 9
  static constexpr size_t kTableOffset = kUnusedByteOffset + 1;                            // 10
  static constexpr size_t kPreviousOffset = kTableOffset + kNameFieldWidth;                // 43
  static constexpr size_t kSupersededOffset = kPreviousOffset + kNumberFieldWidth;         // 54
  static constexpr size_t kSecondFlagOffset = kSupersededOffset + 1;                       // 55
  static constexpr size_t kUnusedNumberOffset = kSecondFlagOffset + 1;                     // 56
  static constexpr size_t kChangeCounterOffset = kUnusedNumberOffset + kNumberFieldWidth;  // 67
  static constexpr size_t kDataLengthOffset = kChangeCounterOffset + kNumberFieldWidth;    // 78
  static constexpr size_t kSize = kDataLengthOffset + kNumberFieldWidth;

  std::array<char, kSize> bytes{};

  // A header for a new record of table: marker, table name, previous-record
  // offset, both flags 'N', "0" at 56 and in the change counter, and the data
  // length.
  static RecordHeader ForNewRecord(std::string_view table, int64_t previous, int32_t data_length);

  // True when the first eight characters are the marker (any case).
  bool has_marker() const;
  std::string_view table() const;
  void set_table(std::string_view name);
  // The previous-record field; 0 when its text is not a number.
  int32_t previous() const;
  void set_previous(int64_t offset);
  bool superseded() const;
  void set_superseded(bool superseded);
  int32_t change_counter() const;
  void set_change_counter(int32_t n);
  // One more change: the counter plus one, or 0 after 2147483647.
  void count_change();
  // The data length as stored; may be anything in a damaged file.
  int32_t data_length() const;
  void set_data_length(int32_t n);
};
static_assert(RecordHeader::kTableOffset == 10);
static_assert(RecordHeader::kPreviousOffset == 43);
static_assert(RecordHeader::kSupersededOffset == 54);
static_assert(RecordHeader::kChangeCounterOffset == 67);
static_assert(RecordHeader::kDataLengthOffset == 78);
static_assert(RecordHeader::kSize == 89);

}  // namespace zt

#endif  // ZT_ENGINE_RECORD_H_

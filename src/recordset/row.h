// Row: one row of a recordset, as the recordset keeps it in memory.
//
// 16 bytes a row, whatever the table:
//   record_offset  8  the stored record in the data file; -1 for a row added
//                     and not yet stored, or retired by an update
//   image          4  slot of the row's pending image (ImageStore); -1: none
//   flags          1  kDeleted, kPassesFilter, kNew, kSelected, kLocked,
//                     kPending
//   (3 bytes spare)
// A row is active when it is not marked deleted and passes the filter; the
// moves visit only active rows. Row numbers seen by clients are 1-based
// positions in the recordset's row vector.
#ifndef ZT_RECORDSET_ROW_H_
#define ZT_RECORDSET_ROW_H_

#include <cstdint>

namespace zt {

struct Row {
  enum Flag : uint8_t {
    kDeleted = 1,       // marked for deletion; stored by the next update
    kPassesFilter = 2,  // passes the filter-on test
    kNew = 4,           // exists only as an image until stored
    kSelected = 8,      // selected by the selection commands
    kLocked = 16,       // holds a region lock on its record (shared mode)
    kPending = 32,      // listed in Recordset::pending
  };

  int64_t record_offset = -1;
  int32_t image = -1;
  uint8_t flags = kPassesFilter;

  static Row Stored(int64_t offset) {
    Row row;
    row.record_offset = offset;
    return row;
  }

  bool flag(Flag f) const { return (flags & f) != 0; }
  void set_flag(Flag f, bool on) { flags = static_cast<uint8_t>(on ? (flags | f) : (flags & ~f)); }
  bool deleted() const { return flag(kDeleted); }
  bool passes_filter() const { return flag(kPassesFilter); }
  bool is_new() const { return flag(kNew); }
  bool selected() const { return flag(kSelected); }
  bool locked() const { return flag(kLocked); }
  bool has_image() const { return image >= 0; }
  bool active() const { return !deleted() && passes_filter(); }
};
static_assert(sizeof(Row) == 16, "a row costs 16 bytes");

}  // namespace zt

#endif  // ZT_RECORDSET_ROW_H_

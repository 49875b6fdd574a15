// Index keys: how a column value of a table becomes a key of the one B-tree
// that serves every key column (engine/index.h).
//
// A key is table name + column name + value, with nothing between them. The
// value is trimmed of blanks and brought to the column's size: right-
// justified (blanks in front) for the numeric types 1, 2 and 3, left-
// justified (blanks behind) for every other type, and cut at the size. The
// whole key is cut to kMaxKeyLength characters. Right-justification makes
// non-negative whole numbers compare in numeric order as text.
//
// Every key of one table+column therefore has the same length,
// min(kMaxKeyLength, |table| + |column| + size); a key that starts with the
// same characters but has another length belongs to some other column whose
// name happens to extend this one ("Id" and "Idx").
#ifndef ZT_ENGINE_INDEX_KEY_H_
#define ZT_ENGINE_INDEX_KEY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/index.h"

namespace zt {

// The key of a (trimmed or untrimmed) value; size is the column's size.
std::string MakeIndexKey(std::string_view table, std::string_view column, std::string_view value,
                         int32_t size, int32_t type);

// Whether a numeric column's trimmed value is a plain non-negative whole
// number: "0", or at most kMaxOrderedDigits digits without a leading zero.
// Right-justified keys of such values sort in numeric order, and distinct
// texts are distinct numbers; a sign, a leading zero, a decimal point, a
// blank inside or anything not a digit breaks that order.
inline constexpr size_t kMaxOrderedDigits = 15;  // exact as a double
bool IsOrderedNumber(std::string_view value);

// Length of every key of this table+column.
size_t IndexKeyLength(std::string_view table, std::string_view column, int32_t size);

// True when key starts with prefix, compared without regard to case.
bool KeyHasPrefix(std::string_view key, std::string_view prefix);

// An index entry (key, record offset) as one item of an external sort
// (engine/external_sort.h): the key's bytes, then the record offset in 8
// bytes (EncodeFixed64). IndexEntryItemLess orders items as the index does:
// keys without regard to case, equal keys by record offset.
inline constexpr size_t kEntryItemRecordWidth = 8;
std::string IndexEntryItem(std::string_view key, int64_t record);
// The same into out (its buffer reused: no allocation per item).
void IndexEntryItemInto(std::string& out, std::string_view key, int64_t record);
std::string_view IndexEntryItemKey(std::string_view item);
int64_t IndexEntryItemRecord(std::string_view item);
bool IndexEntryItemLess(std::string_view a, std::string_view b);

// The most entries the index file can hold as it now stands (19 per page).
// Walks stop after this many steps, so a damaged file whose page links form
// a cycle cannot make them run forever.
int64_t IndexEntryBound(IndexFile& index);

}  // namespace zt

#endif  // ZT_ENGINE_INDEX_KEY_H_

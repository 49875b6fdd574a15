// The plan of an index walk: which entries of one key column a resultset
// generation visits, in which direction, and what each entry (or its
// record) must still show before it becomes a row. PlanIndexWalk makes it
// from the recordset's conditions alone, before any entry is read; the walk
// itself is Recordsets::GenerateByIndex (generate.cc).
//
// Direction: "=", ">", ">=" and "<>" give rows in ascending key order, "<"
// and "<=" in descending order (the operator of the recommended
// condition). The walk starts at the tightest bound the conditions on the
// walked column set on its side and stops behind the tightest on the
// other. A key holds the column's whole trimmed value (unless cut at its
// maximum length), so these conditions are decided from the key; a record
// is read only for a condition on another column, a cut key, or a key
// prefix another column could share (check_records).
//
// Numeric columns compare as numbers, as the scan does. Their keys are
// right-justified text, which sorts like numbers only for plain
// non-negative whole numbers (IsOrderedNumber). When the column's entries
// out of that order are known (KeyOrder), the bounds become whole numbers,
// the walk seeks among the plain keys, and the known entries that pass are
// merged in, in key order (listed). Otherwise the walk covers the whole
// column, tests each key's number, and learns the list as it goes.
#ifndef ZT_RECORDSET_INDEX_WALK_H_
#define ZT_RECORDSET_INDEX_WALK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/index.h"
#include "recordset/recordset.h"

namespace zt {

// One end of the walk's key range: the keys an entry may not pass on that
// side. Unset: the column's keys are unbounded there.
struct KeyBound {
  bool set = false;
  bool strict = false;  // the bound's own key is outside the range
  std::string key;

  // Keeps the tighter of this bound and (key, strict); lower picks the
  // greater key, upper the smaller.
  void Tighten(std::string k, bool s, bool lower);
  // Whether k lies beyond this bound (below a lower, above an upper one).
  bool Excludes(std::string_view k, bool lower) const;
};

// A numeric key column's index entries whose keys are out of numeric
// order, in index order, as they stood when the database's key_order_count
// was stamp.
struct KeyOrder {
  uint64_t stamp = 0;
  bool complete = false;  // out_of_order holds every such entry
  std::vector<std::pair<std::string, int64_t>> out_of_order;  // key, record
};

struct IndexWalkPlan {
  std::string prefix;     // table + column: where every entry of the column begins
  size_t key_length = 0;  // the column's entries' length (a longer column name's differ)
  bool numeric = false;
  bool ascending = true;
  bool check_records = false;  // each entry's record is read and tested
  bool empty_range = false;    // no entry can pass: nothing to walk
  KeyBound lower;
  KeyBound upper;
  // Conditions decided by the entry's value, tested as the scan compares.
  std::vector<const FilterColumn*> key_tests;
  // Non-empty: the name under which the column's out-of-order entries are
  // kept (numeric, whole keys, exclusive mode).
  std::string order_name;
  // The known list is used: the walk seeks among the ordered entries and
  // merges in `listed`, the known ones that pass, in the walk's order.
  bool ordered = false;
  std::vector<std::pair<std::string, int64_t>> listed;

  const KeyBound& near() const { return ascending ? lower : upper; }
  const KeyBound& far() const { return ascending ? upper : lower; }
  // Positions cursor on the walk's first entry; 0 when there is none.
  int Seek(IndexFile& index, IndexCursor& cursor) const;
  // Whether an entry whose value part (the key after the prefix) passes
  // every key test.
  bool PassesKeyTests(std::string_view value_part) const;
};

// The inputs beside the conditions: whether another table or column name
// could share the key prefix, and the known out-of-order list of a numeric
// column by its order name (null: none known, or stale). With
// may_keep_order false (shared mode: other processes' writes go uncounted)
// no list is used or kept.
struct IndexWalkContext {
  bool prefix_ambiguous = false;
  bool may_keep_order = false;
  std::function<const KeyOrder*(const std::string& order_name)> known_order;
};

IndexWalkPlan PlanIndexWalk(const std::string& table, const LookupKey& key,
                            const std::vector<FilterColumn>& filters,
                            const IndexWalkContext& context);

// Whether a numeric key's value part is right-justified and holds a number
// whose key sorts in numeric order (IsOrderedNumber).
bool IsOrderedKeyValue(std::string_view value_part);

}  // namespace zt

#endif  // ZT_RECORDSET_INDEX_WALK_H_

#include "recordset/index_walk.h"

#include <algorithm>
#include <cmath>

#include "engine/codec.h"
#include "engine/definition.h"
#include "engine/index_key.h"

namespace zt {
namespace {

bool Ascending(std::string_view op) { return op == "=" || op == ">" || op == ">=" || op == "<>"; }

// The comparison RecordsetRecordMeetsAllFilterCriteria makes between a
// field (trimmed) and a condition's value: as numbers for numeric columns,
// as text without regard to case otherwise.
int CompareAsScan(std::string_view field, const FilterColumn& condition) {
  if (IsNumericType(condition.column_type)) {
    const double a = TextToDouble(field);
    const double b = condition.number;
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return CompareNoCase(field, condition.value);
}

bool PassesAll(std::string_view value_part, const std::vector<const FilterColumn*>& conditions) {
  const std::string_view field = TrimBlanks(value_part);
  for (const FilterColumn* condition : conditions) {
    if (!ConditionHolds(condition->op, CompareAsScan(field, *condition))) return false;
  }
  return true;
}

// Narrows [lo, hi], whole numbers, to those x for which "x op d" holds;
// "<>" leaves it as it is (the entries are tested one by one).
void NarrowWholeRange(std::string_view op, double d, int64_t& lo, int64_t& hi) {
  const auto whole = [](double v) { return static_cast<int64_t>(v); };
  const double top = static_cast<double>(hi);
  if (op == "=") {
    if (d != std::floor(d) || d < static_cast<double>(lo) || d > top) {
      lo = 1;
      hi = 0;
      return;
    }
    lo = hi = whole(d);
  } else if (op == ">" || op == ">=") {
    const double first = op == ">" ? std::floor(d) + 1 : std::ceil(d);
    if (first > top) {
      lo = 1;
      hi = 0;
    } else if (first > static_cast<double>(lo)) {
      lo = whole(first);
    }
  } else if (op == "<" || op == "<=") {
    const double last = op == "<" ? std::ceil(d) - 1 : std::floor(d);
    if (last < static_cast<double>(lo)) {
      lo = 1;
      hi = 0;
    } else if (last < top) {
      hi = whole(last);
    }
  }
}

}  // namespace

void KeyBound::Tighten(std::string k, bool s, bool lower) {
  if (set) {
    const int cmp = CompareNoCase(k, key);
    if ((lower ? cmp < 0 : cmp > 0) || (cmp == 0 && !s)) return;
  }
  set = true;
  strict = s;
  key = std::move(k);
}

bool KeyBound::Excludes(std::string_view k, bool lower) const {
  if (!set) return false;
  const int cmp = CompareNoCase(k, key);
  return (lower ? cmp < 0 : cmp > 0) || (cmp == 0 && strict);
}

bool IsOrderedKeyValue(std::string_view value_part) {
  return !value_part.empty() && value_part.back() != ' ' && IsOrderedNumber(TrimBlanks(value_part));
}

bool IndexWalkPlan::PassesKeyTests(std::string_view value_part) const {
  return PassesAll(value_part, key_tests);
}

int IndexWalkPlan::Seek(IndexFile& index, IndexCursor& cursor) const {
  if (empty_range) return 0;
  if (ascending) {
    if (!lower.set) return index.IndexSeekGE(prefix, cursor);
    return lower.strict ? index.IndexSeekGT(lower.key, cursor) : index.IndexSeekGE(lower.key, cursor);
  }
  if (!upper.set) {
    // Above every key of the column: the prefix followed by the greatest
    // byte, as far as a key reaches.
    std::string top = prefix;
    top.resize(kMaxKeyLength, '\xff');
    return index.IndexSeekLE(top, cursor);
  }
  return upper.strict ? index.IndexSeekLT(upper.key, cursor) : index.IndexSeekLE(upper.key, cursor);
}

IndexWalkPlan PlanIndexWalk(const std::string& table, const LookupKey& key,
                            const std::vector<FilterColumn>& filters,
                            const IndexWalkContext& context) {
  IndexWalkPlan plan;
  plan.prefix = table + key.column;
  plan.key_length = IndexKeyLength(table, key.column, key.size);
  plan.numeric = IsNumericType(key.type);
  plan.ascending = Ascending(key.op);
  const size_t width = key.size > 0 ? static_cast<size_t>(key.size) : 0;
  const bool whole_keys = plan.key_length == plan.prefix.size() + width;

  // The conditions on the walked column, and whether there are others.
  std::vector<const FilterColumn*> on_column;
  bool other_columns = false;
  for (const FilterColumn& condition : filters) {
    if (!condition.resolved) continue;
    if (EqualNoCase(condition.column, key.column)) {
      on_column.push_back(&condition);
    } else {
      other_columns = true;
    }
  }
  plan.check_records = other_columns || !whole_keys || context.prefix_ambiguous;

  // The known out-of-order entries of a numeric column; the column's type
  // and size are part of its name, so a redefined column is listed afresh.
  if (plan.numeric && whole_keys && context.may_keep_order) {
    plan.order_name = FoldText(plan.prefix);
    plan.order_name += '\0' + std::to_string(key.type) + ':' + std::to_string(key.size);
    const KeyOrder* known = context.known_order ? context.known_order(plan.order_name) : nullptr;
    plan.ordered = known != nullptr && known->complete;
    if (plan.ordered) {
      for (const auto& [listed_key, record] : known->out_of_order) {
        if (listed_key.size() != plan.key_length) continue;
        if (PassesAll(std::string_view(listed_key).substr(plan.prefix.size()), on_column)) {
          plan.listed.emplace_back(listed_key, record);
        }
      }
      if (!plan.ascending) std::reverse(plan.listed.begin(), plan.listed.end());
    }
  }

  // The key range: the tightest bound of every condition on the column on
  // each side.
  auto key_of = [&](std::string_view value) {
    return MakeIndexKey(table, key.column, value, key.size, key.type);
  };
  if (plan.numeric) {
    if (plan.ordered) {
      int64_t lo = 0;
      int64_t hi = 1;
      for (size_t d = 0; d < width && d < kMaxOrderedDigits; ++d) hi *= 10;
      --hi;
      for (const FilterColumn* condition : on_column) {
        NarrowWholeRange(condition->op, TextToDouble(TrimBlanks(condition->value)), lo, hi);
      }
      plan.empty_range = lo > hi;
      plan.lower.Tighten(key_of(std::to_string(lo)), false, true);
      plan.upper.Tighten(key_of(std::to_string(hi)), false, false);
    }
  } else {
    for (const FilterColumn* condition : on_column) {
      const std::string_view op = condition->op;
      if (op == "<>") continue;
      // A value wider than the column, or a cut key, gives only the first
      // characters: the bound then admits its own key whatever the operator.
      const bool exact = whole_keys && TrimBlanks(condition->value).size() <= width;
      const bool strict = exact && (op == "<" || op == ">");
      std::string bound = key_of(condition->value);
      if (op == "=" || op == ">" || op == ">=") plan.lower.Tighten(bound, strict, true);
      if (op == "=" || op == "<" || op == "<=") plan.upper.Tighten(std::move(bound), strict, false);
    }
    if (plan.lower.set && plan.upper.set) {
      const int cmp = CompareNoCase(plan.lower.key, plan.upper.key);
      plan.empty_range = cmp > 0 || (cmp == 0 && (plan.lower.strict || plan.upper.strict));
    }
  }

  // Which conditions the key decides by itself. A numeric column's entry is
  // tested by its number, as the scan would test the record. A text
  // column's range conditions are decided by the range; "<>", a value wider
  // than the column, and (as ever) every condition when there are several
  // are also tested against the field as the scan compares it.
  if (whole_keys) {
    for (const FilterColumn* condition : on_column) {
      if (plan.numeric || condition->op == "<>" || filters.size() >= 2 ||
          TrimBlanks(condition->value).size() > width) {
        plan.key_tests.push_back(condition);
      }
    }
  }
  return plan;
}

}  // namespace zt

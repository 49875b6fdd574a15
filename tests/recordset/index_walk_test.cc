// The index walk's plan, made from conditions alone: the range it walks,
// its direction, and what it leaves to the key tests or the records. The
// walk's rows are checked against the scan elsewhere (index_scan_test);
// these cases pin the decisions that make a walk short or make it read
// records, where a wrong one costs either rows or time.
#include <gtest/gtest.h>

#include "engine/codec.h"
#include "engine/index_key.h"
#include "recordset/index_walk.h"

namespace zt {
namespace {

constexpr int32_t kText = 0;
constexpr int32_t kInteger = 1;

FilterColumn Condition(const std::string& column, const std::string& op, const std::string& value,
                       int32_t type = kText) {
  FilterColumn condition;
  condition.resolved = 1;
  condition.column = column;
  condition.op = op;
  condition.value = value;
  condition.column_type = type;
  condition.number = TextToDouble(value);
  return condition;
}

LookupKey Key(const std::string& column, const std::string& op, int32_t type, int32_t size) {
  LookupKey key;
  key.use_key = 1;
  key.column = column;
  key.op = op;
  key.type = type;
  key.size = size;
  return key;
}

TEST(IndexWalkPlanTest, RangeDirectionAndChecks) {
  struct Case {
    const char* name;
    std::vector<FilterColumn> filters;
    const char* key_op;
    bool ascending;
    bool lower_set, lower_strict, upper_set, upper_strict;
    bool empty_range;
    bool check_records;
    size_t key_tests;
  };
  const std::vector<Case> cases = {
      {"equal gives both ends, inclusive", {Condition("NAME", "=", "Smith")}, "=", true,
       true, false, true, false, false, false, 0},
      {"greater is strict below, open above", {Condition("NAME", ">", "M")}, ">", true,
       true, true, false, false, false, false, 0},
      {"less walks downwards", {Condition("NAME", "<", "M")}, "<", false,
       false, false, true, true, false, false, 0},
      {"not-equal bounds nothing and is tested on the key", {Condition("NAME", "<>", "M")}, "<>",
       true, false, false, false, false, false, false, 1},
      {"a value wider than the column bounds inclusively and is tested",
       {Condition("NAME", ">", std::string(12, 'Z'))}, ">", true,
       true, false, false, false, false, false, 1},
      {"crossed bounds walk nothing",
       {Condition("NAME", ">", "T"), Condition("NAME", "<", "B")}, ">", true,
       true, true, true, true, true, false, 2},
      {"touching strict bounds walk nothing",
       {Condition("NAME", ">=", "K"), Condition("NAME", "<", "K")}, ">=", true,
       true, false, true, true, true, false, 2},
      {"a condition on another column reads the records",
       {Condition("NAME", "=", "Smith"), Condition("CITY", "=", "Leeds")}, "=", true,
       true, false, true, false, false, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const IndexWalkPlan plan =
        PlanIndexWalk("PEOPLE", Key("NAME", c.key_op, kText, 10), c.filters, IndexWalkContext{});
    EXPECT_EQ(plan.ascending, c.ascending);
    EXPECT_EQ(plan.lower.set, c.lower_set);
    EXPECT_EQ(plan.upper.set, c.upper_set);
    if (c.lower_set) {
      EXPECT_EQ(plan.lower.strict, c.lower_strict);
    }
    if (c.upper_set) {
      EXPECT_EQ(plan.upper.strict, c.upper_strict);
    }
    EXPECT_EQ(plan.empty_range, c.empty_range);
    EXPECT_EQ(plan.check_records, c.check_records);
    EXPECT_EQ(plan.key_tests.size(), c.key_tests);
  }
}

TEST(IndexWalkPlanTest, AmbiguousPrefixReadsTheRecords) {
  IndexWalkContext context;
  context.prefix_ambiguous = true;
  const IndexWalkPlan plan = PlanIndexWalk("PEOPLE", Key("NAME", "=", kText, 10),
                                           {Condition("NAME", "=", "Smith")}, context);
  EXPECT_TRUE(plan.check_records);
}

TEST(IndexWalkPlanTest, NumericColumnUsesTheKnownOutOfOrderEntries) {
  const std::vector<FilterColumn> filters = {Condition("ID", ">", "5", kInteger),
                                             Condition("ID", "<=", "20", kInteger)};
  const LookupKey key = Key("ID", ">", kInteger, 6);
  // Nothing known: the whole column is walked and each key tested by its
  // number; the walk may learn the list (an order name is given).
  IndexWalkContext unknown;
  unknown.may_keep_order = true;
  const IndexWalkPlan learning = PlanIndexWalk("ORDERS", key, filters, unknown);
  EXPECT_FALSE(learning.ordered);
  EXPECT_FALSE(learning.lower.set);
  EXPECT_FALSE(learning.upper.set);
  EXPECT_FALSE(learning.order_name.empty());
  EXPECT_EQ(learning.key_tests.size(), 2u);

  // Known: whole-number bounds 6..20 and the listed entries that pass.
  KeyOrder known;
  known.complete = true;
  for (const char* value : {"-3", "7.5", "30.5"}) {
    known.out_of_order.emplace_back(MakeIndexKey("ORDERS", "ID", value, 6, kInteger), 1);
  }
  IndexWalkContext context;
  context.may_keep_order = true;
  context.known_order = [&](const std::string& name) {
    return name == learning.order_name ? &known : nullptr;
  };
  const IndexWalkPlan plan = PlanIndexWalk("ORDERS", key, filters, context);
  EXPECT_TRUE(plan.ordered);
  EXPECT_EQ(plan.lower.key, MakeIndexKey("ORDERS", "ID", "6", 6, kInteger));
  EXPECT_EQ(plan.upper.key, MakeIndexKey("ORDERS", "ID", "20", 6, kInteger));
  ASSERT_EQ(plan.listed.size(), 1u);
  EXPECT_EQ(plan.listed[0].first, MakeIndexKey("ORDERS", "ID", "7.5", 6, kInteger));

  // Shared mode keeps and uses nothing.
  const IndexWalkPlan shared = PlanIndexWalk("ORDERS", key, filters, IndexWalkContext{});
  EXPECT_TRUE(shared.order_name.empty());
  EXPECT_FALSE(shared.ordered);
}

}  // namespace
}  // namespace zt

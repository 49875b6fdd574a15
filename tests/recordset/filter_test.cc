// Filter conditions: adding, resolving, testing records, RecordsetFilterOn
// and the key-population test.
#include <functional>

#include "recordset/recordset.h"
#include "recordset_fixture.h"

namespace zt::testing {
namespace {

using Names = std::vector<std::string>;
using FilterTest = RecordsetFixture;

FilterColumn Condition(const std::string& column, const std::string& op, const std::string& value) {
  FilterColumn condition;
  condition.column = column;
  condition.op = op;
  condition.value = value;
  return condition;
}

TEST_F(FilterTest, AddFilterColumnValidatesItsArguments) {
  struct Case {
    const char* column;
    const char* op;
    const char* value;
    const char* error;  // nullptr: accepted
  };
  const std::string long_value(258, 'v');
  const std::string longest_value(257, 'v');
  const Case cases[] = {
      {"Id", " >= ", "1", nullptr},
      {"Id", "<>", "1", nullptr},
      {"Id", "=", longest_value.c_str(), nullptr},
      {nullptr, "=", "1", "RecordsetAddFilterColumn: Column name cannot be null"},
      {"", "=", "1", "RecordsetAddFilterColumn: Column name cannot be null"},
      {"Id", "=", nullptr, "RecordsetAddFilterColumn: Column value cannot be null"},
      {"Id", "=", "", "RecordsetAddFilterColumn: Column value cannot be null"},
      {"Id", "=>", "1",
       "RecordsetAddFilterColumn: Invalid comparison operator - valid operators are "
       "[=,<,<=,>,>=,<>]"},
      {"Id", "==", "1",
       "RecordsetAddFilterColumn: Invalid comparison operator - valid operators are "
       "[=,<,<=,>,>=,<>]"},
      {"Id", nullptr, "1",
       "RecordsetAddFilterColumn: Invalid comparison operator - valid operators are "
       "[=,<,<=,>,>=,<>]"},
      {"Id", "=", long_value.c_str(),
       "RecordsetAddFilterColumn: Column value exceeds maximum length allowed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error == nullptr ? "accepted" : c.error);
    const int result = rs_->RecordsetAddFilterColumn(handle_, c.column, c.op, c.value, 1, 0);
    EXPECT_EQ(result, c.error == nullptr ? 1 : 0);
    if (c.error != nullptr) {
      EXPECT_EQ(RecordsetError(), c.error);
    }
  }
}

TEST_F(FilterTest, ConditionsAreBoundedPerRecordset) {
  for (size_t i = 0; i < kMaxFilterColumns; ++i) {
    ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", ">", "1", 1, 0), 1);
  }
  EXPECT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", ">", "1", 1, 0), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetAddFilterColumn: Too many filter columns");
  rs_->RecordsetClearFilters(handle_);
  EXPECT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", ">", "1", 1, 0), 1);
}

// The trimmed operator is what the walk uses: " >= " behaves as ">=".
TEST_F(FilterTest, TrimmedOperatorTakesEffect) {
  for (int id : {1, 2, 3}) AddPerson(id, "x");
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "  Id  ", " >= ", "2", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"2", "3"}));
}

TEST_F(FilterTest, PreProcessResolvesColumnsAndPrefersOperators) {
  TableDefinition definition;
  int64_t definition_offset = 0;
  LookupKey key;
  struct Case {
    std::vector<FilterColumn> filters;
    int use_key;
    const char* column;
    const char* op;
    const char* value;
  };
  const Case cases[] = {
      {{}, 0, "", "", ""},
      // Non-key conditions only: the first key column with an empty value.
      {{Condition("Age", ">", "30")}, 1, "Id", "=", ""},
      // "=" beats ">=" beats ... beats "<>", whatever the order added.
      {{Condition("Id", "<>", "1"), Condition("id", "<", "9")}, 1, "id", "<", "9"},
      {{Condition("Id", "<=", "5"), Condition("ID", "=", "4")}, 1, "ID", "=", "4"},
      {{Condition("Age", "=", "3"), Condition("Id", ">", "7")}, 1, "Id", ">", "7"},
  };
  for (const Case& c : cases) {
    std::vector<FilterColumn> filters = c.filters;
    ASSERT_EQ(rs_->RecordsetPreProcessFilterColumns("People", filters, key, definition,
                                                    definition_offset),
              1);
    EXPECT_EQ(key.use_key, c.use_key);
    EXPECT_EQ(key.column, c.column);
    EXPECT_EQ(key.op, c.op);
    EXPECT_EQ(key.value, c.value);
    for (const FilterColumn& condition : filters) EXPECT_EQ(condition.resolved, 1);
  }
  EXPECT_EQ(definition_offset, 8906 + 12441);

  std::vector<FilterColumn> filters = {Condition("Qty", "=", "1")};
  ASSERT_EQ(
      rs_->RecordsetPreProcessFilterColumns("People", filters, key, definition, definition_offset),
      1);
  EXPECT_EQ(filters[0].column_offset, 18);
  EXPECT_EQ(filters[0].column_size, 4);
  EXPECT_EQ(filters[0].column_type, 2);
  EXPECT_EQ(filters[0].key, 0);

  filters = {Condition("Age", "=", "1"), Condition("Missing", "=", "1")};
  EXPECT_EQ(
      rs_->RecordsetPreProcessFilterColumns("People", filters, key, definition, definition_offset),
      0);
  EXPECT_EQ(rs_->RecordsetPreProcessFilterColumns(std::string(33, 'x').c_str(), filters, key,
                                                  definition, definition_offset),
            0);
}

TEST_F(FilterTest, RecordTestComparesByColumnType) {
  // People: Id 0..4, Name 5..14, Age 15..17, Qty 18..21.
  const std::string record = "   42ABC        30 007";
  struct Case {
    const char* column;
    const char* op;
    const char* value;
    int holds;
  };
  const Case cases[] = {
      {"Qty", "=", "7", 1},    {"Qty", "=", "7.0", 1},  {"Qty", "<", "10", 1},
      {"Qty", ">", "10", 0},   {"Age", ">=", "30", 1},  {"Age", ">", "30", 0},
      {"Age", "<>", "30", 0},  {"Age", "<=", "29", 0},  {"Name", "=", "abc", 1},
      {"Name", "<", "abd", 1}, {"Name", ">", "ABC", 0}, {"Name", "<>", "abc", 0},
      {"Id", "=", "42", 1},    {"Id", ">", "5", 1},
  };
  TableDefinition definition;
  int64_t definition_offset = 0;
  LookupKey key;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + c.op + c.value);
    std::vector<FilterColumn> filters = {Condition(c.column, c.op, c.value)};
    ASSERT_EQ(rs_->RecordsetPreProcessFilterColumns("People", filters, key, definition,
                                                    definition_offset),
              1);
    EXPECT_EQ(rs_->RecordsetRecordMeetsAllFilterCriteria(filters, record), c.holds);
    // A record too short to hold the column passes the condition over.
    EXPECT_EQ(rs_->RecordsetRecordMeetsAllFilterCriteria(filters, record.substr(0, 5)),
              std::string(c.column) == "Id" ? c.holds : 1);
  }
  // Unresolved conditions are passed over; all must hold together.
  std::vector<FilterColumn> filters = {Condition("Qty", "=", "9")};
  EXPECT_EQ(rs_->RecordsetRecordMeetsAllFilterCriteria(filters, record), 1);
  EXPECT_EQ(rs_->RecordsetRecordMeetsAllFilterCriteria(filters, std::string_view()), 0);
}

TEST_F(FilterTest, FilterOnMarksRowsByOneColumn) {
  AddPerson(1, "Ann");
  AddPerson(2, "ann");
  AddPerson(3, "Bob");
  AddPerson(4, "Ann");
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  SetRowFlag(4, Row::kDeleted, true);
  auto filtered = [&] {
    int32_t count = -1;
    EXPECT_EQ(rs_->RecordsetGetFilteredCount(handle_, count), 1);
    return count;
  };
  auto flags = [&] {
    const Recordset& recordset = *rs_->Find(handle_);
    std::string out;
    for (int32_t r = 1; r <= recordset.row_count; ++r) {
      out += recordset.row(r).passes_filter() ? 'Y' : 'N';
    }
    return out;
  };

  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, " name ", " ANN "), 1);
  EXPECT_EQ(flags(), "YYNN");  // the row marked for deletion is filtered out
  EXPECT_EQ(filtered(), 2);
  EXPECT_EQ(Rows("Id"), (Names{"1", "2"}));

  // An empty column changes no row.
  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, "", ""), 1);
  EXPECT_EQ(flags(), "YYNN");

  // An empty value lets every row pass, the deleted one included.
  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, "Name", ""), 1);
  EXPECT_EQ(flags(), "YYYY");
  EXPECT_EQ(filtered(), 4);

  // Unknown columns fail without a text of their own.
  const std::string before = RecordsetError();
  EXPECT_EQ(rs_->RecordsetFilterOn(handle_, "Nope", "x"), 0);
  EXPECT_EQ(RecordsetError(), before);
}

TEST_F(FilterTest, FilterOnReadsPendingImages) {
  AddPerson(1, "Ann");
  AddPerson(2, "Bob");
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  // Row 2 has a pending image that renames Bob to Ann.
  TransactionContext context;
  ASSERT_EQ(rs_->RecordsetMoveNext(handle_), 1);
  ASSERT_EQ(rs_->RecordsetSetFieldValue(context, handle_, "Name", "Ann"), 1);
  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, "Name", "ann"), 1);
  int32_t count = -1;
  ASSERT_EQ(rs_->RecordsetGetFilteredCount(handle_, count), 1);
  EXPECT_EQ(count, 2);
}

TEST_F(FilterTest, AreAllKeysPopulated) {
  std::string err;
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("People", "    1Ann", &err), 1);
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("People", "     Ann", &err), 0);
  EXPECT_EQ(err, "RecordsetAreAllKeysPopulated: Id cannot be NULL");
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("People", "  1", &err), 0);  // shorter than Id
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated(nullptr, "x", &err), 0);
  EXPECT_EQ(err, "RecordsetAreAllKeysPopulated: Invalid table name!");
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("People", std::string_view(), &err), 0);
  EXPECT_EQ(err, "RecordsetAreAllKeysPopulated: Invalid Record!");
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("Nobody", "x", &err), 0);
  EXPECT_EQ(err, "RecordsetAreAllKeysPopulated: Could not read table definition");
  EXPECT_EQ(db_->RecordsetAreAllKeysPopulated("People", "    1", nullptr), 0);
}

}  // namespace
}  // namespace zt::testing

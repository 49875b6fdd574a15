#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/file.h"
#include "engine/transaction.h"
#include "recordset/people_fixture.h"

namespace zt::testing {
namespace {

// Every temporary file of the test (resultset files, sort indexes) goes to a
// folder of its own, so that the test can see what is left behind.
class FindSortTest : public PeopleTest {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TMPDIR");
    if (previous != nullptr) previous_tmpdir_ = previous;
    temp_ = folder_.File("tmp");
    ASSERT_TRUE(MakeFolder(temp_));
    setenv("TMPDIR", temp_.c_str(), 1);
    PeopleTest::SetUp();
  }
  void TearDown() override {
    if (previous_tmpdir_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", previous_tmpdir_.c_str(), 1);
    }
  }
  std::vector<std::string> SortIndexesLeft() {
    std::vector<std::string> left = ListFolder(temp_, ".tix");
    for (const std::string& name : ListFolder(".", ".tix")) left.push_back("./" + name);
    return left;
  }

  std::string temp_;
  std::string previous_tmpdir_;
};

using Names = std::vector<std::string>;

TEST_F(FindSortTest, NumericColumnSortsByNumberWithTheEmptyValueFirst) {
  Add("", "7");
  Add("", "12");
  Add("", "");
  Add("", "3");
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetMoveLast(h));
  ASSERT_TRUE(rs_->RecordsetSort(h, "num", 1));
  EXPECT_EQ(Current(h), 1);
  EXPECT_EQ(Rows(h), (Names{"#", "#3", "#7", "#12"}));
  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 0));
  EXPECT_EQ(Rows(h), (Names{"#12", "#7", "#3", "#"}));
}

TEST_F(FindSortTest, TextColumnSortsWithoutRegardToCase) {
  AddAll({"bob", "Alice", "carl", "ALBERT"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetSort(h, "NAME", 1));
  EXPECT_EQ(Rows(h), (Names{"ALBERT", "Alice", "bob", "carl"}));
}

TEST_F(FindSortTest, TiesKeepTheirOrderAscendingAndReverseItDescending) {
  Add("a", "5");
  Add("b", "5");
  Add("c", "3");
  Add("d", "5");
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 1));
  EXPECT_EQ(Rows(h), (Names{"c", "a", "b", "d"}));
  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 0));
  EXPECT_EQ(Rows(h), (Names{"d", "b", "a", "c"}));
  // Ties follow the order the rows stand in now, not the storage order.
  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 1));
  EXPECT_EQ(Rows(h), (Names{"c", "d", "b", "a"}));
}

// Enough rows that the temporary index splits pages many times, with long
// runs of equal values crossing page boundaries: every row must come back
// once, in (value, previous position) order.
TEST_F(FindSortTest, ManyDuplicatesAreAllKeptInStableOrder) {
  constexpr int kRows = 1100;  // more than two write batches of the sort
  for (int i = 0; i < kRows; ++i) Add("r" + std::to_string(i), std::to_string(i % 7));
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 1));
  Names expected;
  for (int v = 0; v < 7; ++v) {
    for (int i = v; i < kRows; i += 7) expected.push_back("r" + std::to_string(i));
  }
  EXPECT_EQ(Rows(h), expected);

  ASSERT_TRUE(rs_->RecordsetSort(h, "Num", 0));
  const Names reversed(expected.rbegin(), expected.rend());
  EXPECT_EQ(Rows(h), reversed);
}

TEST_F(FindSortTest, RowsKeepTheirFlagsAndTheCountsStay) {
  AddAll({"d", "c", "b", "a"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 1));  // d
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 3));  // b
  ASSERT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  EXPECT_EQ(Rows(h), (Names{"a", "b", "c", "d"}));
  EXPECT_EQ(rs_->RecordsetIsRowSelected(h, 1), 0);
  EXPECT_EQ(rs_->RecordsetIsRowSelected(h, 2), 1);
  EXPECT_EQ(rs_->RecordsetIsRowSelected(h, 3), 0);
  EXPECT_EQ(rs_->RecordsetIsRowSelected(h, 4), 1);
  int32_t count = 0;
  ASSERT_TRUE(rs_->RecordsetGetSelectedRowCount(h, count));
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(rs_->RecordsetGetRowCount(h, count));
  EXPECT_EQ(count, 4);
}

TEST_F(FindSortTest, FilteredOutRowsAreSortedAlongAndStayFilteredOut) {
  Add("b", "1");
  Add("a", "2");
  Add("c", "1");
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFilterOn(h, "Num", "1"));
  ASSERT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  EXPECT_EQ(Rows(h), (Names{"-", "b", "c"}));
  int32_t filtered = 0;
  ASSERT_TRUE(rs_->RecordsetGetFilteredCount(h, filtered));
  EXPECT_EQ(filtered, 2);
}

TEST_F(FindSortTest, SortFailuresAndTheirTexts) {
  AddAll({"a", "b"});
  const int32_t h = Open();
  EXPECT_FALSE(rs_->RecordsetSort(h, "Nope", 1));
  EXPECT_EQ(Error(h), "RecordsetSort: Invalid column name: Nope");
  // A dropped column cannot be sorted by.
  EXPECT_FALSE(rs_->RecordsetSort(h, "Gone", 1));
  EXPECT_EQ(Error(h), "RecordsetSort: Invalid column name: Gone");
  EXPECT_FALSE(rs_->RecordsetSort(h, nullptr, 1));
  EXPECT_FALSE(rs_->RecordsetSort(h + 7, "Name", 1));

  int32_t closed = 0;
  ASSERT_TRUE(rs_->CreateRecordset(closed));
  EXPECT_FALSE(rs_->RecordsetSort(closed, "Name", 1));
  EXPECT_EQ(Error(closed), "RecordsetSort: Recordset not open");
  EXPECT_FALSE(rs_->RecordsetFindRow(closed, "Name", "a"));
  EXPECT_EQ(Error(closed), "RecordsetFindRow: Recordset not open");
  EXPECT_TRUE(SortIndexesLeft().empty());
}

TEST_F(FindSortTest, SortingNoRowsSucceedsAndChangesNothing) {
  const int32_t h = Open();
  EXPECT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  int32_t count = -1;
  ASSERT_TRUE(rs_->RecordsetGetRowCount(h, count));
  EXPECT_EQ(count, 0);
}

// Sorting happens in memory: nothing is left in (or written to) the
// temporary folder.
TEST_F(FindSortTest, SortingWritesNoFiles) {
  AddAll({"b", "a"});
  const int32_t h = Open();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(rs_->RecordsetSort(h, "Name", i % 2));
  EXPECT_TRUE(ListFolder(temp_, "").empty());
  ASSERT_TRUE(rs_->RecordsetClose(h));
  EXPECT_TRUE(ListFolder(temp_, "").empty());
}

// A sort that does not fit the memory budget fails with a message and
// leaves the rows in their order.
TEST_F(FindSortTest, ASortOverTheBudgetLeavesTheRowsAsTheyWere) {
  AddAll({"c", "b", "a"});
  const int32_t h = Open();
  rs_->set_memory_limit(rs_->budget().used());
  EXPECT_FALSE(rs_->RecordsetSort(h, "Name", 1));
  EXPECT_EQ(Error(h), "RecordsetSort: Not enough resultset memory (ResultsetMemory limit reached)");
  EXPECT_EQ(Rows(h), (Names{"c", "b", "a"}));
  rs_->set_memory_limit(kDefaultResultsetMemory);
  EXPECT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  EXPECT_EQ(Rows(h), (Names{"a", "b", "c"}));
}

TEST_F(FindSortTest, FindTakesTheFirstMatchInAscendingOrder) {
  AddAll({"Smith", "Jones", "smaller", "Smythe"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "sm"));
  EXPECT_EQ(Rows(h), (Names{"Jones", "smaller", "Smith", "Smythe"}));
  EXPECT_EQ(Current(h), 2);  // smaller

  struct Case {
    const char* value;
    int32_t row;
  };
  for (const Case& c : {Case{"SMI", 3}, Case{"smythe", 4}, Case{"", 1}, Case{"j", 1}}) {
    SCOPED_TRACE(c.value);
    EXPECT_TRUE(rs_->RecordsetFindRow(h, "name", c.value));
    EXPECT_EQ(Current(h), c.row);
  }
}

TEST_F(FindSortTest, NoMatchLeavesTheCurrentRowAndSaysSo) {
  AddAll({"Smith", "Jones"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "Smith"));
  // A value longer than the column's value cannot match it.
  for (const char* value : {"x", "Smithson"}) {
    EXPECT_FALSE(rs_->RecordsetFindRow(h, "Name", value));
    EXPECT_EQ(Error(h), "No match Found");
    EXPECT_EQ(Current(h), 2);
  }
  EXPECT_FALSE(rs_->RecordsetFindRow(h, "Gone", "x"));
  EXPECT_EQ(Error(h), "RecordsetFindRow: Invalid column name: Gone");
  EXPECT_FALSE(rs_->RecordsetFindRow(h, "Name", nullptr));
}

TEST_F(FindSortTest, FindSortsOnlyWhenNotAlreadySortedByTheColumn) {
  AddAll({"b", "Smith", "smaller", "a"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetSort(h, "Name", 0));
  ASSERT_EQ(Rows(h), (Names{"Smith", "smaller", "b", "a"}));
  // Already sorted by Name (descending): the find scans that order and
  // meets Smith before smaller.
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "NAME", "sm"));
  EXPECT_EQ(Rows(h), (Names{"Smith", "smaller", "b", "a"}));
  EXPECT_EQ(Current(h), 1);
  // Sorted by another column: the find sorts by Name ascending first.
  ASSERT_TRUE(rs_->RecordsetSort(h, "Id", 0));
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "smi"));
  EXPECT_EQ(Rows(h), (Names{"a", "b", "smaller", "Smith"}));
  EXPECT_EQ(Current(h), 4);
}

TEST_F(FindSortTest, FindPassesOverFilteredOutRows) {
  Add("Smith", "1");
  Add("Smart", "2");
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFilterOn(h, "Num", "1"));
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "Sm"));
  EXPECT_EQ(Rows(h), (Names{"-", "Smith"}));
  EXPECT_EQ(Current(h), 2);
}

// Rows that exist only as new rows never edited have no value to be sorted
// by: they leave the resultset (with their selection). Edited rows, new or
// stored, are sorted by their pending values.
TEST_F(FindSortTest, SortUsesPendingValuesAndDropsRowsWithoutData) {
  AddAll({"c", "a", "d"});
  const int32_t h = Open();
  TransactionContext context;
  ASSERT_TRUE(rs_->RecordsetSetBookmark(h, 3));
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Name", "0d-edited"));
  ASSERT_TRUE(rs_->RecordsetAddRow(context, h));  // row 4: never edited
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 4));
  ASSERT_TRUE(rs_->RecordsetAddRow(context, h));  // row 5
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Name", "b"));
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Id", "9"));
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Code", "x"));

  ASSERT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  EXPECT_EQ(Current(h), 1);
  EXPECT_EQ(Rows(h), (Names{"0d-edited", "a", "b", "c"}));
  int32_t selected = -1;
  ASSERT_TRUE(rs_->RecordsetGetSelectedRowCount(h, selected));
  EXPECT_EQ(selected, 0);
  // The pending rows are still pending and are stored by an update.
  ASSERT_TRUE(rs_->RecordsetUpdate(context, h));
  const int32_t again = Open();
  ASSERT_TRUE(rs_->RecordsetSort(again, "Name", 1));
  EXPECT_EQ(Rows(again), (Names{"0d-edited", "a", "b", "c"}));
}

TEST_F(FindSortTest, RowsThatAllLackDataLeaveTheResultsetAsItWas) {
  const int32_t h = Open();
  TransactionContext context;
  ASSERT_TRUE(rs_->RecordsetAddRow(context, h));
  ASSERT_TRUE(rs_->RecordsetAddRow(context, h));
  EXPECT_TRUE(rs_->RecordsetSort(h, "Name", 1));
  int32_t count = 0;
  ASSERT_TRUE(rs_->RecordsetGetRowCount(h, count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(Current(h), 2);
}

TEST_F(FindSortTest, FindSortsAgainAfterARowWasAdded) {
  AddAll({"Smith", "b"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "b"));
  ASSERT_EQ(Rows(h), (Names{"b", "Smith"}));
  TransactionContext context;
  ASSERT_TRUE(rs_->RecordsetAddRow(context, h));
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Name", "smaller"));
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "sm"));
  EXPECT_EQ(Rows(h), (Names{"b", "smaller", "Smith"}));
  EXPECT_EQ(Current(h), 2);
}

// Changing the value of the sort column clears the known order, so the next
// find sorts again and sees the new value in its place.
TEST_F(FindSortTest, FindSortsAgainAfterTheSortColumnWasEdited) {
  AddAll({"a", "b", "c"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "a"));
  TransactionContext context;
  ASSERT_TRUE(rs_->RecordsetSetFieldValue(context, h, "Name", "z"));
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "c"));
  EXPECT_EQ(Rows(h), (Names{"b", "c", "z"}));
  EXPECT_EQ(Current(h), 2);
}

TEST_F(FindSortTest, FindPassesOverRowsMarkedForDeletion) {
  AddAll({"Smith", "Smart"});
  const int32_t h = Open();
  ASSERT_TRUE(rs_->RecordsetFindRow(h, "Name", "Sma"));
  TransactionContext context;
  int moved = 0;
  ASSERT_TRUE(rs_->RecordsetDeleteCurrentRow(context, h, moved));
  EXPECT_FALSE(rs_->RecordsetFindRow(h, "Name", "Sma"));
  EXPECT_EQ(Error(h), "No match Found");
  EXPECT_TRUE(rs_->RecordsetFindRow(h, "Name", "Sm"));
  EXPECT_EQ(Current(h), 2);
}

}  // namespace
}  // namespace zt::testing

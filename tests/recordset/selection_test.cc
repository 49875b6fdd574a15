#include <gtest/gtest.h>

#include "recordset/people_fixture.h"

namespace zt::testing {
namespace {

class SelectionTest : public PeopleTest {
 protected:
  // An open recordset of five rows a .. e.
  int32_t OpenFive() {
    AddAll({"a", "b", "c", "d", "e"});
    return Open();
  }
  int32_t SelectedCount(int32_t handle) {
    int32_t count = -1;
    EXPECT_TRUE(rs_->RecordsetGetSelectedRowCount(handle, count));
    return count;
  }
};

TEST_F(SelectionTest, SelectingAndDeselectingTwiceCountsOnce) {
  const int32_t h = OpenFive();
  EXPECT_TRUE(rs_->RecordsetSelectRow(h, 3));
  EXPECT_TRUE(rs_->RecordsetSelectRow(h, 3));
  EXPECT_EQ(SelectedCount(h), 1);
  EXPECT_TRUE(rs_->RecordsetIsRowSelected(h, 3));
  EXPECT_FALSE(rs_->RecordsetIsRowSelected(h, 2));

  EXPECT_TRUE(rs_->RecordsetDeselectRow(h, 3));
  EXPECT_TRUE(rs_->RecordsetDeselectRow(h, 3));
  EXPECT_EQ(SelectedCount(h), 0);
  EXPECT_FALSE(rs_->RecordsetIsRowSelected(h, 3));
}

TEST_F(SelectionTest, RangeAddsOnlyTheRowsNotYetSelected) {
  const int32_t h = OpenFive();
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 3));
  EXPECT_TRUE(rs_->RecordsetSelectRowsRange(h, 2, 4));
  EXPECT_EQ(SelectedCount(h), 3);
  for (int32_t r = 1; r <= 5; ++r)
    EXPECT_EQ(rs_->RecordsetIsRowSelected(h, r), r >= 2 && r <= 4) << r;

  EXPECT_TRUE(rs_->RecordsetDeselectRowsRange(h, 3, 5));
  EXPECT_EQ(SelectedCount(h), 1);
  EXPECT_TRUE(rs_->RecordsetSelectAll(h));
  EXPECT_EQ(SelectedCount(h), 5);
  EXPECT_TRUE(rs_->RecordsetDeselectAll(h));
  EXPECT_EQ(SelectedCount(h), 0);
}

TEST_F(SelectionTest, BadRowsAndRangesFailWithTheirTexts) {
  const int32_t h = OpenFive();
  struct Case {
    int32_t first, last;
  };
  for (const Case& c : {Case{4, 2}, Case{0, 2}, Case{2, 6}, Case{-1, 3}}) {
    SCOPED_TRACE(::testing::Message() << c.first << ".." << c.last);
    EXPECT_FALSE(rs_->RecordsetSelectRowsRange(h, c.first, c.last));
    EXPECT_EQ(Error(h), "Invalid Row Range!");
    EXPECT_FALSE(rs_->RecordsetDeselectRowsRange(h, c.first, c.last));
    EXPECT_EQ(Error(h), "Invalid Row Range!");
  }
  for (int32_t row : {0, -1, 6}) {
    SCOPED_TRACE(row);
    EXPECT_FALSE(rs_->RecordsetSelectRow(h, row));
    EXPECT_EQ(Error(h), "RecordsetSelectRow: Invalid Row!");
    EXPECT_FALSE(rs_->RecordsetDeselectRow(h, row));
    EXPECT_EQ(Error(h), "RecordsetDeselectRow: Invalid Row!");
    EXPECT_FALSE(rs_->RecordsetIsRowSelected(h, row));
    EXPECT_EQ(Error(h), "RecordsetIsRowSelected: Invalid Row!");
  }
  EXPECT_EQ(SelectedCount(h), 0);
}

TEST_F(SelectionTest, SelectAllOnNoRowsFails) {
  const int32_t h = Open();  // the table is empty
  EXPECT_FALSE(rs_->RecordsetSelectAll(h));
  EXPECT_EQ(Error(h), "Invalid Row Range!");
  EXPECT_FALSE(rs_->RecordsetDeselectAll(h));
  EXPECT_EQ(Error(h), "Invalid Row Range!");
}

TEST_F(SelectionTest, UnknownHandleAndUnopenedRecordset) {
  OpenFive();
  EXPECT_FALSE(rs_->RecordsetSelectRow(99, 1));
  EXPECT_FALSE(rs_->RecordsetSelectAll(99));
  EXPECT_FALSE(rs_->RecordsetMoveToFirstSelectedRow(99));

  int32_t h = 0;
  ASSERT_TRUE(rs_->CreateRecordset(h));
  EXPECT_FALSE(rs_->RecordsetSelectRow(h, 1));
  EXPECT_EQ(Error(h), "RecordsetSelectRow: Invalid Row!");
  EXPECT_FALSE(rs_->RecordsetMoveToLastSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToLastSelectedRow: Recordset not open");
}

TEST_F(SelectionTest, MovesVisitSelectedActiveRowsOnly) {
  const int32_t h = OpenFive();
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 2));
  ASSERT_TRUE(rs_->RecordsetSelectRow(h, 4));

  EXPECT_TRUE(rs_->RecordsetMoveToFirstSelectedRow(h));
  EXPECT_EQ(Current(h), 2);
  EXPECT_TRUE(rs_->RecordsetMoveToNextSelectedRow(h));
  EXPECT_EQ(Current(h), 4);
  EXPECT_FALSE(rs_->RecordsetMoveToNextSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToNextSelectedRow: No more selected records found");
  EXPECT_EQ(Current(h), 4);
  EXPECT_TRUE(rs_->RecordsetMoveToPrevSelectedRow(h));
  EXPECT_EQ(Current(h), 2);
  EXPECT_FALSE(rs_->RecordsetMoveToPrevSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToPrevSelectedRow: No more selected records found");
  EXPECT_TRUE(rs_->RecordsetMoveToLastSelectedRow(h));
  EXPECT_EQ(Current(h), 4);

  ASSERT_TRUE(rs_->RecordsetSetBookmark(h, 1));
  EXPECT_FALSE(rs_->RecordsetMoveToPrevSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToPrevSelectedRow: No more selected records found");
}

TEST_F(SelectionTest, NothingSelectedGivesEachMoveItsText) {
  const int32_t h = OpenFive();
  EXPECT_FALSE(rs_->RecordsetMoveToFirstSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToFirstSelectedRow: Recordset contains zero selected records");
  EXPECT_FALSE(rs_->RecordsetMoveToLastSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToLastSelectedRow: No selected records found");
  EXPECT_EQ(Current(h), 1);
}

TEST_F(SelectionTest, MovesOnAnEmptyRecordsetFail) {
  const int32_t h = Open();
  EXPECT_FALSE(rs_->RecordsetMoveToFirstSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToFirstSelectedRow: Recordset contains zero records");
  EXPECT_FALSE(rs_->RecordsetMoveToNextSelectedRow(h));
  EXPECT_EQ(Error(h), "RecordsetMoveToNextSelectedRow: Recordset contains zero records");
}

TEST_F(SelectionTest, FilteredOutSelectedRowIsSkippedButStaysSelected) {
  const int32_t h = OpenFive();
  ASSERT_TRUE(rs_->RecordsetSelectRowsRange(h, 2, 3));
  // Keep only row 3 (c) visible: row 2 stays selected but is no longer active.
  ASSERT_TRUE(rs_->RecordsetFilterOn(h, "Name", "c"));

  EXPECT_TRUE(rs_->RecordsetMoveToFirstSelectedRow(h));
  EXPECT_EQ(Current(h), 3);
  EXPECT_FALSE(rs_->RecordsetMoveToPrevSelectedRow(h));
  EXPECT_TRUE(rs_->RecordsetIsRowSelected(h, 2));
  EXPECT_EQ(SelectedCount(h), 2);
}

}  // namespace
}  // namespace zt::testing

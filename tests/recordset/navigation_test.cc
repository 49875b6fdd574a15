// Moving the current row over active rows, bookmarks and the counts.
#include <functional>

#include "recordset_fixture.h"

namespace zt::testing {
namespace {

class NavigationTest : public RecordsetFixture {
 protected:
  // Opens People on rows 1..n (Ids 1..n, oldest first).
  void OpenWithRows(int n) {
    for (int id = 1; id <= n; ++id) offsets_.push_back(AddPerson(id, "p" + std::to_string(id)));
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  }
  void MarkDeleted(int32_t row) { SetRowFlag(row, Row::kDeleted, true); }
  int32_t Current() {
    int32_t bookmark = -1;
    return rs_->RecordsetGetBookmark(handle_, bookmark) ? bookmark : -1;
  }

  std::vector<int64_t> offsets_;
};

TEST_F(NavigationTest, MovesVisitActiveRowsInBothDirections) {
  OpenWithRows(6);
  MarkDeleted(2);
  MarkDeleted(5);

  EXPECT_EQ(rs_->RecordsetMoveFirst(handle_), 1);
  EXPECT_EQ(Current(), 1);
  EXPECT_EQ(rs_->RecordsetMoveNext(handle_), 1);
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(rs_->RecordsetMoveLast(handle_), 1);
  EXPECT_EQ(Current(), 6);
  EXPECT_EQ(rs_->RecordsetMovePrev(handle_), 1);
  EXPECT_EQ(Current(), 4);
  EXPECT_EQ(rs_->RecordsetMovePrev(handle_), 1);
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(rs_->RecordsetMovePrev(handle_), 1);
  EXPECT_EQ(Current(), 1);
}

TEST_F(NavigationTest, DeletedLeadingRowsStopMovePrev) {
  OpenWithRows(5);
  MarkDeleted(1);
  MarkDeleted(2);
  ASSERT_EQ(rs_->RecordsetMoveFirst(handle_), 1);
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(rs_->RecordsetMovePrev(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMovePrev: Reached beginning of file");
  EXPECT_EQ(Current(), 3);
}

TEST_F(NavigationTest, MoveNextAtTheEndAndBeforeOnlyInactiveRows) {
  OpenWithRows(4);
  ASSERT_EQ(rs_->RecordsetMoveLast(handle_), 1);
  EXPECT_EQ(rs_->RecordsetMoveNext(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveNext: Current record not set and/or eof");

  MarkDeleted(3);
  MarkDeleted(4);
  ASSERT_EQ(rs_->RecordsetSetBookmark(handle_, 2), 1);
  EXPECT_EQ(rs_->RecordsetMoveNext(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveNext: No more records");
  EXPECT_EQ(Current(), 2);
  EXPECT_EQ(rs_->RecordsetMoveLast(handle_), 1);
  EXPECT_EQ(Current(), 2);
}

TEST_F(NavigationTest, NoActiveRows) {
  OpenWithRows(3);
  for (int32_t r = 1; r <= 3; ++r) MarkDeleted(r);
  EXPECT_EQ(rs_->RecordsetMoveFirst(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveFirst: No active records in the table");
  EXPECT_EQ(rs_->RecordsetMoveLast(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveLast: No active records");

  // Re-opened, the rows are all active again and the open stands on row 1.
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Current(), 1);
}

TEST_F(NavigationTest, AnOpenOnNoRowsHasNoCurrentRow) {
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "=", "42", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(RowCount(), 0);
  int32_t bookmark = 0;
  EXPECT_EQ(rs_->RecordsetGetBookmark(handle_, bookmark), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetGetBookmark: Current record not set!");
  EXPECT_EQ(rs_->RecordsetMoveNext(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveNext: Current record not set and/or eof");
  EXPECT_EQ(rs_->RecordsetMoveFirst(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveFirst: Recordset contains zero records");
  EXPECT_EQ(rs_->RecordsetMoveLast(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMoveLast: Recordset contains zero records");
  EXPECT_EQ(rs_->RecordsetMovePrev(handle_), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetMovePrev: Reached beginning of file");
  int64_t offset = 0;
  EXPECT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetGetCurrentRowOffset: Current record not set!");
  EXPECT_EQ(rs_->RecordsetGetLastUpdatedBookmark(handle_, bookmark), 0);
}

TEST_F(NavigationTest, BookmarksRangeAndInaccessibleRows) {
  OpenWithRows(7);
  MarkDeleted(4);
  struct Case {
    int32_t bookmark;
    const char* error;
  };
  for (const Case& c :
       {Case{0, "RecordsetSetBookmark: Invalid bookmark - valid bookmarks range from 0 to 7."},
        Case{8, "RecordsetSetBookmark: Invalid bookmark - valid bookmarks range from 0 to 7."},
        Case{-5, "RecordsetSetBookmark: Invalid bookmark - valid bookmarks range from 0 to 7."},
        Case{4,
             "RecordsetSetBookmark: Requested bookmark points to an inaccessible record within "
             "the recordset."}}) {
    SCOPED_TRACE(c.bookmark);
    EXPECT_EQ(rs_->RecordsetSetBookmark(handle_, c.bookmark), 0);
    EXPECT_EQ(RecordsetError(), c.error);
    EXPECT_EQ(Current(), 1);
  }
  ASSERT_EQ(rs_->RecordsetSetBookmark(handle_, 7), 1);
  int32_t bookmark = 0;
  ASSERT_EQ(rs_->RecordsetGetLastUpdatedBookmark(handle_, bookmark), 1);
  EXPECT_EQ(bookmark, 7);
  int64_t offset = -1;
  ASSERT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
  EXPECT_EQ(offset, offsets_[6]);
  EXPECT_EQ(rs_->RecordsetCanBookmark(handle_), 1);
}

TEST_F(NavigationTest, ARowNotYetStoredHasNoOffset) {
  OpenWithRows(2);
  SetRowFlag(2, Row::kNew, true);
  ASSERT_EQ(rs_->RecordsetMoveLast(handle_), 1);
  int64_t offset = 0;
  ASSERT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
  EXPECT_EQ(offset, -1);
}

// Every operation that needs an open recordset, on one that was created but
// never opened; the counts included.
TEST_F(NavigationTest, UnopenedRecordsetFailsWithItsNotOpenText) {
  int32_t value = 0;
  int64_t offset = 0;
  struct Case {
    std::function<int()> call;
    const char* error;
  };
  const Case cases[] = {
      {[&] { return rs_->RecordsetMoveFirst(handle_); }, "RecordsetMoveFirst: Recordset not open"},
      {[&] { return rs_->RecordsetMoveNext(handle_); }, "RecordsetMoveNext: Recordset not open"},
      {[&] { return rs_->RecordsetMovePrev(handle_); }, "RecordsetMovePrev: Recordset not open"},
      {[&] { return rs_->RecordsetMoveLast(handle_); }, "RecordsetMoveLast: Recordset not open"},
      {[&] { return rs_->RecordsetCanBookmark(handle_); },
       "RecordsetCanBookmark: Recordset not open!"},
      {[&] { return rs_->RecordsetSetBookmark(handle_, 1); },
       "RecordsetSetBookmark: Recordset not open"},
      {[&] { return rs_->RecordsetGetBookmark(handle_, value); },
       "RecordsetGetBookmark: Recordset not open"},
      {[&] { return rs_->RecordsetGetLastUpdatedBookmark(handle_, value); },
       "RecordsetGetLastUpdatedBookmark: Recordset not open!"},
      {[&] { return rs_->RecordsetGetRowCount(handle_, value); },
       "RecordsetGetRowCount: Recordset not open"},
      {[&] { return rs_->RecordsetGetSelectedRowCount(handle_, value); },
       "RecordsetGetRowCount: Recordset not open"},
      {[&] { return rs_->RecordsetGetFilteredCount(handle_, value); },
       "RecordsetGetFilteredCount: Recordset not open"},
      {[&] { return rs_->RecordsetGetCurrentRowOffset(handle_, offset); },
       "RecordsetGetCurrentRowOffset: Current record not set!"},
      {[&] { return rs_->RecordsetFilterOn(handle_, "Name", "x"); },
       "RecordsetFilterOn: Recordset not open!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(RecordsetError(), c.error);
  }
}

TEST_F(NavigationTest, UnknownHandlesFailWithoutAnyText) {
  OpenWithRows(2);
  ASSERT_EQ(rs_->RecordsetMoveNext(handle_), 1);
  ASSERT_EQ(rs_->RecordsetMoveNext(handle_), 0);
  const std::string before = RecordsetError();
  int32_t value = 0;
  EXPECT_EQ(rs_->RecordsetMoveFirst(99), 0);
  EXPECT_EQ(rs_->RecordsetGetRowCount(99, value), 0);
  EXPECT_EQ(rs_->RecordsetOpen(99, "People"), 0);
  EXPECT_EQ(rs_->RecordsetAddFilterColumn(99, "Id", "=", "1", 1, 0), 0);
  EXPECT_EQ(RecordsetError(), before);
  EXPECT_EQ(DatabaseError(), "");
}

TEST_F(NavigationTest, CountsFollowTheFilter) {
  OpenWithRows(5);
  int32_t count = -1;
  ASSERT_EQ(rs_->RecordsetGetFilteredCount(handle_, count), 1);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(rs_->RecordsetGetSelectedRowCount(handle_, count), 1);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, "name", "P3"), 1);
  ASSERT_EQ(rs_->RecordsetGetFilteredCount(handle_, count), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(RowCount(), 5);
  ASSERT_EQ(rs_->RecordsetMoveFirst(handle_), 1);
  EXPECT_EQ(Current(), 3);
}

}  // namespace
}  // namespace zt::testing

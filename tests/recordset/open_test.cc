// Opening recordsets: on a table, and on the key value nearest below
// (floor) or above (ceiling) a given one.
#include <functional>

#include "recordset_fixture.h"

namespace zt::testing {
namespace {

using Names = std::vector<std::string>;
using OpenTest = RecordsetFixture;

TEST_F(OpenTest, TableNameLimitsAndUnknownTables) {
  EXPECT_EQ(rs_->RecordsetOpen(handle_, std::string(33, 'T').c_str()), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetOpen: Table name is too long");
  EXPECT_EQ(rs_->RecordsetOpen(handle_, std::string(32, 'T').c_str()), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetOpen: Error reading the table header");
  EXPECT_EQ(rs_->RecordsetOpen(handle_, nullptr), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetOpen: Error reading the table header");
  EXPECT_EQ(rs_->RecordsetIsConnected(handle_), 0);
  EXPECT_EQ(rs_->RecordsetOpen(handle_, " people "), 1);
  EXPECT_EQ(rs_->RecordsetIsConnected(handle_), 1);
  EXPECT_EQ(RowCount(), 0);
}

class NeighbourTest : public RecordsetFixture {
 protected:
  void SetUp() override {
    RecordsetFixture::SetUp();
    // The keys 3, 5, 5, 9, with records of other tables on both sides.
    for (int id : {9, 5, 3, 5}) AddPerson(id, "n" + std::to_string(id));
  }
};

TEST_F(NeighbourTest, FloorAndCeilingSkipEqualKeys) {
  ASSERT_EQ(rs_->RecordsetOpenFloor(handle_, "People", "Id", "5"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"3"}));

  int32_t other = 0;
  ASSERT_EQ(rs_->CreateRecordset(other), 1);
  ASSERT_EQ(rs_->RecordsetOpenCeiling(other, "People", "id", "5"), 1);
  handle_ = other;
  EXPECT_EQ(Rows("Id"), (Names{"9"}));

  // Between keys: the nearest below and above; the whole run of 5s.
  int32_t third = 0;
  ASSERT_EQ(rs_->CreateRecordset(third), 1);
  ASSERT_EQ(rs_->RecordsetOpenFloor(third, "People", "Id", "8"), 1);
  handle_ = third;
  EXPECT_EQ(Rows("Name"), (Names{"n5", "n5"}));
}

TEST_F(NeighbourTest, NoNeighbourOfTheSameColumn) {
  // Below 3 lies the last key of Parts, above 9 the first of Zone: neither
  // is a value of People.Id.
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Name", "=", "x", 0, 0), 1);
  ASSERT_EQ(rs_->RecordsetMoveFirst(handle_), 0);  // sets a text of its own
  const std::string recordset_text = RecordsetError();

  EXPECT_EQ(rs_->RecordsetOpenFloor(handle_, "People", "Id", "3"), 0);
  EXPECT_EQ(DatabaseError(), "RecordsetOpenFloor: No records found");
  EXPECT_EQ(rs_->RecordsetOpenCeiling(handle_, "People", "Id", "9"), 0);
  EXPECT_EQ(DatabaseError(), "RecordsetOpenCeiling: No records found");
  EXPECT_EQ(RecordsetError(), recordset_text);
  EXPECT_EQ(rs_->RecordsetIsConnected(handle_), 0);
  EXPECT_TRUE(TempFiles().empty());

  // An empty value: the key is the bare prefix, so the ceiling is the
  // column's smallest value and nothing of the column lies below it.
  rs_->RecordsetClearFilters(handle_);
  ASSERT_EQ(rs_->RecordsetOpenCeiling(handle_, "People", "Id", ""), 1);
  EXPECT_EQ(Rows("Id"), (Names{"3"}));
  EXPECT_EQ(rs_->RecordsetOpenFloor(handle_, "People", "Id", ""), 0);
  EXPECT_EQ(DatabaseError(), "RecordsetOpenFloor: No records found");
}

TEST_F(NeighbourTest, ArgumentAndColumnChecks) {
  struct Case {
    std::function<int()> call;
    const char* error;
  };
  const Case cases[] = {
      {[&] { return rs_->RecordsetOpenFloor(handle_, nullptr, "Id", "1"); },
       "RecordsetOpenFloor: Invalid table name"},
      {[&] { return rs_->RecordsetOpenFloor(handle_, "People", nullptr, "1"); },
       "RecordsetOpenFloor: Invalid field name"},
      {[&] { return rs_->RecordsetOpenFloor(handle_, "People", "Id", nullptr); },
       "RecordsetOpenFloor: Invalid field value"},
      {[&] { return rs_->RecordsetOpenFloor(handle_, "Nobody", "Id", "1"); },
       "RecordsetOpenFloor: Disk-Read error and/or invalid table name"},
      {[&] { return rs_->RecordsetOpenFloor(handle_, "People", "Name", "1"); },
       "RecordsetOpenFloor: Field name is not a valid key name"},
      {[&] { return rs_->RecordsetOpenFloor(handle_, "People", "Nope", "1"); },
       "RecordsetOpenFloor: Field name is not a valid key name"},
      {[&] { return rs_->RecordsetOpenCeiling(handle_, "People", "Age", "1"); },
       "RecordsetOpenCeiling: Field name is not a valid key name"},
      {[&] { return rs_->RecordsetOpenCeiling(handle_, "Nobody", "Id", "1"); },
       "RecordsetOpenCeiling: Disk-Read error and/or invalid table name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(DatabaseError(), c.error);
    EXPECT_EQ(RecordsetError(), "");
  }
  // Null arguments of the ceiling and unknown handles are silent.
  const std::string before = DatabaseError();
  EXPECT_EQ(rs_->RecordsetOpenCeiling(handle_, nullptr, "Id", "1"), 0);
  EXPECT_EQ(rs_->RecordsetOpenCeiling(handle_, "People", "Id", nullptr), 0);
  EXPECT_EQ(rs_->RecordsetOpenFloor(77, "People", "Id", "1"), 0);
  EXPECT_EQ(DatabaseError(), before);
}

// Keys spread over many index pages: every floor and ceiling finds the
// neighbour even when it lies in another leaf than the search key.
TEST_F(RecordsetFixture, FloorAndCeilingAcrossIndexPages) {
  for (int id = 10; id <= 600; id += 10) AddPerson(id, "p");
  for (int id = 10; id <= 600; id += 10) {
    SCOPED_TRACE(id);
    for (int ceiling = 0; ceiling <= 1; ++ceiling) {
      int32_t handle = 0;
      ASSERT_EQ(rs_->CreateRecordset(handle), 1);
      const std::string value = std::to_string(id);
      const int opened = ceiling ? rs_->RecordsetOpenCeiling(handle, "People", "Id", value.c_str())
                                 : rs_->RecordsetOpenFloor(handle, "People", "Id", value.c_str());
      const int expected = ceiling ? id + 10 : id - 10;
      if (expected < 10 || expected > 600) {
        EXPECT_EQ(opened, 0);
      } else {
        ASSERT_EQ(opened, 1);
        int64_t offset = -1;
        ASSERT_EQ(rs_->RecordsetGetCurrentRowOffset(handle, offset), 1);
        EXPECT_EQ(Field("People", offset, "Id"), std::to_string(expected));
        int32_t rows = 0;
        ASSERT_EQ(rs_->RecordsetGetRowCount(handle, rows), 1);
        EXPECT_EQ(rows, 1);
      }
      ASSERT_EQ(rs_->RecordsetClose(handle), 1);
    }
  }
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(RecordsetFixture, FloorOnATextKey) {
  for (const char* code : {"b", "D", "f"}) Add("Parts", {code, "x"});
  ASSERT_EQ(rs_->RecordsetOpenFloor(handle_, "Parts", "Code", "E"), 1);
  EXPECT_EQ(Rows("Code", "Parts"), (Names{"D"}));
  int32_t other = 0;
  ASSERT_EQ(rs_->CreateRecordset(other), 1);
  ASSERT_EQ(rs_->RecordsetOpenCeiling(other, "Parts", "code", "d"), 1);
  handle_ = other;
  EXPECT_EQ(Rows("Code", "Parts"), (Names{"f"}));
}

}  // namespace
}  // namespace zt::testing

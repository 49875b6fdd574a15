// The recordset table (handles, close, last-error texts) and the memory
// budget of the rows, on a real database in a scratch folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "recordset/recordsets.h"
#include "support/test_support.h"

namespace zt {
namespace {

class RecordsetLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DatabaseSchema schema;
    schema.tables.push_back({"T", {{"ID", 1, 10, true, false}}});
    std::string err;
    ASSERT_EQ(CreateDatabaseFiles(folder_.File("db.dat"), schema, err), 1) << err;
    ASSERT_EQ(db_.OpenDatabase(folder_.File("db.dat").c_str(), 0), 1);
  }
  int32_t Create() {
    int32_t handle = 0;
    EXPECT_EQ(rs_.CreateRecordset(handle), 1);
    return handle;
  }

  // Adds n records to T (IDs 1..n).
  void Fill(int n) {
    std::string err;
    for (int id = 1; id <= n; ++id) {
      const std::string data = PadLeft(std::to_string(id), 10);
      int64_t offset = -1;
      ASSERT_EQ(db_.AddNewRecord(data, 10, offset, "T", &err), 1) << err;
    }
  }

  testing::ScratchFolder folder_;
  Database db_{folder_.File("work")};
  Recordsets rs_{db_};
};

TEST_F(RecordsetLifecycleTest, HandlesAreOneMoreThanTheLargestPresent) {
  EXPECT_EQ(Create(), 1);
  EXPECT_EQ(Create(), 2);
  EXPECT_EQ(Create(), 3);
  EXPECT_EQ(rs_.RecordsetClose(2), 1);
  EXPECT_EQ(Create(), 4);
  EXPECT_EQ(rs_.RecordsetClose(4), 1);
  EXPECT_EQ(Create(), 4);  // reused
}

TEST_F(RecordsetLifecycleTest, UnknownHandlesFailSilently) {
  const int32_t handle = Create();
  std::string text = "untouched";
  EXPECT_EQ(rs_.RecordsetClose(handle + 1), 0);
  EXPECT_EQ(rs_.RecordsetIsConnected(handle + 1), 0);
  EXPECT_EQ(rs_.RecordsetGetLastErrorText(handle + 1, &text), 0);
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(rs_.RecordsetGetLastErrorText(handle, nullptr), 0);
  rs_.RecordsetClearFilters(handle + 1);  // ignored
  std::string db_error;
  db_.GetLastErrorText(&db_error);
  EXPECT_EQ(db_error, "");
}

TEST_F(RecordsetLifecycleTest, CreatedRecordsetIsNotConnectedAndHasNoErrorText) {
  const int32_t handle = Create();
  EXPECT_EQ(rs_.RecordsetIsConnected(handle), 0);
  std::string text = "x";
  EXPECT_EQ(rs_.RecordsetGetLastErrorText(handle, &text), 1);
  EXPECT_EQ(text, "");
}

TEST_F(RecordsetLifecycleTest, WithoutConnectionCreateFailsWithItsMessage) {
  db_.CloseDatabase();
  int32_t handle = 0;
  EXPECT_EQ(rs_.CreateRecordset(handle), 0);
  std::string text;
  db_.GetLastErrorText(&text);
  EXPECT_EQ(text, "CreateRecordset: No database connection has been established!");
}

TEST_F(RecordsetLifecycleTest, CloseAllClosesEveryRecordset) {
  Create();
  Create();
  EXPECT_EQ(rs_.CloseAllRecordsets(), 1);
  EXPECT_EQ(rs_.RecordsetClose(1), 0);
  EXPECT_EQ(Create(), 1);
}

// Tens of thousands of recordsets: creating and closing each costs the
// same whatever number are open (a client that made 40,000 and left once
// froze the server for minutes).
TEST_F(RecordsetLifecycleTest, ManyRecordsetsAreCreatedAndClosedInCreationOrder) {
  constexpr int kCount = 40000;
  for (int i = 1; i <= kCount; ++i) ASSERT_EQ(Create(), i);
  EXPECT_EQ(rs_.open_count(), static_cast<size_t>(kCount));
  for (int i = 1; i <= kCount; ++i) ASSERT_EQ(rs_.RecordsetClose(i), 1);
  EXPECT_EQ(rs_.open_count(), 0u);
}

// Rows are charged to the budget while they are held and given back when
// the recordset closes; an open that would pass it fails with a message
// and holds nothing. Unfiltered opens of an unchanged table share one copy
// of the rows until one of them changes a row.
TEST_F(RecordsetLifecycleTest, OpensStayWithinTheMemoryBudget) {
  Fill(2000);
  const uint64_t copy = 2000 * sizeof(Row);
  rs_.set_memory_limit(2 * copy + copy / 2);
  const int32_t a = Create();
  const int32_t b = Create();
  const int32_t c = Create();
  ASSERT_EQ(rs_.RecordsetOpen(a, "T"), 1);
  ASSERT_EQ(rs_.RecordsetOpen(b, "T"), 1);
  const uint64_t one = rs_.budget().used();
  EXPECT_GE(one, copy);
  EXPECT_LT(one, 2 * copy);  // shared

  // A change copies the rows for the recordset that makes it.
  ASSERT_EQ(rs_.RecordsetSelectRow(b, 1), 1);
  const uint64_t two = rs_.budget().used();
  EXPECT_GE(two, 2 * copy);
  EXPECT_EQ(rs_.RecordsetIsRowSelected(a, 1), 0);
  EXPECT_EQ(rs_.RecordsetIsRowSelected(b, 1), 1);

  // A filtered open makes rows of its own: a third copy does not fit.
  ASSERT_EQ(rs_.RecordsetAddFilterColumn(c, "ID", ">=", "1", 1, 0), 1);
  EXPECT_EQ(rs_.RecordsetOpen(c, "T"), 0);
  std::string text;
  ASSERT_EQ(rs_.RecordsetGetLastErrorText(c, &text), 1);
  EXPECT_EQ(text, "RecordsetOpen: Not enough resultset memory (ResultsetMemory limit reached)");
  EXPECT_EQ(rs_.RecordsetIsConnected(c), 0);
  EXPECT_EQ(rs_.budget().used(), two);

  // Closing one gives its rows back; then the open fits.
  ASSERT_EQ(rs_.RecordsetClose(b), 1);
  EXPECT_EQ(rs_.RecordsetOpen(c, "T"), 1);
  int32_t count = 0;
  ASSERT_EQ(rs_.RecordsetGetRowCount(c, count), 1);
  EXPECT_EQ(count, 2000);
  ASSERT_EQ(rs_.CloseAllRecordsets(), 1);
  EXPECT_EQ(rs_.budget().used(), 0u);
}

// A thousand clients each with the whole table open: one copy of the rows,
// well within the default budget.
TEST_F(RecordsetLifecycleTest, AThousandOpensOfOneTableCostOneCopy) {
  Fill(5000);
  for (int i = 0; i < 1000; ++i) {
    const int32_t h = Create();
    ASSERT_EQ(rs_.RecordsetOpen(h, "T"), 1);
    ASSERT_EQ(rs_.RecordsetMoveLast(h), 1);
  }
  EXPECT_LT(rs_.budget().used(), 2 * 5000 * sizeof(Row));
}

// A stored change makes the next open see the table as it now is.
TEST_F(RecordsetLifecycleTest, AnOpenAfterAChangeSeesIt) {
  Fill(3);
  const int32_t a = Create();
  ASSERT_EQ(rs_.RecordsetOpen(a, "T"), 1);
  int64_t offset = -1;
  std::string err;
  ASSERT_EQ(db_.AddNewRecord(PadLeft("4", 10), 10, offset, "T", &err), 1) << err;
  const int32_t b = Create();
  ASSERT_EQ(rs_.RecordsetOpen(b, "T"), 1);
  int32_t count = 0;
  ASSERT_EQ(rs_.RecordsetGetRowCount(a, count), 1);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(rs_.RecordsetGetRowCount(b, count), 1);
  EXPECT_EQ(count, 4);
}

}  // namespace
}  // namespace zt

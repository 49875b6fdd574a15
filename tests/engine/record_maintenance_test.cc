// Storing new records: the chain head, the index keys, and the refusals that
// must leave the files untouched.
#include <gtest/gtest.h>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

class RecordMaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DatabaseSchema schema;
    // Two key columns, one of them numeric, and a dropped key column that
    // must never be indexed.
    schema.tables.push_back(
        {"Orders",
         {{"Id", 1, 5, true}, {"Old", 10, 3, true, true}, {"Code", 10, 4, true}, {"Note", 10, 6}}});
    std::string err;
    path_ = folder_.File("db.dat");
    ASSERT_EQ(CreateDatabaseFiles(path_, schema, err), 1) << err;
    ASSERT_EQ(db_.OpenDatabase(path_.c_str(), 0), 1);
  }

  int64_t FileSize(const std::string& path) { return static_cast<int64_t>(ReadFile(path).size()); }

  // Record offsets indexed under key, in index order.
  std::vector<int64_t> Indexed(const std::string& key) {
    std::vector<int64_t> out;
    IndexCursor cursor;
    int found = db_.index().IndexSeekEqual(key, cursor);
    while (found && EqualNoCase(cursor.key, key)) {
      out.push_back(cursor.record);
      found = db_.index().IndexNext(cursor);
    }
    return out;
  }

  ScratchFolder folder_;
  std::string path_;
  Database db_{folder_.File("work")};
};

TEST_F(RecordMaintenanceTest, NewRecordsHeadTheChainAndAreIndexed) {
  std::string err;
  int64_t first = -1;
  int64_t second = -1;
  ASSERT_EQ(db_.AddNewRecord("   12   AB1 hello ", 18, first, " orders ", &err), 1) << err;
  ASSERT_EQ(db_.AddNewRecord("    7xx Ab1 bye   ", 18, second, "Orders", &err), 1) << err;
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 89 + 18);

  TableDefinition definition;
  int64_t definition_offset = 0;
  ASSERT_EQ(db_.GetTableDef("Orders", definition, definition_offset), 1);
  EXPECT_EQ(definition.newest_record(), second);

  RecordHeader header;
  std::string data;
  int32_t length = 0;
  ASSERT_EQ(db_.ReadDatabaseRecord("Orders", header, data, second, 100, length, &err), 1) << err;
  EXPECT_EQ(header.table(), "Orders");  // the stored name, not the caller's spelling
  EXPECT_EQ(header.previous(), first);
  EXPECT_FALSE(header.superseded());
  EXPECT_EQ(header.data_length(), 18);
  EXPECT_EQ(data, "    7xx Ab1 bye   ");

  EXPECT_EQ(Indexed(MakeIndexKey("Orders", "Id", "12", 5, 1)), std::vector<int64_t>{first});
  EXPECT_EQ(Indexed("OrdersId    7"), std::vector<int64_t>{second});
  // Text keys compare without regard to case: both records share AB1.
  EXPECT_EQ(Indexed("OrdersCodeAB1 "), (std::vector<int64_t>{first, second}));
  IndexCursor cursor;
  EXPECT_FALSE(db_.index().IndexSeekGE("OrdersOld", cursor) &&
               KeyHasPrefix(cursor.key, "OrdersOld"));
}

TEST_F(RecordMaintenanceTest, RefusalsWriteNothing) {
  std::string err;
  int64_t offset = -1;
  const int64_t data_before = FileSize(path_);
  const int64_t index_before = FileSize(folder_.File("db.zix"));
  struct Case {
    std::string data;
    int32_t length;
    const char* table;
    const char* error;
  };
  const Case cases[] = {
      {"     xx AB1 hello ", 18, "Orders", "RecordsetAreAllKeysPopulated: Id cannot be NULL"},
      {"   12       hello ", 18, "Orders", "RecordsetAreAllKeysPopulated: Code cannot be NULL"},
      {"   12   ", 8, "Orders", "RecordsetAreAllKeysPopulated: Code cannot be NULL"},
      {"   12   AB1 hello ", 18, nullptr, "AddNewRecord: Invalid table name!"},
      {"   12   AB1 hello ", 18, "Nobody",
       "RecordsetAreAllKeysPopulated: Could not read table definition"},
      {"   12   AB1 hello ", 19, "Orders", "AddNewRecord: Invalid record length"},
      {"   12   AB1 hello ", -1, "Orders", "AddNewRecord: Invalid record length"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    err.clear();
    EXPECT_EQ(db_.AddNewRecord(c.data, c.length, offset, c.table, &err), 0);
    EXPECT_EQ(err, c.error);
  }
  EXPECT_EQ(db_.AddNewRecord("   12   AB1 hello ", 18, offset, "Orders", nullptr), 0);
  EXPECT_EQ(db_.AddNewRecord(std::string_view(), 0, offset, "Orders", &err), 0);
  EXPECT_EQ(FileSize(path_), data_before);
  EXPECT_EQ(FileSize(folder_.File("db.zix")), index_before);

  ASSERT_EQ(db_.CloseDatabase(), 1);
  EXPECT_EQ(db_.AddNewRecord("   12   AB1 hello ", 18, offset, "Orders", &err), 0);
  EXPECT_EQ(err, "AddNewRecord: Not connected to database");
}

TEST_F(RecordMaintenanceTest, IndexRecordKeysAddsAndRemovesLiveNonBlankKeys) {
  TableDefinition definition;
  int64_t definition_offset = 0;
  ASSERT_EQ(db_.GetTableDef("Orders", definition, definition_offset), 1);
  const std::string data = "   12zz     note  ";  // Code blank: no entry for it
  ASSERT_EQ(Database::IndexRecordKeys(db_.index(), data, 500, 18, definition, 0), 1);
  EXPECT_EQ(Indexed("OrdersId   12"), std::vector<int64_t>{500});
  IndexCursor cursor;
  ASSERT_EQ(db_.index().IndexFirst(cursor), 1);
  EXPECT_EQ(db_.index().IndexNext(cursor), 0);  // the only entry

  // A length that cuts the Id column short leaves it unindexed.
  ASSERT_EQ(Database::IndexRecordKeys(db_.index(), data, 600, 4, definition, 0), 1);
  EXPECT_EQ(Indexed("OrdersId   12"), std::vector<int64_t>{500});

  ASSERT_EQ(Database::IndexRecordKeys(db_.index(), data, 500, 18, definition, 1), 1);
  EXPECT_TRUE(Indexed("OrdersId   12").empty());
  EXPECT_EQ(Database::IndexRecordKeys(db_.index(), std::string_view(), 1, 0, definition, 0), 0);
}

}  // namespace
}  // namespace zt::testing

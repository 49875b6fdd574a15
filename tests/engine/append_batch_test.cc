// Append batches: the rows AddNewRecord takes while a batch is open reach
// the files only at the commit, and then exactly as row-by-row inserts
// would have left them; a batch that cannot be written leaves nothing
// reachable; the other record writes wait for the batch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

// Orders: Id (numeric key, 5), Code (text key, 4), Note (6); 15 bytes.
DatabaseSchema Schema() {
  DatabaseSchema schema;
  schema.tables.push_back({"Orders", {{"Id", 1, 5, true}, {"Code", 10, 4, true}, {"Note", 10, 6}}});
  schema.tables.push_back({"Other", {{"K", 10, 3, true}}});
  return schema;
}

std::string Row(int i) {
  return PadRight(std::to_string(i * 7 % 500), 5) + PadRight("c" + std::to_string(i % 13), 4) +
         PadRight("n" + std::to_string(i), 6);
}

class AppendBatchTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& name) {
    const std::string path = folder_.File(name + ".dat");
    std::string err;
    EXPECT_TRUE(CreateDatabaseFiles(path, Schema(), err)) << err;
    return path;
  }
  std::string Files(const std::string& data) {
    std::string all;
    for (const char* ext : {".dat", ".zdf", ".zix"}) {
      all += ReadFile(data.substr(0, data.size() - 4) + ext) + "|";
    }
    return all;
  }

  ScratchFolder folder_;
};

// Batches of any size, and rows of two tables mixed, give the bytes of one
// AddNewRecord per row on an uncached (shared) database.
TEST_F(AppendBatchTest, CommittedBatchesLeaveTheRowByRowBytes) {
  const int kRows = 500;
  const std::string reference = Make("ref");
  {
    Database db(folder_.File("work"));
    ASSERT_TRUE(db.OpenDatabase(reference.c_str(), 1));
    for (int i = 0; i < kRows; ++i) {
      int64_t offset = -1;
      std::string err;
      ASSERT_TRUE(db.AddNewRecord(Row(i), 15, offset, "Orders", &err)) << err;
      if (i % 50 == 0) {
        ASSERT_TRUE(
            db.AddNewRecord(PadRight("k" + std::to_string(i / 50), 3), 3, offset, "Other", &err));
      }
    }
  }
  for (const int batch_rows : {1, 7, kRows}) {
    SCOPED_TRACE(batch_rows);
    const std::string data = Make("b" + std::to_string(batch_rows));
    Database db(folder_.File("work"));
    ASSERT_TRUE(db.OpenDatabase(data.c_str(), 0));
    ASSERT_TRUE(db.BeginAppendBatch());
    std::vector<int64_t> offsets;
    for (int i = 0; i < kRows; ++i) {
      int64_t offset = -1;
      std::string err;
      ASSERT_TRUE(db.AddNewRecord(Row(i), 15, offset, "Orders", &err)) << err;
      offsets.push_back(offset);
      if (i % 50 == 0) {
        ASSERT_TRUE(
            db.AddNewRecord(PadRight("k" + std::to_string(i / 50), 3), 3, offset, "Other", &err));
      }
      if ((i + 1) % batch_rows == 0) {
        ASSERT_TRUE(db.CommitAppendBatch(&err)) << err;
        ASSERT_TRUE(db.BeginAppendBatch());
      }
    }
    std::string err;
    ASSERT_TRUE(db.CommitAppendBatch(&err)) << err;
    // The offsets handed out during the batch are where the records are.
    RecordHeader header;
    std::string record;
    int32_t length = 0;
    ASSERT_TRUE(db.ReadDatabaseRecord("Orders", header, record, offsets[123], 15, length, &err));
    EXPECT_EQ(record, Row(123));
    ASSERT_TRUE(db.CloseDatabase());
    EXPECT_TRUE(Files(data) == Files(reference));
  }
}

TEST_F(AppendBatchTest, RowsAndWritesDuringABatch) {
  const std::string data = Make("db");
  Database db(folder_.File("work"));
  ASSERT_TRUE(db.OpenDatabase(data.c_str(), 0));
  int64_t first = -1;
  std::string err;
  ASSERT_TRUE(db.AddNewRecord(Row(1), 15, first, "Orders", &err));
  const std::string before = Files(data);

  ASSERT_TRUE(db.BeginAppendBatch());
  EXPECT_FALSE(db.BeginAppendBatch());
  int64_t offset = -1;
  // A refused row leaves the batch as it was.
  EXPECT_FALSE(db.AddNewRecord("     " + Row(2).substr(5), 15, offset, "Orders", &err));
  EXPECT_EQ(err, "RecordsetAreAllKeysPopulated: Id cannot be NULL");
  ASSERT_TRUE(db.AddNewRecord(Row(2), 15, offset, "Orders", &err));
  // The batch owns the end of the data file: no other record write.
  RecordHeader header = RecordHeader::ForNewRecord("Orders", -1, 15);
  int64_t at = -1;
  EXPECT_FALSE(db.AppendDatabaseRecord(header, Row(3), at, &err));
  EXPECT_EQ(err, "AppendDatabaseRecord: An append batch is open");
  int32_t length = 0;
  EXPECT_FALSE(db.WriteDatabaseRecord(header, Row(3), first, 15, length, &err));
  EXPECT_FALSE(db.DropCaches());
  // Nothing reached the files yet, and readers see only what the files hold.
  EXPECT_TRUE(Files(data) == before);
  IndexCursor cursor;
  EXPECT_FALSE(db.index().IndexSeekEqual(MakeIndexKey("Orders", "Id", "14", 5, 1), cursor));

  ASSERT_TRUE(db.CommitAppendBatch(&err)) << err;
  EXPECT_FALSE(db.CommitAppendBatch(&err));
  ASSERT_TRUE(db.index().IndexSeekEqual(MakeIndexKey("Orders", "Id", "14", 5, 1), cursor));
  EXPECT_EQ(cursor.record, offset);
  TableDefinition def;
  int64_t def_offset = 0;
  ASSERT_TRUE(db.GetTableDef("Orders", def, def_offset));
  EXPECT_EQ(def.newest_record(), offset);
}

// A data file that grew under the batch (a commit cannot put the records
// where it promised): nothing of the batch becomes reachable, and the
// cached chain head goes back to what the file holds.
TEST_F(AppendBatchTest, AFailedCommitLeavesNothingReachable) {
  const std::string data = Make("db");
  Database db(folder_.File("work"));
  ASSERT_TRUE(db.OpenDatabase(data.c_str(), 0));
  ASSERT_TRUE(db.BeginAppendBatch());
  int64_t offset = -1;
  std::string err;
  ASSERT_TRUE(db.AddNewRecord(Row(5), 15, offset, "Orders", &err));
  ASSERT_TRUE(FileWriteAt(db.data_file(), "x", 1, 0));
  EXPECT_FALSE(db.CommitAppendBatch(&err));
  EXPECT_EQ(err, "CommitAppendBatch: The data file changed during the batch");
  TableDefinition def;
  int64_t def_offset = 0;
  ASSERT_TRUE(db.GetTableDef("Orders", def, def_offset));
  EXPECT_EQ(def.newest_record(), -1);
  IndexCursor cursor;
  EXPECT_FALSE(db.index().IndexFirst(cursor));
  // The database goes on working.
  ASSERT_TRUE(db.AddNewRecord(Row(5), 15, offset, "Orders", &err)) << err;
  EXPECT_EQ(offset, 1);
}

TEST_F(AppendBatchTest, OnlyInExclusiveMode) {
  const std::string data = Make("db");
  Database db(folder_.File("work"));
  EXPECT_FALSE(db.BeginAppendBatch());
  ASSERT_TRUE(db.OpenDatabase(data.c_str(), 1));
  EXPECT_FALSE(db.BeginAppendBatch());
  std::string text;
  db.GetLastErrorText(&text);
  EXPECT_EQ(text, "BeginAppendBatch: Append batches need the database opened exclusively");
}

}  // namespace
}  // namespace zt::testing

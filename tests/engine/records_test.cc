// Tests of the Database's record operations on a real data file: append and
// read, in-place and relocating rewrites, the messages of every refusal.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/record.h"
#include "support/test_support.h"

namespace zt {
namespace {

constexpr int64_t kHeader = static_cast<int64_t>(RecordHeader::kSize);

class RecordsTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = scratch_.File("shop.dat");
    DatabaseSchema schema;
    schema.tables.push_back(TableSchema{"Orders", {{"Id", 1, 10, true}, {"Name", 0, 20}}});
    schema.tables.push_back(TableSchema{"Customers", {{"Id", 1, 10, true}}});
    std::string err;
    ASSERT_TRUE(CreateDatabaseFiles(path_, schema, err)) << err;
    ASSERT_TRUE(db_.OpenDatabase(path_.c_str(), GetParam()));
  }

  // Appends a record of table and makes it the head of the table's chain,
  // as adding a record does.
  int64_t Add(const std::string& table, const std::string& data) {
    TableDefinition definition;
    int64_t definition_offset = 0;
    EXPECT_TRUE(db_.GetTableDef(table.c_str(), definition, definition_offset));
    const RecordHeader header = RecordHeader::ForNewRecord(table, definition.newest_record(),
                                                           static_cast<int32_t>(data.size()));
    int64_t offset = -1;
    std::string err;
    EXPECT_TRUE(db_.AppendDatabaseRecord(header, data, offset, &err)) << err;
    definition.set_newest_record(offset);
    EXPECT_TRUE(db_.UpdateTableDef(definition, definition_offset));
    return offset;
  }

  int64_t NewestRecord(const char* table) {
    TableDefinition definition;
    int64_t offset = 0;
    EXPECT_TRUE(db_.GetTableDef(table, definition, offset));
    return definition.newest_record();
  }

  testing::ScratchFolder scratch_;
  std::string path_;
  Database db_{scratch_.path()};
};

INSTANTIATE_TEST_SUITE_P(ExclusiveAndShared, RecordsTest, ::testing::Values(0, 1));

TEST_P(RecordsTest, AppendAndReadRoundTrip) {
  const int64_t first = Add("Orders", "         1Alice               ");
  const int64_t second = Add("Orders", "         2Bob                 ");
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, kHeader + 30);
  EXPECT_EQ(FileLength(db_.data_file()), 2 * (kHeader + 30));

  RecordHeader header;
  std::string data;
  int32_t length = -1;
  std::string err;
  ASSERT_TRUE(db_.ReadDatabaseRecord("ORDERS", header, data, second, 100, length, &err)) << err;
  EXPECT_EQ(length, 30);
  EXPECT_EQ(data, "         2Bob                 ");
  EXPECT_EQ(header.table(), "Orders");
  EXPECT_EQ(header.previous(), first);
  EXPECT_FALSE(header.superseded());
  EXPECT_EQ(header.data_length(), 30);
}

TEST_P(RecordsTest, ZeroLengthRecordIsTheBareHeader) {
  const int64_t offset = Add("Orders", "");
  EXPECT_EQ(FileLength(db_.data_file()), kHeader);
  RecordHeader header;
  std::string data = "junk";
  int32_t length = -1;
  std::string err;
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, offset, 30, length, &err)) << err;
  EXPECT_EQ(length, 0);
  EXPECT_EQ(data, "");
}

TEST_P(RecordsTest, MaxLengthLimitsTheRead) {
  const int64_t offset = Add("Orders", "0123456789abcdefghijklmnopqrst");
  struct Case {
    int32_t max_length;
    const char* want;
  };
  for (const Case& c :
       {Case{100, "0123456789abcdefghijklmnopqrst"}, Case{30, "0123456789abcdefghijklmnopqrst"},
        Case{4, "0123"}, Case{0, ""}, Case{-5, ""}}) {
    RecordHeader header;
    std::string data;
    int32_t length = -1;
    std::string err;
    ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, offset, c.max_length, length, &err));
    EXPECT_EQ(data, c.want) << c.max_length;
    EXPECT_EQ(length, static_cast<int32_t>(data.size()));
  }
}

TEST_P(RecordsTest, ReadRefusals) {
  const int64_t offset = Add("Orders", "         1Alice               ");
  Add("Customers", "         7");
  struct Case {
    const char* table;
    int64_t offset;
    const char* message;
  };
  const Case cases[] = {
      {"Orders", offset + 10, "ReadDatabaseRecord: Invalid record offset"},
      {"Orders", kHeader, "ReadDatabaseRecord: Invalid record offset"},  // into the data
      {"Customers", offset,
       "ReadDatabaseRecord: Record at specified offset is not part of the table"},
      {"Orders", 10000, "ReadDatabaseRecord: Error reading record header"},
      {"Orders", -1, "ReadDatabaseRecord: Error reading record header"},
      {"Orders", INT64_MAX, "ReadDatabaseRecord: Error reading record header"},
  };
  for (const Case& c : cases) {
    RecordHeader header;
    std::string data;
    int32_t length = -1;
    std::string err;
    EXPECT_FALSE(db_.ReadDatabaseRecord(c.table, header, data, c.offset, 100, length, &err));
    EXPECT_EQ(err, c.message) << c.offset;
  }
  RecordHeader header;
  std::string data;
  int32_t length = -1;
  EXPECT_FALSE(db_.ReadDatabaseRecord("Orders", header, data, offset, 100, length, nullptr));
}

TEST_P(RecordsTest, DamagedDataLengthIsRefused) {
  const int64_t offset = Add("Orders", "         1Alice               ");
  // "30" becomes "99930": more than a record may hold.
  const std::string digits = "99930";
  for (size_t i = 0; i < digits.size(); ++i) {
    testing::PokeByte(path_, static_cast<long>(offset + RecordHeader::kDataLengthOffset + i),
                      digits[i]);
  }
  RecordHeader header;
  std::string data;
  int32_t length = -1;
  std::string err;
  EXPECT_FALSE(db_.ReadDatabaseRecord("Orders", header, data, offset, 1 << 30, length, &err));
  EXPECT_EQ(err, "ReadDatabaseRecord: Invalid record offset");
  // Nor may a rewrite trust it to decide that the new data fit in place.
  header = RecordHeader::ForNewRecord("Orders", -1, 30);
  int64_t where = offset;
  EXPECT_FALSE(db_.WriteDatabaseRecord(header, std::string(30, 'x'), where, 30, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Invalid record offset");
}

TEST_P(RecordsTest, ShorterOrEqualRewriteStaysInPlace) {
  const int64_t offset = Add("Orders", "         1Alice               ");
  const int64_t file_length = FileLength(db_.data_file());
  RecordHeader header;
  std::string data;
  int32_t length = -1;
  std::string err;
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, offset, 30, length, &err));
  header.set_change_counter(header.change_counter() + 1);

  int64_t where = offset;
  ASSERT_TRUE(
      db_.WriteDatabaseRecord(header, "         1Alicia              ", where, 30, length, &err))
      << err;
  EXPECT_EQ(where, offset);
  EXPECT_EQ(length, 30);
  ASSERT_TRUE(db_.WriteDatabaseRecord(header, "         1Bo", where, 12, length, &err)) << err;
  EXPECT_EQ(where, offset);
  EXPECT_EQ(length, 12);
  EXPECT_EQ(FileLength(db_.data_file()), file_length);

  // The stored length keeps its old value, and the bytes beyond the new
  // length their old content.
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, offset, 100, length, &err));
  EXPECT_EQ(data, "         1Boicia              ");
  EXPECT_EQ(header.change_counter(), 1);
  EXPECT_FALSE(header.superseded());
}

TEST_P(RecordsTest, LongerRewriteRelocatesAndMovesTheChainHead) {
  const int64_t first = Add("Orders", "         1Alice");
  const int64_t second = Add("Orders", "         2Bob  ");
  const int64_t end = FileLength(db_.data_file());
  RecordHeader header;
  std::string data;
  int32_t length = -1;
  std::string err;
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, first, 15, length, &err));

  int64_t where = first;
  const std::string longer = "         1Alice Longname     ";
  ASSERT_TRUE(db_.WriteDatabaseRecord(header, longer, where, 29, length, &err)) << err;
  EXPECT_EQ(where, end);
  EXPECT_EQ(length, 29);
  EXPECT_EQ(NewestRecord("Orders"), end);

  RecordHeader moved;
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", moved, data, end, 100, length, &err)) << err;
  EXPECT_EQ(data, longer);
  EXPECT_EQ(moved.data_length(), 29);
  EXPECT_EQ(moved.previous(), second);  // the former head
  EXPECT_FALSE(moved.superseded());

  RecordHeader old;
  ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", old, data, first, 100, length, &err));
  EXPECT_TRUE(old.superseded());
  EXPECT_EQ(data, "         1Alice");
}

TEST_P(RecordsTest, WriteRefusals) {
  const int64_t offset = Add("Orders", "         1Alice");
  RecordHeader header = RecordHeader::ForNewRecord("Customers", -1, 15);
  int64_t where = offset;
  int32_t length = -1;
  std::string err;
  EXPECT_FALSE(db_.WriteDatabaseRecord(header, "         1Alice", where, 15, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Record at specified offset is not part of the table");
  header.set_table("Orders");
  where = offset + 3;
  EXPECT_FALSE(db_.WriteDatabaseRecord(header, "         1Alice", where, 15, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Invalid record offset");
  where = 1 << 20;
  EXPECT_FALSE(db_.WriteDatabaseRecord(header, "         1Alice", where, 15, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Error reading record header");
  // A table without a definition cannot take a relocated record.
  RecordHeader stranger = RecordHeader::ForNewRecord("Nobody", -1, 1);
  int64_t stranger_offset = -1;
  ASSERT_TRUE(db_.AppendDatabaseRecord(stranger, "x", stranger_offset, &err));
  EXPECT_FALSE(db_.WriteDatabaseRecord(stranger, "xyz", stranger_offset, 3, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Unable to read table definition");
}

TEST_P(RecordsTest, AppendNeverReachesTwoGigabytes) {
  // A sparse data file just below the limit.
  ASSERT_TRUE(FileTruncate(db_.data_file(), kMaxDataFileOffset - 100));
  struct Case {
    size_t data_length;
    bool fits;
  };
  for (const Case& c : {Case{12, false}, Case{11, true}}) {
    const int64_t before = FileLength(db_.data_file());
    const RecordHeader header =
        RecordHeader::ForNewRecord("Orders", -1, static_cast<int32_t>(c.data_length));
    int64_t offset = -1;
    std::string err;
    const int ok = db_.AppendDatabaseRecord(header, std::string(c.data_length, 'x'), offset, &err);
    EXPECT_EQ(ok, c.fits ? 1 : 0) << c.data_length;
    if (c.fits) {
      EXPECT_EQ(offset, kMaxDataFileOffset - 100);
      EXPECT_EQ(FileLength(db_.data_file()), kMaxDataFileOffset);
    } else {
      EXPECT_EQ(err, "AppendDatabaseRecord: The data file is full (records must end below 2 GiB)");
      EXPECT_EQ(FileLength(db_.data_file()), before);  // nothing written
    }
  }
}

TEST(RecordsNotConnectedTest, EveryOperationSaysSo) {
  testing::ScratchFolder scratch;
  Database db(scratch.path());
  RecordHeader header = RecordHeader::ForNewRecord("Orders", -1, 1);
  std::string data;
  int32_t length = 0;
  int64_t offset = 0;
  std::string err;
  EXPECT_FALSE(db.ReadDatabaseRecord("Orders", header, data, 0, 1, length, &err));
  EXPECT_EQ(err, "ReadDatabaseRecord: Not connected to database");
  EXPECT_FALSE(db.WriteDatabaseRecord(header, "x", offset, 1, length, &err));
  EXPECT_EQ(err, "WriteDatabaseRecord: Not connected to database");
  EXPECT_FALSE(db.AppendDatabaseRecord(header, "x", offset, &err));
  EXPECT_EQ(err, "AppendDatabaseRecord: Not connected to database");
  std::string last;
  db.GetLastErrorText(&last);
  EXPECT_EQ(last, "");
}

}  // namespace
}  // namespace zt

// The recordset table (handles, close, last-error texts) and the resultset
// row format, on a real database in a scratch folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "recordset/resultset_row.h"
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
    EXPECT_EQ(db_.CreateRecordset(handle), 1);
    return handle;
  }

  testing::ScratchFolder folder_;
  Database db_{folder_.File("work")};
};

TEST_F(RecordsetLifecycleTest, HandlesAreOneMoreThanTheLargestPresent) {
  EXPECT_EQ(Create(), 1);
  EXPECT_EQ(Create(), 2);
  EXPECT_EQ(Create(), 3);
  EXPECT_EQ(db_.RecordsetClose(2), 1);
  EXPECT_EQ(Create(), 4);
  EXPECT_EQ(db_.RecordsetClose(4), 1);
  EXPECT_EQ(Create(), 4);  // reused
}

TEST_F(RecordsetLifecycleTest, UnknownHandlesFailSilently) {
  const int32_t handle = Create();
  std::string text = "untouched";
  EXPECT_EQ(db_.RecordsetClose(handle + 1), 0);
  EXPECT_EQ(db_.RecordsetIsConnected(handle + 1), 0);
  EXPECT_EQ(db_.RecordsetGetLastErrorText(handle + 1, &text), 0);
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(db_.RecordsetGetLastErrorText(handle, nullptr), 0);
  db_.RecordsetClearFilters(handle + 1);  // ignored
  std::string db_error;
  db_.GetLastErrorText(&db_error);
  EXPECT_EQ(db_error, "");
}

TEST_F(RecordsetLifecycleTest, CreatedRecordsetIsNotConnectedAndHasNoErrorText) {
  const int32_t handle = Create();
  EXPECT_EQ(db_.RecordsetIsConnected(handle), 0);
  std::string text = "x";
  EXPECT_EQ(db_.RecordsetGetLastErrorText(handle, &text), 1);
  EXPECT_EQ(text, "");
}

TEST_F(RecordsetLifecycleTest, WithoutConnectionCreateFailsWithItsMessage) {
  db_.CloseDatabase();
  int32_t handle = 0;
  EXPECT_EQ(db_.CreateRecordset(handle), 0);
  std::string text;
  db_.GetLastErrorText(&text);
  EXPECT_EQ(text, "CreateRecordset: No database connection has been established!");
}

TEST_F(RecordsetLifecycleTest, CloseDatabaseClosesEveryRecordset) {
  Create();
  Create();
  db_.CloseDatabase();
  ASSERT_EQ(db_.OpenDatabase(folder_.File("db.dat").c_str(), 0), 1);
  EXPECT_EQ(db_.RecordsetClose(1), 0);
  EXPECT_EQ(Create(), 1);
}

TEST(ResultsetRow, GeneratedRowHasTheDocumentedBytes) {
  const ResultsetRow row = ResultsetRow::Generated("ORDERS", 8906, 1234, 40);
  const std::string bytes(row.bytes.data(), row.bytes.size());
  ASSERT_EQ(bytes.size(), 117u);
  EXPECT_EQ(bytes.substr(0, 7), std::string("ORDERS\0", 7));
  EXPECT_EQ(bytes.substr(33, 5), std::string("8906\0", 5));
  EXPECT_EQ(bytes.substr(44, 5), std::string("1234\0", 5));
  EXPECT_EQ(bytes.substr(55, 3), std::string("-1\0", 3));
  EXPECT_EQ(bytes.substr(66, 3), std::string("40\0", 3));
  EXPECT_EQ(bytes.substr(77, 4), "NNNN");
  EXPECT_EQ(bytes.substr(81, 3), std::string("-1\0", 3));
  EXPECT_EQ(bytes.substr(92, 2), std::string("0\0", 2));
  EXPECT_EQ(bytes.substr(103, 3), "YNN");
  EXPECT_EQ(bytes.substr(106, 2), std::string("0\0", 2));
  EXPECT_TRUE(row.active());
  EXPECT_EQ(ResultsetRowOffset(3), 234);
}

TEST(ResultsetRow, RowsAreReadAndWrittenByNumberOnly) {
  testing::ScratchFolder folder;
  const std::string path = folder.File("r.rs");
  ASSERT_EQ(FileCreate(path), 1);
  FileHandle file = kNoFile;
  ASSERT_EQ(FileOpen(file, path, 0), 1);
  ResultsetRow row = ResultsetRow::Generated("T", 0, 5, 10);
  row.set_flag(ResultsetRow::kSelectedFlag, true);
  EXPECT_EQ(WriteResultsetRow(file, 2, row), 1);
  EXPECT_EQ(FileLength(file), 234);
  ResultsetRow back;
  EXPECT_EQ(ReadResultsetRow(file, 2, back), 1);
  EXPECT_TRUE(back.selected());
  EXPECT_EQ(back.record_offset(), 5);
  EXPECT_EQ(ReadResultsetRow(file, 0, back), 0);
  EXPECT_EQ(WriteResultsetRow(file, 0, row), 0);
  EXPECT_EQ(ReadResultsetRow(file, 3, back), 0);  // past the end
  FileClose(file);
}

TEST(ResultsetRow, FileNamesAreUniqueFilesInTheTemporaryFolder) {
  testing::ScratchFolder folder;
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", folder.path().c_str(), 1);
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    const std::string name = MakeResultsetFileName(kResultsetPrefix, kResultsetExtension);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.rfind(folder.path() + "/rs", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 3), ".rs");
    EXPECT_TRUE(PathExists(name));  // made at once, so no one else can take it
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 20u);
  if (old) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

}  // namespace
}  // namespace zt

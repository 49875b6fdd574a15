// A small database for the recordset tests: a few tables whose key columns
// sit next to each other in the one index, records added through
// AddNewRecord, and helpers that read back what a recordset shows.
//
// Each test gets its own scratch folder, which also serves as TMPDIR, so the
// resultset and scratch files a test leaves behind can be counted.
#ifndef ZT_TESTS_RECORDSET_RECORDSET_FIXTURE_H_
#define ZT_TESTS_RECORDSET_RECORDSET_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "engine/record.h"
#include "recordset/recordsets.h"
#include "support/test_support.h"

namespace zt::testing {

class RecordsetFixture : public ::testing::Test {
 protected:
  // Tables in index order of their key prefixes: "partscode" < "peopleid" <
  // "zonezip", so People's keys have neighbours of other tables on both
  // sides.
  static DatabaseSchema Schema() {
    DatabaseSchema schema;
    schema.tables.push_back({"Parts", {{"Code", 10, 6, true}, {"Label", 10, 8}}});
    schema.tables.push_back(
        {"People", {{"Id", 1, 5, true}, {"Name", 10, 10}, {"Age", 1, 3}, {"Qty", 2, 4}}});
    schema.tables.push_back({"Zone", {{"Zip", 1, 5, true}}});
    return schema;
  }

  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) saved_tmpdir_ = old;
    tmp_ = folder_.File("tmp");
    ASSERT_TRUE(MakeFolder(tmp_));
    setenv("TMPDIR", tmp_.c_str(), 1);
    data_file_ = folder_.File("db.dat");
    std::string err;
    ASSERT_EQ(CreateDatabaseFiles(data_file_, Schema(), err), 1) << err;
    db_ = std::make_unique<Database>(folder_.File("work"));
    ASSERT_EQ(db_->OpenDatabase(data_file_.c_str(), 0), 1);
    rs_ = std::make_unique<Recordsets>(*db_);
    ASSERT_EQ(rs_->CreateRecordset(handle_), 1);
    Add("Parts", {"A1", "bolt"});
    Add("Zone", {"100"});
  }

  void TearDown() override {
    rs_.reset();
    db_.reset();
    if (saved_tmpdir_) {
      setenv("TMPDIR", saved_tmpdir_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

  // Adds a record whose columns hold values (padded to the column sizes);
  // returns its offset.
  int64_t Add(const std::string& table, const std::vector<std::string>& values) {
    TableDefinition definition;
    int64_t definition_offset = 0;
    EXPECT_EQ(db_->GetTableDef(table.c_str(), definition, definition_offset), 1);
    std::string data;
    for (int f = 0; f < definition.column_count(); ++f) {
      const std::string value = f < static_cast<int>(values.size()) ? values[f] : "";
      data += PadRight(value, static_cast<size_t>(definition.column_size(f)));
    }
    int64_t offset = -1;
    std::string err;
    EXPECT_EQ(
        db_->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, table.c_str(), &err), 1)
        << err;
    return offset;
  }

  int64_t AddPerson(int id, const std::string& name, int age = 20, const std::string& qty = "1") {
    return Add("People", {std::to_string(id), name, std::to_string(age), qty});
  }

  // The value of a column of the record at offset, trimmed.
  std::string Field(const std::string& table, int64_t offset, const std::string& column) {
    TableDefinition definition;
    int64_t definition_offset = 0;
    EXPECT_EQ(db_->GetTableDef(table.c_str(), definition, definition_offset), 1);
    RecordHeader header;
    std::string data;
    int32_t length = 0;
    std::string err;
    EXPECT_EQ(db_->ReadDatabaseRecord(table, header, data, offset, kMaxRecordLength, length, &err),
              1)
        << err;
    const int f = definition.find_column(column);
    EXPECT_GE(f, 0);
    return std::string(
        TrimBlanks(std::string_view(data).substr(static_cast<size_t>(definition.column_offset(f)),
                                                 static_cast<size_t>(definition.column_size(f)))));
  }

  // The column's values of every active row, in navigation order.
  std::vector<std::string> Rows(const std::string& column, const std::string& table = "People") {
    std::vector<std::string> out;
    if (!rs_->RecordsetMoveFirst(handle_)) return out;
    do {
      int64_t offset = -1;
      EXPECT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
      out.push_back(Field(table, offset, column));
    } while (rs_->RecordsetMoveNext(handle_));
    return out;
  }

  int32_t RowCount() {
    int32_t count = -1;
    EXPECT_EQ(rs_->RecordsetGetRowCount(handle_, count), 1);
    return count;
  }

  std::string RecordsetError() {
    std::string text;
    rs_->RecordsetGetLastErrorText(handle_, &text);
    return text;
  }

  std::string DatabaseError() {
    std::string text;
    db_->GetLastErrorText(&text);
    return text;
  }

  // Files the server left in the temporary folder (it should leave none).
  std::vector<std::string> TempFiles() { return ListFolder(tmp_, ""); }

  // Sets or clears one flag of row r (1-based) of the open recordset, as
  // damage or another path would leave it.
  void SetRowFlag(int32_t row, Row::Flag flag, bool on) {
    Recordset* recordset = rs_->Find(handle_);
    ASSERT_NE(recordset, nullptr);
    ASSERT_GE(row, 1);
    ASSERT_LE(row, recordset->row_count);
    recordset->mutable_row(row)->set_flag(flag, on);
  }

  ScratchFolder folder_;
  std::string tmp_;
  std::string data_file_;
  std::optional<std::string> saved_tmpdir_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Recordsets> rs_;  // before db_ goes: declared after it
  int32_t handle_ = 0;
};

}  // namespace zt::testing

#endif  // ZT_TESTS_RECORDSET_RECORDSET_FIXTURE_H_

// A small database for the recordset tests: one table People whose rows the
// test adds itself, and a way to see the order of a recordset's rows.
//
// People: Id (integer 6, key), Name (text 20), Num (integer 5), Gone (text
// 4, dropped), Code (text 3, key). Record length 38.
#ifndef ZT_TESTS_RECORDSET_PEOPLE_FIXTURE_H_
#define ZT_TESTS_RECORDSET_PEOPLE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "recordset/recordsets.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt::testing {

inline DatabaseSchema PeopleSchema() {
  DatabaseSchema schema;
  schema.tables.push_back(TableSchema{"People",
                                      {{"Id", 1, 6, true, false},
                                       {"Name", 0, 20, false, false},
                                       {"Num", 1, 5, false, false},
                                       {"Gone", 0, 4, false, true},
                                       {"Code", 0, 3, true, false}}});
  return schema;
}

class PeopleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_file_ = folder_.File("people.dat");
    CreateDatabase(data_file_, PeopleSchema());
    db_ = std::make_unique<Database>(folder_.File("work"));
    ASSERT_TRUE(db_->OpenDatabase(data_file_.c_str(), 0));
    rs_ = std::make_unique<Recordsets>(*db_);
  }

  // Stores a record; its Id is the number of records stored before plus 1.
  void Add(const std::string& name, const std::string& num = "") {
    const int id = stored_ + 1;
    const std::string data = PadLeft(std::to_string(id), 6) + PadRight(name, 20) + PadLeft(num, 5) +
                             PadRight("", 4) + PadRight("c", 3);
    int64_t offset = -1;
    std::string err;
    ASSERT_TRUE(db_->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "People", &err))
        << err;
    ++stored_;
  }
  void AddAll(const std::vector<std::string>& names) {
    for (const std::string& name : names) Add(name);
  }

  // A recordset opened on People (every record, in storage order).
  int32_t Open() {
    int32_t handle = 0;
    EXPECT_TRUE(rs_->CreateRecordset(handle));
    EXPECT_TRUE(rs_->RecordsetOpen(handle, "People"));
    return handle;
  }

  // The rows of the recordset in resultset order, each by its Name, or "#"
  // and its Num when the name is empty (a new row never edited reads "#");
  // "-" for a row navigation cannot stand on. The current row is put back
  // afterwards (when it was on an active row).
  std::vector<std::string> Rows(int32_t handle) {
    int32_t current = -1;
    rs_->RecordsetGetBookmark(handle, current);
    int32_t count = 0;
    rs_->RecordsetGetRowCount(handle, count);
    std::vector<std::string> rows;
    for (int32_t r = 1; r <= count; ++r) {
      std::string name, num;
      if (!rs_->RecordsetSetBookmark(handle, r)) {
        rows.push_back("-");
        continue;
      }
      EXPECT_TRUE(rs_->RecordsetGetFieldValue(handle, "Name", &name));
      EXPECT_TRUE(rs_->RecordsetGetFieldValue(handle, "Num", &num));
      rows.push_back(name.empty() ? "#" + num : name);
    }
    if (current >= 1) rs_->RecordsetSetBookmark(handle, current);
    return rows;
  }

  std::string Error(int32_t handle) {
    std::string text;
    rs_->RecordsetGetLastErrorText(handle, &text);
    return text;
  }
  int32_t Current(int32_t handle) {
    int32_t bookmark = -1;
    return rs_->RecordsetGetBookmark(handle, bookmark) ? bookmark : -1;
  }

  ScratchFolder folder_;
  std::string data_file_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Recordsets> rs_;  // before db_ goes: declared after it
  int stored_ = 0;
};

}  // namespace zt::testing

#endif  // ZT_TESTS_RECORDSET_PEOPLE_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/definition.h"
#include "recordset/people_fixture.h"

namespace zt::testing {
namespace {

class MetadataTest : public PeopleTest {};

// People's fields: 0 Id (1, 6, key), 1 Name (0, 20), 2 Num (1, 5),
// 3 Gone (0, 4, dropped), 4 Code (0, 3, key).
TEST_F(MetadataTest, DescribesEveryFieldDroppedOnesIncluded) {
  const int32_t h = Open();
  int32_t count = 0;
  ASSERT_TRUE(rs_->RecordsetGetFieldCount(h, count));
  EXPECT_EQ(count, 5);

  struct Expected {
    const char* name;
    const char* type;
    int32_t size;
    bool key;
  };
  const Expected expected[] = {{"Id", "1", 6, true},
                               {"Name", "0", 20, false},
                               {"Num", "1", 5, false},
                               {"Gone", "0", 4, false},
                               {"Code", "0", 3, true}};
  for (int32_t f = 0; f < 5; ++f) {
    SCOPED_TRACE(f);
    std::string name, type;
    int32_t size = 0;
    ASSERT_TRUE(rs_->RecordsetGetFieldName(h, f, name));
    EXPECT_EQ(name, expected[f].name);
    ASSERT_TRUE(rs_->RecordsetGetFieldInfo(h, f, name, type, size));
    EXPECT_EQ(name, expected[f].name);
    EXPECT_EQ(type, expected[f].type);
    EXPECT_EQ(size, expected[f].size);
    size = 0;
    ASSERT_TRUE(rs_->RecordsetGetFieldSize(h, f, size));
    EXPECT_EQ(size, expected[f].size);
    EXPECT_EQ(rs_->RecordsetIsFieldKeyColumn(h, f), expected[f].key ? 1 : 0);
    EXPECT_EQ(rs_->RecordsetIsFieldNullable(h, f), expected[f].key ? 0 : 1);
    EXPECT_EQ(rs_->RecordsetIsFieldABlob(h, f), 0);
  }
}

// Every operation that takes a field number, with its own texts.
struct FieldOperation {
  const char* name;
  const char* bad_field;
  const char* not_open;
  std::function<int(Recordsets&, int32_t, int32_t)> call;
};

std::vector<FieldOperation> FieldOperations() {
  return {
      {"GetFieldName", "RecordsetGetFieldName: Invalid field number!",
       "RecordsetGetFieldName: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) {
         std::string name;
         return rs.RecordsetGetFieldName(h, f, name);
       }},
      {"GetFieldInfo", "RecordsetGetFieldInfo: Invalid field number!",
       "RecordsetGetFieldInfo: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) {
         std::string name, type;
         int32_t size = 0;
         return rs.RecordsetGetFieldInfo(h, f, name, type, size);
       }},
      {"IsFieldNullable", "RecordsetIsFieldNullable: Invalid field number!",
       "RecordsetIsFieldNullable: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) { return rs.RecordsetIsFieldNullable(h, f); }},
      {"IsFieldKeyColumn", "RecordsetIsFieldKeyColumn: Invalid field number!",
       "RecordsetIsFieldKeyColumn: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) { return rs.RecordsetIsFieldKeyColumn(h, f); }},
      {"IsFieldABlob", "RecordsetIsFieldABlob: Invalid field number!",
       "RecordsetIsFieldABlob: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) { return rs.RecordsetIsFieldABlob(h, f); }},
      {"GetFieldSize", "RecordsetGetFieldSize: Field number not valid!",
       "RecordsetGetFieldSize: Recordset not open!",
       [](Recordsets& rs, int32_t h, int32_t f) {
         int32_t size = 0;
         return rs.RecordsetGetFieldSize(h, f, size);
       }},
  };
}

TEST_F(MetadataTest, FieldNumbersOutsideTheTableFailWithEachOperationsText) {
  const int32_t h = Open();
  for (const FieldOperation& op : FieldOperations()) {
    for (int32_t field : {-1, 5, 99, 1000}) {
      SCOPED_TRACE(::testing::Message() << op.name << " field " << field);
      EXPECT_EQ(op.call(*rs_, h, field), 0);
      EXPECT_EQ(Error(h), op.bad_field);
    }
  }
}

TEST_F(MetadataTest, CreatedButNeverOpenedRecordsetFailsWithNotOpenTexts) {
  int32_t h = 0;
  ASSERT_TRUE(rs_->CreateRecordset(h));
  for (const FieldOperation& op : FieldOperations()) {
    SCOPED_TRACE(op.name);
    EXPECT_EQ(op.call(*rs_, h, 0), 0);
    EXPECT_EQ(Error(h), op.not_open);
  }
  int32_t count = -1;
  EXPECT_FALSE(rs_->RecordsetGetFieldCount(h, count));
  EXPECT_EQ(Error(h), "RecordsetGetFieldCount: Recordset not open!");
  EXPECT_EQ(count, -1);
  // Unknown handles fail without a text anywhere.
  EXPECT_FALSE(rs_->RecordsetGetFieldCount(h + 1, count));
}

TEST_F(MetadataTest, AnswersFollowTheDefinitionFileAtTheMomentOfTheCall) {
  const int32_t h = Open();
  // Column 1 (Name) gets its key flag written as a lower-case 'y'.
  const long flag =
      static_cast<long>(DefinitionHeader::kSize + TableDefinition::kKeyFlagsOffset + 1);
  PokeByte(folder_.File("people.zdf"), flag, 'y');
  // Written behind the database's back: an exclusively opened database
  // keeps the definitions it has read until told to forget them.
  ASSERT_TRUE(db_->DropCaches());
  EXPECT_EQ(rs_->RecordsetIsFieldKeyColumn(h, 1), 1);
  EXPECT_EQ(rs_->RecordsetIsFieldNullable(h, 1), 0);
}

TEST_F(MetadataTest, DamagedColumnCountNeverReachesOutsideTheDefinition) {
  const int32_t h = Open();
  // A column count of 500 in the file: only the 99 slots of the record
  // exist, so 99 fields are counted and field 99 and beyond are refused.
  const std::string path = folder_.File("people.zdf");
  const long count =
      static_cast<long>(DefinitionHeader::kSize + TableDefinition::kColumnCountOffset);
  PokeByte(path, count, '5');
  PokeByte(path, count + 1, '0');
  PokeByte(path, count + 2, '0');
  PokeByte(path, count + 3, '\0');
  ASSERT_TRUE(db_->DropCaches());  // see above
  int32_t n = 0;
  ASSERT_TRUE(rs_->RecordsetGetFieldCount(h, n));
  EXPECT_EQ(n, kMaxColumns);
  std::string name;
  EXPECT_TRUE(rs_->RecordsetGetFieldName(h, 98, name));
  EXPECT_FALSE(rs_->RecordsetGetFieldName(h, 99, name));
  EXPECT_EQ(Error(h), "RecordsetGetFieldName: Invalid field number!");
}

}  // namespace
}  // namespace zt::testing

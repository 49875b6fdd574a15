#include "engine/definition.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/database.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::ScratchFolder;

class DefinitionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CreateDatabase(data_, testing::SmallShopSchema());
    ASSERT_TRUE(db_.OpenDatabase(data_.c_str(), 0));
  }
  std::string LastError() {
    std::string text;
    db_.GetLastErrorText(&text);
    return text;
  }
  std::string Zdf() { return testing::ReadFile(dir_.File("shop.zdf")); }

  ScratchFolder dir_;
  std::string data_ = dir_.File("shop.dat");
  Database db_{dir_.File("work")};
};

TEST_F(DefinitionTest, GetTableDefNameRules) {
  TableDefinition def;
  int64_t offset = -1;
  ASSERT_TRUE(db_.GetTableDef("Customers", def, offset));
  EXPECT_EQ(offset, 8906 + 12441);
  EXPECT_EQ(def.name(), "Customers");
  EXPECT_EQ(def.column_count(), 3);
  EXPECT_EQ(def.record_length(), 40);
  EXPECT_EQ(def.newest_record(), -1);

  for (const char* name : {" Orders ", "ORDERS", "orders"}) {
    EXPECT_TRUE(db_.GetTableDef(name, def, offset)) << "'" << name << "'";
    EXPECT_EQ(offset, 8906);
  }

  const std::string name32(32, 'a');
  EXPECT_FALSE(db_.GetTableDef(name32.c_str(), def, offset));
  EXPECT_EQ(LastError(), "") << "a 32-character name is accepted (and simply not found)";

  const std::string name33(33, 'b');
  EXPECT_FALSE(db_.GetTableDef(name33.c_str(), def, offset));
  EXPECT_EQ(LastError(), "GetTableDef: Table name exceeds maximum length - " + name33);

  EXPECT_FALSE(db_.GetTableDef(nullptr, def, offset));
  EXPECT_EQ(LastError(), "GetTableDef: Table name cannot be NULL.");
}

TEST_F(DefinitionTest, SlotsBeyondTheCountAreNotFound) {
  // Lower the count to 1: Customers (slot 1) must disappear, without a message.
  testing::PokeByte(dir_.File("shop.zdf"), 0, '1');
  TableDefinition def;
  int64_t offset = 0;
  EXPECT_TRUE(db_.GetTableDef("Orders", def, offset));
  EXPECT_FALSE(db_.GetTableDef("Customers", def, offset));
  EXPECT_EQ(LastError(), "");
}

TEST_F(DefinitionTest, RecordWhoseNameDisagreesWithItsSlot) {
  testing::PokeByte(dir_.File("shop.zdf"), 8906 + 12441, 'X');  // "Xustomers"
  TableDefinition def;
  int64_t offset = 0;
  EXPECT_FALSE(db_.GetTableDef("Customers", def, offset));
  EXPECT_EQ(LastError(), "GetTableDef: Unable to match requested table name");
}

TEST_F(DefinitionTest, UpdateTableDefWritesOnlyItsOwnRecord) {
  TableDefinition def;
  int64_t offset = 0;
  ASSERT_TRUE(db_.GetTableDef("Orders", def, offset));
  const std::string before = Zdf();

  def.set_newest_record(1234);
  EXPECT_FALSE(db_.UpdateTableDef(def, offset + 12441));
  EXPECT_EQ(LastError(), "UpdateTableDef: Invalid table offset specified");
  EXPECT_EQ(Zdf(), before) << "nothing may be written";

  ASSERT_TRUE(db_.UpdateTableDef(def, offset));
  const std::string after = Zdf();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(8906 + 55, 11), std::string("1234\0\0\0\0\0\0\0", 11));
  EXPECT_EQ(after.substr(0, 8906 + 55), before.substr(0, 8906 + 55));
  EXPECT_EQ(after.substr(8906 + 66), before.substr(8906 + 66));

  TableDefinition unknown = def;
  unknown.set_name("Nowhere");
  EXPECT_FALSE(db_.UpdateTableDef(unknown, offset));
}

TEST_F(DefinitionTest, LocationTextsRoundTripAndTouchNothingElse) {
  const std::string before = Zdf();
  LocationInformation fields = {"one", "two", "three", "4", "5", "6", "7", "eight"};
  ASSERT_TRUE(db_.SetLocationInformation(fields));
  LocationInformation read;
  ASSERT_TRUE(db_.GetLocationInformation(read));
  EXPECT_EQ(read, fields);
  const std::string after = Zdf();
  EXPECT_EQ(after.substr(0, 8426), before.substr(0, 8426));
  EXPECT_EQ(after.substr(8906), before.substr(8906));
  EXPECT_EQ(after.substr(8526, 4), std::string("two\0", 4));
  EXPECT_EQ(after.substr(8806, 6), std::string("eight\0", 6));
}

TEST_F(DefinitionTest, OverlongLocationIsCutInsideItsField) {
  LocationInformation fields;
  fields[3] = std::string(40, 'x');  // field 4 is 20 bytes wide
  fields[4] = "next";
  ASSERT_TRUE(db_.SetLocationInformation(fields));
  LocationInformation read;
  ASSERT_TRUE(db_.GetLocationInformation(read));
  EXPECT_EQ(read[3], std::string(19, 'x'));
  EXPECT_EQ(read[4], "next");
  EXPECT_EQ(Zdf()[8726 + 19], '\0');
}

TEST_F(DefinitionTest, DefinitionLocksAreNoOpsOnAnExclusiveDatabase) {
  EXPECT_TRUE(db_.LockTableDefinition("Orders"));
  EXPECT_TRUE(db_.LockTableDefinition("NoSuchTable"));
  EXPECT_TRUE(db_.UnlockTableDefinition("NoSuchTable"));
  EXPECT_FALSE(db_.LockTableDefinition(nullptr));
}

TEST(DefinitionLocks, LockTheTablesRecordAgainstOtherOpeners) {
  ScratchFolder dir;
  const std::string data = dir.File("shop.dat");
  testing::CreateDatabase(data, testing::SmallShopSchema());
  Database db(dir.File("work"));
  ASSERT_TRUE(db.OpenDatabase(data.c_str(), 1));
  // Another process's view of the definition file.
  File other;
  ASSERT_TRUE(other.Open(dir.File("shop.zdf"), 1));
  const int64_t orders = TableDefinitionOffset(0);
  const int64_t customers = TableDefinitionOffset(1);

  ASSERT_TRUE(db.LockTableDefinition("Orders"));
  EXPECT_FALSE(FileLockRegion(other.handle(), orders, TableDefinition::kSize));
  EXPECT_FALSE(FileLockRegion(other.handle(), orders + 100, 1)) << "the whole record is locked";
  EXPECT_TRUE(FileLockRegion(other.handle(), customers, TableDefinition::kSize));
  EXPECT_FALSE(db.LockTableDefinition("Customers"));
  EXPECT_FALSE(db.LockTableDefinition("NoSuchTable")) << "shared mode looks the table up";

  ASSERT_TRUE(db.UnlockTableDefinition("Orders"));
  EXPECT_TRUE(FileLockRegion(other.handle(), orders, TableDefinition::kSize));
  other.Close();
}

TEST_F(DefinitionTest, NotConnectedMessages) {
  Database closed(dir_.File("work"));
  TableDefinition def;
  int64_t offset = 0;
  LocationInformation fields;
  std::string text;
  EXPECT_FALSE(closed.GetTableDef("Orders", def, offset));
  closed.GetLastErrorText(&text);
  EXPECT_EQ(text, "GetTableDef: No database connection has been established!");
  EXPECT_FALSE(closed.UpdateTableDef(def, 8906));
  closed.GetLastErrorText(&text);
  EXPECT_EQ(text, "UpdateTableDef: No database connection has been established!");
  EXPECT_FALSE(closed.GetLocationInformation(fields));
  closed.GetLastErrorText(&text);
  EXPECT_EQ(text, "GetLocationInformation: No database connection has been established!");
  EXPECT_FALSE(closed.SetLocationInformation(fields));
  closed.GetLastErrorText(&text);
  EXPECT_EQ(text, "SetLocationInformation: No database connection has been established!");
  EXPECT_FALSE(closed.LockTableDefinition("Orders"));
  closed.GetLastErrorText(&text);
  EXPECT_EQ(text, "LockTableDefinition: No database connection has been established!");
}

}  // namespace
}  // namespace zt

#include "engine/database.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/codec.h"
#include "engine/definition.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "engine/index.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::ScratchFolder;

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CreateDatabase(data_, testing::SmallShopSchema()); }

  std::string LastError(const Database& db) {
    std::string text;
    db.GetLastErrorText(&text);
    return text;
  }
  // True when no handle of the Database keeps the file: an exclusive open
  // succeeds only when nobody else holds it.
  bool Released(const std::string& path) {
    File h;
    if (!h.Open(path, 0)) return false;
    h.Close();
    return true;
  }

  ScratchFolder dir_;
  std::string data_ = dir_.File("shop.dat");
  std::string rs_ = dir_.File("shop.rs");
  std::string work_ = dir_.File("work");
};

TEST_F(DatabaseTest, OpenAndCloseManageTheWriteFile) {
  Database db(work_);
  ASSERT_TRUE(db.OpenDatabase(data_.c_str(), 0)) << LastError(db);
  EXPECT_TRUE(db.IsConnected());
  EXPECT_TRUE(PathExists(rs_));
  EXPECT_TRUE(IsDirectory(work_)) << "the work folder is created on open";
  EXPECT_EQ(db.write_file_path(), rs_);
  EXPECT_TRUE(db.CloseDatabase());
  EXPECT_FALSE(db.IsConnected());
  EXPECT_FALSE(PathExists(rs_));
  EXPECT_TRUE(Released(data_));
  EXPECT_FALSE(db.CloseDatabase()) << "closing twice does nothing";
}

TEST_F(DatabaseTest, OpeningTwiceKeepsTheFirstConnection) {
  Database db(work_);
  ASSERT_TRUE(db.OpenDatabase(data_.c_str(), 0));
  EXPECT_FALSE(db.OpenDatabase(data_.c_str(), 0));
  EXPECT_EQ(LastError(db), "OpenDatabase: This object is already connected to a database");
  EXPECT_TRUE(db.IsConnected());
  TableDefinition def;
  int64_t offset = 0;
  EXPECT_TRUE(db.GetTableDef("Orders", def, offset)) << "the first connection still works";
  EXPECT_TRUE(PathExists(rs_));
}

TEST_F(DatabaseTest, SecondExclusiveOpenerFails) {
  Database first(work_), second(work_);
  ASSERT_TRUE(first.OpenDatabase(data_.c_str(), 0));
  EXPECT_FALSE(second.OpenDatabase(data_.c_str(), 0));
  EXPECT_EQ(LastError(second), "OpenDatabase: Could not open database file");
  EXPECT_TRUE(PathExists(rs_)) << "the failed opener must not touch the first one's write file";
  EXPECT_FALSE(second.OpenDatabase(data_.c_str(), 1));
}

TEST_F(DatabaseTest, EveryFailedOpenLeavesNothingBehind) {
  struct Case {
    const char* missing;  // sibling removed before the open
    const char* message;
  } cases[] = {
      {".dat", "OpenDatabase: Could not open database file"},
      {".zdf", "OpenDatabase: Error opening database definition file"},
      {".zix", "OpenDatabase: Error opening index file"},
  };
  for (const Case& c : cases) {
    ScratchFolder dir;
    const std::string data = dir.File("shop.dat");
    testing::CreateDatabase(data, testing::SmallShopSchema());
    FileDelete(DerivedFileName(data, c.missing));
    Database db(dir.File("work"));
    EXPECT_FALSE(db.OpenDatabase(data.c_str(), 0)) << c.missing;
    EXPECT_EQ(LastError(db), c.message);
    EXPECT_FALSE(db.IsConnected());
    EXPECT_FALSE(PathExists(dir.File("shop.rs"))) << c.missing;
    for (const char* ext : {".dat", ".zdf", ".zix"}) {
      const std::string path = DerivedFileName(data, ext);
      if (PathExists(path)) {
        EXPECT_TRUE(Released(path)) << path << " left open (" << c.missing << ")";
      }
    }
  }
}

TEST_F(DatabaseTest, WriteFileThatCannotBeMadeReleasesTheDataFile) {
  ASSERT_TRUE(MakeFolder(rs_));  // a folder where the write file belongs
  Database db(work_);
  EXPECT_FALSE(db.OpenDatabase(data_.c_str(), 0));
  EXPECT_EQ(LastError(db), "OpenDatabase: Unable to create a write file");
  EXPECT_TRUE(IsDirectory(rs_)) << "what was not created is not deleted";
  EXPECT_TRUE(Released(data_));
}

TEST_F(DatabaseTest, UnwritableWorkFolderFailsBeforeAnyFileIsTouched) {
  testing::WriteFile(dir_.File("plainfile"), "x");
  Database db(dir_.File("plainfile/work"));
  EXPECT_FALSE(db.OpenDatabase(data_.c_str(), 0));
  EXPECT_EQ(LastError(db), "OpenDatabase: Unable to create temporary folder.");
  EXPECT_FALSE(PathExists(rs_));
}

TEST_F(DatabaseTest, NullPathFailsWithoutAMessage) {
  Database db(work_);
  EXPECT_FALSE(db.OpenDatabase(nullptr, 0));
  EXPECT_EQ(LastError(db), "");
  EXPECT_FALSE(db.GetLastErrorText(nullptr));
}

TEST_F(DatabaseTest, DestructorClosesTheDatabase) {
  {
    Database db(work_);
    ASSERT_TRUE(db.OpenDatabase(data_.c_str(), 0));
  }
  EXPECT_FALSE(PathExists(rs_));
  EXPECT_TRUE(Released(data_));
}

TEST(DerivedFileName, ReplacesTheLastExtensionOfTheFileName) {
  EXPECT_EQ(DerivedFileName("/db/shop.dat", ".zdf"), "/db/shop.zdf");
  EXPECT_EQ(DerivedFileName("/db/shop", ".zix"), "/db/shop.zix");
  EXPECT_EQ(DerivedFileName("/db.v2/shop", ".rs"), "/db.v2/shop.rs");
  EXPECT_EQ(DerivedFileName("shop.tar.dat", ".rs"), "shop.tar.rs");
  EXPECT_EQ(DerivedFileName("shop.dat", ".rs"), "shop.rs");
  EXPECT_EQ(DerivedFileName("/db/.shop", ".rs"), "/db/.shop.rs");
}

TEST(ResolveAgainst, RelativePathsFollowTheConfigurationFile) {
  EXPECT_EQ(ResolveAgainst("/etc/zt/ztserver.ini", "data/shop.dat"), "/etc/zt/data/shop.dat");
  EXPECT_EQ(ResolveAgainst("/etc/zt/ztserver.ini", "/srv/shop.dat"), "/srv/shop.dat");
  EXPECT_EQ(ResolveAgainst("ztserver.ini", "shop.dat"), "shop.dat");
  EXPECT_EQ(ResolveAgainst("/ztserver.ini", "shop.dat"), "/shop.dat");
  EXPECT_EQ(ResolveAgainst("/etc/ztserver.ini", ""), "");
}

// A damaged definition or index is refused at open with a message that
// says what is wrong, instead of being trusted by every later read.
struct DamageCase {
  const char* name;
  const char* file_extension;
  int64_t offset;  // of a number field (11 wide) or the index page count (4)
  int64_t value;
  const char* message;
};

TEST_F(DatabaseTest, DamagedDefinitionsAreRefusedAtOpen) {
  const int64_t orders = TableDefinitionOffset(0);
  const DamageCase cases[] = {
      {"table count", ".zdf", 0, 300, "claims 300 tables"},
      {"record length", ".zdf", orders + TableDefinition::kRecordLengthOffset, 2147483647,
       "record length of 2147483647"},
      {"column sum", ".zdf", orders + TableDefinition::kColumnSizesOffset, 7,
       "column sizes add up to 62, not to its record length 61"},
      {"negative size", ".zdf", orders + TableDefinition::kColumnSizesOffset + 11, -20,
       "has the size -20"},
      {"column count", ".zdf", orders + TableDefinition::kColumnCountOffset, 500,
       "claims 500 columns"},
      {"index entries", ".zix", IndexPage::kCountOffset, 99, "index root page is damaged"},
  };
  for (const DamageCase& c : cases) {
    ScratchFolder dir;
    const std::string data = dir.File("shop.dat");
    testing::CreateDatabase(data, testing::SmallShopSchema());
    const std::string path = DerivedFileName(data, c.file_extension);
    std::string bytes = testing::ReadFile(path);
    if (std::string(c.file_extension) == ".zix") {
      const int32_t count = static_cast<int32_t>(c.value);
      bytes.replace(static_cast<size_t>(c.offset), 4, reinterpret_cast<const char*>(&count), 4);
    } else {
      char field[kNumberFieldWidth];
      PutNumberField(field, sizeof field, c.value);
      bytes.replace(static_cast<size_t>(c.offset), sizeof field, field, sizeof field);
    }
    testing::WriteFile(path, bytes);
    Database db(dir.File("work"));
    EXPECT_FALSE(db.OpenDatabase(data.c_str(), 0)) << c.name;
    const std::string why = LastError(db);
    EXPECT_NE(why.find("damaged"), std::string::npos) << c.name << ": " << why;
    EXPECT_NE(why.find(c.message), std::string::npos) << c.name << ": " << why;
    EXPECT_FALSE(PathExists(DerivedFileName(data, ".rs"))) << c.name;
  }
}

}  // namespace
}  // namespace zt

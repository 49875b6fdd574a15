// The bottom-up index build: whatever the number of keys, the new index
// passes the structural check, holds exactly the keys of the live records,
// serves searches, and takes further inserts (splits) like any other.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "engine/chain.h"
#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/database_check.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "engine/index_build.h"
#include "engine/index_check.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

using Entries = std::vector<std::tuple<std::string, int64_t>>;

class IndexBuildTest : public ::testing::Test {
 protected:
  void SetUp() override { Create(); }
  void Create() {
    for (const char* extension : {"", kDefinitionFileExtension, kIndexFileExtension}) {
      FileDelete(extension[0] == '\0' ? path_ : DerivedFileName(path_, extension));
    }
    DatabaseSchema schema;
    // Id unique; Group repeats (long runs of equal keys across pages).
    schema.tables.push_back({"Items", {{"Id", 1, 6, true}, {"Group", 0, 8, true}, {"Note", 0, 10}}});
    schema.tables.push_back({"Other", {{"Code", 0, 4, true}}});
    std::string err;
    ASSERT_EQ(CreateDatabaseFiles(path_, schema, err), 1) << err;
  }

  static std::string Item(int id, int group) {
    std::string data = std::to_string(id);
    data = std::string(6 - data.size(), ' ') + data + "g" + std::to_string(group);
    data.resize(24, ' ');
    return data;
  }

  // rows items in groups of 7, every third one then updated (a new key)
  // and every fifth deleted; a few rows in the second table.
  void Fill(Database& db, int rows) {
    std::string err;
    std::vector<int64_t> offsets;
    for (int i = 0; i < rows; ++i) {
      int64_t offset = -1;
      ASSERT_EQ(db.AddNewRecord(Item(i, i / 7), 24, offset, "Items", &err), 1) << err;
      offsets.push_back(offset);
    }
    for (int i = 0; i < rows; ++i) {
      if (i % 5 == 0) {
        ASSERT_EQ(db.DeleteRecord("Items", offsets[static_cast<size_t>(i)], &err), 1) << err;
      } else if (i % 3 == 0) {
        ASSERT_EQ(db.UpdateRecord(Item(i + 100000, 1), 24, offsets[static_cast<size_t>(i)], "Items", &err), 1)
            << err;
      }
    }
    for (const char* code : {"b", "A", "a", "c"}) {
      std::string data = code;
      data.resize(4, ' ');
      int64_t offset = -1;
      ASSERT_EQ(db.AddNewRecord(data, 4, offset, "Other", &err), 1) << err;
    }
  }

  // The live entries of the index file, in a canonical order.
  Entries LiveEntries(int64_t* height = nullptr) {
    File file;
    EXPECT_EQ(file.Open(DerivedFileName(path_, kIndexFileExtension), 0), 1);
    IndexCheckResult result;
    EXPECT_EQ(CheckIndex(file.handle(), result), 1)
        << (result.problems.empty() ? "" : result.problems[0]);
    if (height != nullptr) *height = result.height;
    Entries entries;
    for (const IndexCheckEntry& e : result.entries) {
      if (!e.dead) entries.emplace_back(e.key, e.record);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

  void ExpectClean() {
    Database db(folder_.File("work"));
    ASSERT_EQ(db.OpenDatabase(path_.c_str(), 0), 1);
    CheckReport report;
    EXPECT_TRUE(CheckDatabase(db, report)) << (report.problems.empty() ? "" : report.problems[0]);
  }

  ScratchFolder folder_;
  std::string path_ = folder_.File("db.dat");
};

TEST_F(IndexBuildTest, RebuiltIndexHoldsTheSameKeysAndTakesInsertsAtEverySize) {
  // 0 rows: an empty root; 3: a root leaf; the others one to four levels,
  // page boundaries at 19 entries per page and 20 children.
  for (const int rows : {0, 3, 12, 40, 380, 6000}) {
    SCOPED_TRACE(rows);
    Create();
    {
      Database db(folder_.File("work"));
      ASSERT_EQ(db.OpenDatabase(path_.c_str(), 0), 1);
      Fill(db, rows);
      ASSERT_EQ(db.CloseDatabase(), 1);
    }
    const Entries inserted = LiveEntries();
    std::string error;
    ASSERT_TRUE(RebuildIndexFile(path_, error)) << error;
    int64_t height = 0;
    EXPECT_EQ(LiveEntries(&height), inserted);
    if (rows == 6000) {
      EXPECT_EQ(height, 4);
    }
    ExpectClean();
    {
      // Searches find every key; inserts split the full pages as usual.
      Database db(folder_.File("work"));
      ASSERT_EQ(db.OpenDatabase(path_.c_str(), 0), 1);
      for (const auto& [key, record] : inserted) {
        IndexCursor cursor;
        ASSERT_EQ(db.index().IndexSeekExact(key, record, cursor), 1) << key;
      }
      std::string err;
      for (int i = 0; i < 300; ++i) {
        int64_t offset = -1;
        ASSERT_EQ(db.AddNewRecord(Item(200000 + i, i % 4), 24, offset, "Items", &err), 1) << err;
      }
      ASSERT_EQ(db.CloseDatabase(), 1);
    }
    ExpectClean();
  }
}

TEST_F(IndexBuildTest, MissingOrUnreadableIndexIsBuiltAnew) {
  {
    Database db(folder_.File("work"));
    ASSERT_EQ(db.OpenDatabase(path_.c_str(), 0), 1);
    Fill(db, 100);
    ASSERT_EQ(db.CloseDatabase(), 1);
  }
  const Entries inserted = LiveEntries();
  const std::string index_path = DerivedFileName(path_, kIndexFileExtension);
  const std::vector<std::pair<const char*, std::function<void()>>> damages = {
      {"deleted", [&] { FileDelete(index_path); }},
      {"root count out of range", [&] { PokeByte(index_path, IndexPage::kCountOffset, 99); }},
      {"cut to nothing", [&] { WriteFile(index_path, ""); }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    damage();
    std::string error;
    ASSERT_TRUE(RebuildIndexFile(path_, error)) << error;
    EXPECT_EQ(LiveEntries(), inserted);
    EXPECT_FALSE(PathExists(index_path + ".new"));
  }
}

TEST_F(IndexBuildTest, FailureLeavesTheOldIndexAndNoTemporaryFile) {
  {
    Database db(folder_.File("work"));
    ASSERT_EQ(db.OpenDatabase(path_.c_str(), 0), 1);
    Fill(db, 100);
    ASSERT_EQ(db.CloseDatabase(), 1);
  }
  const std::string index_path = DerivedFileName(path_, kIndexFileExtension);
  const std::string before = ReadFile(index_path);
  for (const FileFaults& faults : {FileFaults{.fail_write = 1}, FileFaults{.fail_sync = 1}}) {
    SetFileFaults(faults);
    std::string error;
    EXPECT_FALSE(RebuildIndexFile(path_, error));
    ClearFileFaults();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(ReadFile(index_path), before);
    EXPECT_FALSE(PathExists(index_path + ".new"));
  }
}

}  // namespace
}  // namespace zt::testing

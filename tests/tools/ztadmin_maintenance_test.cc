// ztadmin reindex: a damaged or missing index is built anew and the
// database checks clean; a server's database is refused untouched; a kill
// at any point of the work leaves a database that checks clean.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/filenames.h"
#include "engine/index.h"
#include "support/fixtures.h"
#include "support/server_process.h"
#include "support/test_support.h"
#include "tools/tool_test.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"
#include "ztadmin/maintenance.h"

namespace zt {
namespace {

using testing::ScratchFolder;

class MaintenanceTest : public testing::ShopToolTest {
 protected:
  int Reindex() {
    return Run([&](std::ostream& out, std::ostream& err) {
      return admin::ReindexCommand(path_, out, err, false);
    });
  }
};

TEST_F(MaintenanceTest, ReindexMendsAMissingOrDamagedIndex) {
  ASSERT_EQ(Check(), 0) << out_;
  const std::string sound_index = testing::ReadFile(index_path_);
  const std::vector<std::pair<const char*, std::function<void()>>> damages = {
      {"deleted", [&] { FileDelete(index_path_); }},
      {"empty", [&] { testing::WriteFile(index_path_, ""); }},
      {"root page damaged", [&] { testing::PokeByte(index_path_, IndexPage::kCountOffset, 77); }},
      {"a sound tree without the keys",
       [&] {
         FileDelete(index_path_);
         ASSERT_TRUE(IndexFile().IndexCreate(index_path_));
       }},
      {"an entry flagged dead",
       [&] {
         testing::PokeByte(index_path_,
                           IndexPage::kSize + IndexPage::kSlotsOffset + IndexEntry::kSize, 1);
       }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    testing::WriteFile(index_path_, sound_index);
    damage();
    EXPECT_EQ(Reindex(), 0) << out_;
    EXPECT_NE(out_.find("check: clean (150 live records"), std::string::npos) << out_;
    EXPECT_EQ(Check(), 0) << out_;
    EXPECT_FALSE(PathExists(index_path_ + ".new"));
  }
}

TEST_F(MaintenanceTest, ReindexRefusesADatabaseInUseAndChangesNothing) {
  const std::string before = Files();
  Database server(folder_.File("server"));
  ASSERT_TRUE(server.OpenDatabase(path_.c_str(), 0));
  EXPECT_EQ(Reindex(), 1);
  EXPECT_NE(out_.find("in use by a running server"), std::string::npos) << out_;
  server.CloseDatabase();
  EXPECT_EQ(Files(), before);
}

TEST_F(MaintenanceTest, ReindexKilledAtAnyPointLeavesADatabaseThatChecksClean) {
  // Kill points counted in writes, syncs and renames: every one up to the
  // first run that finishes.
  bool finished = false;
  for (int64_t point = 1; point < 400 && !finished; ++point) {
    SCOPED_TRACE(point);
    finished = testing::FinishesBeforeKillPoint(point, [&] {
      std::ostringstream out, err;
      return admin::ReindexCommand(path_, out, err, false);
    });
    // The check replays what the log holds, like every open.
    ASSERT_EQ(Check(), 0) << out_;
  }
  EXPECT_TRUE(finished);
}

// The server finds every record through a rebuilt index: an equality filter
// on the key column NO is an index lookup, and each gives its one live row
// (or none, for the deleted ones).
TEST(ReindexOverTheServer, EveryKeyedOpenFindsItsRow) {
  testing::ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  const std::string path = fixture.folder().File("db.dat");
  constexpr int kRows = 300;
  const auto deleted = [](int no) { return no % 5 == 0; };
  {
    Database db(fixture.folder().File("work"));
    ASSERT_TRUE(db.OpenDatabase(path.c_str(), 0));
    std::string err;
    for (int no = 1; no <= kRows; ++no) {
      const std::string data = PadLeft(std::to_string(no), 10) + PadRight("item", 20);
      int64_t offset = -1;
      ASSERT_TRUE(db.AddNewRecord(data, 30, offset, "ORDERS", &err)) << err;
      if (deleted(no)) {
        ASSERT_TRUE(db.DeleteRecord("ORDERS", offset, &err)) << err;
      }
    }
  }
  ASSERT_TRUE(FileDelete(DerivedFileName(path, kIndexFileExtension)));
  admin::ToolOptions options;
  options.work_folder = fixture.folder().File("work");
  admin::SetToolOptions(options);
  std::ostringstream out, err;
  ASSERT_EQ(admin::ReindexCommand(path, out, err, false), 0) << out.str() << err.str();
  admin::SetToolOptions({});

  ASSERT_TRUE(fixture.Start());
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(testing::Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  for (int no = 1; no <= kRows; ++no) {
    SCOPED_TRACE(no);
    const std::string n = std::to_string(no);
    ASSERT_EQ(testing::Ask(*client, "RECORDSETCLEARFILTERS~1"), "RECORDSETCLEARFILTERS~1");
    ASSERT_EQ(testing::Ask(*client, "RECORDSETADDFILTERCOLUMN~1~NO~=~" + n + "~0"),
              "RECORDSETADDFILTERCOLUMN~1");
    ASSERT_EQ(testing::Ask(*client, "RECORDSETOPEN~1~ORDERS"), "RECORDSETOPEN~1");
    ASSERT_EQ(testing::Ask(*client, "RECORDSETGETROWCOUNT~1"),
              std::string("RECORDSETGETROWCOUNT~1~") + (deleted(no) ? "0" : "1"));
  }
}

}  // namespace
}  // namespace zt

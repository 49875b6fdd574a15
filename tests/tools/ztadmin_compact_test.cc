// ztadmin compact: after many inserts, updates (in place, shrinking, and
// growing ones that relocate their record) and deletes over several
// tables, every live record is kept with its header, data and chain order,
// the definitions change in their newest-record offsets only, the file
// shrinks and checks clean, and the real server returns the same rows; a
// held database is refused untouched; a kill at any point leaves the old
// database or the compacted one, whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file_swap.h"
#include "engine/filenames.h"
#include "engine/record.h"
#include "support/fixtures.h"
#include "support/server_process.h"
#include "support/test_support.h"
#include "tools/tool_test.h"
#include "ztadmin/commands.h"
#include "ztadmin/maintenance.h"

namespace zt {
namespace {

// The shop's two tables and a third whose records are all deleted.
DatabaseSchema ChurnSchema() {
  DatabaseSchema schema = testing::SmallShopSchema();
  schema.tables.push_back(
      TableSchema{"Notes", {{"Id", 1, 6, true, false}, {"Text", 0, 50, false, false}}});
  schema.locations = {"Main St 1", "Springfield", "", "", "", "", "", "Shop"};
  return schema;
}

void Store(Database& db, const char* table, const std::string& data, int64_t& offset) {
  std::string err;
  ASSERT_TRUE(db.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, table, &err))
      << err;
}
void Change(Database& db, const char* table, const std::string& data, int64_t& offset) {
  std::string err;
  ASSERT_TRUE(db.UpdateRecord(data, static_cast<int32_t>(data.size()), offset, table, &err))
      << err;
}
void Remove(Database& db, const char* table, int64_t offset) {
  std::string err;
  ASSERT_TRUE(db.DeleteRecord(table, offset, &err)) << err;
}

// Fills a database of ChurnSchema with records of every history.
void Churn(const std::string& path) {
  Database db(TempFolder());
  ASSERT_TRUE(db.OpenDatabase(path.c_str(), 0));
  auto order = [](int i, const std::string& note) {
    return PadLeft(std::to_string(i), 6) + PadRight("cust" + std::to_string(i % 13), 20) +
           PadLeft(std::to_string(i % 50), 5) + PadRight(note, 30);
  };
  constexpr size_t kKeysOnly = 26;  // Id and Customer: a record that grows later
  std::vector<int64_t> orders(240), customers, notes;
  for (int i = 0; i < 240; ++i) {
    const std::string full = order(i, "note " + std::to_string(i));
    Store(db, "Orders", i % 3 == 0 ? full.substr(0, kKeysOnly) : full, orders[i]);
    if (i % 2 == 0) {
      customers.emplace_back();
      Store(db, "Customers", PadLeft(std::to_string(i), 6) + PadRight("name", 30) + "old ",
            customers.back());
    }
    if (i % 40 == 0) Store(db, "Notes", PadLeft(std::to_string(i), 6) + "text", notes.emplace_back());
  }
  for (int i = 0; i < 240; ++i) {
    if (i % 3 == 0) Change(db, "Orders", order(i, "grown"), orders[i]);  // relocates
    if (i % 5 == 1) Change(db, "Orders", order(i, "changed in place"), orders[i]);
    if (i % 7 == 2) Change(db, "Orders", order(i, "").substr(0, kKeysOnly), orders[i]);
  }
  for (int i = 0; i < 240; ++i) {
    if (i % 4 == 3) Remove(db, "Orders", orders[i]);
  }
  Remove(db, "Orders", orders[238]);  // the newest: the chain's head moves back
  for (size_t i = 0; i < customers.size(); i += 3) Remove(db, "Customers", customers[i]);
  for (const int64_t offset : notes) Remove(db, "Notes", offset);
  int64_t late = -1;
  Store(db, "Orders", order(900, "after the deletes"), late);
  ASSERT_TRUE(db.CloseDatabase());
}

// What a reader can see of a database: every table's live records in chain
// order, each header with its previous-record field blanked (the one field
// compaction rewrites) and the data as stored; the definition file with its
// newest-record fields blanked.
struct Visible {
  std::vector<std::string> records;
  std::string definitions;
  bool operator==(const Visible&) const = default;
};

Visible TakeVisible(const std::string& path) {
  Visible visible;
  Database db(TempFolder());
  EXPECT_TRUE(db.OpenDatabase(path.c_str(), 0));
  std::vector<std::string> names;
  EXPECT_TRUE(db.GetTableNames(names));
  visible.definitions = testing::ReadFile(DerivedFileName(path, kDefinitionFileExtension));
  for (size_t slot = 0; slot < names.size(); ++slot) {
    TableDefinition definition;
    int64_t at = 0;
    EXPECT_TRUE(db.GetTableDef(names[slot].c_str(), definition, at));
    std::string problem;
    EXPECT_TRUE(WalkChain(
        db, definition, kMaxRecordLength,
        [&](const ChainRecord& record) {
          if (record.header.superseded()) return;
          RecordHeader header = record.header;
          header.set_previous(0);
          visible.records.push_back(names[slot] + ":" +
                                    std::string(header.bytes.data(), header.bytes.size()) +
                                    record.data);
        },
        problem))
        << problem;
    std::fill_n(visible.definitions.begin() + TableDefinitionOffset(static_cast<int>(slot)) +
                    TableDefinition::kNewestRecordOffset,
                kNumberFieldWidth, '\0');
  }
  return visible;
}

class CompactTest : public testing::ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    testing::CreateDatabase(path_, ChurnSchema());
    Churn(path_);
  }
  int Compact() {
    return Run([&](std::ostream& out, std::ostream& err) {
      return admin::CompactCommand(path_, out, err, false);
    });
  }
  void RestoreFiles(const std::string& data, const std::string& definitions,
                    const std::string& index) const {
    testing::WriteFile(path_, data);
    testing::WriteFile(definition_path_, definitions);
    testing::WriteFile(index_path_, index);
  }
  bool NothingLeftOver() const {
    return !PathExists(DerivedFileName(path_, kSwapMarkerExtension)) &&
           !PathExists(ReplacementDataFileName(path_)) &&
           !PathExists(DerivedFileName(ReplacementDataFileName(path_), kIndexFileExtension));
  }
};

TEST_F(CompactTest, KeepsEveryLiveRecordInChainOrderAndShrinksTheFile) {
  const Visible before = TakeVisible(path_);
  ASSERT_GT(before.records.size(), 200u);
  const int64_t old_length = PathLength(path_);
  ASSERT_EQ(Compact(), 0) << out_;
  EXPECT_NE(out_.find(" reclaimed)"), std::string::npos) << out_;
  EXPECT_TRUE(NothingLeftOver());

  EXPECT_TRUE(TakeVisible(path_) == before);
  // Nothing but the live records is left.
  int64_t live_bytes = 0;
  for (const std::string& record : before.records) {
    live_bytes += static_cast<int64_t>(record.size() - record.find(':') - 1);
  }
  EXPECT_EQ(PathLength(path_), live_bytes);
  EXPECT_LT(live_bytes, old_length);
  {
    Database db(TempFolder());
    ASSERT_TRUE(db.OpenDatabase(path_.c_str(), 0));
    TableDefinition notes;
    int64_t at = 0;
    ASSERT_TRUE(db.GetTableDef("Notes", notes, at));
    EXPECT_EQ(notes.newest_record(), -1);
  }
  EXPECT_EQ(Check(), 0) << out_;

  // A compact database compacts to itself.
  const std::string compacted = Files();
  ASSERT_EQ(Compact(), 0) << out_;
  EXPECT_NE(out_.find("data file  " + std::to_string(live_bytes) + " -> " +
                      std::to_string(live_bytes) + " bytes (0 reclaimed)"),
            std::string::npos)
      << out_;
  EXPECT_EQ(Files(), compacted);
}

TEST_F(CompactTest, RefusesADatabaseInUseOrMissingAndChangesNothing) {
  const std::string data = testing::ReadFile(path_);
  // What no chain reaches but is not known garbage is never dropped.
  const RecordHeader stray = RecordHeader::ForNewRecord("Orders", -1, 10);
  const std::vector<std::pair<const char*, std::string>> damages = {
      {"a torn tail", "[ZTS123]\0"},
      {"a live record on no chain",
       std::string(stray.bytes.data(), stray.bytes.size()) + "    77cust"},
  };
  for (const auto& [name, tail] : damages) {
    SCOPED_TRACE(name);
    testing::WriteFile(path_, data + tail);
    const std::string damaged = Files();
    EXPECT_EQ(Compact(), 1);
    EXPECT_NE(out_.find("ztadmin check tells more"), std::string::npos) << out_;
    EXPECT_EQ(Files(), damaged);
    EXPECT_TRUE(NothingLeftOver());
  }
  testing::WriteFile(path_, data);

  const std::string before = Files();
  // A full disk at the log, the new data file, the new index: the old
  // files stay, and nothing is left beside them.
  for (const int64_t free_bytes : {int64_t{100}, PathLength(path_) / 2, PathLength(path_) + 50000}) {
    SCOPED_TRACE(free_bytes);
    SetFileFaults(FileFaults{.disk_free_bytes = free_bytes});
    EXPECT_EQ(Compact(), 1);
    ClearFileFaults();
    EXPECT_NE(out_.find("No space left on device"), std::string::npos) << out_;
    EXPECT_EQ(Files(), before);
    EXPECT_TRUE(NothingLeftOver());
  }

  {
    Database server(folder_.File("server"));
    ASSERT_TRUE(server.OpenDatabase(path_.c_str(), 0));
    EXPECT_EQ(Compact(), 1);
    EXPECT_NE(out_.find("in use by a running server"), std::string::npos) << out_;
  }
  EXPECT_EQ(Files(), before);
  EXPECT_TRUE(NothingLeftOver());
  EXPECT_EQ(Run([&](std::ostream& out, std::ostream& err) {
              return admin::CompactCommand(folder_.File("none.dat"), out, err, false);
            }),
            1);
  EXPECT_NE(out_.find("no such database file"), std::string::npos) << out_;
}

TEST_F(CompactTest, KilledAtAnyPointLeavesTheOldDatabaseOrTheCompactedOne) {
  const Visible visible = TakeVisible(path_);
  const std::string data = testing::ReadFile(path_);
  const std::string definitions = testing::ReadFile(definition_path_);
  const std::string index = testing::ReadFile(index_path_);
  const std::string before = Files();
  ASSERT_EQ(Compact(), 0) << out_;
  const std::string after = Files();
  ASSERT_NE(after, before);

  // Kill points counted in writes, syncs and renames: every one up to the
  // first run that finishes.
  bool finished = false;
  bool seen_after = false;
  for (int64_t point = 1; point < 400 && !finished; ++point) {
    SCOPED_TRACE(point);
    RestoreFiles(data, definitions, index);
    finished = testing::FinishesBeforeKillPoint(point, [&] {
      std::ostringstream out, err;
      return admin::CompactCommand(path_, out, err, false);
    });
    // The check's open finishes or discards the swap and replays the log.
    ASSERT_EQ(Check(), 0) << out_;
    const std::string files = Files();
    ASSERT_TRUE(files == before || files == after);
    EXPECT_FALSE(seen_after && files == before);
    seen_after = seen_after || files == after;
    EXPECT_TRUE(NothingLeftOver());
    EXPECT_TRUE(TakeVisible(path_) == visible);
  }
  EXPECT_TRUE(finished);
}

// The real server, before and after: every table opened whole and through
// the index returns the same rows in the same order.
TEST(CompactOverTheServer, TheServerReturnsTheSameRowsInTheSameOrder) {
  testing::ServerFixture fixture(/*with_database=*/false);
  const std::string path = fixture.folder().File("db.dat");
  testing::CreateDatabase(path, ChurnSchema());
  Churn(path);
  if (::testing::Test::HasFatalFailure()) return;

  struct Open {
    const char* table;
    const char* key;  // empty: the whole table in chain order
    const char* from;
    std::vector<const char*> columns;
  };
  const std::vector<Open> opens = {
      {"Orders", "", "", {"Id", "Customer", "Qty", "Note"}},
      {"Orders", "Customer", "cust4", {"Id", "Customer", "Note"}},
      {"Customers", "", "", {"Id", "Name"}},
      {"Customers", "Id", "100", {"Id", "Name"}},
      {"Notes", "", "", {"Id", "Text"}},
  };
  auto rows_seen = [&]() {
    std::vector<std::string> rows;
    EXPECT_TRUE(fixture.Start()) << testing::ReadFile(fixture.output());
    auto client = fixture.Connect();
    EXPECT_NE(client, nullptr);
    if (client == nullptr) return rows;
    for (const Open& open : opens) {
      const auto h = client->CreateRecordset();
      EXPECT_TRUE(h.ok());
      const ztserver::Status opened = *open.key == '\0'
                                          ? client->RecordsetOpen(*h, open.table)
                                          : client->RecordsetOpenFloor(*h, open.table, open.key,
                                                                       open.from);
      EXPECT_TRUE(opened.ok()) << opened.message();
      rows.push_back(std::string(open.table) + " rows: " +
                     std::to_string(client->RecordsetGetRowCount(*h).value_or(-1)));
      for (ztserver::Status more = client->RecordsetMoveFirst(*h); more;
           more = client->RecordsetMoveNext(*h)) {
        std::string row;
        for (const char* column : open.columns) {
          row += client->RecordsetGetFieldValue(*h, column).value_or("?") + "|";
        }
        rows.push_back(row);
      }
      EXPECT_TRUE(client->RecordsetClose(*h).ok());
    }
    client->Close();
    EXPECT_EQ(fixture.server().Stop(), 0);
    return rows;
  };

  const std::vector<std::string> before = rows_seen();
  ASSERT_GT(before.size(), 200u);
  admin::ToolOptions options;
  options.work_folder = fixture.folder().File("work");
  admin::SetToolOptions(options);
  std::ostringstream out, err;
  const int64_t old_length = PathLength(path);
  ASSERT_EQ(admin::CompactCommand(path, out, err, false), 0) << out.str() << err.str();
  admin::SetToolOptions({});
  EXPECT_LT(PathLength(path), old_length);
  EXPECT_EQ(rows_seen(), before);
}

}  // namespace
}  // namespace zt

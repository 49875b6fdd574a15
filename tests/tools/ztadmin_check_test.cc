// ztadmin check: a sound database passes; each kind of damage is named.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "engine/database.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "ztadmin/check.h"

namespace zt {
namespace {

using testing::ScratchFolder;

class CheckCommandTest : public ::testing::Test {
 protected:
  // Three orders (Id 1, 2, 3) and one customer; offsets_ in append order.
  void SetUp() override { Build(); }

  // A fresh database under a new name; the earlier ones stay as they are.
  void Build() {
    ++built_;
    path_ = folder_.File("shop" + std::to_string(built_) + ".dat");
    offsets_.clear();
    testing::CreateDatabase(path_, testing::SmallShopSchema());
    Database db(folder_.File("work"));
    ASSERT_TRUE(db.OpenDatabase(path_.c_str(), 0));
    for (const char* id : {"1", "2", "3"}) {
      const std::string data = PadLeft(id, 6) + PadRight(std::string("cust") + id, 20) +
                               PadLeft("1", 5) + PadRight("", 30);
      int64_t offset = -1;
      std::string err;
      ASSERT_TRUE(db.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "Orders", &err))
          << err;
      offsets_.push_back(offset);
    }
    const std::string customer = PadLeft("9", 6) + PadRight("Name", 30) + PadRight("", 4);
    int64_t offset = -1;
    std::string err;
    ASSERT_TRUE(db.AddNewRecord(customer, static_cast<int32_t>(customer.size()), offset,
                                "Customers", &err));
  }

  // Runs the check; returns its exit status and leaves the report in out_.
  int Check() {
    std::ostringstream out, err;
    const int status = admin::CheckCommand(path_, out, err);
    out_ = out.str() + err.str();
    return status;
  }

  int Repair(const admin::CheckOptions& options) {
    std::ostringstream out, err;
    const int status = admin::CheckCommand(path_, options, out, err);
    out_ = out.str() + err.str();
    return status;
  }

  // The three files of the current database, end to end.
  std::string DatabaseBytes() const {
    const std::string base = path_.substr(0, path_.size() - 4);
    return testing::ReadFile(path_) + "|" + testing::ReadFile(base + ".zdf") + "|" +
           testing::ReadFile(base + ".zix");
  }

  // Opens the database, runs change, closes it again.
  void WithDatabase(const std::function<void(Database&)>& change) {
    Database db(folder_.File("work"));
    ASSERT_TRUE(db.OpenDatabase(path_.c_str(), 0));
    change(db);
  }

  static std::string OrdersKey(const char* column, const char* value, int32_t size, int32_t type) {
    return MakeIndexKey("Orders", column, value, size, type);
  }

  struct Damage {
    const char* name;
    std::function<void()> damage;
    const char* expected;  // in the check's report
    const char* repair;    // the repair --repair lists; null: none is safe
  };
  std::vector<Damage> Damages() {
    return {
        {"index entry removed",
         [&] {
           WithDatabase([&](Database& db) {
             db.index().IndexDelete(OrdersKey("Customer", "cust2", 20, 0), offsets_[1]);
           });
         },
         "key 'OrdersCustomercust2", "repair: rebuild the index"},
        {"index entry to another record",
         [&] {
           WithDatabase([&](Database& db) {
             db.index().IndexInsert(OrdersKey("Id", "2", 6, 1), offsets_[0]);
           });
         },
         "holds another value", "repair: drop index entry 'OrdersId"},
        {"index entry to nowhere",
         [&] {
           WithDatabase(
               [&](Database& db) { db.index().IndexInsert(OrdersKey("Id", "5", 6, 1), 7); });
         },
         "no record of any table's chain starts there", "repair: drop index entry 'OrdersId"},
        {"record flagged but still indexed",
         [&] {
           testing::PokeByte(path_,
                             static_cast<long>(offsets_[1] + RecordHeader::kSupersededOffset), 'Y');
         },
         "superseded or deleted", "repair: drop index entry 'OrdersCustomercust2"},
        {"chain loop",
         [&] {
           WithDatabase([&](Database& db) {
             RecordHeader h;
             ASSERT_TRUE(FileReadAt(db.data_file(), h.bytes.data(), h.bytes.size(), offsets_[0]));
             h.set_previous(offsets_[2]);
             ASSERT_TRUE(FileWriteAt(db.data_file(), h.bytes.data(), h.bytes.size(), offsets_[0]));
           });
         },
         "the chain loops", nullptr},
        {"broken marker", [&] { testing::PokeByte(path_, static_cast<long>(offsets_[1]), 'X'); },
         "Invalid record offset", nullptr},
        {"data length overlapping the next record",
         [&] {
           testing::PokeByte(path_,
                             static_cast<long>(offsets_[2] + RecordHeader::kDataLengthOffset), '9');
         },
         "no record header at", nullptr},
        {"live record outside the chain",
         [&] {
           WithDatabase([&](Database& db) {
             const std::string data(61, 'z');
             int64_t at = -1;
             std::string err;
             ASSERT_TRUE(db.AppendDatabaseRecord(RecordHeader::ForNewRecord("Orders", -1, 61), data,
                                                 at, &err));
           });
         },
         "is live but not in its table's chain", nullptr},
        {"data file cut short",
         [&] {
           WithDatabase([&](Database& db) {
             ASSERT_TRUE(FileTruncate(db.data_file(), FileLength(db.data_file()) - 10));
           });
         },
         "runs past the end", nullptr},
        {"index page count damaged",
         [&] { testing::PokeByte(folder_.File("shop" + std::to_string(built_) + ".zix"), 24, 19); },
         "index: ", "repair: rebuild the index"},
        {"torn append after the last record",
         [&] {
           WithDatabase([&](Database& db) {
             const RecordHeader h = RecordHeader::ForNewRecord("Orders", offsets_[2], 61);
             const std::string torn = std::string(h.bytes.data(), h.bytes.size()) + "12";
             int64_t at = -1;
             ASSERT_TRUE(FileAppend(db.data_file(), torn.data(), torn.size(), at));
           });
         },
         "runs past the end", "repair: cut the data file at"},
        {"torn tail and a stray entry into it",
         [&] {
           WithDatabase([&](Database& db) {
             int64_t end = -1;
             ASSERT_TRUE(FileAppend(db.data_file(), "[ZTS1", 5, end));
             db.index().IndexInsert(OrdersKey("Id", "4", 6, 1), end);
           });
         },
         "bytes at its end are no whole record header", "repair: cut the data file at"},
    };
  }

  ScratchFolder folder_;
  std::string path_;
  std::vector<int64_t> offsets_;
  std::string out_;
  int built_ = 0;
};

TEST_F(CheckCommandTest, SoundDatabasePasses) {
  EXPECT_EQ(Check(), 0) << out_;
  EXPECT_NE(out_.find("4 live records, 7 live index entries, 0 problems"), std::string::npos)
      << out_;
  // The program itself, for its exit status.
  std::string output;
  EXPECT_EQ(testing::RunCommand(std::string(ZT_BINARY_DIR) + "/ztadmin check " + path_, &output), 0)
      << output;
}

TEST_F(CheckCommandTest, EachDamageIsReported) {
  for (const Damage& c : Damages()) {
    SCOPED_TRACE(c.name);
    Build();
    ASSERT_EQ(Check(), 0) << out_;
    c.damage();
    EXPECT_EQ(Check(), 1) << out_;
    EXPECT_NE(out_.find(c.expected), std::string::npos) << out_;
  }
}

// --repair --yes mends what it lists and the database checks clean; where
// no repair is safe it says so and changes no byte.
TEST_F(CheckCommandTest, RepairMendsWhatIsSafeAndTouchesNothingElse) {
  for (const Damage& c : Damages()) {
    SCOPED_TRACE(c.name);
    Build();
    c.damage();
    const std::string before = DatabaseBytes();
    EXPECT_EQ(Repair({.repair = true, .yes = true}), c.repair ? 0 : 1) << out_;
    if (c.repair == nullptr) {
      EXPECT_NE(out_.find("no repair is safe"), std::string::npos) << out_;
      EXPECT_TRUE(DatabaseBytes() == before);  // (not printed: binary)
      continue;
    }
    EXPECT_NE(out_.find(c.repair), std::string::npos) << out_;
    EXPECT_NE(out_.find("repaired; checking again"), std::string::npos) << out_;
    EXPECT_EQ(Check(), 0) << out_;
    // The records every test case started with are still there.
    WithDatabase([&](Database& db) {
      for (size_t i = 0; i < offsets_.size(); ++i) {
        RecordHeader header;
        std::string data;
        int32_t length = 0;
        std::string why;
        EXPECT_TRUE(db.ReadDatabaseRecord("Orders", header, data, offsets_[i], 61, length, &why))
            << i << ": " << why;
      }
    });
  }
}

TEST_F(CheckCommandTest, RepairsWaitForConfirmation) {
  struct Case {
    const char* name;
    admin::CheckOptions options;
    int status;
    bool made;
  } cases[] = {
      {"nobody to ask", {.repair = true}, 1, false},
      {"declined", {.repair = true, .confirm = [](const std::string&) { return false; }}, 1, false},
      {"confirmed", {.repair = true, .confirm = [](const std::string&) { return true; }}, 0, true},
      {"check alone", {}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build();
    WithDatabase([&](Database& db) { db.index().IndexInsert(OrdersKey("Id", "5", 6, 1), 7); });
    const std::string before = DatabaseBytes();
    EXPECT_EQ(Repair(c.options), c.status) << out_;
    EXPECT_EQ(DatabaseBytes() != before, c.made);
    EXPECT_EQ(out_.find("repair: drop index entry") != std::string::npos, c.options.repair) << out_;
  }
  std::string output;
  EXPECT_EQ(testing::RunCommand(std::string(ZT_BINARY_DIR) + "/ztadmin check " + path_ +
                                    " --repair --yes </dev/null",
                                &output),
            0)
      << output;
}

TEST_F(CheckCommandTest, MissingDatabaseFails) {
  path_ = folder_.File("none.dat");
  EXPECT_EQ(Check(), 1);
  EXPECT_NE(out_.find("no such database file"), std::string::npos) << out_;
}

}  // namespace
}  // namespace zt

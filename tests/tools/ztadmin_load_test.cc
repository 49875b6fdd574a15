#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/definition.h"
#include "engine/filenames.h"
#include "engine/index_key.h"
#include "engine/record.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::RunCommand;
using testing::ScratchFolder;
using testing::WriteFile;

const std::string kZtadmin = std::string(ZT_BINARY_DIR) + "/ztadmin";

class ZtadminLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CreateDatabase(data_, testing::SmallShopSchema()); }

  int Load(const std::string& csv, std::string* out) {
    WriteFile(dir_.File("rows.csv"), csv);
    return RunCommand(kZtadmin + " load " + data_ + " Orders " + dir_.File("rows.csv"), out);
  }
  // Live records of Orders, from describe.
  std::string OrdersLine() {
    std::string out;
    RunCommand(kZtadmin + " describe " + data_, &out);
    const size_t at = out.find("Table Orders");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }

  ScratchFolder dir_;
  std::string data_ = dir_.File("shop.dat");
};

TEST_F(ZtadminLoadTest, AppendsRowsThroughTheIndex) {
  std::string out;
  ASSERT_EQ(Load("Id,Customer,Qty,Note\n7,Smith,3,\"first, quoted\"\n12,Jones,1,\n\n", &out), 0)
      << out;
  EXPECT_EQ(out, "loaded 2 rows into Orders\n");
  EXPECT_EQ(OrdersLine(), "Table Orders  (record length 61, 2 records)");
  ASSERT_EQ(Load("customer,ID\nBrown,3\n", &out), 0) << "columns in any order and case: " << out;
  EXPECT_EQ(OrdersLine(), "Table Orders  (record length 61, 3 records)");

  Database db(dir_.File("work"));
  ASSERT_TRUE(db.OpenDatabase(data_.c_str(), 0));
  TableDefinition def;
  int64_t def_offset = 0;
  ASSERT_TRUE(db.GetTableDef("Orders", def, def_offset));
  IndexCursor cursor;
  // Numeric keys are right-justified in the index: "7" is stored as "     7".
  for (const char* id : {"7", "12", "3"}) {
    EXPECT_TRUE(db.index().IndexSeekEqual(MakeIndexKey("Orders", "Id", id, 6, 1), cursor)) << id;
  }
  ASSERT_TRUE(
      db.index().IndexSeekEqual(MakeIndexKey("Orders", "Customer", "Smith", 20, 0), cursor));
  std::string data;
  int32_t length = 0;
  std::string err;
  RecordHeader header;
  ASSERT_TRUE(db.ReadDatabaseRecord("Orders", header, data, cursor.record, 61, length, &err))
      << err;
  EXPECT_EQ(data,
            std::string("7     Smith               3    first, quoted") + std::string(17, ' '));
}

TEST_F(ZtadminLoadTest, AFailingRowStopsTheLoadBeforeItIsWritten) {
  struct Case {
    std::string csv;
    std::string message;  // what ztadmin says on standard error
    int loaded;
  } cases[] = {
      {"Id,Customer\n1,a\n,b\n", "rows.csv:3: RecordsetAreAllKeysPopulated: Id cannot be NULL", 1},
      {"Id,Customer\n1,a\n2,   \n",
       "rows.csv:3: RecordsetAreAllKeysPopulated: Customer cannot be NULL", 1},
      {"Id,Note\n1," + std::string(31, 'n') + "\n",
       "rows.csv:2: the value of column 'Note' has 31 characters; the column holds 30", 0},
      {"Id,Customer,Colour\n1,a,red\n", "rows.csv:1: unknown column 'Colour' in table 'Orders'", 0},
      {"Id,Customer,ID\n", "rows.csv:1: column 'ID' is named twice", 0},
      {"Id,Customer\n1,a\n2,b,c\n", "rows.csv:3: expected 2 fields, found 3", 1},
      {"Id,Customer\n1,a\n2,\"b\n", "rows.csv:3: a quoted field is not closed", 1},
  };
  for (const Case& c : cases) {
    ScratchFolder dir;
    const std::string data = dir.File("shop.dat");
    testing::CreateDatabase(data, testing::SmallShopSchema());
    WriteFile(dir.File("rows.csv"), c.csv);
    std::string out;
    EXPECT_EQ(RunCommand(kZtadmin + " load " + data + " Orders " + dir.File("rows.csv") +
                             " 2>&1 >/dev/null",
                         &out, false),
              1)
        << c.csv;
    EXPECT_EQ(out, "ztadmin: " + dir.File(c.message) + "\n") << c.csv;
    std::string describe;
    RunCommand(kZtadmin + " describe " + data, &describe);
    const std::string expected = "(record length 61, " + std::to_string(c.loaded) +
                                 (c.loaded == 1 ? " record)" : " records)");
    EXPECT_NE(describe.find("Table Orders  " + expected), std::string::npos) << c.csv << describe;
  }
}

TEST_F(ZtadminLoadTest, DroppedColumnsAndUnknownTablesAreRefused) {
  WriteFile(dir_.File("c.csv"), "Id,Old\n1,x\n");
  std::string out;
  EXPECT_EQ(RunCommand(kZtadmin + " load " + data_ + " Customers " + dir_.File("c.csv"), &out), 1);
  EXPECT_NE(out.find(":1: column 'Old' has been dropped from the table"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(kZtadmin + " load " + data_ + " Nowhere " + dir_.File("c.csv"), &out), 1);
  EXPECT_NE(out.find("no table 'Nowhere'"), std::string::npos) << out;
}

// A load writes its rows a batch at a time; the files must end up exactly
// as storing the same rows one AddNewRecord at a time leaves them, here
// through a database opened shared (no caches, every write at once). Two
// loads into one database: the second starts from non-empty files. The
// rows come in shuffled key order with repeated customers, so the index
// splits pages on every level and holds runs of equal keys.
TEST_F(ZtadminLoadTest, FilesMatchRowByRowInsertsByteForByte) {
  struct Row {
    std::string id, customer, qty, note;
  };
  std::vector<Row> rows;
  std::mt19937 random(7);
  for (int i = 0; i < 3000; ++i) {
    rows.push_back({std::to_string(i * 37 % 3000 + 1), "cust" + std::to_string(random() % 150),
                    std::to_string(random() % 1000),
                    i % 3 == 0 ? "" : "note " + std::to_string(i)});
  }
  std::shuffle(rows.begin(), rows.end(), random);
  const size_t halves[][2] = {{0, 2000}, {2000, rows.size()}};

  for (const auto& half : halves) {
    std::string csv = "Id,Customer,Qty,Note\n";
    for (size_t i = half[0]; i < half[1]; ++i) {
      csv += rows[i].id + "," + rows[i].customer + "," + rows[i].qty + "," + rows[i].note + "\n";
    }
    std::string out;
    ASSERT_EQ(Load(csv, &out), 0) << out;
  }

  ScratchFolder ref;
  const std::string ref_data = ref.File("shop.dat");
  testing::CreateDatabase(ref_data, testing::SmallShopSchema());
  {
    Database db(ref.File("work"));
    ASSERT_TRUE(db.OpenDatabase(ref_data.c_str(), 1));
    for (const Row& row : rows) {
      const std::string data = PadRight(row.id, 6) + PadRight(row.customer, 20) +
                               PadRight(row.qty, 5) + PadRight(row.note, 30);
      int64_t offset = -1;
      std::string err;
      ASSERT_TRUE(db.AddNewRecord(data, 61, offset, "Orders", &err)) << err;
    }
  }
  for (const char* file : {"shop.dat", "shop.zdf", "shop.zix"}) {
    const std::string loaded = testing::ReadFile(dir_.File(file));
    EXPECT_GT(loaded.size(), 0u) << file;
    EXPECT_TRUE(loaded == testing::ReadFile(ref.File(file))) << file << " differs";
  }
  std::string out;
  EXPECT_EQ(RunCommand(kZtadmin + " check " + data_, &out), 0) << out;
}

// The reproducer: a definition claiming a record length of 2147483647 made
// load allocate 2 GiB per CSV row. The damaged file is refused at open.
TEST_F(ZtadminLoadTest, ADamagedRecordLengthIsRefusedNotAllocated) {
  const std::string zdf = DerivedFileName(data_, ".zdf");
  std::string bytes = testing::ReadFile(zdf);
  char field[kNumberFieldWidth];
  PutNumberField(field, sizeof field, 2147483647);
  bytes.replace(static_cast<size_t>(TableDefinitionOffset(0) + TableDefinition::kRecordLengthOffset),
                sizeof field, field, sizeof field);
  WriteFile(zdf, bytes);
  std::string out;
  EXPECT_EQ(Load("Id,Customer\n1,Smith\n", &out), 1);
  EXPECT_NE(out.find("damaged"), std::string::npos) << out;
  EXPECT_NE(out.find("2147483647"), std::string::npos) << out;
}

}  // namespace
}  // namespace zt

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/database.h"
#include "engine/file.h"
#include "engine/record.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "ztadmin/schema.h"

namespace zt {
namespace {

using testing::ReadFile;
using testing::RunCommand;
using testing::ScratchFolder;
using testing::WriteFile;

const std::string kZtadmin = std::string(ZT_BINARY_DIR) + "/ztadmin";

TEST(ParseSchema, ReadsTablesColumnsAndLocations) {
  DatabaseSchema schema;
  std::string error;
  ASSERT_TRUE(admin::ParseSchema(R"(# comment line
TABLE Parts   # trailing comment
column Id integer 6 KEY
column Label text 20
column Weight 3 8 dropped
column Code 7 4 key dropped
location 2 "  # not a comment  "
location 8 plain words here
)",
                                 "s", schema, error))
      << error;
  ASSERT_EQ(schema.tables.size(), 1u);
  const TableSchema& t = schema.tables[0];
  EXPECT_EQ(t.name, "Parts");
  ASSERT_EQ(t.columns.size(), 4u);
  EXPECT_EQ(t.columns[0].type, 1);
  EXPECT_TRUE(t.columns[0].key);
  EXPECT_EQ(t.columns[1].type, 0);
  EXPECT_EQ(t.columns[1].size, 20);
  EXPECT_EQ(t.columns[2].type, 3);
  EXPECT_TRUE(t.columns[2].dropped);
  EXPECT_EQ(t.columns[3].type, 7);
  EXPECT_TRUE(t.columns[3].key && t.columns[3].dropped);
  EXPECT_EQ(schema.locations[1], "  # not a comment  ");
  EXPECT_EQ(schema.locations[7], "plain words here");
}

TEST(ParseSchema, NamesTheLineAndTheProblem) {
  const std::string wide_table = "table T\n" + [] {
    std::string cols;
    for (int i = 0; i < 100; ++i) cols += "column c" + std::to_string(i) + " text 1\n";
    return cols;
  }();
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"column Id integer 6\n", "s:1: a column must follow a 'table' line"},
      {"table T\ncolumn Id bogus 6\n", "s:2: unknown column type 'bogus'"},
      {"table T\ncolumn Id text 0\n",
       "s:2: column size '0' must be a whole number from 1 to 16384"},
      {"table T\ncolumn Id text 16385\n", "s:2: column size '16385'"},
      {"table T\ncolumn Id text 6 primary\n", "s:2: unknown column option 'primary'"},
      {"table T\ncolumn Id text 6\ncolumn ID text 2\n", "s:3: column 'ID' is defined twice"},
      {"table T\ncolumn A text 9000\ncolumn B text 9000\n",
       "s:3: table 'T' would have a record length of 18000"},
      {"table T\ncolumn A text 1\ntable t\n", "s:3: table 't' is defined twice"},
      {"table " + std::string(33, 'n') + "\n", "s:1: invalid table name"},
      {"table T\ncolumn bad~name text 1\n", "s:2: invalid column name 'bad~name'"},
      {"table T\n", "s: table 'T' has no column"},
      {"# nothing\n", "s: the schema defines no table"},
      {"location 9 x\ntable T\ncolumn A text 1\n",
       "s:1: expected: location N TEXT, with N from 1 to 8"},
      {"location 4 " + std::string(20, 'x') + "\n", "s:1: location 4 is longer than 19 characters"},
      {"table T\ncolumn A text 1\nlocation 1 \"open\n", "s:3: unterminated quoted text"},
      {"tables T\n", "s:1: unknown statement 'tables'"},
      {wide_table, "s:101: table 'T' has more than 99 columns"},
  };
  for (const Case& c : cases) {
    DatabaseSchema schema;
    std::string error;
    EXPECT_FALSE(admin::ParseSchema(c.text, "s", schema, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got: " << error << "\nwanted: " << c.error;
  }
}

TEST(ParseSchema, AcceptsTheLimits) {
  std::string text;
  for (int t = 0; t < 255; ++t) text += "table t" + std::to_string(t) + "\ncolumn c text 1\n";
  text += "table wide\n";
  for (int i = 0; i < 98; ++i) text += "column c" + std::to_string(i) + " text 1\n";
  text += "column last text " + std::to_string(16384 - 98) + "\n";
  DatabaseSchema schema;
  std::string error;
  EXPECT_FALSE(admin::ParseSchema(text, "s", schema, error)) << "256 tables";
  EXPECT_NE(error.find("more than 255 tables"), std::string::npos) << error;

  text = "table wide\n";
  for (int i = 0; i < 98; ++i) text += "column c" + std::to_string(i) + " text 1\n";
  text += "column last text " + std::to_string(16384 - 98) + "\n";
  EXPECT_TRUE(admin::ParseSchema(text, "s", schema, error)) << error;
}

// Reads the created files byte by byte, from the layouts alone.
TEST(ZtadminCreate, WritesTheExactOnDiskLayout) {
  ScratchFolder dir;
  WriteFile(
      dir.File("s.schema"),
      "location 1 Head office\nlocation 8 last\n"
      "table Orders\ncolumn Id integer 6 key\ncolumn Note text 30\ncolumn Gone text 4 dropped\n"
      "table Items\ncolumn Sku text 12 key\n");
  std::string out;
  ASSERT_EQ(
      RunCommand(kZtadmin + " create " + dir.File("db.dat") + " " + dir.File("s.schema"), &out), 0)
      << out;

  EXPECT_EQ(ReadFile(dir.File("db.dat")), "");
  const std::string zdf = ReadFile(dir.File("db.zdf"));
  ASSERT_EQ(zdf.size(), 8906u + 2 * 12441u);
  auto field = [&](size_t at, size_t width) { return zdf.substr(at, width); };
  auto text = [](const std::string& s, size_t width) {
    return s + std::string(width - s.size(), '\0');
  };
  EXPECT_EQ(field(0, 11), text("2", 11));
  EXPECT_EQ(field(11, 33), text("Orders", 33));
  EXPECT_EQ(field(44, 33), text("Items", 33));
  EXPECT_EQ(field(77, 8426 - 77), std::string(8426 - 77, '\0'));
  EXPECT_EQ(field(8426, 100), text("Head office", 100));
  EXPECT_EQ(field(8806, 100), text("last", 100));

  const size_t d = 8906;  // Orders
  EXPECT_EQ(field(d + 0, 33), text("Orders", 33));
  EXPECT_EQ(field(d + 33, 11), text("3", 11));
  EXPECT_EQ(field(d + 44, 11), text("40", 11));
  EXPECT_EQ(field(d + 55, 11), text("-1", 11));
  EXPECT_EQ(field(d + 66, 33), text("Id", 33));
  EXPECT_EQ(field(d + 99, 33), text("Note", 33));
  EXPECT_EQ(field(d + 3333, 3267), std::string(3267, '\0')) << "unread fields stay zero";
  EXPECT_EQ(field(d + 6600, 11), text("6", 11));
  EXPECT_EQ(field(d + 6611, 11), text("30", 11));
  EXPECT_EQ(field(d + 6622, 11), text("4", 11));
  EXPECT_EQ(field(d + 8778, 11), text("1", 11));
  EXPECT_EQ(field(d + 8789, 11), text("0", 11));
  EXPECT_EQ(field(d + 12045, 3), "YNN");
  EXPECT_EQ(field(d + 12342, 3), "NNY");
  EXPECT_EQ(field(d + 12441 + 0, 33), text("Items", 33));
  EXPECT_EQ(field(d + 12441 + 44, 11), text("12", 11));

  const std::string zix = ReadFile(dir.File("db.zix"));
  ASSERT_EQ(zix.size(), 2720u);
  const std::string minus_one(8, '\xff');
  EXPECT_EQ(zix.substr(0, 24), minus_one + minus_one + minus_one);
  EXPECT_EQ(zix.substr(24, 4), std::string(4, '\0')) << "no entries";
  for (size_t slot = 0; slot < 20; ++slot) {
    const size_t at = 32 + 128 * slot;
    EXPECT_EQ(zix.substr(at, 112), std::string(112, '\0')) << "slot " << slot;
    EXPECT_EQ(zix.substr(at + 112, 16), minus_one + minus_one) << "slot " << slot;
  }
}

TEST(ZtadminCreate, RefusesToOverwriteAndBadSchemasWriteNothing) {
  ScratchFolder dir;
  WriteFile(dir.File("good.schema"), "table T\ncolumn A text 1\n");
  WriteFile(dir.File("bad.schema"), "table T\ncolumn A text 1\ncolumn B blob 4\n");
  std::string out;

  EXPECT_EQ(
      RunCommand(kZtadmin + " create " + dir.File("x.dat") + " " + dir.File("bad.schema"), &out),
      1);
  EXPECT_EQ(out,
            "ztadmin: " + dir.File("bad.schema") +
                ":3: unknown column type 'blob' (integer, numeric, float, text or a type code)\n");
  EXPECT_FALSE(PathExists(dir.File("x.dat")));
  EXPECT_FALSE(PathExists(dir.File("x.zdf")));
  EXPECT_FALSE(PathExists(dir.File("x.zix")));

  WriteFile(dir.File("y.zix"), "keep me");
  EXPECT_EQ(
      RunCommand(kZtadmin + " create " + dir.File("y.dat") + " " + dir.File("good.schema"), &out),
      1);
  EXPECT_NE(out.find("y.zix already exists"), std::string::npos) << out;
  EXPECT_EQ(ReadFile(dir.File("y.zix")), "keep me");
  EXPECT_FALSE(PathExists(dir.File("y.dat")));

  EXPECT_EQ(RunCommand(kZtadmin + " create " + dir.File("x.dat") + " " + dir.File("missing.schema"),
                       &out),
            1);
  EXPECT_NE(out.find("cannot read the schema"), std::string::npos) << out;
}

TEST(ZtadminDescribe, ListsTablesColumnsAndLocations) {
  ScratchFolder dir;
  const std::string schema = std::string(ZT_SOURCE_DIR) + "/examples/demo.schema";
  std::string out;
  ASSERT_EQ(RunCommand(kZtadmin + " create " + dir.File("demo.dat") + " " + schema, &out), 0)
      << out;
  ASSERT_EQ(RunCommand(kZtadmin + " describe " + dir.File("demo.dat"), &out), 0) << out;
  EXPECT_NE(out.find(": 3 tables\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Table Customers  (record length 88, 0 records)"), std::string::npos) << out;
  EXPECT_NE(out.find("Fax "), std::string::npos);
  EXPECT_NE(out.find("16  dropped\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  1: Demo Shop Ltd.\n"), std::string::npos) << out;
  EXPECT_FALSE(PathExists(dir.File("demo.rs"))) << "describe leaves no write file";
}

// Appends a record of Orders at the head of its chain; returns its offset.
int64_t AppendOrder(Database& db, bool superseded, int64_t previous_override = -2) {
  TableDefinition def;
  int64_t def_offset = 0;
  EXPECT_TRUE(db.GetTableDef("Orders", def, def_offset));
  const int64_t previous = previous_override == -2 ? def.newest_record() : previous_override;
  RecordHeader header = RecordHeader::ForNewRecord("Orders", previous, 61);
  header.set_superseded(superseded);
  int64_t offset = -1;
  std::string err;
  EXPECT_TRUE(db.AppendDatabaseRecord(header, std::string(61, ' '), offset, &err)) << err;
  def.set_newest_record(offset);
  EXPECT_TRUE(db.UpdateTableDef(def, def_offset));
  return offset;
}

TEST(ZtadminDescribe, CountsTheLiveRecordsOfEachChain) {
  ScratchFolder dir;
  const std::string data = dir.File("shop.dat");
  testing::CreateDatabase(data, testing::SmallShopSchema());
  {
    Database db(dir.File("work"));
    ASSERT_TRUE(db.OpenDatabase(data.c_str(), 0));
    AppendOrder(db, false);
    AppendOrder(db, true);
    AppendOrder(db, false);
  }
  std::string out;
  ASSERT_EQ(RunCommand(kZtadmin + " describe " + data, &out), 0) << out;
  EXPECT_NE(out.find("Table Orders  (record length 61, 2 records)"), std::string::npos) << out;
  EXPECT_NE(out.find("Table Customers  (record length 40, 0 records)"), std::string::npos) << out;

  {
    Database db(dir.File("work"));
    ASSERT_TRUE(db.OpenDatabase(data.c_str(), 0));
    AppendOrder(db, false, /*previous_override=*/1000000);  // points forward: a loop
  }
  EXPECT_EQ(RunCommand(kZtadmin + " describe " + data, &out), 1);
  EXPECT_NE(out.find("records unknown: the chain loops at"), std::string::npos) << out;
}

TEST(Ztadmin, UsageAndFailuresExitNonZeroWithOneLine) {
  ScratchFolder dir;
  std::string out;
  EXPECT_EQ(RunCommand(kZtadmin + " --help", &out), 0);
  EXPECT_NE(out.find("create DATAFILE SCHEMAFILE"), std::string::npos);
  EXPECT_EQ(RunCommand(kZtadmin, &out), 2);
  EXPECT_EQ(RunCommand(kZtadmin + " frobnicate", &out), 2);
  EXPECT_EQ(RunCommand(kZtadmin + " describe " + dir.File("none.dat"), &out), 1);
  EXPECT_EQ(out, "ztadmin: " + dir.File("none.dat") + ": no such database file\n");
}

}  // namespace
}  // namespace zt

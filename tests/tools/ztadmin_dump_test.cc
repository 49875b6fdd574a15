#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/test_support.h"
#include "ztadmin/dump.h"

namespace zt {
namespace {

using testing::RunCommand;
using testing::ScratchFolder;
using testing::WriteFile;

const std::string kZtadmin = std::string(ZT_BINARY_DIR) + "/ztadmin";

TEST(CsvField, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(admin::CsvField("plain text"), "plain text");
  EXPECT_EQ(admin::CsvField(""), "");
  EXPECT_EQ(admin::CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(admin::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(admin::CsvField("two\nlines"), "\"two\nlines\"");
}

// What load reads, dump writes back: the live columns, oldest record first.
TEST(ZtadminDump, RoundTripsWithLoad) {
  ScratchFolder dir;
  const std::string data = dir.File("shop.dat");
  testing::CreateDatabase(data, testing::SmallShopSchema());
  const std::string csv =
      "Id,Customer,Qty,Note\n"
      "7,Smith,3,\"first, quoted\"\n"
      "12,Jones,,\"say \"\"hi\"\"\"\n"
      "3,Brown,1,\n";
  WriteFile(dir.File("in.csv"), csv);
  std::string out;
  ASSERT_EQ(RunCommand(kZtadmin + " load " + data + " Orders " + dir.File("in.csv"), &out), 0)
      << out;
  ASSERT_EQ(RunCommand(kZtadmin + " dump " + data + " orders", &out, false), 0) << out;
  EXPECT_EQ(out, csv);
  const std::string dumped = out;

  // Dropped columns are left out; an empty table is the header alone.
  ASSERT_EQ(RunCommand(kZtadmin + " dump " + data + " Customers", &out, false), 0) << out;
  EXPECT_EQ(out, "Id,Name\n");

  // The dump loads into a fresh database as the same rows.
  const std::string copy = dir.File("copy.dat");
  testing::CreateDatabase(copy, testing::SmallShopSchema());
  WriteFile(dir.File("dumped.csv"), dumped);
  ASSERT_EQ(RunCommand(kZtadmin + " load " + copy + " Orders " + dir.File("dumped.csv"), &out), 0);
  ASSERT_EQ(RunCommand(kZtadmin + " dump " + copy + " Orders", &out, false), 0);
  EXPECT_EQ(out, csv);

  EXPECT_EQ(RunCommand(kZtadmin + " dump " + data + " Nowhere", &out), 1);
  EXPECT_NE(out.find("no table 'Nowhere'"), std::string::npos) << out;
}

}  // namespace
}  // namespace zt

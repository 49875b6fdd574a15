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

// The reproducer: a table whose columns are all dropped dumped a blank
// header that load refused. Its rows are blank lines, and load them back.
TEST(ZtadminDump, ATableOfDroppedColumnsRoundTrips) {
  ScratchFolder dir;
  const std::string schema = "table Gone\ncolumn A text 5 dropped\ncolumn B integer 3 dropped\n";
  WriteFile(dir.File("gone.schema"), schema);
  std::string out;
  for (const char* base : {"one", "two"}) {
    ASSERT_EQ(RunCommand(kZtadmin + " create " + dir.File(std::string(base) + ".dat") + " " +
                             dir.File("gone.schema"),
                         &out),
              0)
        << out;
  }
  WriteFile(dir.File("rows.csv"), "\n\n\n");
  ASSERT_EQ(RunCommand(kZtadmin + " load " + dir.File("one.dat") + " Gone " + dir.File("rows.csv"),
                       &out),
            0)
      << out;
  EXPECT_NE(out.find("loaded 2 rows"), std::string::npos) << out;
  ASSERT_EQ(RunCommand(kZtadmin + " dump " + dir.File("one.dat") + " Gone", &out, false), 0);
  EXPECT_EQ(out, "\n\n\n");
  WriteFile(dir.File("dumped.csv"), out);
  ASSERT_EQ(RunCommand(kZtadmin + " load " + dir.File("two.dat") + " Gone " + dir.File("dumped.csv"),
                       &out),
            0)
      << out;
  ASSERT_EQ(RunCommand(kZtadmin + " dump " + dir.File("two.dat") + " Gone", &out, false), 0);
  EXPECT_EQ(out, "\n\n\n");
  // A blank header still names nothing in a table with live columns.
  testing::CreateDatabase(dir.File("shop.dat"), testing::SmallShopSchema());
  EXPECT_EQ(RunCommand(kZtadmin + " load " + dir.File("shop.dat") + " Orders " +
                           dir.File("rows.csv"),
                       &out),
            1);
}

}  // namespace
}  // namespace zt

// ztload against a real server: it stores what it reports, and refuses
// arguments outside its bounds.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/server_process.h"
#include "ztadmin/check.h"

namespace zt::testing {
namespace {

const std::string kZtload = std::string(ZT_BINARY_DIR) + "/ztload";

TEST(Ztload, StoresTheRowsItReports) {
  ServerFixture fixture(false);
  DatabaseSchema schema;
  schema.tables.push_back({"LOAD",
                           {{"ID", 1, 10, true, false},
                            {"NAME", 0, 30, false, false},
                            {"CITY", 0, 20, true, false},
                            {"QTY", 1, 6, false, false}}});
  std::string err;
  ASSERT_TRUE(CreateDatabaseFiles(fixture.folder().File("db.dat"), schema, err)) << err;
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  std::string output;
  ASSERT_EQ(
      RunCommand(kZtload + " -p " + std::to_string(fixture.port()) + " -c 3 -n 25 -s 60", &output),
      0)
      << output;
  EXPECT_NE(output.find("clients 3  rows 75 "), std::string::npos) << output;
  fixture.server().Stop();
  std::ostringstream out, problems;
  EXPECT_EQ(admin::CheckCommand(fixture.folder().File("db.dat"), out, problems), 0) << out.str();
  EXPECT_NE(out.str().find("75 live records, 150 live index entries"), std::string::npos)
      << out.str();
}

TEST(Ztload, RefusesArgumentsOutsideItsBounds) {
  for (const char* args : {"-c 0", "-c 65", "-n 0", "-n 1000001", "-s 301", "-p x", "bogus"}) {
    std::string output;
    EXPECT_EQ(RunCommand(kZtload + " " + args, &output), 2) << args << "\n" << output;
  }
}

}  // namespace
}  // namespace zt::testing

// ztload against a real server: it stores what it reports, and refuses
// arguments outside its bounds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "ztadmin/check.h"

namespace zt::testing {
namespace {

const std::string kZtload = std::string(ZT_BINARY_DIR) + "/ztload";

// The LOAD table ztload stores rows in by default.
DatabaseSchema LoadSchema() {
  DatabaseSchema schema;
  schema.tables.push_back({"LOAD",
                           {{"ID", 1, 10, true, false},
                            {"NAME", 0, 30, false, false},
                            {"CITY", 0, 20, true, false},
                            {"QTY", 1, 6, false, false}}});
  return schema;
}

TEST(Ztload, StoresTheRowsItReports) {
  ServerFixture fixture(false);
  std::string err;
  ASSERT_TRUE(CreateDatabaseFiles(fixture.folder().File("db.dat"), LoadSchema(), err)) << err;
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

// Each reading mode against 40 rows stored by the default mode: it succeeds
// and reports what it did.
TEST(Ztload, ReadingModesReportWhatTheyDid) {
  ServerFixture fixture(false);
  std::string err;
  ASSERT_TRUE(CreateDatabaseFiles(fixture.folder().File("db.dat"), LoadSchema(), err)) << err;
  // The server's temporary files go where the recordsets mode counts them.
  const std::string temp = fixture.folder().File("tmp");
  MakeDirectory(temp);
  const char* old_temp = std::getenv("TMPDIR");
  const std::string saved = old_temp ? old_temp : "";
  ::setenv("TMPDIR", temp.c_str(), 1);
  const bool started = fixture.Start();
  if (old_temp) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_TRUE(started) << ReadFile(fixture.output());
  const std::string load = kZtload + " -p " + std::to_string(fixture.port()) + " -s 60 ";
  std::string output;
  ASSERT_EQ(RunCommand(load + "-n 40", &output), 0) << output;

  struct Case {
    std::string args;
    std::string expected;  // part of the output
  };
  const std::vector<Case> cases = {
      {"--mode insert --pipeline -n 5 -f 1000", "clients 1  rows 5 "},
      {"--mode lookup -c 2 -n 10 --keys 40", "mode lookup  clients 2  ops 20  rows 20 "},
      {"--mode ping -c 3 -n 10", "mode ping  clients 3  ops 30 "},
      {"--mode get -n 10", "mode get  clients 1  ops 10  rows 10 "},
      {"--mode open -n 2", "mode open  clients 1  ops 2  rows 90 "},
      {"--mode range -n 3 --keys 40 --range 10", "mode range  clients 1  ops 3  rows 30 "},
      // Sorted by a numeric column: 1, 2, ... 40, then the inserted keys.
      {"--mode sort -n 2 --column ID", "mode sort  clients 1  ops 2  rows 90 "},
      {"--mode recordsets -c 3 --pid " + std::to_string(fixture.server().pid()) + " --temp " + temp,
       "open 3 "},
      {"--mode recordsets -c 3 --pid " + std::to_string(fixture.server().pid()) + " --temp " + temp,
       "temp files 0 "},  // recordsets live in memory
  };
  for (const Case& c : cases) {
    ASSERT_EQ(RunCommand(load + c.args, &output), 0) << c.args << "\n" << output;
    EXPECT_NE(output.find(c.expected), std::string::npos) << c.args << "\n" << output;
  }
}

TEST(Ztload, RefusesArgumentsOutsideItsBounds) {
  for (const char* args :
       {"-c 0", "-c 65", "-n 0", "-n 1000001", "-s 301", "-p x", "bogus", "--mode bogus",
        "--mode lookup -c 65", "--mode recordsets -c 2001", "--mode get --echo", "--keys 0"}) {
    std::string output;
    EXPECT_EQ(RunCommand(kZtload + " " + args, &output), 2) << args << "\n" << output;
  }
}

}  // namespace
}  // namespace zt::testing

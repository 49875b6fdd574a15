// Opening recordsets over a database loaded with `ztadmin load`, read back
// row by row through the protocol: which rows an open yields and in which
// order, for the scan path and the index walks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

class LoadedDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ScratchFolder& dir = fixture_.folder();
    std::string out;
    // Oldest first: the order of the file.
    ASSERT_TRUE(MakeLoadedDatabase(
        dir, "people",
        "table People\n"
        "column Id integer 5 key\ncolumn Name text 10\ncolumn Age integer 3\n"
        "column Qty integer 4\n"
        "table Pets\ncolumn Id integer 5 key\ncolumn Name text 10\n",
        {{"People",
          "Id,Name,Age,Qty\n150,Ann,45,7\n20,Bob,31,007\n100,Cid,29,12\n250,Dee,60,7\n"
          "90,Eve,35,3\n120,abc,33,1\n"},
         {"Pets", "Id,Name\n95,Rex\n130,Tom\n"}},
        &out))
        << out;
    fixture_.WriteIni(
        "[CONNECTION]\nDatabaseFile=people.dat\n[SERVER]\nWorkFolder=work\n"
        "LockFolder=locks\nListenAddress=127.0.0.1\n");
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    client_ = fixture_.Connect();
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(Ask(*client_, "CREATERECORDSET"), "CREATERECORDSET~1");
  }

  // Opens People with the given conditions ("column~op~value") and returns
  // the Name of every row the moves visit, in order.
  std::vector<std::string> Names(const std::vector<std::string>& conditions) {
    EXPECT_EQ(Ask(*client_, "RECORDSETCLEARFILTERS~1"), "RECORDSETCLEARFILTERS~1");
    for (const std::string& c : conditions) {
      EXPECT_EQ(Ask(*client_, "RECORDSETADDFILTERCOLUMN~1~" + c + "~0"),
                "RECORDSETADDFILTERCOLUMN~1")
          << c;
    }
    EXPECT_EQ(Ask(*client_, "RECORDSETOPEN~1~People"), "RECORDSETOPEN~1");
    std::vector<std::string> names;
    const std::string prefix = "RECORDSETGETFIELDVALUE~1~";
    if (Ask(*client_, "RECORDSETMOVEFIRST~1") != "RECORDSETMOVEFIRST~1") return names;
    do {
      const std::string reply = Ask(*client_, "RECORDSETGETFIELDVALUE~1~Name");
      if (reply.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << reply;
        break;
      }
      names.push_back(reply.substr(prefix.size()));
    } while (Ask(*client_, "RECORDSETMOVENEXT~1") == "RECORDSETMOVENEXT~1" && names.size() < 100);
    return names;
  }

  using Names_ = std::vector<std::string>;
  ServerFixture fixture_;
  std::unique_ptr<Client> client_;
};

TEST_F(LoadedDataTest, OpensYieldExactlyTheMatchingRowsInTheirOrder) {
  struct Case {
    std::vector<std::string> conditions;
    Names_ expected;
  } cases[] = {
      {{}, {"Ann", "Bob", "Cid", "Dee", "Eve", "abc"}},  // scan: oldest first
      // A key condition walks the index in ascending Id and tests the rest.
      {{"Age~>~30", "Id~>=~100"}, {"abc", "Ann", "Dee"}},
      {{"Id~<~100"}, {"Eve", "Bob"}},  // "<" walks downwards
      {{"Id~<=~120"}, {"abc", "Cid", "Eve", "Bob"}},
      {{"Id~>~120"}, {"Ann", "Dee"}},
      {{"Id~=~100"}, {"Cid"}},
      {{"Id~<>~100"}, {"Bob", "Eve", "abc", "Ann", "Dee"}},
      {{"Id~ >= ~250"}, {"Dee"}},            // operators are trimmed
      {{"Id~>~250"}, {}},                    // nothing above, Pets' keys follow
      {{"Qty~=~7"}, {"Ann", "Bob", "Dee"}},  // 007 is 7 on a numeric column
      {{"Name~=~ABC"}, {"abc"}},             // text compares without case
      {{"Age~<~35", "Age~>~29"}, {"Bob", "abc"}},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& condition : c.conditions) label += condition + " ";
    EXPECT_EQ(Names(c.conditions), c.expected) << label;
  }
}

TEST_F(LoadedDataTest, BadOperatorsAreRefused) {
  for (const char* op : {"=>", "==", "!=", "<<", ""}) {
    EXPECT_EQ(Ask(*client_, std::string("RECORDSETADDFILTERCOLUMN~1~Id~") + op + "~5~0"),
              "RECORDSETADDFILTERCOLUMN~FAILED")
        << op;
  }
}

}  // namespace
}  // namespace zt::testing

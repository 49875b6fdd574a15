// ztcli against a running server: replies printed, failures in the exit
// status.
#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"

namespace zt::testing {
namespace {

class ZtcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }
  std::string Cli(const std::string& args) const {
    return std::string(ZT_BINARY_DIR) + "/ztcli -p " + std::to_string(fixture_.port()) + " -t 5 " +
           args;
  }
  ServerFixture fixture_;
};

TEST_F(ZtcliTest, PrintsEachReplyAndSucceeds) {
  std::string out;
  EXPECT_EQ(RunCommand(Cli("CREATERECORDSET 'RECORDSETCLOSE~1'"), &out, false), 0);
  EXPECT_EQ(out, "CREATERECORDSET~1\nRECORDSETCLOSE~1\n");
}

TEST_F(ZtcliTest, ReadsRequestsFromStandardInput) {
  std::string out;
  EXPECT_EQ(RunCommand("printf 'STARTTRANSACTION\\n\\nGETLOCATIONINFORMATION\\n' | " + Cli(""),
                       &out, false),
            0);
  EXPECT_EQ(out, "STARTTRANSACTION\nGETLOCATIONINFORMATION~Main St 1~Springfield~~~~~~Shop\n");
}

TEST_F(ZtcliTest, FailureReplyGivesExitStatusOne) {
  std::string out;
  EXPECT_EQ(RunCommand(Cli("REBUILDDATABASE STARTTRANSACTION"), &out, false), 1);
  EXPECT_EQ(out, "REBUILDDATABASE~FAILED\nSTARTTRANSACTION\n");
}

TEST(Ztcli, UnreachableServerGivesExitStatusTwo) {
  const HeldPort nobody_listens;
  ASSERT_NE(nobody_listens.port(), 0);
  std::string out;
  EXPECT_EQ(RunCommand(std::string(ZT_BINARY_DIR) + "/ztcli -p " +
                           std::to_string(nobody_listens.port()) + " -t 2 STARTTRANSACTION",
                       &out),
            2);
  EXPECT_NE(out.find("cannot connect"), std::string::npos) << out;
}

}  // namespace
}  // namespace zt::testing

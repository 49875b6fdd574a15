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

TEST(Ztcli, StatusPrintsTheFiguresOfTheMetricsEndpoint) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  WriteFile(fixture.ini(), ReadFile(fixture.ini()) + "MetricsAddress=127.0.0.1:0\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const uint16_t metrics_port = fixture.server().WaitForListeningPort(10000, "Metrics on ");
  ASSERT_NE(metrics_port, 0);
  const std::string cli = std::string(ZT_BINARY_DIR) + "/ztcli -p " +
                          std::to_string(fixture.port()) + " -t 5 -m 127.0.0.1:" +
                          std::to_string(metrics_port) + " ";
  std::string out;
  ASSERT_EQ(RunCommand(cli + "CREATERECORDSET 'RECORDSETMOVENEXT~1' '\\status'", &out, false), 1)
      << out;
  for (const char* expected :
       {"last start-up        ok\n", "database             open\n",
        "connections          1 open, 1 accepted, 0 refused (session_limit)",
        "recordsets open      1\n", "requests             2 answered, 1 failed",
        "CREATERECORDSET                           1          0          0          0\n",
        "RECORDSETMOVENEXT                         1          1          0          0\n"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
  // Without a protocol request no protocol connection is made.
  ASSERT_EQ(RunCommand(cli + "'\\status'", &out, false), 0) << out;
  EXPECT_NE(out.find("connections          0 open, 1 accepted"), std::string::npos) << out;
}

TEST(Ztcli, StatusWithoutAnEndpointGivesExitStatusTwo) {
  const HeldPort nobody_listens;
  ASSERT_NE(nobody_listens.port(), 0);
  std::string out;
  EXPECT_EQ(RunCommand(std::string(ZT_BINARY_DIR) + "/ztcli -t 2 -m 127.0.0.1:" +
                           std::to_string(nobody_listens.port()) + " '\\status'",
                       &out),
            2);
  EXPECT_NE(out.find("\\status: cannot connect"), std::string::npos) << out;
}

}  // namespace
}  // namespace zt::testing

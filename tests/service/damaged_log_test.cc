// A server killed during its work, whose log is then damaged: the next
// start refuses to open the database and says why, the error log names the
// record, and ztadmin recover's choice brings every acknowledged row back.
#include <gtest/gtest.h>

#include <string>

#include "engine/wal.h"
#include "engine/wal_format.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

TEST(DamagedLogTest, TheStartIsRefusedAndRecoverKeepsEveryAcknowledgedRow) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  {
    auto client = fixture.Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
    ASSERT_EQ(Ask(*client, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
    for (int id = 1; id <= 20; ++id) {
      ASSERT_EQ(Ask(*client, "RECORDSETADDROW~1"), "RECORDSETADDROW~1");
      ASSERT_EQ(Ask(*client, "RECORDSETSETFIELDVALUE~1~ID~" + std::to_string(id)),
                "RECORDSETSETFIELDVALUE~1");
      ASSERT_EQ(Ask(*client, "RECORDSETUPDATE~1"), "RECORDSETUPDATE~1");
    }
  }
  fixture.server().Kill();
  fixture.server().WaitForExit();

  // One byte of the third record flipped: the records after it were synced.
  const std::string log_path = fixture.folder().File("work/db.wal");
  std::string log = ReadFile(log_path);
  size_t at = wal::kHeaderArea;
  for (int i = 0; i < 2; ++i) at += wal::kRecordHeaderSize + wal::U32(log.data() + at + 16);
  log[at + 50] ^= 0x08;
  WriteFile(log_path, log);

  // The server comes up without its database, as for any database it
  // cannot open, and says why.
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const std::string errors = fixture.WaitForLogLine("Error Connecting to the database");
  EXPECT_NE(errors.find("db.wal is damaged, so the database was not opened (ztadmin recover"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("record 3 at offset " + std::to_string(at) + " is unreadable"),
            std::string::npos)
      << errors;
  ASSERT_EQ(fixture.server().Stop(), 0);

  const std::string ztadmin = std::string(ZT_BINARY_DIR) + "/ztadmin --work-folder " +
                              fixture.folder().File("work") + " recover " +
                              fixture.folder().File("db.dat");
  std::string output;
  EXPECT_EQ(RunCommand(ztadmin, &output), 1) << output;
  EXPECT_NE(output.find("--keep-files"), std::string::npos) << output;
  EXPECT_NE(output.find("--replay-before-damage"), std::string::npos) << output;
  // The server alone died: its files hold every change.
  EXPECT_EQ(RunCommand(ztadmin + " --keep-files", &output), 0) << output;
  EXPECT_NE(output.find("the database checks clean (20 live records)"), std::string::npos)
      << output;

  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(Ask(*client, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
  EXPECT_EQ(Ask(*client, "RECORDSETGETROWCOUNT~1"), "RECORDSETGETROWCOUNT~1~20");
}

}  // namespace
}  // namespace zt::testing

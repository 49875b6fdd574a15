// SIGUSR1: a running server writes a backup into BackupFolder/<time>/ and
// logs it, and goes on serving; the copy checks clean.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "engine/file.h"
#include "support/server_process.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"

namespace zt::testing {
namespace {

TEST(BackupTest, SigusrWritesACopyThatChecksCleanWhileTheServerServes) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(Ask(*client, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");

  ASSERT_EQ(::kill(fixture.server().pid(), SIGUSR1), 0);
  std::string log;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (log.find("Backup: wrote ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    EXPECT_EQ(Ask(*client, "RECORDSETGETROWCOUNT~1").rfind("RECORDSETGETROWCOUNT~1~", 0), 0u);
    log = fixture.ErrorLog();
  }
  const size_t at = log.find("Backup: wrote ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string folder = log.substr(at + 14, log.find(" (", at) - at - 14);
  EXPECT_EQ(folder.rfind(fixture.folder().File("work/backups/"), 0), 0u) << folder;

  // The copy has no log beside it: nothing to replay.
  admin::SetToolOptions({.config_file = "", .work_folder = folder});
  std::ostringstream out, err;
  EXPECT_EQ(admin::CheckCommand(folder + "/db.dat", out, err), 0) << out.str() << err.str();
  EXPECT_EQ(Ask(*client, "RECORDSETCLOSE~1"), "RECORDSETCLOSE~1");
}

}  // namespace
}  // namespace zt::testing

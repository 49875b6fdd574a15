// SIGUSR1: a running server writes a backup into BackupFolder/<time>/ and
// logs it, and goes on serving; the copy checks clean.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

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

// A backup folder under a file used to fail with "File exists", which
// sends the operator looking for a backup that is not there.
TEST(BackupTest, AFolderThatIsAFileIsNamedAsTheCause) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  WriteFile(fixture.folder().File("not-a-folder"), "");
  fixture.SetRetryDelay(kTestRetryDelayMs, "BackupFolder=not-a-folder\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  ASSERT_EQ(::kill(fixture.server().pid(), SIGUSR1), 0);
  const std::string log = fixture.WaitForLogLine("Backup failed: ");
  EXPECT_NE(log.find("Backup failed: cannot make " + fixture.folder().File("not-a-folder/")),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(": " + fixture.folder().File("not-a-folder") + " is not a folder\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("File exists"), std::string::npos) << log;
}

// A backup asked for while the server has no descriptor left cannot start;
// it must say so (the line used to be lost with the rest of the log), and
// the next request, once descriptors are free, must work.
TEST(BackupTest, ABackupThatCannotStartForWantOfDescriptorsSaysWhy) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  // A limit the server cannot raise, below what its sessions may take.
  constexpr rlim_t kDescriptors = 40;
  ASSERT_TRUE(fixture.Start(kDescriptors, kDescriptors)) << ReadFile(fixture.output());
  std::vector<std::unique_ptr<Client>> clients;
  for (rlim_t i = 0; i < kDescriptors; ++i) {
    auto client = fixture.Connect();
    if (client == nullptr) break;  // refused: the server has none left
    clients.push_back(std::move(client));
  }
  ASSERT_LT(clients.size(), kDescriptors) << "the descriptors never ran out";
  ASSERT_EQ(::kill(fixture.server().pid(), SIGUSR1), 0);
  std::string log = fixture.WaitForLogLine("Backup failed: ");
  EXPECT_NE(log.find("Too many open files"), std::string::npos) << log;
  EXPECT_EQ(log.find("Backup: wrote "), std::string::npos) << log;

  // Descriptors free again (once the server has seen the closes): asked
  // again, it writes the backup.
  clients.clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (log.find("Backup: wrote ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(::kill(fixture.server().pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    log = fixture.ErrorLog();
  }
  EXPECT_NE(log.find("Backup: wrote "), std::string::npos) << log;
}

}  // namespace
}  // namespace zt::testing

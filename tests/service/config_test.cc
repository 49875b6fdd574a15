// The server's configuration as read from its INI file.
#include "service/config.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace zt {
namespace {

TEST(ServerConfig, DefaultsAndPathsRelativeToTheIniFolder) {
  testing::ScratchFolder folder;
  const std::string ini = folder.File("zt.ini");
  ServerConfig missing = ReadServerConfig(ini);  // no file at all
  EXPECT_EQ(missing.database_file, "");
  EXPECT_EQ(missing.server_port, 5432);
  EXPECT_EQ(missing.work_folder, "/var/lib/ztserver/ztstrans");
  EXPECT_EQ(missing.lock_folder, "/var/lib/ztserver/locks");
  EXPECT_EQ(missing.listen_address, "0.0.0.0");

  testing::WriteFile(ini,
                     "[CONNECTION]\nDatabaseFile=db/shop.dat\nServerPort=6000x\n"
                     "[server]\nworkfolder=work\nLockFolder=/abs/locks\nListenAddress=127.0.0.1\n");
  ServerConfig config = ReadServerConfig(ini);
  EXPECT_EQ(config.database_file, folder.File("db/shop.dat"));
  EXPECT_EQ(config.server_port, 6000);
  EXPECT_EQ(config.work_folder, folder.File("work"));
  EXPECT_EQ(config.lock_folder, "/abs/locks");
  EXPECT_EQ(config.listen_address, "127.0.0.1");
  EXPECT_EQ(missing.retry_delay_ms, 500);
  EXPECT_TRUE(missing.problems.empty());
}

TEST(ServerConfig, RetryDelayIsWholeMillisecondsWithinItsBoundsOrTheDefault) {
  struct Case {
    const char* value;
    int delay;
    bool problem;
  };
  const Case cases[] = {
      {"20", 20, false},
      {" 7 ", 7, false},
      {"1", 1, false},
      {"60000", 60000, false},
      {"", 500, false},
      {"0", 500, true},
      {"60001", 500, true},
      {"-5", 500, true},
      {"20ms", 500, true},
      {"2.5", 500, true},
      {"99999999999999999999", 500, true},
  };
  testing::ScratchFolder folder;
  const std::string ini = folder.File("zt.ini");
  for (const Case& c : cases) {
    testing::WriteFile(ini, std::string("[SERVER]\nRetryDelay=") + c.value + "\n");
    const ServerConfig config = ReadServerConfig(ini);
    EXPECT_EQ(config.retry_delay_ms, c.delay) << c.value;
    EXPECT_EQ(config.problems.size(), c.problem ? 1u : 0u) << c.value;
  }
}

// Unset, MaxConnectionsPerAddress follows MaxConnections: a quarter of it,
// but never below 16 (or MaxConnections itself, when that is fewer).
TEST(ServerConfig, MaxConnectionsPerAddressDefaultsToAQuarterOfMaxConnections) {
  struct Case {
    const char* max_connections;
    const char* per_address;
    size_t expected;
    bool problem;
  };
  const Case cases[] = {
      {"", "", 256, false},    {"100", "", 25, false},   {"40", "", 16, false},
      {"8", "", 8, false},     {"100", "3", 3, false},   {"8", "50", 50, false},
      {"100", "0", 25, true},  {"100", "x", 25, true},
  };
  testing::ScratchFolder folder;
  const std::string ini = folder.File("zt.ini");
  for (const Case& c : cases) {
    std::string text = "[SERVER]\n";
    if (*c.max_connections) text += std::string("MaxConnections=") + c.max_connections + "\n";
    if (*c.per_address) text += std::string("MaxConnectionsPerAddress=") + c.per_address + "\n";
    testing::WriteFile(ini, text);
    const ServerConfig config = ReadServerConfig(ini);
    EXPECT_EQ(config.net_limits.max_connections_per_address, c.expected) << text;
    EXPECT_EQ(config.problems.size(), c.problem ? 1u : 0u) << text;
  }
}

}  // namespace
}  // namespace zt

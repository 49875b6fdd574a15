// Start-up and shutdown of the real ztserver binary.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/server_process.h"

namespace zt::testing {
namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Startup, WithoutDatabaseLogsTwoLinesAndStillGreetsClients) {
  ServerFixture fixture(/*with_database=*/false);
  fixture.WriteIni("[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~FAILED");
  EXPECT_EQ(Ask(*client, "GETLASTERRORTEXT"),
            "GETLASTERRORTEXT~CreateRecordset: No database connection has been established!");
  EXPECT_EQ(Ask(*client, "GETTABLENAMES"), "GETTABLENAMES~FAILED");
  const std::string log = fixture.ErrorLog();
  EXPECT_TRUE(Contains(log,
                       ": Error Connecting to the database - Please shut the service and try "
                       "running it again!\n"))
      << log;
  EXPECT_TRUE(Contains(log,
                       ": Ensure that the database :  exists, before attempting to restart "
                       "the service.\n"))
      << log;
  EXPECT_EQ(fixture.server().Stop(), 0);
}

TEST(Startup, NamesTheMissingDatabaseInTheLog) {
  ServerFixture fixture(/*with_database=*/false);
  fixture.WriteIni(
      "[CONNECTION]\nDatabaseFile=/nonexistent/shop.dat\n"
      "[SERVER]\nWorkFolder=work\nLockFolder=locks\n");
  ASSERT_TRUE(fixture.Start());
  EXPECT_TRUE(Contains(fixture.ErrorLog(),
                       ": Ensure that the database : /nonexistent/shop.dat exists, before "
                       "attempting to restart the service.\n"));
}

// The fixture starts the server with --port 0 and connects to the port the
// server printed: the one it is bound to, whatever ServerPort says.
TEST(Startup, PortZeroBindsAFreePortAndTellsItOnStdoutAndInTheLog) {
  ServerFixture fixture;  // its INI says ServerPort=6000
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  EXPECT_NE(fixture.port(), 6000);
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  EXPECT_TRUE(Contains(fixture.ErrorLog(), " and Port# " + std::to_string(fixture.port()) + "\n"));
  EXPECT_TRUE(Contains(fixture.ErrorLog(), ": Started on IP "));
}

TEST(Startup, UnusableRetryDelayIsLoggedAndTheDefaultUsed) {
  ServerFixture fixture;
  fixture.WriteIni(
      "[CONNECTION]\nDatabaseFile=db.dat\n"
      "[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\nRetryDelay=20ms\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const std::string line = "Config: " + fixture.ini() +
                           ":7: RetryDelay=20ms is not a number of milliseconds from 1 to "
                           "60000; using 500\n";
  EXPECT_TRUE(Contains(fixture.ErrorLog(), ": " + line)) << fixture.ErrorLog();
  EXPECT_TRUE(Contains(ReadFile(fixture.output()), "ztserver: " + line));  // standard error
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "STARTTRANSACTION"), "STARTTRANSACTION");
}

TEST(Startup, MisspeltKeysAreToldOnStandardErrorAndInTheLogWithTheirLine) {
  ServerFixture fixture;
  fixture.WriteIni(
      "[CONNECTION]\nDatabaseFile=db.dat\n"
      "[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\n"
      "RetryDelya=20\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const std::string line = "Config: " + fixture.ini() +
                           ":7: unknown key [SERVER] RetryDelya (did you mean [SERVER] "
                           "RetryDelay?); ignored\n";
  EXPECT_TRUE(Contains(fixture.ErrorLog(), ": " + line)) << fixture.ErrorLog();
  EXPECT_TRUE(Contains(ReadFile(fixture.output()), "ztserver: " + line))
      << ReadFile(fixture.output());
}

// Under a sandbox the INI file is read-only: the server serves all the
// same and says once why ServerIP was not written. (The test runs as root,
// whom modes do not stop: a folder where the file layer puts the new
// text beside the file makes the write fail instead.)
TEST(Startup, AnIniThatCannotBeWrittenCostsOneLogLine) {
  ServerFixture fixture;
  const std::string original = ReadFile(fixture.ini());
  MakeDirectory(fixture.ini() + ".new");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "STARTTRANSACTION"), "STARTTRANSACTION");
  EXPECT_EQ(ReadFile(fixture.ini()), original);
  const std::string log = fixture.ErrorLog();
  const size_t at = log.find("Config: cannot write ServerIP=");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_TRUE(Contains(log, "into " + fixture.ini() + " (")) << log;
  EXPECT_EQ(log.find("ServerIP", log.find('\n', at)), std::string::npos) << log;  // once
}

// A file that already holds the address is not rewritten, so a read-only
// one whose ServerIP is right costs nothing at all.
TEST(Startup, AServerIpAlreadyRightIsNotWrittenAgain) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.Start());
  ASSERT_EQ(fixture.server().Stop(), 0);
  const std::string written = ReadFile(fixture.ini());
  ASSERT_TRUE(Contains(written, "ServerIP=")) << written;
  MakeDirectory(fixture.ini() + ".new");
  ASSERT_TRUE(fixture.Start());
  EXPECT_EQ(ReadFile(fixture.ini()), written);
  EXPECT_FALSE(Contains(fixture.ErrorLog(), "cannot write ServerIP")) << fixture.ErrorLog();
}

// --check-config: the exit status tells clean (0), errors (1) and only
// warnings (3); every finding is a line on standard error.
TEST(Startup, CheckConfigValidatesAndExits) {
  struct Case {
    const char* ini;  // null: no file
    int status;
    const char* err;  // a part of standard error
  };
  const Case cases[] = {
      {"[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nRetryDelay=20\n", 0, ""},
      {"[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nRetryDelay=x\n", 3,
       "warning: Config: @:4: RetryDelay=x is not a number"},
      {"[CONNECTION]\nDatabaseFile=db.dat\nWorkFolder=w\n", 3,
       "warning: Config: @:3: unknown key [CONNECTION] WorkFolder (it belongs in [SERVER])"},
      {"[CONNECTION]\nDatabaseFile=missing.dat\n", 1, "DatabaseFile"},
      {"[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nRequireAuthentication=yes\nx=\n", 1,
       "error: Config: @:4: RequireAuthentication=yes needs a UsersFile"},
      {"[CONNECTION]\nDatabaseFile=db.dat\n[SERVER]\nUsersFile=nobody\n", 1, "error: UsersFile: "},
      {nullptr, 1, "error: Config: @: no such file"},
  };
  for (const Case& c : cases) {
    ServerFixture fixture;
    if (c.ini != nullptr) {
      fixture.WriteIni(c.ini);
    } else {
      std::filesystem::remove(fixture.ini());
    }
    std::string out;
    const int status = RunCommand(ServerBinary() + " --check-config --config " + fixture.ini() +
                                      " 2>" + fixture.folder().File("err"),
                                  &out, false);
    const std::string err = ReadFile(fixture.folder().File("err"));
    EXPECT_EQ(status, c.status) << (c.ini ? c.ini : "(none)") << err;
    std::string expected = c.err;
    if (const size_t at = expected.find('@'); at != std::string::npos) {
      expected.replace(at, 1, fixture.ini());
    }
    EXPECT_TRUE(Contains(err, expected)) << err;
    if (c.status == 0) {
      EXPECT_EQ(err, "");
    }
    EXPECT_FALSE(Exists(fixture.error_log()));  // nothing started
  }
}

TEST(Startup, WritesServerIpAndKeepsTheRestOfTheIni) {
  ServerFixture fixture;
  const std::string original =
      "; site settings\n[CONNECTION]\nDatabaseFile=db.dat\nServerIP=stale\nServerPort=6000\n\n"
      "[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\n";
  fixture.WriteIni(original);
  ASSERT_TRUE(fixture.Start());
  const std::string ini = ReadFile(fixture.ini());
  EXPECT_FALSE(Contains(ini, "ServerIP=stale")) << ini;
  const size_t at = ini.find("ServerIP=");
  ASSERT_NE(at, std::string::npos) << ini;
  // Every other line stands as it was.
  std::string without = ini;
  without.erase(at, ini.find('\n', at) - at);
  std::string expected = original;
  expected.erase(expected.find("ServerIP=stale"), 14);
  EXPECT_EQ(without, expected);
}

TEST(Startup, LockFilesAreSweptAtStartAndAtShutdown) {
  ServerFixture fixture;
  MakeDirectory(fixture.folder().File("locks"));
  WriteFile(fixture.folder().File("locks/a.ztl"), "x");
  WriteFile(fixture.folder().File("locks/B.ZTL"), "x");
  WriteFile(fixture.folder().File("locks/keep.txt"), "keep");
  ASSERT_TRUE(fixture.Start());
  EXPECT_FALSE(Exists(fixture.folder().File("locks/a.ztl")));
  EXPECT_FALSE(Exists(fixture.folder().File("locks/B.ZTL")));
  EXPECT_TRUE(Exists(fixture.folder().File("locks/keep.txt")));
  WriteFile(fixture.folder().File("locks/c.ztl"), "x");
  EXPECT_EQ(fixture.server().Stop(), 0);
  EXPECT_FALSE(Exists(fixture.folder().File("locks/c.ztl")));
  EXPECT_EQ(ReadFile(fixture.folder().File("locks/keep.txt")), "keep");
}

TEST(Startup, SecondServerOnTheSamePortFailsWithTheBindingLine) {
  ServerFixture first;
  ASSERT_TRUE(first.Start());
  ServerProcess second;
  ASSERT_TRUE(second.Start({"--config", first.ini(), "--port", std::to_string(first.port())},
                           first.folder().File("second.out")));
  EXPECT_EQ(second.WaitForExit(), 1);
  EXPECT_TRUE(
      Contains(first.ErrorLog(), ": Connect: error binding the server socket - socket error(98)\n"))
      << first.ErrorLog();
  // The first one is still serving.
  auto client = first.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "STARTTRANSACTION"), "STARTTRANSACTION");
}

TEST(Shutdown, SigtermStopsInOrderAndLeavesTheDatabaseIntact) {
  ServerFixture fixture;
  const std::string zdf_before = ReadFile(fixture.folder().File("db.zdf"));
  const std::string zix_before = ReadFile(fixture.folder().File("db.zix"));
  ASSERT_TRUE(fixture.Start());
  EXPECT_TRUE(Exists(fixture.folder().File("db.rs")));  // the write file
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_TRUE(client->SendFrame("RECORDSETADDROW~1"));  // in flight at the stop

  EXPECT_EQ(fixture.server().Stop(), 0);
  EXPECT_TRUE(client->WaitForClose(kReplyTimeoutMs));
  EXPECT_EQ(ReadFile(fixture.output()), "Service started\nListening on 127.0.0.1:" +
                                            std::to_string(fixture.port()) + "\nService stopped\n");
  EXPECT_FALSE(Exists(fixture.folder().File("db.rs")));
  EXPECT_TRUE(Exists(fixture.folder().File("db.dat")));
  EXPECT_EQ(ReadFile(fixture.folder().File("db.zdf")), zdf_before);
  EXPECT_EQ(ReadFile(fixture.folder().File("db.zix")), zix_before);

  // A restart on the same port does not wait for old connections to time out.
  ASSERT_TRUE(
      fixture.server().Start({"--config", fixture.ini(), "--port", std::to_string(fixture.port())},
                             fixture.folder().File("again.out")));
  EXPECT_TRUE(fixture.server().WaitUntilServing(fixture.port()));
}

TEST(Shutdown, ReportsReadyAndStoppingToTheServiceManager) {
  ServerFixture fixture;
  // The service manager's side: a datagram socket named by NOTIFY_SOCKET.
  const std::string path = fixture.folder().File("notify");
  const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(manager, 0);
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof where.sun_path);
  std::memcpy(where.sun_path, path.c_str(), path.size());
  ASSERT_EQ(::bind(manager, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
  auto receive = [&]() {
    pollfd waiting{manager, POLLIN, 0};
    if (::poll(&waiting, 1, kReplyTimeoutMs) != 1) return std::string("<nothing>");
    char text[256];
    const ssize_t n = ::recv(manager, text, sizeof text, 0);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string("<error>");
  };
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  const bool started = fixture.Start();
  ::unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(started);
  EXPECT_EQ(receive(), "READY=1");
  EXPECT_EQ(fixture.server().Stop(), 0);
  EXPECT_EQ(receive(), "STOPPING=1");
  ::close(manager);
}

TEST(CommandLine, HelpVersionAndBadArguments) {
  std::string out;
  EXPECT_EQ(RunCommand(ServerBinary() + " --help", &out), 0);
  EXPECT_TRUE(Contains(out, "--config")) << out;
  EXPECT_EQ(RunCommand(ServerBinary() + " --version", &out), 0);
  EXPECT_TRUE(Contains(out, "ztserver ")) << out;
  EXPECT_EQ(RunCommand(ServerBinary() + " --port 12x", &out), 2);
  EXPECT_EQ(RunCommand(ServerBinary() + " --port 70000", &out), 2);
  EXPECT_EQ(RunCommand(ServerBinary() + " --bogus", &out), 2);
  EXPECT_EQ(RunCommand(ServerBinary() + " --config", &out), 2);
}

}  // namespace
}  // namespace zt::testing

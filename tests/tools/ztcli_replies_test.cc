// How ztcli reads replies: every case of the shared reply table
// (tests/client/reply_cases.txt) answered by a stand-in server, and \show
// and --csv reading rows in bulk from the real one, values that read FAILED
// or hold "~" included.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

const std::string kZtcli = std::string(ZT_BINARY_DIR) + "/ztcli";

struct ReplyCase {
  bool failed;
  std::string text;
};

std::vector<ReplyCase> ReadReplyCases() {
  std::vector<ReplyCase> cases;
  std::istringstream lines(ReadFile(std::string(ZT_SOURCE_DIR) + "/tests/client/reply_cases.txt"));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    cases.push_back({line.rfind("failed", 0) == 0, line.substr(tab + 1)});
  }
  return cases;
}

// A stand-in server on a loopback port: each connection gets the greeting,
// and its first request the next reply text of the list; it is then read
// to its close. Every wait is bounded.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
      return;
    }
    port_ = ntohs(where.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  void Serve() {
    for (const std::string& reply : replies_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 30'000) != 1) return;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      static const char kGreeting[] =
          "\x02"
          "CONNECTIONSTATUS"
          "\x03"
          "~SUCCEEDED";
      (void)!::write(client, kGreeting, sizeof kGreeting - 1);
      std::string request;
      char buffer[256];
      bool answered = false;
      for (;;) {
        pollfd readable{client, POLLIN, 0};
        if (::poll(&readable, 1, 30'000) != 1) break;
        const ssize_t got = ::read(client, buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
        if (!answered && request.find('\x03') != std::string::npos) {
          const std::string frame = "\x02" + reply + "\x03";
          (void)!::write(client, frame.data(), frame.size());
          answered = true;
        }
      }
      ::close(client);
    }
  }

  std::vector<std::string> replies_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST(ZtcliReplies, JudgesEveryCaseOfTheSharedTable) {
  const std::vector<ReplyCase> cases = ReadReplyCases();
  ASSERT_FALSE(cases.empty());
  std::vector<std::string> texts;
  for (const ReplyCase& c : cases) texts.push_back(c.text);
  ScriptedServer server(texts);
  ASSERT_NE(server.port(), 0);
  const ScratchFolder folder;
  for (const ReplyCase& c : cases) {
    // STARTTRANSACTION keeps no reason: a failure costs no second request.
    std::string out;
    const int status = RunCommand(
        kZtcli + " -t 5 -p " + std::to_string(server.port()) + " -c STARTTRANSACTION 2>/dev/null",
        &out, false);
    EXPECT_EQ(status, c.failed ? 1 : 0) << c.text;
    EXPECT_EQ(out, c.text + "\n") << c.text;
  }
}

class ZtcliBulkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_TRUE(MakeLoadedDatabase(fixture_.folder(), "db",
                                   "table Notes\n"
                                   "column Id integer 4 key\n"
                                   "column Text text 20\n",
                                   {{"Notes", "Id,Text\n1,FAILED\n2,\"a~b, c\"\n3,\n"}}, &out))
        << out;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }
  std::string Cli(const std::string& args, int expected_status = 0) {
    std::string out;
    EXPECT_EQ(RunCommand(kZtcli + " -t 5 -p " + std::to_string(fixture_.port()) + " " + args, &out,
                         false),
              expected_status)
        << out;
    return out;
  }
  ServerFixture fixture_{/*with_database=*/false};
};

TEST_F(ZtcliBulkTest, ShowAndCsvReadEveryValue) {
  EXPECT_EQ(Cli("--csv '\\show Notes'"), "Id,Text\n1,FAILED\n2,\"a~b, c\"\n3,\n");
  EXPECT_EQ(Cli("--csv '\\show Notes ORDER BY Id DESC LIMIT 2'"), "Id,Text\n3,\n2,\"a~b, c\"\n");
  EXPECT_EQ(Cli("--csv '\\show Notes WHERE Id > 5'"), "Id,Text\n");
  const std::string table = Cli("'\\show Notes'");
  EXPECT_NE(table.find("FAILED"), std::string::npos) << table;
  EXPECT_NE(table.find("a~b, c"), std::string::npos) << table;
  EXPECT_EQ(Cli("--csv '\\dt'"), "table\nNotes\n");
}

}  // namespace
}  // namespace zt::testing

// Framing and connection handling of the running server, over TCP.
#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"

namespace zt::testing {
namespace {

using namespace std::string_literals;

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
// How long to wait for a reply that must not come.
constexpr int kSilenceMs = 300;

std::string Frame(const std::string& text) { return std::string(1, kStx) + text + kEtx; }

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }
  ServerFixture fixture_;
};

TEST_F(ConnectionTest, GreetingIsExactlyTheTwentyEightBytes) {
  Client client;
  ASSERT_TRUE(client.Connect(LocalServer(fixture_.port())));
  ztserver::Result<std::string> greeting = client.ReadExactly(28);
  ASSERT_TRUE(greeting);
  EXPECT_EQ(*greeting, std::string("\x02"
                                  "CONNECTIONSTATUS"
                                  "\x03"
                                  "~SUCCEEDED"));
  // Nothing else follows unasked.
  EXPECT_FALSE(client.ReadExactly(1, kSilenceMs));
}

struct RawCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> replies;
};

class RawFraming : public ConnectionTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFraming, AnswersTheFramesItFinds) {
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->SendRaw(GetParam().bytes));
  for (const std::string& expected : GetParam().replies) {
    std::string reply;
    ASSERT_TRUE(client->ReceiveText(reply, kReplyTimeoutMs)) << "missing " << expected;
    EXPECT_EQ(reply, expected);
  }
  std::string extra;
  EXPECT_FALSE(client->ReceiveText(extra, kSilenceMs)) << "unexpected " << extra;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, RawFraming,
    ::testing::Values(
        RawCase{"StxRun",
                "\x02\x02\x02"
                "STARTTRANSACTION\x03",
                {"STARTTRANSACTION"}},
        RawCase{"StrayBytesFirst", "junk" + Frame("COMMITTRANSACTION"), {"COMMITTRANSACTION"}},
        RawCase{"StxEtxThenMessage", "\x02\x03" + Frame("STARTTRANSACTION"), {"STARTTRANSACTION"}},
        RawCase{"RestartedFrame",
                "\x02"
                "STARTTRA" +
                    Frame("ROLLBACKTRANSACTION"),
                {"ROLLBACKTRANSACTION"}},
        RawCase{
            "ThreeInOneSendInOrder",
            Frame("STARTTRANSACTION") + Frame("COMMITTRANSACTION") + Frame("ROLLBACKTRANSACTION"),
            {"STARTTRANSACTION", "COMMITTRANSACTION", "ROLLBACKTRANSACTION"}},
        RawCase{"NulByteDroppedNotTheRest",
                "\x02STARTTRANS\0ACTION\x03\0\x02REBUILDDATABASE\x03"s,
                {"STARTTRANSACTION", "REBUILDDATABASE~FAILED"}},
        RawCase{"UnknownCommandDroppedNextAnswered",
                Frame("HELLO") + Frame("STARTTRANSACTION"),
                {"STARTTRANSACTION"}},
        RawCase{"OnlyGarbage", "no frames at all\x03\x03", {}}),
    [](const ::testing::TestParamInfo<RawCase>& param) { return std::string(param.param.name); });

TEST_F(ConnectionTest, MessageSplitOverSendsIsAnsweredWhenComplete) {
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->SendRaw("\x02STARTTR"));
  std::string reply;
  EXPECT_FALSE(client->ReceiveText(reply, kSilenceMs));
  ASSERT_TRUE(client->SendRaw("ANSACTION\x03"));
  ASSERT_TRUE(client->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "STARTTRANSACTION");
}

TEST_F(ConnectionTest, OverlongMessageDiscardedLoggedAndConnectionStaysUsable) {
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  const std::string longest = "STARTTRANSACTION~" + std::string(4091 - 17, 'x');
  ASSERT_EQ(longest.size(), 4091u);
  ASSERT_TRUE(client->SendRaw(Frame(longest + "y") + Frame(longest)));
  EXPECT_EQ(Ask(*client, "COMMITTRANSACTION"), "STARTTRANSACTION");  // the 4091 one
  std::string reply;
  ASSERT_TRUE(client->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "COMMITTRANSACTION");
  const std::string log = fixture_.ErrorLog();
  EXPECT_NE(log.find("longer than 4091 characters"), std::string::npos) << log;
}

TEST_F(ConnectionTest, EndlessBytesWithoutEtxDoNotStopTheServer) {
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->SendRaw("\x02"));
  const std::string chunk(64 * 1024, 'z');
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(client->SendRaw(chunk));  // 4 MiB, no ETX
  ASSERT_TRUE(client->SendRaw(std::string("\x03") + Frame("STARTTRANSACTION")));
  std::string reply;
  ASSERT_TRUE(client->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "STARTTRANSACTION");
  // Another client is served as usual.
  auto other = fixture_.Connect();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Ask(*other, "COMMITTRANSACTION"), "COMMITTRANSACTION");
}

TEST_F(ConnectionTest, ClientThatNeverReadsDoesNotGrowTheServer) {
  auto lazy = fixture_.Connect();
  ASSERT_NE(lazy, nullptr);
  // Long location texts make every GETLOCATIONINFORMATION reply about 20
  // times the size of its request.
  std::string set = "SETLOCATIONINFORMATION";
  for (const int width : {99, 149, 49, 19, 19, 19, 19, 99}) set += "~" + std::string(width, 'L');
  ASSERT_EQ(Ask(*lazy, set), "SETLOCATIONINFORMATION");
  const std::string expected = "GETLOCATIONINFORMATION" + set.substr(22);
  const long before = fixture_.server().ResidentKib();

  // Requests whose replies are never read: once the unsent replies pile up
  // the server stops reading this client, so its sends finally stall.
  std::string burst;
  for (int i = 0; i < 2700; ++i) burst += Frame("GETLOCATIONINFORMATION");  // ~64 KiB
  bool stalled = false;
  for (int round = 0; round < 200 && !stalled; ++round) stalled = !lazy->SendRaw(burst, 2000);
  EXPECT_TRUE(stalled);
  const long after = fixture_.server().ResidentKib();
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed memory resident
  EXPECT_LT(after - before, 24 * 1024) << before << " KiB before, " << after << " KiB after";
#else
  static_cast<void>(after - before);
#endif

  // Everyone else is still served.
  auto other = fixture_.Connect();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Ask(*other, "STARTTRANSACTION"), "STARTTRANSACTION");
  // The replies the lazy client finally reads are whole frames, in order.
  std::string reply;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(lazy->ReceiveText(reply, kReplyTimeoutMs));
    ASSERT_EQ(reply, expected);
  }
}

TEST_F(ConnectionTest, HalfClosedClientStillGetsEveryReplyThenTheClose) {
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  std::string set = "SETLOCATIONINFORMATION";
  for (const int width : {99, 149, 49, 19, 19, 19, 19, 99}) set += "~" + std::string(width, 'L');
  ASSERT_EQ(Ask(*client, set), "SETLOCATIONINFORMATION");
  // More reply bytes than the sockets' buffers hold, requested before the
  // client says it is done sending.
  constexpr int kRequests = 30000;
  std::string burst;
  for (int i = 0; i < kRequests; ++i) burst += Frame("GETLOCATIONINFORMATION");
  std::thread sender([&] {
    EXPECT_TRUE(client->SendRaw(burst));
    client->ShutdownWrite();
  });
  // Reading only later lets the replies back up in the server first.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  int replies = 0;
  std::string reply;
  while (replies < kRequests && client->ReceiveText(reply, kReplyTimeoutMs)) ++replies;
  sender.join();
  EXPECT_EQ(replies, kRequests);
  EXPECT_TRUE(client->WaitForClose(kReplyTimeoutMs));
}

TEST_F(ConnectionTest, ResetConnectionIsClosedLikeAnOrderlyOne) {
  {
    auto client = fixture_.Connect();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
    EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~2");
    client->Abort();
  }
  // The departed client's recordsets are closed: handle numbering restarts.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto next = fixture_.Connect();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(Ask(*next, "CREATERECORDSET"), "CREATERECORDSET~1");
}

TEST(ConnectionLimit, ConnectionsBeyondTheDescriptorBudgetAreClosedNotQueued) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  // 64 descriptors leave room for 32 sessions.
  ASSERT_TRUE(fixture.Start(64)) << ReadFile(fixture.output());
  std::vector<std::unique_ptr<Client>> clients;
  int greeted = 0;
  int refused = 0;
  for (int i = 0; i < 60; ++i) {
    auto client = std::make_unique<Client>();
    ASSERT_TRUE(client->Connect(LocalServer(fixture.port(), 2000)));
    if (client->ReadGreeting()) {
      ++greeted;
      clients.push_back(std::move(client));
    } else {
      ++refused;
    }
  }
  EXPECT_GT(greeted, 0);
  EXPECT_GT(refused, 0);
  // Room again once some leave; the server was never stuck.
  clients.resize(clients.size() / 2);
  std::unique_ptr<Client> late;
  for (int i = 0; i < 100 && late == nullptr; ++i) {
    late = fixture.Connect();
    if (!late) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(Ask(*late, "STARTTRANSACTION"), "STARTTRANSACTION");
  EXPECT_EQ(Ask(*clients.front(), "COMMITTRANSACTION"), "COMMITTRANSACTION");
}

}  // namespace
}  // namespace zt::testing

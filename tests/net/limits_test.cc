// The operator's limits and the protections against hostile clients, on the
// running server: each limit bites, says so once in the error log, and
// leaves every other client served.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <string>
#include <thread>
#include <vector>

#include "net/net_server.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

constexpr int kTimerNeverFiresMs = 60000;
constexpr int kNoReplyMs = 300;

std::string Frame(const std::string& text) { return "\x02" + text + "\x03"; }

// A server with these [SERVER] lines added to the standard configuration.
class LimitsTest : public ::testing::Test {
 protected:
  void Start(const std::string& server_lines, int retry_delay_ms = kTestRetryDelayMs,
             rlim_t fd_limit = 0, rlim_t fd_hard_limit = 0) {
    ASSERT_TRUE(fixture_.created());
    fixture_.SetRetryDelay(retry_delay_ms, server_lines);
    ASSERT_TRUE(fixture_.Start(fd_limit, fd_hard_limit)) << ReadFile(fixture_.output());
  }
  // Connected and greeted (true), or closed before any greeting (false).
  bool Greeted(Client& client) {
    return client.Connect(LocalServer(fixture_.port())) && client.ReadGreeting();
  }
  bool LogHas(const std::string& text) {
    return fixture_.ErrorLog().find(text) != std::string::npos;
  }
  // With "MetricsAddress=127.0.0.1:0" among the server lines: the value of
  // one series of /metrics (name and labels as the page writes them), or -1.
  double Metric(const std::string& series) {
    if (metrics_port_ == 0) {
      metrics_port_ = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
    }
    return ScrapeMetric(metrics_port_, series);
  }
  // A's recordset 1 on a stored customer row that A holds locked: requests
  // to lock it wait.
  void HoldARow(Client& a) {
    ExpectReplies(a, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                      {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                      {"RECORDSETSETFIELDVALUE~1~ID~1", "RECORDSETSETFIELDVALUE~1"},
                      {"RECORDSETSETFIELDVALUE~1~NAME~n", "RECORDSETSETFIELDVALUE~1"},
                      {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                      {"RECORDSETLOCKCURRENTROW~1", "RECORDSETLOCKCURRENTROW~1"}});
  }

  ServerFixture fixture_;
  uint16_t metrics_port_ = 0;
};

// Whether a connection to the server from the loopback address `from`
// (127.0.0.2, say: every 127/8 address is this host's) is greeted.
bool GreetedFrom(const char* from, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string got;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
      ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
    char buffer[64];
    pollfd wait{fd, POLLIN, 0};
    while (got.size() < kGreetingLength && ::poll(&wait, 1, kReplyTimeoutMs) == 1) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return got == std::string(kGreeting, kGreetingLength);
}

TEST_F(LimitsTest, ConnectionsBeyondMaxConnectionsAreClosedAtOnce) {
  Start("MaxConnections=3\n");
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(Greeted(*clients.back()));
  }
  Client fourth;
  EXPECT_FALSE(Greeted(fourth));
  EXPECT_TRUE(LogHas("MaxConnections reached"));
  // One leaves: room again.
  clients.pop_back();
  std::unique_ptr<Client> late;
  for (int i = 0; i < 100 && late == nullptr; ++i) {
    late = fixture_.Connect();
    if (!late) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(Ask(*late, "STARTTRANSACTION"), "STARTTRANSACTION");
}

// One peer cannot take every slot: its connections beyond the limit are
// refused (and counted as such), another address is still let in, and a
// close makes room again.
TEST_F(LimitsTest, ConnectionsBeyondMaxConnectionsPerAddressAreClosedAtOnce) {
  Start("MaxConnectionsPerAddress=2\nMetricsAddress=127.0.0.1:0\n");
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 2; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(Greeted(*clients.back()));
  }
  Client third;
  EXPECT_FALSE(Greeted(third));
  EXPECT_TRUE(LogHas("MaxConnectionsPerAddress reached for 127.0.0.1"));
  EXPECT_TRUE(GreetedFrom("127.0.0.2", fixture_.port()));
  EXPECT_EQ(Metric("ztserver_connections_refused_total{limit=\"per_address\"}"), 1);
  EXPECT_EQ(Metric("ztserver_connections_refused_total{limit=\"session_limit\"}"), 0);
  clients.pop_back();
  std::unique_ptr<Client> late;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (late == nullptr && std::chrono::steady_clock::now() < deadline) late = fixture_.Connect();
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(Ask(*late, "STARTTRANSACTION"), "STARTTRANSACTION");
}

// Unset, the limit is a quarter of MaxConnections.
TEST_F(LimitsTest, MaxConnectionsPerAddressDefaultsToAQuarterOfMaxConnections) {
  Start("MaxConnections=80\n");
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<Client>());
    ASSERT_TRUE(Greeted(*clients.back())) << "client " << i;
  }
  Client beyond;
  EXPECT_FALSE(Greeted(beyond));
  EXPECT_TRUE(LogHas("MaxConnectionsPerAddress reached"));
}

TEST_F(LimitsTest, AllowFromLetsInOnlyItsNetworks) {
  Start("AllowFrom=10.0.0.0/8, 2001:db8::/32\n");
  Client outsider;
  EXPECT_FALSE(Greeted(outsider));
  EXPECT_TRUE(LogHas("peer not in AllowFrom"));
}

TEST_F(LimitsTest, AllowFromWithTheClientsNetworkServesIt) {
  Start("AllowFrom=10.0.0.0/8 127.0.0.0/8\n");
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(Ask(*client, "STARTTRANSACTION"), "STARTTRANSACTION");
}

TEST_F(LimitsTest, AMistypedAllowFromLetsNobodyInAndSaysWhy) {
  Start("AllowFrom=127.0.0.0/88\n");
  Client client;
  EXPECT_FALSE(Greeted(client));
  EXPECT_TRUE(LogHas("AllowFrom entry 127.0.0.0/88"));
}

TEST_F(LimitsTest, CreateRecordsetBeyondThePerConnectionLimitFailsWithAMessage) {
  Start("MaxRecordsetsPerConnection=2\n");
  auto a = fixture_.Connect();
  auto b = fixture_.Connect();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ExpectReplies(*a, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                     {"CREATERECORDSET", "CREATERECORDSET~2"},
                     {"CREATERECORDSET", "CREATERECORDSET~FAILED"}});
  EXPECT_NE(Ask(*a, "GETLASTERRORTEXT").find("MaxRecordsetsPerConnection"), std::string::npos);
  EXPECT_TRUE(LogHas("MaxRecordsetsPerConnection reached"));
  // The limit is per connection, and a close makes room.
  EXPECT_EQ(Ask(*b, "CREATERECORDSET"), "CREATERECORDSET~3");
  ExpectReplies(*a, {{"RECORDSETCLOSE~1", "RECORDSETCLOSE~1"},
                     {"CREATERECORDSET", "CREATERECORDSET~4"}});
}

// The reproducer: B closed A's handle, C was given the same number, and
// A's disconnect then closed C's recordset with C's pending edit.
TEST_F(LimitsTest, AConnectionUsesOnlyTheHandlesItCreated) {
  Start("");
  auto a = fixture_.Connect();
  auto b = fixture_.Connect();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ExpectReplies(*a, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                     {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"}});
  // Every kind of use of A's handle by B fails as for a missing handle.
  ExpectReplies(*b, {{"RECORDSETCLOSE~1", "RECORDSETCLOSE~FAILED"},
                     {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~0"},
                     {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~FAILED"},
                     {"RECORDSETADDROW~1", "RECORDSETADDROW~FAILED"},
                     {"RECORDSETLOCKALL~1", "RECORDSETLOCKALL~FAILED"},
                     {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~FAILED"},
                     {"RECORDSETGETLASTERROR~1", "RECORDSETGETLASTERRORTEXT~FAILED"}});
  // A's recordset is untouched, and A's pending edit survives B entirely.
  ExpectReplies(*a, {{"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~1"},
                     {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                     {"RECORDSETSETFIELDVALUE~1~ID~7", "RECORDSETSETFIELDVALUE~1"}});
  b.reset();
  ExpectReplies(*a, {{"RECORDSETSETFIELDVALUE~1~NAME~Seven", "RECORDSETSETFIELDVALUE~1"},
                     {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                     {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~1"}});
}

TEST_F(LimitsTest, IdleConnectionsAreClosedAfterIdleTimeout) {
  Start("IdleTimeout=1\n");
  auto idle = fixture_.Connect();
  ASSERT_NE(idle, nullptr);
  EXPECT_TRUE(idle->WaitForClose(10000));
  EXPECT_TRUE(LogHas("no reply within IdleTimeout"));
  // A client that keeps asking stays.
  auto busy = fixture_.Connect();
  ASSERT_NE(busy, nullptr);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1600);
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(Ask(*busy, "STARTTRANSACTION"), "STARTTRANSACTION");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // paces the client, waits for nothing
  }
}

// What the server never answers is no sign of a live client: neither an
// unknown command trickled a byte at a time, nor the bytes of a message
// that never ends (FrameTimeout off, so only IdleTimeout can close it).
TEST_F(LimitsTest, UnansweredRequestsDoNotKeepAConnectionFromIdleTimeout) {
  struct Case {
    const char* name;
    std::string opening;  // sent once
    std::string cycle;    // then one byte of it at a time, round and round
  };
  for (const Case& c : {Case{"unknown command", "", "\002A\003"},
                        Case{"incomplete frame", "\002STARTTRANS", "A"}}) {
    SCOPED_TRACE(c.name);
    ServerFixture fixture;
    fixture.SetRetryDelay(kTestRetryDelayMs, "IdleTimeout=1\nFrameTimeout=0\n");
    ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
    auto slow = fixture.Connect();
    ASSERT_NE(slow, nullptr);
    ASSERT_TRUE(slow->SendRaw(c.opening));
    bool closed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (size_t i = 0; !closed && std::chrono::steady_clock::now() < deadline; ++i) {
      closed =
          !slow->SendRaw(c.cycle.substr(i % c.cycle.size(), 1), 1000) || slow->WaitForClose(100);
    }
    EXPECT_TRUE(closed);
    EXPECT_NE(fixture.ErrorLog().find("no reply within IdleTimeout"), std::string::npos);
  }
}

// One byte a while keeps no frame alive for ever (the slow-sender lock-out).
TEST_F(LimitsTest, AFrameNotCompletedWithinFrameTimeoutClosesTheConnection) {
  Start("FrameTimeout=1\n");
  auto slow = fixture_.Connect();
  ASSERT_NE(slow, nullptr);
  ASSERT_TRUE(slow->SendRaw("\x02STARTTRANS"));
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) {
    closed = !slow->SendRaw("A", 1000) || slow->WaitForClose(250);
  }
  EXPECT_TRUE(closed);
  EXPECT_TRUE(LogHas("not completed within FrameTimeout"));
}

TEST_F(LimitsTest, TheDescriptorLimitIsRaisedToTheHardLimitAtStart) {
  // A soft limit of 40 alone would leave room for 8 sessions.
  Start("", kTestRetryDelayMs, 40, 4096);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 60; ++i) {
    clients.push_back(fixture_.Connect());
    ASSERT_NE(clients.back(), nullptr) << "client " << i;
  }
}

// The reproducer of retry amplification: with the timer far off, requests
// of other clients used to spend a waiting request's tries at once.
TEST_F(LimitsTest, WaitingRequestsAreRetriedOnLockReleaseNotOnEveryRead) {
  Start("", kTimerNeverFiresMs);
  auto a = fixture_.Connect();
  auto b = fixture_.Connect();
  auto c = fixture_.Connect();
  ASSERT_TRUE(a && b && c);
  ExpectReplies(*a, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                     {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                     {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                     {"RECORDSETSETFIELDVALUE~1~ID~1", "RECORDSETSETFIELDVALUE~1"},
                     {"RECORDSETSETFIELDVALUE~1~NAME~n", "RECORDSETSETFIELDVALUE~1"},
                     {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                     {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                     {"RECORDSETLOCKCURRENTROW~1", "RECORDSETLOCKCURRENTROW~1"}});
  ExpectReplies(*b, {{"CREATERECORDSET", "CREATERECORDSET~2"},
                     {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"}});
  ASSERT_TRUE(b->SendFrame("RECORDSETLOCKCURRENTROW~2"));
  std::string reply;
  EXPECT_FALSE(b->ReceiveText(reply, kNoReplyMs));
  // Far more reads than B has tries.
  for (int i = 0; i < 3 * 10; ++i) ASSERT_EQ(Ask(*c, "STARTTRANSACTION"), "STARTTRANSACTION");
  EXPECT_FALSE(b->ReceiveText(reply, kNoReplyMs));
  // The release lets B through at once, without waiting for the timer.
  EXPECT_EQ(Ask(*a, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  ASSERT_TRUE(b->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "RECORDSETLOCKCURRENTROW~2");
}

// The reproducer of the reply bound bypassed through deferral: a client
// whose first request waits piles requests behind it and never reads.
TEST_F(LimitsTest, RequestsQueuedBehindAWaitingOneStillRespectTheReplyBound) {
  Start("", kTimerNeverFiresMs);
  auto a = fixture_.Connect();
  auto lazy = fixture_.Connect();
  ASSERT_TRUE(a && lazy);
  std::string set = "SETLOCATIONINFORMATION";
  for (const int width : {99, 149, 49, 19, 19, 19, 19, 99}) set += "~" + std::string(width, 'L');
  ExpectReplies(*a, {{set, "SETLOCATIONINFORMATION"},
                     {"CREATERECORDSET", "CREATERECORDSET~1"},
                     {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                     {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                     {"RECORDSETSETFIELDVALUE~1~ID~1", "RECORDSETSETFIELDVALUE~1"},
                     {"RECORDSETSETFIELDVALUE~1~NAME~n", "RECORDSETSETFIELDVALUE~1"},
                     {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                     {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                     {"RECORDSETLOCKCURRENTROW~1", "RECORDSETLOCKCURRENTROW~1"}});
  ExpectReplies(*lazy, {{"CREATERECORDSET", "CREATERECORDSET~2"},
                        {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"}});
  // The waiting request, then about 1 MB of requests whose replies are
  // twenty times their size.
  std::string burst = Frame("RECORDSETLOCKCURRENTROW~2");
  for (int i = 0; i < 40000; ++i) burst += Frame("GETLOCATIONINFORMATION");
  ASSERT_TRUE(lazy->SendRaw(burst, 5000));  // below the request bound: all taken
  const long before = fixture_.server().ResidentKib();
  EXPECT_EQ(Ask(*a, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  EXPECT_EQ(Ask(*a, "STARTTRANSACTION"), "STARTTRANSACTION");  // the run after the release is over
  const long after = fixture_.server().ResidentKib();
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's quarantine keeps freed memory resident
  // Unbounded, the replies would be about 20 MB.
  EXPECT_LT(after - before, 8 * 1024) << before << " KiB before, " << after << " KiB after";
#else
  static_cast<void>(after - before);
#endif
  // Every reply still comes, whole and in order, as the client reads.
  std::string reply;
  ASSERT_TRUE(lazy->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "RECORDSETLOCKCURRENTROW~2");
  int replies = 0;
  while (replies < 40000 && lazy->ReceiveText(reply, kReplyTimeoutMs)) {
    ASSERT_EQ(reply.substr(0, 22), "GETLOCATIONINFORMATION");
    ++replies;
  }
  EXPECT_EQ(replies, 40000);
}

// The reproducer of memory behind a waiting request: connections whose
// first request waits for a row lock stream the tiniest request there is,
// "\x02A\x03", as fast as the server reads. Each queue stops at its bound
// (about 2 bytes a request, where a string object each once cost 32 and
// more: 34 MB a connection), and the memory goes with the connections.
TEST_F(LimitsTest, TheQueueBehindAWaitingRequestStaysWithinItsBound) {
  Start("MetricsAddress=127.0.0.1:0\n", kTimerNeverFiresMs);
  auto a = fixture_.Connect();
  ASSERT_NE(a, nullptr);
  HoldARow(*a);
  constexpr int kStreams = 8;
  std::vector<std::unique_ptr<Client>> streams;
  for (int i = 0; i < kStreams; ++i) {
    streams.push_back(fixture_.Connect());
    ASSERT_NE(streams.back(), nullptr);
    const std::string handle = std::to_string(i + 2);
    ExpectReplies(*streams.back(),
                  {{"CREATERECORDSET", "CREATERECORDSET~" + handle},
                   {"RECORDSETOPEN~" + handle + "~CUSTOMER", "RECORDSETOPEN~" + handle}});
    ASSERT_TRUE(streams.back()->SendFrame("RECORDSETLOCKCURRENTROW~" + handle));
  }
  const long before = fixture_.server().ResidentKib();
  std::string chunk;
  for (int i = 0; i < 20000; ++i) chunk += "\002A\003";
  // Each stream sends until the server stops reading it (its queue full,
  // then the socket's buffers): far more than the bound.
  for (auto& stream : streams) {
    for (int sent = 0; sent < 200 && stream->SendRaw(chunk, 200); ++sent) {
    }
  }
  double queued = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    queued = Metric("ztserver_request_queue_bytes");
  } while (queued < kStreams * double{kMaxQueuedRequestBytes} &&
           std::chrono::steady_clock::now() < deadline &&
           (std::this_thread::sleep_for(std::chrono::milliseconds(10)), true));
  EXPECT_GE(queued, kStreams * double{kMaxQueuedRequestBytes});  // every queue reached its bound
  EXPECT_LE(queued, kStreams * 2.0 * double{kMaxQueuedRequestBytes + kReadChunk});
  const long during = fixture_.server().ResidentKib();
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's own bookkeeping swells the heap
  // Generous: the queues plus the parser's buffers, and room for the heap.
  EXPECT_LT(during - before, kStreams * 4 * 1024 + 16 * 1024)
      << before << " KiB before, " << during << " KiB with the queues full";
#endif
  // Closed connections go once the server reads again: when their waiting
  // requests are answered (here, as A lets go of the row).
  streams.clear();
  EXPECT_EQ(Ask(*a, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  const auto closed_by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Metric("ztserver_connections") != 1 && std::chrono::steady_clock::now() < closed_by) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Metric("ztserver_connections"), 1);
  EXPECT_LE(Metric("ztserver_request_queue_bytes"), kRetainedQueueCapacity);  // A's own
  const long after = fixture_.server().ResidentKib();
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(after - before, 16 * 1024)
      << before << " KiB before, " << after << " KiB after the close";
#endif
}

}  // namespace
}  // namespace zt::testing

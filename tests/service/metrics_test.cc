// The metrics endpoint of the running server, over real sockets: the
// figures move with the requests, the page is valid exposition text (read
// by a strict parser written here, independent of the server's writer),
// /health tells whether the database is open, bad HTTP gets 400, and
// scrapers that stall never hold up protocol clients.
#include <gtest/gtest.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/http_endpoint.h"
#include "net/net_server.h"
#include "support/server_process.h"
#include "ztserver/client.h"

namespace zt::testing {
namespace {

// ---- A strict reader of the text exposition format (version 0.0.4) --------

struct Metrics {
  std::map<std::string, double> series;      // "name{a="x",b="y"}" (labels sorted) -> value
  std::map<std::string, std::string> types;  // family -> type

  // The value of a series; NaN when it is not there.
  double operator()(const std::string& key) const {
    const auto it = series.find(key);
    return it == series.end() ? std::nan("") : it->second;
  }
};

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// Reads a metric or label name at text[at]; empty when there is none.
std::string ReadName(const std::string& text, size_t& at) {
  const size_t start = at;
  if (at < text.size() && IsNameStart(text[at])) {
    while (at < text.size() && IsNameChar(text[at])) ++at;
  }
  return text.substr(start, at - start);
}

bool ReadValue(const std::string& text, double& value) {
  if (text == "+Inf") return value = HUGE_VAL, true;
  if (text == "-Inf") return value = -HUGE_VAL, true;
  if (text == "NaN") return value = std::nan(""), true;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

// The family a sample belongs to, given the declared types.
std::string FamilyOf(const std::string& name, const std::map<std::string, std::string>& types) {
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    const std::string s = suffix;
    if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
      const std::string base = name.substr(0, name.size() - s.size());
      const auto it = types.find(base);
      if (it != types.end() && it->second == "histogram") return base;
    }
  }
  return name;
}

// Parses text; on the first violation returns false with the line and why.
bool ParseExposition(const std::string& text, Metrics& out, std::string& error) {
  if (text.empty() || text.back() != '\n') return error = "does not end in a line feed", false;
  std::set<std::string> finished;  // families whose samples have ended
  std::string current;             // the family of the last sample
  std::map<std::string, std::pair<double, std::string>> last_bucket;  // series -> (count, le)
  size_t line_start = 0;
  while (line_start < text.size()) {
    const size_t line_end = text.find('\n', line_start);
    const std::string line = text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    auto fail = [&](const std::string& why) { return error = why + ": " + line, false; };
    if (line.empty()) continue;
    if (line[0] == '#') {
      size_t at = 2;
      if (line.compare(0, 7, "# TYPE ") == 0 || line.compare(0, 7, "# HELP ") == 0) {
        at = 7;
        const std::string name = ReadName(line, at);
        if (name.empty() || at >= line.size() || line[at] != ' ') return fail("bad comment");
        if (line[2] == 'T') {
          const std::string type = line.substr(at + 1);
          if (type != "counter" && type != "gauge" && type != "histogram" && type != "summary" &&
              type != "untyped") {
            return fail("unknown type");
          }
          if (out.types.count(name) || finished.count(name) || current == name) {
            return fail("TYPE twice or after samples");
          }
          out.types[name] = type;
        }
      }
      continue;
    }
    size_t at = 0;
    const std::string name = ReadName(line, at);
    if (name.empty()) return fail("no metric name");
    std::map<std::string, std::string> labels;
    if (at < line.size() && line[at] == '{') {
      ++at;
      while (at < line.size() && line[at] != '}') {
        const std::string label = ReadName(line, at);
        if (label.empty() || line.compare(at, 2, "=\"") != 0) return fail("bad label");
        at += 2;
        std::string value;
        while (at < line.size() && line[at] != '"') {
          if (line[at] == '\\') {
            if (++at >= line.size()) return fail("cut escape");
            if (line[at] == 'n') {
              value += '\n';
            } else if (line[at] == '\\' || line[at] == '"') {
              value += line[at];
            } else {
              return fail("bad escape");
            }
          } else {
            value += line[at];
          }
          ++at;
        }
        if (at >= line.size()) return fail("unterminated label value");
        ++at;
        if (!labels.emplace(label, value).second) return fail("label twice");
        if (at < line.size() && line[at] == ',') ++at;
      }
      if (at >= line.size()) return fail("unterminated labels");
      ++at;
    }
    if (at >= line.size() || line[at] != ' ') return fail("no space before the value");
    std::string value_text = line.substr(at + 1);
    if (const size_t space = value_text.find(' '); space != std::string::npos) {
      value_text.resize(space);  // a timestamp may follow
    }
    double value = 0;
    if (!ReadValue(value_text, value)) return fail("bad value");

    const std::string family = FamilyOf(name, out.types);
    if (family != current) {
      if (finished.count(family)) return fail("family's samples are not together");
      if (!current.empty()) finished.insert(current);
      current = family;
    }
    const auto type = out.types.find(family);
    if (type == out.types.end()) return fail("sample without TYPE");
    if (type->second == "counter" && (value < 0 || name.size() < 6 ||
                                      name.compare(name.size() - 6, 6, "_total") != 0)) {
      return fail("counter not named _total or negative");
    }
    if (type->second == "histogram") {
      if (name == family) return fail("histogram sample without suffix");
      std::map<std::string, std::string> rest = labels;
      rest.erase("le");
      std::string group;
      for (const auto& [k, v] : rest) group += k + "=" + v + ",";
      if (name == family + "_bucket") {
        if (!labels.count("le")) return fail("bucket without le");
        auto& [count, le] = last_bucket[family + group];
        if (value < count) return fail("buckets not cumulative");
        count = value;
        le = labels["le"];
      } else if (name == family + "_count") {
        const auto& [count, le] = last_bucket[family + group];
        if (le != "+Inf" || count != value) return fail("count is not the +Inf bucket");
      }
    }
    std::string key = name;
    if (!labels.empty()) {
      key += '{';
      for (const auto& [k, v] : labels) key += k + "=\"" + v + "\",";
      key.back() = '}';
    }
    if (!out.series.emplace(key, value).second) return fail("series twice");
  }
  return true;
}

// The reader must refuse what a scraper would, or the checks below prove
// nothing.
TEST(ExpositionReader, RefusesMalformedText) {
  for (const char* text : {
           "x_total 1\n",                                             // no TYPE
           "# TYPE x_total counter\nx_total 1",                       // no final LF
           "# TYPE x_total counter\nx_total{a=\"b} 1\n",             // cut label
           "# TYPE x_total counter\nx_total{a=\"\\q\"} 1\n",        // bad escape
           "# TYPE x_total counter\nx_total one\n",                  // bad value
           "# TYPE x counter\nx 1\n",                                 // counter without _total
           "# TYPE x gauge\nx 1\nx 2\n",                              // series twice
           "# TYPE x gauge\n# TYPE y gauge\nx 1\ny 1\nx{a=\"1\"} 1\n",  // family split
           "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\n"
           "h_count 1\n",                                              // not cumulative
           "# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_count 3\n",  // count != +Inf
       }) {
    Metrics metrics;
    std::string error;
    EXPECT_FALSE(ParseExposition(text, metrics, error)) << text;
  }
  Metrics metrics;
  std::string error;
  EXPECT_TRUE(ParseExposition("# HELP x_total h\n# TYPE x_total counter\nx_total{a=\"\\n\"} 3 17\n",
                              metrics, error))
      << error;
  EXPECT_EQ(metrics("x_total{a=\"\n\"}"), 3);
}

// ---- The running server -------------------------------------------------------

// A server with its metrics endpoint on a port of its own choosing.
class MetricsTest : public ::testing::Test {
 protected:
  explicit MetricsTest(bool with_database = true) : fixture_(with_database) {}

  void StartServer(const std::string& extra_settings = "") {
    WriteFile(fixture_.ini(),
              ReadFile(fixture_.ini()) + "MetricsAddress=127.0.0.1:0\n" + extra_settings);
    Restart();
  }
  void Restart() {
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    metrics_port_ = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
    ASSERT_NE(metrics_port_, 0) << ReadFile(fixture_.output()) << fixture_.ErrorLog();
  }

  ztserver::HttpResponse Get(const std::string& path) {
    const ztserver::Result<ztserver::HttpResponse> got =
        ztserver::HttpGet("127.0.0.1", metrics_port_, path, kReplyTimeoutMs);
    EXPECT_TRUE(got.ok()) << got.status().message();
    return got.value_or({});
  }

  Metrics Scrape() {
    const ztserver::HttpResponse page = Get("/metrics");
    EXPECT_EQ(page.status, 200);
    Metrics metrics;
    std::string error;
    EXPECT_TRUE(ParseExposition(page.body, metrics, error)) << error;
    return metrics;
  }

  // Raw bytes to the endpoint; everything it answers until it closes.
  std::string Exchange(const std::string& bytes) {
    Client client;
    EXPECT_TRUE(client.Connect(LocalServer(metrics_port_)));
    EXPECT_TRUE(client.SendRaw(bytes));
    std::string answer;
    EXPECT_TRUE(client.ReadToClose(&answer, kReplyTimeoutMs)) << "not closed";
    return answer;
  }

  ServerFixture fixture_;
  uint16_t metrics_port_ = 0;
};

// A protocol client whose traffic the test adds up, as the server should.
struct CountingClient {
  std::unique_ptr<Client> client;
  uint64_t* sent;
  uint64_t* received;

  std::string Ask(const std::string& request) {
    *sent += request.size() + 2;
    const std::string reply = testing::Ask(*client, request);
    *received += reply.size() + 2;
    return reply;
  }
};

TEST_F(MetricsTest, CountersMoveWithTheRequests) {
  StartServer();
  const Metrics before = Scrape();
  uint64_t to_server = 0;
  uint64_t from_server = 2 * kGreetingLength;
  CountingClient a{fixture_.Connect(), &to_server, &from_server};
  CountingClient b{fixture_.Connect(), &to_server, &from_server};
  ASSERT_NE(a.client, nullptr);
  ASSERT_NE(b.client, nullptr);
  for (const auto& [request, reply] :
       std::vector<std::pair<std::string, std::string>>{
           {"CREATERECORDSET", "CREATERECORDSET~1"},
           {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
           {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
           {"RECORDSETSETFIELDVALUE~1~ID~7", "RECORDSETSETFIELDVALUE~1"},
           {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
           {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
           {"RECORDSETLOCKCURRENTROW~1", "RECORDSETLOCKCURRENTROW~1"},
           {"RECORDSETMOVENEXT~99", "RECORDSETMOVENEXT~FAILED"}}) {
    ASSERT_EQ(a.Ask(request), reply);
  }
  ASSERT_EQ(b.Ask("CREATERECORDSET"), "CREATERECORDSET~2");
  ASSERT_EQ(b.Ask("RECORDSETOPEN~2~CUSTOMER"), "RECORDSETOPEN~2");
  // Held by a: ten deferred tries, then the failure.
  ASSERT_EQ(b.Ask("RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~FAILED");
  // An unknown command is dropped unanswered; the request behind it shows
  // it was read.
  ASSERT_TRUE(b.client->SendFrame("NOSUCHCOMMAND~2"));
  to_server += 17;
  ASSERT_EQ(b.Ask("STARTTRANSACTION"), "STARTTRANSACTION");

  const Metrics after = Scrape();
  const auto delta = [&](const std::string& key) { return after(key) - before(key); };
  const auto command = [](const char* family, const char* name) {
    return std::string(family) + "{command=\"" + name + "\"}";
  };
  EXPECT_EQ(delta(command("ztserver_requests_total", "CREATERECORDSET")), 2);
  EXPECT_EQ(delta(command("ztserver_requests_total", "RECORDSETOPEN")), 3);
  EXPECT_EQ(delta(command("ztserver_requests_total", "RECORDSETLOCKCURRENTROW")), 2);
  EXPECT_EQ(delta(command("ztserver_request_failures_total", "RECORDSETLOCKCURRENTROW")), 1);
  // One deferral per try before the wait ran out: one per retry delay,
  // fewer when a loaded machine fires the timer late.
  const double deferrals =
      delta(command("ztserver_request_deferrals_total", "RECORDSETLOCKCURRENTROW"));
  EXPECT_GE(deferrals, 1);
  EXPECT_LE(deferrals, 10);  // kWaitRetryDelays
  EXPECT_EQ(delta(command("ztserver_request_final_failures_total", "RECORDSETLOCKCURRENTROW")),
            1);
  EXPECT_EQ(delta(command("ztserver_request_failures_total", "RECORDSETMOVENEXT")), 1);
  EXPECT_EQ(delta(command("ztserver_request_final_failures_total", "RECORDSETMOVENEXT")), 0);
  EXPECT_EQ(delta("ztserver_requests_unknown_total"), 1);
  for (const auto& [group, answered] : std::vector<std::pair<std::string, double>>{
           {"session", 3}, {"navigation", 4}, {"row_lock", 2}, {"editing", 3}}) {
    EXPECT_EQ(delta("ztserver_request_duration_seconds_count{group=\"" + group + "\"}"), answered)
        << group;
  }
  EXPECT_GE(delta("ztserver_processing_runs_total"), 14);
  EXPECT_EQ(after("ztserver_connections"), 2);
  EXPECT_EQ(delta("ztserver_connections_accepted_total"), 2);
  EXPECT_EQ(delta("ztserver_received_bytes_total"), static_cast<double>(to_server));
  EXPECT_EQ(delta("ztserver_sent_bytes_total"), static_cast<double>(from_server));
  EXPECT_EQ(after("ztserver_recordsets_open"), 2);
  EXPECT_EQ(after("ztserver_row_locks_held"), 1);
  EXPECT_GT(after("ztserver_resultset_memory_bytes"), 0);
  EXPECT_GT(delta("ztserver_file_size_bytes{file=\"data\"}"), 0);
  EXPECT_GT(after("ztserver_file_size_bytes{file=\"index\"}"), 0);
  EXPECT_GT(after("ztserver_file_size_bytes{file=\"definition\"}"), 0);
  // The one request that changed something was logged and synced.
  EXPECT_EQ(delta("ztserver_log_records_total"), 1);
  EXPECT_GT(delta("ztserver_log_written_bytes_total"), 0);
  EXPECT_GE(delta("ztserver_log_syncs_total"), 1);
  EXPECT_EQ(after("ztserver_log_sync_duration_seconds_count"), after("ztserver_log_syncs_total"));
  EXPECT_EQ(after("ztserver_log_commit_failures_total"), 0);
  EXPECT_EQ(after("ztserver_recovery_clean_shutdown"), 1);
  EXPECT_EQ(after("ztserver_startup{result=\"ok\"}"), 1);
  EXPECT_EQ(after("ztserver_database_open"), 1);
  EXPECT_GE(after("ztserver_uptime_seconds"), before("ztserver_uptime_seconds"));

  // Closing the connections gives back what they held.
  a.client.reset();
  b.client.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  Metrics closed = Scrape();
  while (closed("ztserver_connections") != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    closed = Scrape();
  }
  EXPECT_EQ(closed("ztserver_connections"), 0);
  EXPECT_EQ(closed("ztserver_recordsets_open"), 0);
  EXPECT_EQ(closed("ztserver_row_locks_held"), 0);
}

TEST_F(MetricsTest, HealthIsOkWhileTheDatabaseIsOpen) {
  StartServer();
  const ztserver::HttpResponse health = Get("/health");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.body, "ok\n");
}

TEST_F(MetricsTest, AStartAfterACrashSaysWhatRecoveryFound) {
  StartServer();
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  for (const char* request : {"CREATERECORDSET", "RECORDSETOPEN~1~CUSTOMER", "RECORDSETADDROW~1",
                              "RECORDSETSETFIELDVALUE~1~ID~7", "RECORDSETUPDATE~1"}) {
    ASSERT_EQ(Ask(*client, request).find("FAILED"), std::string::npos) << request;
  }
  fixture_.server().Kill();
  Restart();
  const Metrics metrics = Scrape();
  EXPECT_EQ(metrics("ztserver_recovery_clean_shutdown"), 0);
  // The verification of the files runs in the background after the start.
  EXPECT_GE(metrics("ztserver_verification_state"), 1);
  EXPECT_EQ(metrics("ztserver_startup{result=\"ok\"}"), 1);
  EXPECT_EQ(Get("/health").status, 200);
}

class MetricsWithoutDatabaseTest : public MetricsTest {
 protected:
  MetricsWithoutDatabaseTest() : MetricsTest(/*with_database=*/false) {}
};

TEST_F(MetricsWithoutDatabaseTest, HealthIs503WithOneLineWhy) {
  StartServer();
  const ztserver::HttpResponse health = Get("/health");
  EXPECT_EQ(health.status, 503);
  EXPECT_EQ(health.body.rfind("database not open: ", 0), 0u) << health.body;
  EXPECT_NE(health.body.find("db.dat"), std::string::npos) << health.body;
  EXPECT_EQ(health.body.find('\n'), health.body.size() - 1) << health.body;
  const Metrics metrics = Scrape();
  EXPECT_EQ(metrics("ztserver_startup{result=\"database_not_open\"}"), 1);
  EXPECT_EQ(metrics("ztserver_database_open"), 0);
}

TEST_F(MetricsTest, BadHttpIsAnsweredAndClosed) {
  StartServer();
  struct Case {
    const char* name;
    std::string bytes;
    const char* status_line;
  };
  const std::vector<Case> cases = {
      {"garbage", "garbage\r\n\r\n", "HTTP/1.1 400 "},
      {"binary", std::string("\x16\x03\x01\x00\xff\x00\x00", 7), "HTTP/1.1 400 "},
      {"oversized head", "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'x'), "HTTP/1.1 400 "},
      {"version", "GET /metrics HTTP/3\r\n\r\n", "HTTP/1.1 400 "},
      // Only a POST may carry a body (the console's changes).
      {"body", "GET /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 400 "},
      {"post", "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405 "},
      {"method", "DELETE /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
      {"path", "GET /secrets HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
  };
  for (const Case& c : cases) {
    const std::string answer = Exchange(c.bytes);
    EXPECT_EQ(answer.rfind(c.status_line, 0), 0u) << c.name << ": " << answer;
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << c.name;
  }
  EXPECT_EQ(Scrape()("ztserver_http_bad_requests_total"), 5);
  // HEAD gets the headers alone.
  const std::string head = Exchange("HEAD /health HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << head;
}

// A client of the endpoint that never finishes its request: it stays
// silent, or sends part of a head and then a byte now and then, or asks
// for /metrics and never reads the page (with a receive buffer far smaller
// than the page, so the server's send cannot finish).
enum class Loiter { kIdle, kSlowHead, kNeverReads };

class Loiterer {
 public:
  Loiterer(uint16_t port, Loiter kind) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (kind == Loiter::kNeverReads) {
      const int small = 1024;
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    if (kind == Loiter::kSlowHead) Send("GET /health HTTP/1.1\r\nX-Slow: ");
    if (kind == Loiter::kNeverReads) Send("GET /metrics HTTP/1.1\r\n\r\n");
  }
  ~Loiterer() { ::close(fd_); }
  Loiterer(const Loiterer&) = delete;
  Loiterer& operator=(const Loiterer&) = delete;
  bool connected() const { return connected_; }

  // One more byte of a header that never ends.
  void Trickle() { ::send(fd_, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT); }

  // True once the server has closed the connection (waits up to timeout_ms).
  bool ClosedByServer(int timeout_ms) {
    // Waits for the socket to turn readable, reads what came (an answer
    // before the close, if any), and stops at the end of the stream.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd waiting{.fd = fd_, .events = POLLIN, .revents = 0};
      if (left.count() <= 0 || ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
        return false;
      }
      char bytes[512];
      const ssize_t got = ::recv(fd_, bytes, sizeof bytes, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    }
  }

 private:
  void Send(const char* text) {
    connected_ = connected_ && ::send(fd_, text, std::strlen(text), MSG_NOSIGNAL) > 0;
  }

  int fd_;
  bool connected_ = false;
};

TEST_F(MetricsTest, StalledScrapersDoNotDelayProtocolClients) {
  StartServer();
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  // A few pages to stall on: the page is far larger than what the stalled
  // sockets take.
  ASSERT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  std::vector<std::unique_ptr<Loiterer>> scrapers;
  for (size_t i = 0; i < kMaxHttpConnections + 4; ++i) {
    scrapers.push_back(std::make_unique<Loiterer>(metrics_port_, Loiter::kNeverReads));
    ASSERT_TRUE(scrapers.back()->connected());
  }
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(Ask(*client, "STARTTRANSACTION"), "STARTTRANSACTION") << i;
  }
  EXPECT_EQ(Ask(*client, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
}

// The reproducers of /health going first: clients that trickle a head a
// byte at a time, idle connections, and scrapers that never read used to
// take every slot of the endpoint, and probes were closed on accept until
// the slots aged out. Each probe below arrives with the slots full of them,
// come back afresh, and must be answered.
TEST_F(MetricsTest, HealthIsAnsweredWhileSlowIdleOrStalledClientsTakeEverySlot) {
  StartServer();
  struct Case {
    const char* name;
    Loiter kind;
    size_t count;
  };
  const Case cases[] = {
      {"slow heads", Loiter::kSlowHead, kMaxHttpConnections},
      {"idle connections", Loiter::kIdle, 64},
      {"scrapers that never read", Loiter::kNeverReads, kMaxHttpConnections},
  };
  constexpr int kProbes = 10;
  constexpr int kProbeTimeoutMs = 2000;
  for (const Case& c : cases) {
    int answered = 0;
    for (int probe = 0; probe < kProbes; ++probe) {
      std::vector<std::unique_ptr<Loiterer>> loiterers;
      for (size_t i = 0; i < c.count; ++i) {
        loiterers.push_back(std::make_unique<Loiterer>(metrics_port_, c.kind));
        ASSERT_TRUE(loiterers.back()->connected()) << c.name;
      }
      for (auto& loiterer : loiterers) loiterer->Trickle();
      const ztserver::Result<ztserver::HttpResponse> health =
          ztserver::HttpGet("127.0.0.1", metrics_port_, "/health", kProbeTimeoutMs);
      if (health.ok() && health->status == 200 && health->body == "ok\n") {
        ++answered;
      }
    }
    EXPECT_EQ(answered, kProbes) << c.name;
  }
  const Metrics metrics = Scrape();
  EXPECT_GT(metrics("ztserver_http_connections_evicted_total"), 0);

  // A head still incomplete after kHttpHeadSeconds is not waited for.
  Loiterer idle(metrics_port_, Loiter::kSlowHead);
  ASSERT_TRUE(idle.connected());
  EXPECT_TRUE(idle.ClosedByServer((kHttpHeadSeconds + 3) * 1000));
  EXPECT_GT(Scrape()("ztserver_http_connections_timed_out_total"), 0);
}

TEST_F(MetricsTest, SummaryLineIsLoggedEveryInterval) {
  StartServer("StatsInterval=1\n");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  size_t lines = 0;
  while (lines < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string log = fixture_.ErrorLog();
    lines = 0;
    for (size_t at = log.find("Stats: connections "); at != std::string::npos;
         at = log.find("Stats: connections ", at + 1)) {
      ++lines;
    }
  }
  EXPECT_GE(lines, 2u) << fixture_.ErrorLog();
  EXPECT_NE(fixture_.ErrorLog().find("database open"), std::string::npos);
}

TEST(MetricsConfig, UnusableSettingsAreLoggedAndLeaveTheEndpointOff) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  WriteFile(fixture.ini(),
            ReadFile(fixture.ini()) + "MetricsAddress=localhost\nStatsInterval=often\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  ASSERT_NE(fixture.Connect(), nullptr);
  const std::string log = fixture.ErrorLog();
  EXPECT_NE(log.find("MetricsAddress=localhost is not ADDRESS:PORT"), std::string::npos) << log;
  EXPECT_NE(log.find("StatsInterval=often is not a number of seconds"), std::string::npos) << log;
  EXPECT_EQ(ReadFile(fixture.output()).find("Metrics on"), std::string::npos);
}

}  // namespace
}  // namespace zt::testing

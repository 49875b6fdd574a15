// TLS, authentication and read-only users, against the real server: a CA
// made by the test at run time signs the server's certificate (and the
// clients' where the server asks for one); a users file made with the
// library holds three users of each access.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "config/users_file.h"
#include "protocol/command_table.h"
#include "support/server_process.h"
#include "support/test_certificates.h"

namespace zt::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Polls condition until it holds or timeout_ms passes.
template <typename Condition>
bool Eventually(Condition condition, int timeout_ms = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    ASSERT_TRUE(ca_.Make({.common_name = "ZT Test CA", .ca = true}, nullptr));
    ASSERT_TRUE(ca_.Write(File("ca.pem"), ""));
    ASSERT_TRUE(MakeLeaf("server", {.common_name = "localhost",
                                    .alt_names = "DNS:localhost,IP:127.0.0.1"}));
    UsersFile users;
    for (const auto& [name, access, password] :
         {std::tuple{"alice", UserAccess::kReadWrite, "alice-pw"},
          std::tuple{"reader", UserAccess::kReadOnly, "reader-pw"},
          std::tuple{"locker", UserAccess::kReadLock, "locker-pw"}}) {
      UserEntry entry;
      ASSERT_TRUE(MakeUserEntry(name, access, password, kMinIterations, entry));
      users.Put(entry);
    }
    ASSERT_TRUE(users.Save(File("users"), nullptr));
  }

  std::string File(const std::string& name) const { return fixture_.folder().File(name); }

  // A certificate the test CA signs, as NAME.pem and NAME.key.
  bool MakeLeaf(const std::string& name, const TestCertificate::Recipe& recipe,
                const TestCertificate* issuer = nullptr) {
    TestCertificate leaf;
    return leaf.Make(recipe, issuer ? issuer : &ca_) && leaf.Write(File(name + ".pem"), File(name + ".key"));
  }

  // The standard security settings, then extra [SERVER] lines; the
  // server's certificate and key are CERTIFICATE.pem and CERTIFICATE.key.
  bool Start(const std::string& extra = "", const std::string& certificate = "server") {
    fixture_.SetRetryDelay(kTestRetryDelayMs,
                           "TlsAddress=127.0.0.1:0\nTlsCertificate=" + certificate +
                               ".pem\nTlsKey=" + certificate +
                               ".key\n"
                               "UsersFile=users\nRequireAuthentication=yes\n" +
                               extra + "AuthFailureDelay=100\nAuthMaxFailureDelay=400\n");
    if (!fixture_.Start()) return false;
    return Eventually([&] {
      tls_port_ = PortOnLine(ReadFile(fixture_.output()), "TLS on ");
      return tls_port_ != 0;
    });
  }

  ztserver::Options Tls(const std::string& user = "", const std::string& password = "") const {
    ztserver::Options options = LocalServer(tls_port_);
    options.tls = true;
    options.ca_file = File("ca.pem");
    options.user = user;
    options.password = password;
    return options;
  }

  std::unique_ptr<Client> Open(const ztserver::Options& options) {
    auto client = std::make_unique<Client>();
    const ztserver::Status status = client->Open(options);
    last_status_ = status.message();
    return status.ok() ? std::move(client) : nullptr;
  }

  ServerFixture fixture_;
  TestCertificate ca_;
  uint16_t tls_port_ = 0;
  std::string last_status_;
};

// The server's certificate as the client checks it: one server per case.
TEST_F(SecurityTest, ClientVerifiesTheServerCertificate) {
  TestCertificate other_ca;
  ASSERT_TRUE(other_ca.Make({.common_name = "Other CA", .ca = true}, nullptr));
  ASSERT_TRUE(MakeLeaf("expired", {.common_name = "localhost",
                                   .alt_names = "DNS:localhost,IP:127.0.0.1",
                                   .valid_from_s = -7200,
                                   .valid_to_s = -3600}));
  ASSERT_TRUE(MakeLeaf("othername", {.common_name = "db.example", .alt_names = "DNS:db.example"}));
  ASSERT_TRUE(MakeLeaf("stranger", {.common_name = "localhost",
                                    .alt_names = "DNS:localhost,IP:127.0.0.1"},
                       &other_ca));
  struct Case {
    const char* certificate;
    const char* server_name;  // as the client names the server
    bool accepted;
  };
  const Case cases[] = {
      {"server", "", true},            // 127.0.0.1 is in the certificate
      {"server", "localhost", true},
      {"expired", "", false},
      {"othername", "", false},        // names another host
      {"stranger", "", false},         // signed by a CA the client does not trust
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.certificate) + " " + c.server_name);
    ServerFixture& f = fixture_;
    f.server().Stop();
    ASSERT_TRUE(Start("", c.certificate));
    ztserver::Options options = Tls("alice", "alice-pw");
    options.server_name = c.server_name;
    auto client = Open(options);
    EXPECT_EQ(client != nullptr, c.accepted) << last_status_;
    if (!c.accepted) {
      EXPECT_NE(last_status_.find("TLS handshake"), std::string::npos) << last_status_;
    }
  }
}

TEST_F(SecurityTest, ClientCertificateRequiredAndStandsForItsUser) {
  ASSERT_TRUE(MakeLeaf("alice-cert", {.common_name = "alice"}));
  ASSERT_TRUE(MakeLeaf("nobody-cert", {.common_name = "nobody"}));
  ASSERT_TRUE(Start("TlsClientCA=ca.pem\n"));
  // Without a certificate the handshake fails (the server says so in its
  // log), and the server goes on serving.
  EXPECT_EQ(Open(Tls()), nullptr);
  fixture_.WaitForLogLine("TLS: handshake with 127.0.0.1 failed");
  // alice's certificate authenticates her: no AUTHENTICATE needed.
  ztserver::Options with_cert = Tls();
  with_cert.certificate_file = File("alice-cert.pem");
  with_cert.key_file = File("alice-cert.key");
  auto alice = Open(with_cert);
  ASSERT_NE(alice, nullptr) << last_status_;
  EXPECT_EQ(Ask(*alice, "CREATERECORDSET"), "CREATERECORDSET~1");
  // A certificate of a name that is no user still has to authenticate.
  with_cert.certificate_file = File("nobody-cert.pem");
  with_cert.key_file = File("nobody-cert.key");
  auto nobody = Open(with_cert);
  ASSERT_NE(nobody, nullptr) << last_status_;
  EXPECT_EQ(Ask(*nobody, "CREATERECORDSET"), "CREATERECORDSET~FAILED");
  EXPECT_EQ(Ask(*nobody, "AUTHENTICATE~reader~reader-pw"), "AUTHENTICATE");
  EXPECT_EQ(Ask(*nobody, "CREATERECORDSET"), "CREATERECORDSET~2");
}

TEST_F(SecurityTest, WrongProtocolOnEachPortIsClosedWithOneLogLine) {
  ASSERT_TRUE(Start());
  // A plain-text client on the TLS port: its bytes fail the handshake.
  Client plain;
  ASSERT_TRUE(plain.Connect(LocalServer(tls_port_)).ok());
  ASSERT_TRUE(plain.SendFrame("GETTABLENAMES").ok());
  EXPECT_TRUE(plain.WaitForClose(kReplyTimeoutMs));
  EXPECT_NE(fixture_.WaitForLogLine("wrong version number").find("TLS: handshake with"),
            std::string::npos);
  // A TLS client on the plain port.
  ztserver::Options wrong = Tls();
  wrong.port = fixture_.port();
  EXPECT_EQ(Open(wrong), nullptr);
  EXPECT_NE(fixture_.WaitForLogLine("a TLS handshake on the plain port").find("plain port from 127.0.0.1"),
            std::string::npos);
  // The server is fine.
  EXPECT_NE(Open(Tls("alice", "alice-pw")), nullptr) << last_status_;
}

TEST_F(SecurityTest, EveryCommandBeforeAuthenticationIsRefused) {
  ASSERT_TRUE(Start());
  auto client = Open(Tls());
  ASSERT_NE(client, nullptr) << last_status_;
  for (const Command& command : CommandTable()) {
    if (command.handler == HandleAuthenticate || command.handler == HandleGetLastErrorText) continue;
    const std::string name = command.reply_name ? command.reply_name : command.name;
    const std::string expected = command.failure == FailureShape::kFlagZero ? name + "~1~0"
                                                                            : name + "~FAILED";
    EXPECT_EQ(Ask(*client, std::string(command.name) + "~1~Customer~ID~=~1~0"), expected);
    EXPECT_EQ(Ask(*client, "GETLASTERRORTEXT"),
              "GETLASTERRORTEXT~" + std::string(command.name) +
                  ": Authentication required: send AUTHENTICATE first");
  }
  EXPECT_EQ(Ask(*client, "AUTHENTICATE~alice~alice-pw"), "AUTHENTICATE");
  EXPECT_EQ(Ask(*client, "GETTABLENAMES"), "GETTABLENAMES~CUSTOMER~ORDERS");
}

TEST_F(SecurityTest, PasswordsOverThePlainPortFromLoopback) {
  // The server sees the test's loopback address: it is let through (the
  // refusal of other addresses is tested on the authoriser itself).
  ASSERT_TRUE(Start());
  auto plain = fixture_.Connect();
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(Ask(*plain, "AUTHENTICATE~alice~alice-pw"), "AUTHENTICATE");
  EXPECT_EQ(Ask(*plain, "CREATERECORDSET"), "CREATERECORDSET~1");
}

TEST_F(SecurityTest, WrongPasswordsAreDelayedWhileOthersAreServed) {
  ASSERT_TRUE(Start());
  auto attacker = Open(Tls());
  auto other = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(attacker, nullptr);
  ASSERT_NE(other, nullptr);
  // The first failure is answered at once and arms the address's delay;
  // the user's existence is not told.
  EXPECT_EQ(Ask(*attacker, "AUTHENTICATE~alice~wrong"), "AUTHENTICATE~FAILED");
  EXPECT_EQ(Ask(*attacker, "GETLASTERRORTEXT"),
            "GETLASTERRORTEXT~Authenticate: unknown user or wrong password");
  // The delay runs from the server's answer to this failure, so it is
  // timed from before the failure was sent (a slow hash, under the
  // sanitizers, comes before the answer).
  const auto sent = Clock::now();
  EXPECT_EQ(Ask(*attacker, "AUTHENTICATE~nosuchuser~wrong"), "AUTHENTICATE~FAILED");
  // The next attempt waits (the delay has doubled to 200 ms); meanwhile
  // the other client is answered.
  ASSERT_TRUE(attacker->SendFrame("AUTHENTICATE~alice~alice-pw").ok());
  EXPECT_EQ(Ask(*other, "GETTABLENAMES"), "GETTABLENAMES~CUSTOMER~ORDERS");
  std::string reply;
  ASSERT_TRUE(attacker->ReceiveText(reply, 0).code() == ztserver::ErrorCode::kTimeout);
  ASSERT_TRUE(attacker->ReceiveText(reply, kReplyTimeoutMs).ok());
  EXPECT_EQ(reply, "AUTHENTICATE");  // the right password, once its turn came
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(150));
  const std::string log = fixture_.WaitForLogLine("waits 200 ms");
  EXPECT_NE(log.find("Authentication failed for alice from 127.0.0.1; its next attempt waits 100 ms"),
            std::string::npos);
  EXPECT_EQ(log.find("alice-pw"), std::string::npos);  // no password is ever logged
}

TEST_F(SecurityTest, BruteForceAgainstOneUserIsNeverAccepted) {
  ASSERT_TRUE(Start("AuthFailureDelay=1\nAuthMaxFailureDelay=8\n"));
  constexpr int kAttempts = 200;
  constexpr int kConnections = 4;  // spread over connections: the delay is per address
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(Open(Tls()));
    ASSERT_NE(clients.back(), nullptr);
  }
  auto bystander = Open(Tls("reader", "reader-pw"));
  ASSERT_NE(bystander, nullptr);
  for (int i = 0; i < kAttempts; i += kConnections) {
    for (int c = 0; c < kConnections; ++c) {
      ASSERT_TRUE(clients[c]->SendFrame("AUTHENTICATE~alice~guess" + std::to_string(i + c)).ok());
    }
    for (int c = 0; c < kConnections; ++c) {
      std::string reply;
      ASSERT_TRUE(clients[c]->ReceiveText(reply, kReplyTimeoutMs).ok()) << "attempt " << i + c;
      ASSERT_EQ(reply, "AUTHENTICATE~FAILED");
    }
    if (i % 40 == 0) {
      EXPECT_EQ(Ask(*bystander, "GETTABLENAMES"), "GETTABLENAMES~CUSTOMER~ORDERS");
    }
  }
  for (auto& client : clients) EXPECT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~FAILED");
  EXPECT_NE(fixture_.WaitForLogLine("waits 8 ms").find("waits 8 ms"), std::string::npos);
}

TEST_F(SecurityTest, ReadOnlyUsersAreRefusedEveryChange) {
  ASSERT_TRUE(Start());
  auto writer = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(writer, nullptr);
  ExpectReplies(*writer, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                          {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                          {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                          {"RECORDSETSETFIELDVALUE~1~ID~7", "RECORDSETSETFIELDVALUE~1"},
                          {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"}});
  for (const char* user : {"reader", "locker"}) {
    SCOPED_TRACE(user);
    auto client = Open(Tls(user, std::string(user) + "-pw"));
    ASSERT_NE(client, nullptr) << last_status_;
    ExpectReplies(*client, {{"CREATERECORDSET", "CREATERECORDSET~2"},
                            {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"},
                            {"RECORDSETGETFIELDVALUE~2~ID", "RECORDSETGETFIELDVALUE~2~7"}});
    for (const Command& command : CommandTable()) {
      if (command.access != Access::kEdit && command.access != Access::kWrite) continue;
      const std::string name = command.name;
      EXPECT_EQ(Ask(*client, name + "~2~ID~8~x~y~z~w~v"),
                TakesHandle(command) ? name + "~FAILED" : name + "~FAILED");
      const std::string why = name + ": Refused: user " + user + " may not change stored data";
      EXPECT_EQ(Ask(*client, TakesHandle(command) ? "RECORDSETGETLASTERROR~2" : "GETLASTERRORTEXT"),
                TakesHandle(command) ? "RECORDSETGETLASTERRORTEXT~2~" + why
                                     : "GETLASTERRORTEXT~" + why);
    }
    // Row locks: the flag of the user's access. Releasing is always allowed.
    const bool may_lock = std::string(user) == "locker";
    EXPECT_EQ(Ask(*client, "RECORDSETLOCKCURRENTROW~2"),
              may_lock ? "RECORDSETLOCKCURRENTROW~2" : "RECORDSETLOCKCURRENTROW~FAILED");
    EXPECT_EQ(Ask(*client, "RECORDSETUNLOCKALL~2"), "RECORDSETUNLOCKALL~2");
    EXPECT_EQ(Ask(*client, "RECORDSETCLOSE~2"), "RECORDSETCLOSE~2");
  }
  // Nothing changed: still the one row, and the location texts.
  ExpectReplies(*writer, {{"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                          {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~1"},
                          {"GETLOCATIONINFORMATION",
                           "GETLOCATIONINFORMATION~Main St 1~Springfield~~~~~~Shop"}});
}

TEST_F(SecurityTest, UsersFileOthersMayReadIsRefusedAtStart) {
  ASSERT_EQ(::chmod(File("users").c_str(), 0644), 0);
  fixture_.SetRetryDelay(kTestRetryDelayMs, "UsersFile=users\n");
  ASSERT_TRUE(fixture_.server().Start({"--config", fixture_.ini(), "--port", "0"},
                                      fixture_.output()));
  EXPECT_EQ(fixture_.server().WaitForExit(), 1);
  EXPECT_NE(ReadFile(fixture_.output()).find("refusing to start: UsersFile: "), std::string::npos);
  EXPECT_NE(ReadFile(fixture_.output()).find("chmod 600"), std::string::npos);
}

TEST_F(SecurityTest, SighupReadsUsersAndCertificateAgainWithoutDroppingConnections) {
  ASSERT_TRUE(Start());
  auto before = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(before, nullptr);
  // A new certificate from a new CA, and a new user.
  TestCertificate new_ca;
  ASSERT_TRUE(new_ca.Make({.common_name = "New CA", .ca = true}, nullptr));
  ASSERT_TRUE(new_ca.Write(File("new-ca.pem"), ""));
  ASSERT_TRUE(MakeLeaf("server", {.common_name = "localhost", .alt_names = "IP:127.0.0.1"}, &new_ca));
  UsersFile users;
  ASSERT_TRUE(users.Load(File("users"), true, nullptr));
  UserEntry carol;
  ASSERT_TRUE(MakeUserEntry("carol", UserAccess::kReadWrite, "carol-pw", kMinIterations, carol));
  users.Put(carol);
  ASSERT_TRUE(users.Save(File("users"), nullptr));
  ztserver::Options trusting_new = Tls("carol", "carol-pw");
  trusting_new.ca_file = File("new-ca.pem");
  EXPECT_EQ(Open(trusting_new), nullptr);

  ASSERT_EQ(::kill(fixture_.server().pid(), SIGHUP), 0);
  fixture_.WaitForLogLine("new connections use them");
  EXPECT_NE(Open(trusting_new), nullptr) << last_status_;
  EXPECT_EQ(Open(Tls("alice", "alice-pw")), nullptr);  // the old CA no longer vouches
  EXPECT_EQ(Ask(*before, "CREATERECORDSET"), "CREATERECORDSET~1");  // kept its connection

  // A broken users file on reload keeps the users in force.
  WriteFile(File("users"), "garbage\n");
  ASSERT_EQ(::chmod(File("users").c_str(), 0600), 0);
  ASSERT_EQ(::kill(fixture_.server().pid(), SIGHUP), 0);
  EXPECT_NE(fixture_.WaitForLogLine("the users read before stay in force").find("line 1"),
            std::string::npos);
  EXPECT_NE(Open(trusting_new), nullptr) << last_status_;
}

// ---- Hostile clients -----------------------------------------------------------

TEST_F(SecurityTest, HandshakeThatNeverFinishesIsClosedAtFrameTimeout) {
  ASSERT_TRUE(Start("FrameTimeout=1\n"));
  Client silent;
  ASSERT_TRUE(silent.Connect(LocalServer(tls_port_)).ok());
  Client partial;  // half a ClientHello record header, then nothing
  ASSERT_TRUE(partial.Connect(LocalServer(tls_port_)).ok());
  ASSERT_TRUE(partial.SendRaw(std::string("\x16\x03\x01\x02", 4)).ok());
  auto other = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Ask(*other, "GETTABLENAMES"), "GETTABLENAMES~CUSTOMER~ORDERS");
  EXPECT_TRUE(silent.WaitForClose(10000));
  EXPECT_TRUE(partial.WaitForClose(10000));
  EXPECT_NE(fixture_.WaitForLogLine("TLS handshake did not finish").find("within FrameTimeout"),
            std::string::npos);
}

TEST_F(SecurityTest, ThousandConnectionsThatNeverAuthenticate) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 1200) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 1200) GTEST_SKIP() << "too few descriptors for the test";
  ASSERT_TRUE(Start("MaxConnections=2000\nMaxConnectionsPerAddress=2000\nAuthenticationTimeout=2\n"));
  constexpr int kIdle = 1000;
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(fixture_.Connect());
    ASSERT_NE(idle.back(), nullptr) << i;
  }
  // They hold slots but cannot do anything, and others are served.
  EXPECT_EQ(Ask(*idle[0], "CREATERECORDSET"), "CREATERECORDSET~FAILED");
  auto worker = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(worker, nullptr) << last_status_;
  EXPECT_EQ(Ask(*worker, "CREATERECORDSET"), "CREATERECORDSET~1");
  // At AuthenticationTimeout every one of them is closed; the worker stays.
  for (int i = 0; i < kIdle; ++i) ASSERT_TRUE(idle[i]->WaitForClose(15000)) << i;
  EXPECT_EQ(Ask(*worker, "RECORDSETCLOSE~1"), "RECORDSETCLOSE~1");
  EXPECT_NE(fixture_.WaitForLogLine("no authentication within AuthenticationTimeout").size(), 0u);
}

// A raw, blocking OpenSSL client over a socket of its own, for what the
// library client never does. Every read and write is bounded by the
// socket's timeouts.
class RawTlsClient {
 public:
  RawTlsClient(uint16_t port, int max_version) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx_, max_version);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    ok_ = SSL_connect(ssl_) == 1;
  }
  ~RawTlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  SSL* ssl() { return ssl_; }
  int fd() const { return fd_; }
  // True when the server ends the connection (end of stream or a reset)
  // before the socket's timeout.
  bool ClosedByServer() {
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
      if (got < 0) return false;  // the timeout
    }
  }

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool ok_ = false;
};

TEST_F(SecurityTest, RenegotiationAndOversizedRecordsEndOnlyTheirConnection) {
  ASSERT_TRUE(Start());
  auto bystander = Open(Tls("alice", "alice-pw"));
  ASSERT_NE(bystander, nullptr);
  {
    RawTlsClient renegotiator(tls_port_, TLS1_2_VERSION);
    ASSERT_TRUE(renegotiator.ok());
    ASSERT_EQ(SSL_renegotiate(renegotiator.ssl()), 1);
    // The server refuses: the new handshake never completes.
    EXPECT_NE(SSL_do_handshake(renegotiator.ssl()), 1);
    ERR_clear_error();
  }
  {
    RawTlsClient oversized(tls_port_, TLS1_2_VERSION);
    ASSERT_TRUE(oversized.ok());
    // An application-data record claiming 65535 bytes: past what a record
    // may hold, so the server ends the connection instead of buffering it.
    std::string record("\x17\x03\x03\xff\xff", 5);
    record.append(65535, 'x');
    ::send(oversized.fd(), record.data(), record.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(oversized.ClosedByServer());
    EXPECT_NE(fixture_.WaitForLogLine("TLS: connection with 127.0.0.1 failed").find("failed"),
              std::string::npos);
  }
  EXPECT_TRUE(fixture_.server().Running());
  EXPECT_EQ(Ask(*bystander, "GETTABLENAMES"), "GETTABLENAMES~CUSTOMER~ORDERS");
}

// Sends one HTTP request over the raw TLS client and returns all it reads
// until the server ends the stream.
std::string HttpsGet(RawTlsClient& client, const std::string& path) {
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
  if (SSL_write(client.ssl(), request.data(), static_cast<int>(request.size())) <= 0) return {};
  std::string answer;
  char buffer[4096];
  for (;;) {
    const int got = SSL_read(client.ssl(), buffer, sizeof buffer);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  ERR_clear_error();
  return answer;
}

TEST_F(SecurityTest, MetricsEndpointOverTls) {
  ASSERT_TRUE(Start("MetricsAddress=127.0.0.1:0\nMetricsTls=yes\n"));
  const uint16_t metrics_port = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
  ASSERT_NE(metrics_port, 0);
  {
    RawTlsClient client(metrics_port, TLS1_3_VERSION);
    ASSERT_TRUE(client.ok());
    const std::string answer = HttpsGet(client, "/health");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  }
  // Plain HTTP on the TLS endpoint is a failed handshake: closed, counted,
  // logged; the endpoint goes on serving.
  const ztserver::Result<ztserver::HttpResponse> plain =
      ztserver::HttpGet("127.0.0.1", metrics_port, "/health", kReplyTimeoutMs);
  EXPECT_FALSE(plain.ok() && plain.value().status == 200);
  EXPECT_NE(fixture_.WaitForLogLine("Metrics: TLS handshake failed").size(), 0u);
  {
    RawTlsClient client(metrics_port, TLS1_2_VERSION);
    ASSERT_TRUE(client.ok());
    const std::string answer = HttpsGet(client, "/metrics");
    EXPECT_NE(answer.find("ztserver_http_tls_handshake_failures_total 1"), std::string::npos);
  }
  EXPECT_TRUE(fixture_.server().Running());
}

}  // namespace
}  // namespace zt::testing

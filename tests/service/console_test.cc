// The web console's API against the real server (ConsoleEnabled=yes on the
// metrics endpoint), spoken to with raw HTTP: what it shows is what a
// protocol client stored, no recordset outlives a request, changes need a
// POST with the session's token from the same origin, and users log in
// under the protocol's own rules. Also the console's JSON encoder on bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "config/users_file.h"
#include "service/console_json.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct HttpAnswer {
  int status = 0;
  std::string head;
  std::string body;
};

// One request on its own connection; the answer read until the server
// closes, within a deadline.
HttpAnswer Http(uint16_t port, const std::string& method, const std::string& target,
                const std::string& headers = "", const std::string& body = "") {
  HttpAnswer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    if (fd >= 0) ::close(fd);
    return answer;
  }
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                        std::to_string(port) + "\r\n" + headers;
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string bytes;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  char buffer[16384];
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  const size_t end = bytes.find("\r\n\r\n");
  if (bytes.size() < 12 || end == std::string::npos) return answer;
  answer.status = std::atoi(bytes.c_str() + 9);
  answer.head = bytes.substr(0, end);
  answer.body = bytes.substr(end + 4);
  return answer;
}

// The value of a "name":"..." member (first one); empty if none.
std::string JsonMember(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  if (at == std::string::npos) return {};
  return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fixture_.created()); }

  bool Start(const std::string& lines) {
    fixture_.SetRetryDelay(kTestRetryDelayMs, "MetricsAddress=127.0.0.1:0\n" + lines);
    if (!fixture_.Start()) return false;
    port_ = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
    return port_ != 0;
  }

  // A console session (cookie and token) on a server without users.
  void OpenSession() {
    const HttpAnswer answer = Http(port_, "GET", "/api/session");
    ASSERT_EQ(answer.status, 200) << answer.body;
    const size_t at = answer.head.find("ztconsole=");
    ASSERT_NE(at, std::string::npos) << answer.head;
    cookie_ = "Cookie: " + answer.head.substr(at, answer.head.find(';', at) - at) + "\r\n";
    token_ = JsonMember(answer.body, "token");
    ASSERT_EQ(token_.size(), 64u);
  }

  HttpAnswer Get(const std::string& target) { return Http(port_, "GET", target, cookie_); }
  HttpAnswer Post(const std::string& target, const std::string& body,
                  const std::string& extra = "") {
    return Http(port_, "POST", target, cookie_ + "X-Console-Token: " + token_ + "\r\n" + extra,
                body);
  }

  // Customers 1..n through the protocol, NAME "c<i>" but for the one named.
  void AddCustomers(int n, int odd_one = 0, const std::string& odd_name = "") {
    auto client = fixture_.Connect();
    ASSERT_NE(client, nullptr);
    const auto h = client->CreateRecordset();
    ASSERT_TRUE(h.ok());
    ASSERT_TRUE(client->RecordsetOpen(*h, "CUSTOMER").ok());
    for (int i = 1; i <= n; ++i) {
      ASSERT_TRUE(client->RecordsetAddRow(*h).ok());
      ASSERT_TRUE(client->RecordsetSetFieldValue(*h, "ID", std::to_string(i)).ok());
      const std::string name = i == odd_one ? odd_name : "c" + std::to_string(i);
      ASSERT_TRUE(client->RecordsetSetFieldValue(*h, "NAME", name).ok());
    }
    ASSERT_TRUE(client->RecordsetUpdate(*h).ok());
    ASSERT_TRUE(client->RecordsetClose(*h).ok());
  }

  // The open recordsets the metrics count (every client's).
  double OpenRecordsets() {
    const HttpAnswer metrics = Http(port_, "GET", "/metrics");
    const size_t at = metrics.body.find("\nztserver_recordsets_open ");
    return at == std::string::npos ? -1 : std::atof(metrics.body.c_str() + at + 26);
  }

  ServerFixture fixture_;
  uint16_t port_ = 0;
  std::string cookie_;
  std::string token_;
};

TEST_F(ConsoleTest, OffByDefault) {
  ASSERT_TRUE(Start(""));
  for (const char* path : {"/", "/api/session", "/api/tables", "/console/console.js"}) {
    EXPECT_EQ(Http(port_, "GET", path).status, 404) << path;
  }
  EXPECT_EQ(Http(port_, "GET", "/health").status, 200);
}

// Tables, a filtered, sorted and paged browse, and the values as stored:
// all through the protocol's commands, with no recordset left behind.
TEST_F(ConsoleTest, ShowsWhatClientsStoredAndKeepsNoRecordset) {
  ASSERT_TRUE(Start("ConsoleEnabled=yes\n"));
  const std::string hostile = "<script>alert(\"x\")</script>";
  AddCustomers(30, 7, hostile);
  OpenSession();

  const HttpAnswer tables = Get("/api/tables");
  ASSERT_EQ(tables.status, 200) << tables.body;
  EXPECT_NE(tables.body.find("{\"name\":\"CUSTOMER\",\"rows\":30,\"columns\":[{\"name\":\"ID\","
                             "\"type\":\"1\",\"size\":10,\"key\":true},{\"name\":\"NAME\""),
            std::string::npos)
      << tables.body;
  EXPECT_NE(tables.body.find("{\"name\":\"ORDERS\",\"rows\":0,"), std::string::npos);

  // ID > 20, by NAME descending: c30, c29, ..., c21; the second page of 4.
  const HttpAnswer page =
      Get("/api/rows?table=CUSTOMER&fc=ID&fo=%3E&fv=20&sort=NAME&order=desc&offset=4&limit=4");
  ASSERT_EQ(page.status, 200) << page.body;
  EXPECT_NE(page.body.find("\"total\":10,\"offset\":4"), std::string::npos) << page.body;
  EXPECT_NE(page.body.find("\"rows\":[[\"26\",\"c26\"],[\"25\",\"c25\"],[\"24\",\"c24\"],"
                           "[\"23\",\"c23\"]]"),
            std::string::npos)
      << page.body;

  // The hostile value arrives whole, with no markup character left raw.
  const HttpAnswer seven = Get("/api/rows?table=CUSTOMER&fc=ID&fo=%3D&fv=7");
  ASSERT_EQ(seven.status, 200);
  EXPECT_NE(seven.body.find("\"\\u003cscript\\u003ealert(\\\"x\\\")\\u003c/script\\u003e\""),
            std::string::npos)
      << seven.body;
  EXPECT_EQ(seven.body.find('<'), std::string::npos);

  // Errors carry the server's reason.
  const HttpAnswer missing = Get("/api/rows?table=NOSUCH");
  EXPECT_EQ(missing.status, 409);
  EXPECT_NE(missing.body.find("\"error\":\""), std::string::npos) << missing.body;
  const HttpAnswer bad_op = Get("/api/rows?table=CUSTOMER&fc=ID&fo=LIKE&fv=1");
  EXPECT_EQ(bad_op.status, 409);
  EXPECT_NE(bad_op.body.find("Invalid comparison operator"), std::string::npos) << bad_op.body;
  EXPECT_EQ(Get("/api/rows?table=CUSTOMER&fc=ID&fo=%3D&fv=a~b").status, 400);

  EXPECT_EQ(OpenRecordsets(), 0);
  // A protocol client's session as the console lists it.
  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->CreateRecordset().ok());
  const HttpAnswer sessions = Get("/api/sessions");
  ASSERT_EQ(sessions.status, 200);
  EXPECT_NE(sessions.body.find("\"peer\":\"127.0.0.1\""), std::string::npos) << sessions.body;
  EXPECT_NE(sessions.body.find("\"requests\":1,"), std::string::npos) << sessions.body;
  EXPECT_NE(sessions.body.find("\"recordsets\":1,"), std::string::npos) << sessions.body;

  const HttpAnswer log = Get("/api/log?lines=5");
  ASSERT_EQ(log.status, 200);
  EXPECT_NE(log.body.find("Started on IP"), std::string::npos) << log.body;
}

// Only the compiled-in files, only the methods each path takes.
TEST_F(ConsoleTest, ServesOnlyItsOwnFilesAndMethods) {
  ASSERT_TRUE(Start("ConsoleEnabled=yes\n"));
  OpenSession();
  struct Case {
    const char* method;
    const char* target;
    int status;
  };
  const Case cases[] = {
      {"GET", "/", 200},
      {"GET", "/console/console.js", 200},
      {"GET", "/console/console.css", 200},
      {"GET", "/console/../../../etc/passwd", 404},
      {"GET", "/console/%2e%2e/zt.ini", 404},
      {"GET", "/console/", 404},
      {"POST", "/", 405},
      {"DELETE", "/api/tables", 405},
      {"POST", "/api/tables", 405},
      {"GET", "/api/edit", 405},
      {"GET", "/api/nothing", 404},
  };
  for (const Case& c : cases) {
    const HttpAnswer answer = c.method == std::string("POST") ? Post(c.target, "")
                                                               : Http(port_, c.method, c.target, cookie_);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.target;
  }
  const HttpAnswer page = Http(port_, "GET", "/");
  EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'none'; script-src 'self'"),
            std::string::npos);
  EXPECT_EQ(Http(port_, "GET", "/api/tables").status, 401);  // no session
}

// set, add and delete through the recordset commands; each refused
// without the token, from another origin, or when it cannot be made.
TEST_F(ConsoleTest, ChangesNeedTokenAndOriginAndTellTheServersReason) {
  ASSERT_TRUE(Start("ConsoleEnabled=yes\nConsoleEditing=yes\n"));
  AddCustomers(3);
  OpenSession();
  const std::string set = "action=set&table=CUSTOMER&key=ID&keyvalue=2&c=NAME&v=renamed";
  EXPECT_EQ(Http(port_, "POST", "/api/edit", cookie_, set).status, 403);  // no token
  EXPECT_EQ(Post("/api/edit", set, "Origin: http://evil.example\r\n").status, 403);
  EXPECT_EQ(Http(port_, "POST", "/api/edit", "X-Console-Token: " + token_ + "\r\n", set).status,
            401);  // no cookie
  ASSERT_EQ(Post("/api/edit", set, "Origin: http://127.0.0.1:" + std::to_string(port_) + "\r\n")
                .status,
            200);
  EXPECT_EQ(Post("/api/edit", "action=add&table=CUSTOMER&key=ID&keyvalue=9&c=ID&v=9&c=NAME&v=new")
                .status,
            200);
  EXPECT_EQ(Post("/api/edit", "action=delete&table=CUSTOMER&key=ID&keyvalue=1").status, 200);

  auto client = fixture_.Connect();
  ASSERT_NE(client, nullptr);
  const auto h = client->CreateRecordset();
  ASSERT_TRUE(h.ok());
  ASSERT_TRUE(client->RecordsetOpen(*h, "CUSTOMER").ok());
  std::string names;
  for (bool more = client->RecordsetMoveFirst(*h).ok(); more; more = client->RecordsetMoveNext(*h).ok()) {
    names += *client->RecordsetGetFieldValue(*h, "NAME") + ",";
  }
  EXPECT_EQ(names, "renamed,c3,new,");

  struct Refused {
    const char* body;
    int status;
    const char* reason;
  };
  const Refused refused[] = {
      {"action=add&table=CUSTOMER&key=ID&keyvalue=9&c=ID&v=9", 409, "exists already"},
      {"action=set&table=CUSTOMER&key=ID&keyvalue=1&c=NAME&v=x", 409, "no row has that key"},
      {"action=set&table=CUSTOMER&key=ID&keyvalue=2&c=NOSUCH&v=x", 409, "RecordsetSetFieldValue"},
      {"action=drop&table=CUSTOMER&key=ID&keyvalue=2", 400, "action"},
  };
  for (const Refused& r : refused) {
    const HttpAnswer answer = Post("/api/edit", r.body);
    EXPECT_EQ(answer.status, r.status) << r.body << " " << answer.body;
    EXPECT_NE(answer.body.find(r.reason), std::string::npos) << r.body << " " << answer.body;
  }
  EXPECT_EQ(OpenRecordsets(), 1);  // the client's own
}

TEST_F(ConsoleTest, EditingOffRefusesChanges) {
  ASSERT_TRUE(Start("ConsoleEnabled=yes\n"));
  AddCustomers(1);
  OpenSession();
  EXPECT_NE(Get("/api/session").body.find("\"may_write\":false"), std::string::npos);
  EXPECT_EQ(Post("/api/edit", "action=delete&table=CUSTOMER&key=ID&keyvalue=1").status, 403);
}

// With users: nothing without a login; a login is AUTHENTICATE under the
// protocol's rules; a read-only user is refused a change by the server.
TEST_F(ConsoleTest, UsersLogInAndReadOnlyUsersChangeNothing) {
  UsersFile users;
  for (const auto& [name, access, password] :
       {std::tuple{"alice", UserAccess::kReadWrite, "alice-pw"},
        std::tuple{"reader", UserAccess::kReadOnly, "reader-pw"}}) {
    UserEntry entry;
    ASSERT_TRUE(MakeUserEntry(name, access, password, kMinIterations, entry));
    users.Put(entry);
  }
  ASSERT_TRUE(users.Save(fixture_.folder().File("users"), nullptr));
  ASSERT_TRUE(Start("ConsoleEnabled=yes\nConsoleEditing=yes\nUsersFile=users\n"
                    "AuthFailureDelay=50\nAuthMaxFailureDelay=100\n"));
  AddCustomers(2);
  EXPECT_EQ(Http(port_, "GET", "/api/tables").status, 401);
  EXPECT_NE(Http(port_, "GET", "/api/session").body.find("\"logins\":true,\"logged_in\":false"),
            std::string::npos);

  const auto log_in = [&](const std::string& user, const std::string& password) {
    const HttpAnswer answer =
        Http(port_, "POST", "/api/login", "", "user=" + user + "&password=" + password);
    if (answer.status != 200) return answer;
    const size_t at = answer.head.find("ztconsole=");
    cookie_ = "Cookie: " + answer.head.substr(at, answer.head.find(';', at) - at) + "\r\n";
    EXPECT_NE(answer.head.find("HttpOnly; SameSite=Strict"), std::string::npos) << answer.head;
    token_ = JsonMember(Get("/api/session").body, "token");
    return answer;
  };
  const HttpAnswer wrong = log_in("reader", "nope");
  EXPECT_EQ(wrong.status, 401);
  EXPECT_NE(wrong.body.find("unknown user or wrong password"), std::string::npos) << wrong.body;

  ASSERT_EQ(log_in("reader", "reader-pw").status, 200);
  EXPECT_EQ(Get("/api/tables").status, 200);
  EXPECT_NE(Get("/api/session").body.find("\"user\":\"reader\",\"may_write\":false"),
            std::string::npos);
  const HttpAnswer refused = Post("/api/edit", "action=set&table=CUSTOMER&key=ID&keyvalue=1&c=NAME&v=x");
  EXPECT_EQ(refused.status, 403) << refused.body;
  EXPECT_NE(refused.body.find("Refused: user reader may not change stored data"), std::string::npos)
      << refused.body;

  ASSERT_EQ(log_in("alice", "alice-pw").status, 200);
  EXPECT_EQ(Post("/api/edit", "action=set&table=CUSTOMER&key=ID&keyvalue=1&c=NAME&v=x").status, 200);
  EXPECT_EQ(Post("/api/logout", "").status, 200);
  EXPECT_EQ(Get("/api/tables").status, 401);
  EXPECT_EQ(OpenRecordsets(), 0);
}

struct JsonCase {
  const char* name;
  std::string input;
  std::string output;
};

TEST(ConsoleJson, EscapesEveryControlAndNonUtf8Byte) {
  const JsonCase cases[] = {
      {"Plain", "abc", "\"abc\""},
      {"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"Markup", "<script>&", "\"\\u003cscript\\u003e\\u0026\""},
      {"Controls", std::string("\x00\x01\n\t\x1f\x7f", 6), "\"\\u0000\\u0001\\n\\t\\u001f\\u007f\""},
      {"Utf8Kept", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
      {"StrayContinuation", "a\x80z", "\"a\\u0080z\""},
      {"Latin1", "caf\xe9", "\"caf\\u00e9\""},
      {"OverLong", "\xc0\xaf", "\"\\u00c0\\u00af\""},
      {"Surrogate", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"CutAtEnd", "\xe2\x82", "\"\\u00e2\\u0082\""},
      {"PastMaximum", "\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
  };
  for (const JsonCase& c : cases) {
    std::string out;
    AppendJsonString(out, c.input);
    EXPECT_EQ(out, c.output) << c.name;
  }
}

TEST(ConsoleForm, DecodesPairs) {
  const auto form = ParseForm("a=1&b=x+y%3D%7e&&c&d=%zz&a=2");
  ASSERT_EQ(form.size(), 5u);
  EXPECT_EQ(FormValue(form, "a"), "1");
  EXPECT_EQ(FormValue(form, "b"), "x y=~");
  EXPECT_EQ(FormValue(form, "c"), "");
  EXPECT_EQ(FormValue(form, "d"), "%zz");
}

}  // namespace
}  // namespace zt::testing

// Integration-test helpers: a scratch installation (database, INI file,
// work and lock folders), the real ztserver binary started with --port 0
// (the port it tells on its standard output is the one the tests use, so
// no two tests ever race for a port), and connected protocol clients.
// Every wait is bounded.
#ifndef ZT_TESTS_SUPPORT_SERVER_PROCESS_H_
#define ZT_TESTS_SUPPORT_SERVER_PROCESS_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/database_builder.h"
#include "support/test_support.h"
#include "ztserver/client.h"

namespace zt::testing {

using Client = ztserver::Connection;

inline constexpr int kReplyTimeoutMs = 5000;

// Options for a client of the local server on port.
inline ztserver::Options LocalServer(uint16_t port, int timeout_ms = kReplyTimeoutMs) {
  ztserver::Options options;
  options.port = port;
  options.connect_timeout_ms = timeout_ms;
  options.reply_timeout_ms = timeout_ms;
  return options;
}
// The retry delay the scratch installations configure: deferred requests
// use up their tries in a fraction of a second instead of seconds.
inline constexpr int kTestRetryDelayMs = 20;

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }
inline void MakeDirectory(const std::string& path) { std::filesystem::create_directories(path); }

inline std::string ServerBinary() { return std::string(ZT_BINARY_DIR) + "/ztserver"; }

// A loopback port held, bound but not listening, while the object lives:
// nobody else gets it, and connecting to it is refused.
class HeldPort {
 public:
  HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&where), &length) == 0) {
      port_ = ntohs(where.sin_port);
    }
  }
  ~HeldPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;

  uint16_t port() const { return port_; }  // 0 when no port could be had

 private:
  int fd_;
  uint16_t port_ = 0;
};

// The port of ztserver's "<line>ADDRESS:PORT" line in output (line is
// "Listening on " or "Metrics on "); 0 while there is none.
inline uint16_t PortOnLine(const std::string& output, const char* line) {
  const size_t at = output.find(line);
  if (at == std::string::npos) return 0;
  const size_t end = output.find('\n', at);
  if (end == std::string::npos) return 0;  // not written out yet
  const size_t colon = output.rfind(':', end);
  if (colon == std::string::npos || colon < at) return 0;
  return static_cast<uint16_t>(std::atoi(output.c_str() + colon + 1));
}
inline uint16_t ListeningPort(const std::string& output) {
  return PortOnLine(output, "Listening on ");
}

// A database of two tables with location texts, for the server to open.
inline DatabaseSchema SmallDatabaseSchema() {
  DatabaseSchema schema;
  schema.tables.push_back(
      {"CUSTOMER", {{"ID", 1, 10, true, false}, {"NAME", 0, 30, false, false}}});
  schema.tables.push_back({"ORDERS", {{"NO", 1, 10, true, false}, {"ITEM", 0, 20, false, false}}});
  schema.locations = {"Main St 1", "Springfield", "", "", "", "", "", "Shop"};
  return schema;
}

// One table of owned items (ID and OWNER keys, VAL text of 40), for the
// editing workloads.
inline DatabaseSchema ItemsSchema() {
  DatabaseSchema schema;
  schema.tables.push_back(
      {"ITEMS",
       {{"ID", 1, 8, true, false}, {"OWNER", 0, 8, true, false}, {"VAL", 0, 40, false, false}}});
  return schema;
}

// A child process running ztserver; stopped (SIGTERM, then SIGKILL) when
// the object goes away.
class ServerProcess {
 public:
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }

  // Starts ztserver with args; its stdout and stderr go to output_file.
  // fd_limit > 0 lowers the child's descriptor limit (fd_hard_limit > 0:
  // the hard limit is that instead).
  bool Start(const std::vector<std::string>& args, const std::string& output_file,
             rlim_t fd_limit = 0, rlim_t fd_hard_limit = 0) {
    // Emptied before the child exists, so that a restart never reads the
    // port of the server before it.
    const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ != 0 && out >= 0) ::close(out);
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (fd_limit > 0) {
        const rlimit limit{fd_limit, fd_hard_limit > 0 ? fd_hard_limit : fd_limit};
        ::setrlimit(RLIMIT_NOFILE, &limit);
      }
      if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
      }
      std::vector<std::string> all = {ServerBinary()};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& arg : all) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    output_file_ = output_file;
    return true;
  }

  // Waits for the port the server says it listens on (or, with line
  // "Metrics on ", serves its metrics on); 0 when the process ends or the
  // deadline passes first.
  uint16_t WaitForListeningPort(int timeout_ms = 10000, const char* line = "Listening on ") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (const uint16_t port = PortOnLine(ReadFile(output_file_), line); port != 0) return port;
      if (!Running()) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
  }

  // Waits until a client is greeted on port (or the process exits).
  bool WaitUntilServing(uint16_t port, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (!Running()) return false;
      Client probe;
      if (probe.Open(LocalServer(port, 1000))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  pid_t pid() const { return pid_; }

  // Resident memory of the process in KiB (0 when unknown).
  long ResidentKib() const {
    const std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
  }

  bool Running() {
    if (pid_ <= 0) return false;
    int status;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pid_ = -1;
      return false;
    }
    return true;
  }

  // Waits for the process to end by itself; its exit status or -1.
  int WaitForExit(int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Running() ? -1 : exit_status_;
  }

  // SIGKILL: the process ends at once, with nothing flushed or closed.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    WaitForExit();
  }

  // SIGTERM, then the exit status (-1 when it did not end in time).
  int Stop(int timeout_ms = 10000) {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    return WaitForExit(timeout_ms);
  }

 private:
  pid_t pid_ = -1;
  int exit_status_ = -1;
  std::string output_file_;
};

// A scratch installation: folder with db.dat (+ .zdf, .zix), zt.ini,
// work/ and locks/, and a server on a port of its own choosing.
class ServerFixture {
 public:
  explicit ServerFixture(bool with_database = true) {
    if (with_database) {
      std::string err;
      created_ = CreateDatabaseFiles(folder_.File("db.dat"), SmallDatabaseSchema(), err) == 1;
    }
    SetRetryDelay(kTestRetryDelayMs);
  }

  void WriteIni(const std::string& text) { WriteFile(ini(), text); }
  // Writes the standard INI with this retry delay and any further [SERVER]
  // lines (before Start).
  void SetRetryDelay(int milliseconds, const std::string& server_lines = "") {
    WriteIni(
        "[CONNECTION]\nDatabaseFile=db.dat\nTransactionName=T1\nServerPort=6000\n\n"
        "[SERVER]\nWorkFolder=work\nLockFolder=locks\nListenAddress=127.0.0.1\nRetryDelay=" +
        std::to_string(milliseconds) + "\n" + server_lines);
  }

  // Starts the server on port 0 and learns its port from its output.
  bool Start(rlim_t fd_limit = 0, rlim_t fd_hard_limit = 0) {
    if (!server_.Start({"--config", ini(), "--port", "0"}, output(), fd_limit, fd_hard_limit)) {
      return false;
    }
    port_ = server_.WaitForListeningPort();
    return port_ != 0;
  }

  // A greeted client.
  std::unique_ptr<Client> Connect() {
    auto client = std::make_unique<Client>();
    if (!client->Open(LocalServer(port_))) return nullptr;
    return client;
  }

  const ScratchFolder& folder() const { return folder_; }
  std::string ini() const { return folder_.File("zt.ini"); }
  std::string output() const { return folder_.File("server.out"); }
  std::string error_log() const { return folder_.File("work/dberrors.txt"); }
  std::string ErrorLog() const { return ReadFile(error_log()); }
  // The error log once it holds text, polled until the deadline passes
  // (then as it stands).
  std::string WaitForLogLine(const std::string& text, int timeout_ms = 10000) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string log = ErrorLog();
    while (log.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      log = ErrorLog();
    }
    return log;
  }
  uint16_t port() const { return port_; }
  ServerProcess& server() { return server_; }
  bool created() const { return created_; }

 private:
  ScratchFolder folder_;
  ServerProcess server_;
  uint16_t port_ = 0;
  bool created_ = false;
};

// Sends request as it is (an unknown command too) and returns the reply
// text ("<no reply>" when none came).
inline std::string Ask(Client& client, const std::string& request) {
  std::string reply;
  if (!client.SendFrame(request) || !client.ReceiveText(reply, kReplyTimeoutMs)) {
    return "<no reply>";
  }
  return reply;
}

// The value of one series of the /metrics page of the endpoint on
// metrics_port (name and labels as the page writes them), or -1 when the
// page or the series is not there.
inline double ScrapeMetric(uint16_t metrics_port, const std::string& series) {
  const ztserver::Result<ztserver::HttpResponse> page =
      ztserver::HttpGet("127.0.0.1", metrics_port, "/metrics", kReplyTimeoutMs);
  if (!page.ok()) return -1;
  const size_t at = page->body.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atof(page->body.c_str() + at + series.size() + 2);
}

// One request and the reply it must get.
struct Exchange {
  std::string request;
  std::string reply;
};

// Sends each request in turn and checks the reply it gets.
inline void ExpectReplies(Client& client, const std::vector<Exchange>& script) {
  for (const Exchange& step : script)
    EXPECT_EQ(Ask(client, step.request), step.reply) << step.request;
}

// Makes dir/<base>.dat from a schema text (ztadmin's format) and loads
// each (table, CSV text) into it with `ztadmin load`; false with the tool's
// output in *out when a step fails.
inline bool MakeLoadedDatabase(const ScratchFolder& dir, const std::string& base,
                               const std::string& schema,
                               const std::vector<std::pair<std::string, std::string>>& tables,
                               std::string* out) {
  const std::string ztadmin = std::string(ZT_BINARY_DIR) + "/ztadmin";
  WriteFile(dir.File(base + ".schema"), schema);
  if (RunCommand(ztadmin + " create " + dir.File(base + ".dat") + " " + dir.File(base + ".schema"),
                 out) != 0) {
    return false;
  }
  for (const auto& [table, csv] : tables) {
    WriteFile(dir.File(table + ".csv"), csv);
    if (RunCommand(ztadmin + " load " + dir.File(base + ".dat") + " " + table + " " +
                       dir.File(table + ".csv"),
                   out) != 0) {
      return false;
    }
  }
  return true;
}

// A running server over SmallDatabaseSchema() and one greeted client.
class ServerTest : public ::testing::Test {
 protected:
  // Runs after the database is made and before the server starts: the place
  // to fill the database or change the configuration.
  virtual void PrepareDatabase() {}

  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    PrepareDatabase();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    client_ = fixture_.Connect();
    ASSERT_NE(client_, nullptr);
  }

  void Expect(const std::vector<Exchange>& script) { ExpectReplies(*client_, script); }

  ServerFixture fixture_;
  std::unique_ptr<Client> client_;
};

}  // namespace zt::testing

#endif  // ZT_TESTS_SUPPORT_SERVER_PROCESS_H_

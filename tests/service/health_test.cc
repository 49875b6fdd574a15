// /health, the metrics and the error log's lines when the database files
// refuse the committed changes while the log takes them (the data folder's
// disk full, the log folder's not). In process, because the file layer's
// fault injection reaches only this process: the server's parts without
// sockets, driven as its processing runs and its watch timer drive them.
// The changes must be acknowledged, wait in the log, be told while they
// wait, and every one of them must be in the database afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "net/event_loop.h"
#include "net/frame.h"
#include "net/net_server.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"
#include "service/metrics.h"
#include "service/server.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

// The request processing, the metrics and the watch of one server over
// data_file, with one session whose requests are queued by hand.
class InProcessServer {
 public:
  InProcessServer(const std::string& data_file, const std::string& work) {
    db_.EnableLog(LogOptions{.folder = work});
    startup_.database_open = db_.OpenDatabase(data_file.c_str(), 0) == 1;
    startup_.result = startup_.database_open ? "ok" : "database_not_open";
    loop_.Open();
    net_.sessions().emplace_back();
  }
  ~InProcessServer() {
    metrics_.reset();
    dispatcher_.reset();
    recordsets_.reset();
    if (crashed_) {
      db_.Abandon();
    } else {
      db_.CloseDatabase();
    }
  }
  bool open() const { return startup_.database_open; }
  ServerMetrics& metrics() { return *metrics_; }
  // What the watch timer does once; the line it would log.
  std::string Watch() { return WatchFileWrites(db_, *metrics_); }
  // The process dies: the destructor writes nothing more.
  void Crash() { crashed_ = true; }

  // One processing run of one request; its reply.
  std::string Ask(const std::string& request) {
    ClientSession& session = net_.sessions().front();
    session.QueueRequest(request);
    const size_t start = session.output.size();
    dispatcher_->ProcessRequests(/*retry_due=*/false);
    const std::string out = session.output.substr(start);
    const size_t stx = out.rfind(kStx);
    return stx == std::string::npos ? "<no reply>"
                                    : out.substr(stx + 1, out.find(kEtx, stx) - stx - 1);
  }

  // Adds a customer through recordset 1 (open on CUSTOMER); false unless
  // every step was acknowledged.
  bool Insert(int id) {
    return Ask("RECORDSETADDROW~1") == "RECORDSETADDROW~1" &&
           Ask("RECORDSETSETFIELDVALUE~1~ID~" + std::to_string(id)) == "RECORDSETSETFIELDVALUE~1" &&
           Ask("RECORDSETSETFIELDVALUE~1~NAME~n" + std::to_string(id)) ==
               "RECORDSETSETFIELDVALUE~1" &&
           Ask("RECORDSETUPDATE~1") == "RECORDSETUPDATE~1";
  }

  // The value of an unlabelled sample of the metrics page; -1 when absent.
  double Sample(const std::string& name) {
    const std::string page = "\n" + metrics_->Exposition();
    const size_t at = page.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atof(page.c_str() + at + name.size() + 2);
  }

 private:
  Database db_;
  EventLoop loop_;
  NetServer net_{loop_, [](std::string_view) {}};
  std::unique_ptr<Recordsets> recordsets_ = std::make_unique<Recordsets>(db_);
  std::unique_ptr<RequestDispatcher> dispatcher_ =
      std::make_unique<RequestDispatcher>(net_, db_, *recordsets_);
  StartupReport startup_;
  std::unique_ptr<ServerMetrics> metrics_ =
      std::make_unique<ServerMetrics>(net_, *dispatcher_, *recordsets_, db_, startup_);
  bool crashed_ = false;
};

struct DiskFullCase {
  const char* name;
  // The server dies while the changes wait, and the next start replays them
  // from the log; else the disk has room again while it runs.
  bool crash_while_waiting;
};

class DataFolderFull : public ::testing::TestWithParam<DiskFullCase> {
 protected:
  void SetUp() override {
    MakeDirectory(dir_.File("data"));
    std::string err;
    ASSERT_EQ(CreateDatabaseFiles(data_file(), SmallDatabaseSchema(), err), 1) << err;
  }
  void TearDown() override { ClearFileFaults(); }
  std::string data_file() const { return dir_.File("data/db.dat"); }
  std::string work() const { return dir_.File("work"); }

  ScratchFolder dir_;
};

TEST_P(DataFolderFull, HealthTellsTheWaitAndNothingAcknowledgedIsLost) {
  constexpr int kRowsBefore = 3;
  constexpr int kRowsWhileFull = 30;
  {
    InProcessServer server(data_file(), work());
    ASSERT_TRUE(server.open());
    ASSERT_EQ(server.Ask("CREATERECORDSET"), "CREATERECORDSET~1");
    ASSERT_EQ(server.Ask("RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
    for (int id = 1; id <= kRowsBefore; ++id) ASSERT_TRUE(server.Insert(id)) << id;
    EXPECT_EQ(server.metrics().Health().status, 200);
    EXPECT_EQ(server.Sample("ztserver_log_waiting_bytes"), 0);
    EXPECT_EQ(server.Watch(), "");

    SetFileFaults(FileFaults{.full_folder = dir_.File("data")});
    double waiting = 0;
    for (int id = kRowsBefore + 1; id <= kRowsBefore + kRowsWhileFull; ++id) {
      ASSERT_TRUE(server.Insert(id)) << id;  // the log holds it: acknowledged
      const double now = server.Sample("ztserver_log_waiting_bytes");
      EXPECT_GT(now, waiting) << id;
      waiting = now;
    }
    const HttpReply health = server.metrics().Health();
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body.rfind("database files not writable: cannot write the database files: "
                                "No space left on device; ",
                                0),
              0u)
        << health.body;
    EXPECT_NE(health.body.find(" bytes of committed changes wait in the log\n"), std::string::npos)
        << health.body;
    EXPECT_EQ(health.body.find('\n'), health.body.size() - 1) << health.body;
    EXPECT_EQ(server.Sample("ztserver_file_writes_failing"), 1);
    const std::string begun = server.Watch();
    EXPECT_EQ(begun.rfind("Log: cannot write the database files: No space left on device; the "
                          "committed changes wait in memory and in the log (",
                          0),
              0u)
        << begun;
    // One line for the whole wait, however many commits and retries meet it.
    ASSERT_TRUE(server.Insert(kRowsBefore + kRowsWhileFull + 1));
    EXPECT_EQ(server.Watch(), "");
    EXPECT_EQ(server.metrics().Health().status, 503);

    if (GetParam().crash_while_waiting) {
      server.Crash();
      ClearFileFaults();
    } else {
      // Room again: the watch's retry writes the changes, no client needed.
      ClearFileFaults();
      const std::string ended = server.Watch();
      EXPECT_EQ(ended.rfind("Log: the database files take the changes again; those that "
                            "waited (",
                            0),
                0u)
          << ended;
      EXPECT_EQ(server.Watch(), "");
      EXPECT_EQ(server.metrics().Health().status, 200);
      EXPECT_EQ(server.metrics().Health().body, "ok\n");
      EXPECT_EQ(server.Sample("ztserver_log_waiting_bytes"), 0);
      EXPECT_EQ(server.Sample("ztserver_file_writes_failing"), 0);
    }
  }
  InProcessServer restarted(data_file(), work());
  ASSERT_TRUE(restarted.open());
  ASSERT_EQ(restarted.Ask("CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(restarted.Ask("RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
  EXPECT_EQ(restarted.Ask("RECORDSETGETROWCOUNT~1"),
            "RECORDSETGETROWCOUNT~1~" + std::to_string(kRowsBefore + kRowsWhileFull + 1));
  EXPECT_EQ(restarted.metrics().Health().status, 200);
}

INSTANTIATE_TEST_SUITE_P(Cases, DataFolderFull,
                         ::testing::Values(DiskFullCase{"RoomAgainWhileRunning", false},
                                           DiskFullCase{"CrashWhileWaiting", true}),
                         [](const ::testing::TestParamInfo<DiskFullCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace zt::testing

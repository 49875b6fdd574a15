// Failures of the file layer under the request processor: the request that
// meets one fails with its message, the server goes on, and a restart finds
// every acknowledged change and no part of the failed one.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/database_check.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "net/event_loop.h"
#include "net/frame.h"
#include "net/net_server.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"
#include "support/test_support.h"

namespace zt::testing {
namespace {

// The server's request processing without sockets: one session whose
// requests are queued by hand and whose replies are read off its output.
class Harness {
 public:
  explicit Harness(const std::string& data_file, const std::string& work) {
    db_.EnableLog(LogOptions{.folder = work, .grow_bytes = 64 << 10});
    opened_ = db_.OpenDatabase(data_file.c_str(), 0) == 1;
    loop_.Open();
    net_.sessions().emplace_back();
  }
  ~Harness() {
    dispatcher_.reset();
    recordsets_.reset();
    db_.Abandon();  // the process dies: nothing more is written
  }
  bool opened() const { return opened_; }
  Database& db() { return db_; }

  // Answers the requests in one processing run; their replies in order.
  std::vector<std::string> Run(const std::vector<std::string>& requests) {
    ClientSession& session = net_.sessions().front();
    for (const std::string& r : requests) session.requests.push_back(r);
    const size_t start = session.output.size();
    dispatcher_->ProcessRequests(/*retry_due=*/false);
    std::vector<std::string> replies;
    const std::string out = session.output.substr(start);
    for (size_t at = out.find(kStx); at != std::string::npos; at = out.find(kStx, at + 1)) {
      replies.push_back(out.substr(at + 1, out.find(kEtx, at) - at - 1));
    }
    return replies;
  }
  std::string Ask(const std::string& request) {
    const auto replies = Run({request});
    return replies.empty() ? "<no reply>" : replies.back();
  }

 private:
  Database db_;
  EventLoop loop_;
  NetServer net_{loop_, [](std::string_view) {}};
  std::unique_ptr<Recordsets> recordsets_ = std::make_unique<Recordsets>(db_);
  std::unique_ptr<RequestDispatcher> dispatcher_ =
      std::make_unique<RequestDispatcher>(net_, db_, *recordsets_);
  bool opened_ = false;
};

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  // A new database and no log (each case of a table starts over).
  void Fresh() {
    for (const char* extension : {kDefinitionFileExtension, kIndexFileExtension}) {
      FileDelete(DerivedFileName(path_, extension));
    }
    FileDelete(path_);
    FileDelete(LogFilePath(work_, path_));
    DatabaseSchema schema;
    schema.tables.push_back({"ITEMS", {{"ID", 1, 8, true}, {"VAL", 0, 20, false}}});
    std::string err;
    ASSERT_EQ(CreateDatabaseFiles(path_, schema, err), 1) << err;
  }
  void TearDown() override { ClearFileFaults(); }

  // Adds one row through recordset 1 (open on ITEMS); the UPDATE's reply.
  static std::string AddRow(Harness& h, int id) {
    const auto replies = h.Run({"RECORDSETADDROW~1", "RECORDSETSETFIELDVALUE~1~ID~" + std::to_string(id),
                                "RECORDSETSETFIELDVALUE~1~VAL~v" + std::to_string(id),
                                "RECORDSETUPDATE~1"});
    return replies.empty() ? "<no reply>" : replies.back();
  }
  // The IDs of the table's rows, as a new recordset reads them.
  static std::vector<int> Ids(Harness& h) {
    std::vector<int> ids;
    const std::string created = h.Ask("CREATERECORDSET");
    const std::string n = created.substr(created.rfind('~') + 1);
    EXPECT_EQ(h.Ask("RECORDSETOPEN~" + n + "~ITEMS"), "RECORDSETOPEN~" + n);
    if (h.Ask("RECORDSETMOVEFIRST~" + n) == "RECORDSETMOVEFIRST~" + n) {
      do {
        const std::string reply = h.Ask("RECORDSETGETFIELDVALUE~" + n + "~ID");
        ids.push_back(std::atoi(reply.substr(reply.rfind('~') + 1).c_str()));
      } while (h.Ask("RECORDSETMOVENEXT~" + n) == "RECORDSETMOVENEXT~" + n);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  ScratchFolder folder_;
  std::string path_ = folder_.File("db.dat");
  std::string work_ = folder_.File("work");
};

TEST_F(FaultInjectionTest, AFailedWriteFailsItsRequestAndLosesNothingElse) {
  struct Case {
    const char* name;
    FileFaults faults;
    const char* reason;  // in the recordset's error text
  };
  const Case cases[] = {
      {"the log sync fails", FileFaults{.fail_sync = 1}, "Input/output error"},
      {"the log write fails", FileFaults{.fail_write = 1}, "Input/output error"},
      {"the disk is full", FileFaults{.disk_free_bytes = 0}, "No space left on device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      Harness h(path_, work_);
      ASSERT_TRUE(h.opened());
      ASSERT_EQ(h.Ask("CREATERECORDSET"), "CREATERECORDSET~1");
      ASSERT_EQ(h.Ask("RECORDSETOPEN~1~ITEMS"), "RECORDSETOPEN~1");
      ASSERT_EQ(AddRow(h, 1), "RECORDSETUPDATE~1");
      SetFileFaults(c.faults);
      EXPECT_EQ(AddRow(h, 2), "RECORDSETUPDATE~FAILED");
      ClearFileFaults();
      const std::string error = h.Ask("RECORDSETGETLASTERROR~1");
      EXPECT_NE(error.find("could not be made durable"), std::string::npos) << error;
      EXPECT_NE(error.find(c.reason), std::string::npos) << error;
      // The server goes on: the next change is stored.
      ASSERT_EQ(h.Ask("RECORDSETOPEN~1~ITEMS"), "RECORDSETOPEN~1");
      EXPECT_EQ(AddRow(h, 3), "RECORDSETUPDATE~1");
      EXPECT_EQ(Ids(h), (std::vector<int>{1, 3}));
    }
    // A restart after the crash: the acknowledged rows and nothing else.
    Harness h(path_, work_);
    ASSERT_TRUE(h.opened());
    EXPECT_EQ(Ids(h), (std::vector<int>{1, 3}));
    CheckReport report;
    EXPECT_TRUE(CheckDatabase(h.db(), report))
        << (report.problems.empty() ? "" : report.problems[0]);
    h.db().CloseDatabase();
    Fresh();
    if (HasFatalFailure()) return;
  }
}

TEST_F(FaultInjectionTest, AFailedReadFailsItsRequestOnly) {
  Harness h(path_, work_);
  ASSERT_TRUE(h.opened());
  ASSERT_EQ(h.Ask("CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(h.Ask("RECORDSETOPEN~1~ITEMS"), "RECORDSETOPEN~1");
  ASSERT_EQ(AddRow(h, 1), "RECORDSETUPDATE~1");
  ASSERT_EQ(h.Ask("RECORDSETOPEN~1~ITEMS"), "RECORDSETOPEN~1");
  SetFileFaults(FileFaults{.fail_read = 1});
  EXPECT_EQ(h.Ask("RECORDSETGETFIELDVALUE~1~VAL"), "RECORDSETGETFIELDVALUE~FAILED");
  ClearFileFaults();
  EXPECT_EQ(h.Ask("RECORDSETGETFIELDVALUE~1~VAL"), "RECORDSETGETFIELDVALUE~1~v1");
}

// Shared use takes region locks: one that cannot be had fails the change
// with its message and changes nothing.
TEST_F(FaultInjectionTest, AFailedLockFailsTheChangeInSharedUse) {
  Database db;
  ASSERT_EQ(db.OpenDatabase(path_.c_str(), 1), 1);
  std::string record = "       1v1";
  record.resize(28, ' ');
  int64_t offset = -1;
  std::string err;
  SetFileFaults(FileFaults{.fail_lock = 1});
  EXPECT_EQ(db.AddNewRecord(record, 28, offset, "ITEMS", &err), 0);
  ClearFileFaults();
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(db.AddNewRecord(record, 28, offset, "ITEMS", &err), 1) << err;
  CheckReport report;
  EXPECT_TRUE(CheckDatabase(db, report)) << (report.problems.empty() ? "" : report.problems[0]);
  EXPECT_EQ(report.live_records, 1);
}

}  // namespace
}  // namespace zt::testing

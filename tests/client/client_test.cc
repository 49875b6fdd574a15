// The client library against the real server: the typed helpers, failures
// with their reasons, pipelining, and what the library refuses or reports
// without a reply. The public header comes first: it compiles on its own.
#include "ztserver/client.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

using ztserver::ErrorCode;

class ClientLibraryTest : public ServerTest {};

TEST_F(ClientLibraryTest, TypedHelpersWalkATable) {
  ztserver::Connection& db = *client_;
  const ztserver::Result<int32_t> h = db.CreateRecordset();
  ASSERT_TRUE(h.ok()) << h.status().message();
  ASSERT_TRUE(db.RecordsetOpen(*h, "CUSTOMER"));
  for (const char* id : {"3", "1", "2"}) {
    ASSERT_TRUE(db.RecordsetAddRow(*h));
    ASSERT_TRUE(db.RecordsetSetFieldValue(*h, "ID", id));
    ASSERT_TRUE(db.RecordsetSetFieldValue(*h, "NAME", std::string("name ~ ") + id).code() ==
                ErrorCode::kInvalidArgument);  // "~" cannot travel
    ASSERT_TRUE(db.RecordsetSetFieldValue(*h, "NAME", std::string("name ") + id));
  }
  ASSERT_TRUE(db.RecordsetUpdate(*h));
  ASSERT_TRUE(db.RecordsetOpen(*h, "CUSTOMER"));
  EXPECT_EQ(db.RecordsetGetRowCount(*h).value_or(-1), 3);
  ASSERT_TRUE(db.RecordsetSort(*h, "ID", /*ascending=*/false));
  std::vector<std::string> names;
  for (ztserver::Status more = db.RecordsetMoveFirst(*h); more; more = db.RecordsetMoveNext(*h)) {
    names.push_back(db.RecordsetGetFieldValue(*h, "NAME").value_or("?"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"name 3", "name 2", "name 1"}));

  const ztserver::Result<ztserver::FieldInfo> info = db.RecordsetGetFieldInfo(*h, 1);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->name, "NAME");
  EXPECT_EQ(info->type, 0);
  EXPECT_EQ(info->size, 30);
  EXPECT_EQ(db.RecordsetIsFieldKeyColumn(*h, 0).value_or(false), true);
  EXPECT_EQ(db.RecordsetGetFieldCount(*h).value_or(-1), 2);
  ASSERT_TRUE(db.RecordsetSelectRowsRange(*h, 1, 2));
  EXPECT_EQ(db.RecordsetGetSelectedRowCount(*h).value_or(-1), 2);
  EXPECT_EQ(db.RecordsetIsRowSelected(*h, 3).value_or(true), false);
  EXPECT_EQ(db.GetTableNames().value_or({}), (std::vector<std::string>{"CUSTOMER", "ORDERS"}));
  EXPECT_EQ(db.GetLocationInformation().value_or({}).at(7), "Shop");
  EXPECT_TRUE(db.RecordsetClose(*h));
}

TEST_F(ClientLibraryTest, FailuresCarryTheServersReason) {
  ztserver::Connection& db = *client_;
  const int32_t h = db.CreateRecordset().value_or(0);
  struct Case {
    ztserver::Status status;
    const char* reason;
  };
  const Case cases[] = {
      {db.RecordsetOpen(h, "NOPE"), "RecordsetOpen: Error reading the table header"},
      {db.RecordsetOpenFloor(h, "CUSTOMER", "NAME", "x"),  // the connection's text
       "RecordsetOpenFloor: Field name is not a valid key name"},
      {db.RecordsetMoveNext(99), "there is no recordset 99"},
      {db.RebuildDatabase(), "RebuildDatabase: this server does not rebuild databases"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status.code(), ErrorCode::kFailed) << c.reason;
    EXPECT_EQ(c.status.message(), c.reason);
  }
  EXPECT_EQ(db.RecordsetSetFieldValue(h, "NAME", " ").code(), ErrorCode::kInvalidArgument);
  EXPECT_TRUE(db.connected());
}

TEST_F(ClientLibraryTest, PipelinedRepliesComeInOrder) {
  const std::vector<ztserver::Reply> replies = client_->CallAll(
      {"CREATERECORDSET", "RECORDSETOPEN~1~ORDERS", "hello", "RECORDSETMOVEFIRST~1",
       "RECORDSETGETROWCOUNT~1"});
  ASSERT_EQ(replies.size(), 5u);
  EXPECT_EQ(replies[0].text, "CREATERECORDSET~1");
  EXPECT_TRUE(replies[1].ok());
  EXPECT_EQ(replies[2].code, ErrorCode::kUnknownCommand);  // refused, not sent
  EXPECT_TRUE(replies[3].failed());                        // no rows
  EXPECT_EQ(replies[3].text, "RECORDSETMOVEFIRST~FAILED");
  EXPECT_EQ(replies[4].fields, (std::vector<std::string>{"RECORDSETGETROWCOUNT", "1", "0"}));
  EXPECT_EQ(replies[4].field(9), "");
}

TEST_F(ClientLibraryTest, UnknownCommandIsRefusedWithoutWaiting) {
  // Were it sent, the server would never answer and the call would end in
  // a timeout that closes the connection.
  client_->set_reply_timeout_ms(60000);
  const ztserver::Reply reply = client_->Call("NOSUCHCOMMAND~1");
  EXPECT_EQ(reply.code, ErrorCode::kUnknownCommand);
  EXPECT_TRUE(client_->connected());
  EXPECT_EQ(client_->Call("startTransaction").text, "STARTTRANSACTION");
}

TEST_F(ClientLibraryTest, ATimeoutClosesTheConnection) {
  ASSERT_TRUE(client_->SendFrame("HELLO"));  // never answered
  client_->set_reply_timeout_ms(50);
  const ztserver::Reply reply = client_->Receive();
  EXPECT_EQ(reply.code, ErrorCode::kTimeout);
  EXPECT_FALSE(client_->connected());
  EXPECT_EQ(client_->StartTransaction().code(), ErrorCode::kNotConnected);
}

TEST(ClientLibrary, NoServerAndAClosedConnectionAreErrors) {
  const HeldPort nobody_listens;
  ztserver::Connection db;
  const ztserver::Status status = db.Open(LocalServer(nobody_listens.port()));
  EXPECT_EQ(status.code(), ErrorCode::kConnect);
  EXPECT_NE(status.message().find("Connection refused"), std::string::npos) << status.message();

  ServerFixture fixture;
  ASSERT_TRUE(fixture.Start());
  ASSERT_TRUE(db.Open(LocalServer(fixture.port())));
  ASSERT_TRUE(db.StartTransaction());
  ASSERT_EQ(fixture.server().Stop(), 0);
  EXPECT_EQ(db.CommitTransaction().code(), ErrorCode::kClosed);
  EXPECT_FALSE(db.connected());
}

}  // namespace
}  // namespace zt::testing

namespace zt::testing {
namespace {

// The shared table of reply cases (tests/client/reply_cases.txt), which the
// Python client's tests read too: a reply fails exactly when it has two
// fields and the second is FAILED.
TEST(ReplyParsing, JudgesEveryCaseOfTheSharedTable) {
  std::istringstream lines(ReadFile(std::string(ZT_SOURCE_DIR) + "/tests/client/reply_cases.txt"));
  int cases = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    std::istringstream head(line.substr(0, tab));
    std::string verdict;
    size_t fields = 0;
    head >> verdict >> fields;
    const ztserver::Reply reply = ztserver::ParseReply(line.substr(tab + 1));
    EXPECT_EQ(reply.failed() ? "failed" : "ok", verdict) << line;
    EXPECT_EQ(reply.fields.size(), fields) << line;
    ++cases;
  }
  EXPECT_GT(cases, 0);
}

TEST(ReplyParsing, FetchRepliesAreDecodedAndChecked) {
  const ztserver::Result<ztserver::RowBatch> batch = ztserver::ParseFetchReply(
      ztserver::ParseReply("RECORDSETFETCHROWS~1~2~2~1~a\x10>b~\x10P~FAILED~"));
  ASSERT_TRUE(batch.ok()) << batch.status().message();
  EXPECT_TRUE(batch->end);
  EXPECT_EQ(batch->rows, (std::vector<std::vector<std::string>>{{"a~b", "\x10"}, {"FAILED", ""}}));
  for (const char* bad : {"RECORDSETFETCHROWS~1~2~2~0~a~b~c", "RECORDSETFETCHROWS~1~1~1~2~a",
                          "RECORDSETFETCHROWS~1~x~1~0", "RECORDSETFETCHROWS~1~1~1~0~a\x10",
                          "RECORDSETFETCHROWS~FAILED"}) {
    EXPECT_EQ(ztserver::ParseFetchReply(ztserver::ParseReply(bad)).status().code(),
              ztserver::ErrorCode::kBadReply)
        << bad;
  }
}

TEST(ClientTypes, ReadingAFailedResultIsCaught) {
  const ztserver::Result<int32_t> failed = ztserver::Status(ErrorCode::kTimeout, "no reply");
  EXPECT_DEATH((void)*failed, "the value of a failed Result was read \\(timeout: no reply\\)");
  // Handles and row numbers do not mix: neither converts into the other.
  static_assert(!std::is_convertible_v<ztserver::Handle, ztserver::RowNumber>);
  static_assert(!std::is_convertible_v<ztserver::RowNumber, ztserver::Handle>);
  static_assert(std::is_convertible_v<int32_t, ztserver::Handle>);
}

TEST_F(ClientLibraryTest, RecordsetsCloseThemselvesAndFetchInBulk) {
  ztserver::Connection& db = *client_;
  ztserver::Handle kept = 0;
  {
    ztserver::Result<ztserver::Recordset> rs = ztserver::Recordset::Create(db);
    ASSERT_TRUE(rs.ok()) << rs.status().message();
    kept = rs->handle();
    ASSERT_TRUE(db.RecordsetOpen(kept, "CUSTOMER"));
    for (const char* id : {"1", "2", "3"}) {
      ASSERT_TRUE(db.RecordsetAddRow(kept));
      ASSERT_TRUE(db.RecordsetSetFieldValue(kept, "ID", id));
      ASSERT_TRUE(db.RecordsetSetFieldValue(kept, "NAME", "FAILED"));
    }
    ASSERT_TRUE(db.RecordsetUpdate(kept));
    ASSERT_TRUE(db.RecordsetOpen(kept, "CUSTOMER"));
    // A value that reads FAILED is a value.
    EXPECT_EQ(db.RecordsetGetFieldValue(kept, "NAME").value_or("?"), "FAILED");
    const ztserver::Result<ztserver::RowBatch> two = db.RecordsetFetchRows(kept, 2, {"NAME", "id"});
    ASSERT_TRUE(two.ok()) << two.status().message();
    EXPECT_EQ(two->rows, (std::vector<std::vector<std::string>>{{"FAILED", "1"}, {"FAILED", "2"}}));
    EXPECT_FALSE(two->end);
    EXPECT_EQ(db.RecordsetGetBookmark(kept).value_or(0), ztserver::RowNumber(3));
    const ztserver::Result<ztserver::RowBatch> rest = db.RecordsetFetchRows(kept, 10);
    ASSERT_TRUE(rest.ok());
    EXPECT_EQ(rest->rows, (std::vector<std::vector<std::string>>{{"3", "FAILED"}}));
    EXPECT_TRUE(rest->end);
    const ztserver::Result<ztserver::RowBatch> refused = db.RecordsetFetchRows(kept, 10, {"NOPE"});
    EXPECT_EQ(refused.status().message(), "RecordsetFetchRows: Invalid column name: NOPE");
  }
  // Gone with its scope: closing it again fails, with a reason.
  const ztserver::Status closed = db.RecordsetClose(kept);
  EXPECT_EQ(closed.code(), ErrorCode::kFailed);
  EXPECT_EQ(closed.message(), "RecordsetClose: there is no recordset " + std::to_string(kept));
  const ztserver::Status rebuilt = db.RebuildDatabase();
  EXPECT_EQ(rebuilt.message(), "RebuildDatabase: this server does not rebuild databases");
}

}  // namespace
}  // namespace zt::testing

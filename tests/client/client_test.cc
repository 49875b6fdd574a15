// The client library against the real server: the typed helpers, failures
// with their reasons, pipelining, and what the library refuses or reports
// without a reply. The public header comes first: it compiles on its own.
#include "ztserver/client.h"

#include <gtest/gtest.h>

#include <string>
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
      {db.RebuildDatabase(), ""},  // the server keeps no reason
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

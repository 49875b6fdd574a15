// The session, transaction and database commands against the running
// server, and the request syntax as clients see it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

class SessionCommandsTest : public ServerTest {};

TEST_F(SessionCommandsTest, EveryCommandAnswersInItsShape) {
  Expect({
      {"STARTTRANSACTION~with~extra~fields", "STARTTRANSACTION"},
      {"COMMITTRANSACTION", "COMMITTRANSACTION"},
      {"ROLLBACKTRANSACTION", "ROLLBACKTRANSACTION"},
      {"GETLASTERRORTEXT", "GETLASTERRORTEXT~"},
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"CREATERECORDSET~99", "CREATERECORDSET~2"},             // field 2 is ignored
      {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~0"},  // created, never opened
      {"RECORDSETISCONNECTED~77", "RECORDSETISCONNECTED~77~0"},
      {"RECORDSETISCONNECTED", "RECORDSETISCONNECTED~0~0"},
      {"RECORDSETGETLASTERROR~1", "RECORDSETGETLASTERRORTEXT~1~"},
      {"RECORDSETGETLASTERROR~9", "RECORDSETGETLASTERRORTEXT~FAILED"},
      {"RECORDSETGETLASTERROR", "RECORDSETGETLASTERRORTEXT~FAILED"},
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETCLEARFILTERS", "RECORDSETCLEARFILTERS~FAILED"},
      {"RECORDSETCLOSE~2", "RECORDSETCLOSE~2"},
      {"RECORDSETCLOSE~2", "RECORDSETCLOSE~FAILED"},
      {"RECORDSETCLOSE", "RECORDSETCLOSE~FAILED"},
      {"GETLOCATIONINFORMATION", "GETLOCATIONINFORMATION~Main St 1~Springfield~~~~~~Shop"},
      {"SETLOCATIONINFORMATION", "SETLOCATIONINFORMATION~FAILED"},
      {"SETLOCATIONINFORMATION~A~B~C~D~E~F~G~H", "SETLOCATIONINFORMATION"},
      {"GETLOCATIONINFORMATION", "GETLOCATIONINFORMATION~A~B~C~D~E~F~G~H"},
      {"SETLOCATIONINFORMATION~only", "SETLOCATIONINFORMATION"},
      {"GETLOCATIONINFORMATION", "GETLOCATIONINFORMATION~only~~~~~~~"},
      {"REBUILDDATABASE", "REBUILDDATABASE~FAILED"},
      {"GETTABLENAMES~ignored", "GETTABLENAMES~CUSTOMER~ORDERS"},
  });
}

TEST_F(SessionCommandsTest, RequestSyntax) {
  for (int i = 0; i < 12; ++i)
    ASSERT_EQ(Ask(*client_, "CREATERECORDSET").rfind("CREATERECORDSET~", 0), 0u);
  Expect({
      {"recordsetgetlasterror~3", "RECORDSETGETLASTERRORTEXT~3~"},
      {"  RecordsetIsConnected  ~  3  ", "RECORDSETISCONNECTED~3~0"},
      {"RECORDSETGETLASTERROR~0012", "RECORDSETGETLASTERRORTEXT~12~"},
      {"RECORDSETGETLASTERROR~12abc", "RECORDSETGETLASTERRORTEXT~12~"},
      {"~~RECORDSETCLOSE~~~12~~", "RECORDSETCLOSE~12"},
      // A blank token keeps its place: field 2 is empty, so this fails.
      {"SETLOCATIONINFORMATION~ ~B", "SETLOCATIONINFORMATION~FAILED"},
      // Only nine fields count: the tenth is ignored.
      {"SETLOCATIONINFORMATION~1~2~3~4~5~6~7~8~9~10", "SETLOCATIONINFORMATION"},
      {"GETLOCATIONINFORMATION", "GETLOCATIONINFORMATION~1~2~3~4~5~6~7~8"},
  });
  // Requests without a command name get no reply; the next one is answered.
  ASSERT_TRUE(client_->SendFrame("~~"));
  ASSERT_TRUE(client_->SendFrame("   "));
  EXPECT_EQ(Ask(*client_, "STARTTRANSACTION"), "STARTTRANSACTION");
}

TEST_F(SessionCommandsTest, HandlesAreOneMoreThanTheLargestPresent) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"CREATERECORDSET", "CREATERECORDSET~2"},
      {"CREATERECORDSET", "CREATERECORDSET~3"},
      {"CREATERECORDSET", "CREATERECORDSET~4"},
      {"CREATERECORDSET", "CREATERECORDSET~5"},
      {"RECORDSETCLOSE~3", "RECORDSETCLOSE~3"},
      {"RECORDSETCLOSE~4", "RECORDSETCLOSE~4"},
      {"CREATERECORDSET", "CREATERECORDSET~6"},  // 1, 2 and 5 present
      {"RECORDSETCLOSE~6", "RECORDSETCLOSE~6"},
      {"CREATERECORDSET", "CREATERECORDSET~6"},  // the largest is reused
  });
}

TEST_F(SessionCommandsTest, DepartingClientsRecordsetsAreClosed) {
  auto other = fixture_.Connect();
  ASSERT_NE(other, nullptr);
  Expect({{"CREATERECORDSET", "CREATERECORDSET~1"},
          {"CREATERECORDSET", "CREATERECORDSET~2"},
          {"CREATERECORDSET", "CREATERECORDSET~3"}});
  EXPECT_EQ(Ask(*other, "CREATERECORDSET"), "CREATERECORDSET~4");
  // No other client may close them.
  EXPECT_EQ(Ask(*other, "RECORDSETCLOSE~2"), "RECORDSETCLOSE~FAILED");
  client_->Close();
  // Once the departure is handled, 1 to 3 are gone: with 4 closed as well,
  // handle numbering starts again at 1.
  EXPECT_EQ(Ask(*other, "RECORDSETCLOSE~4"), "RECORDSETCLOSE~4");
  std::string reply;
  for (int i = 0; i < 100; ++i) {
    reply = Ask(*other, "CREATERECORDSET");
    if (reply == "CREATERECORDSET~1") break;
    Ask(*other, "RECORDSETCLOSE~" + reply.substr(reply.find('~') + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(reply, "CREATERECORDSET~1");
}

TEST_F(SessionCommandsTest, EachClientReadsItsOwnErrorText) {
  auto other = fixture_.Connect();
  ASSERT_NE(other, nullptr);
  Expect({{"CREATERECORDSET", "CREATERECORDSET~1"},
          {"RECORDSETOPENFLOOR~1~CUSTOMER~NAME~x", "RECORDSETOPENFLOOR~FAILED"},
          {"GETLASTERRORTEXT", "GETLASTERRORTEXT~RecordsetOpenFloor: Field name is not a valid key name"}});
  // Another client, new or old, does not see it, and its own failure
  // does not overwrite the first client's text.
  EXPECT_EQ(Ask(*other, "GETLASTERRORTEXT"), "GETLASTERRORTEXT~");
  EXPECT_EQ(Ask(*other, "CREATERECORDSET"), "CREATERECORDSET~2");
  EXPECT_EQ(Ask(*other, "RECORDSETOPENCEILING~2~NOPE~ID~1"), "RECORDSETOPENCEILING~FAILED");
  EXPECT_NE(Ask(*other, "GETLASTERRORTEXT"), "GETLASTERRORTEXT~");
  Expect({{"GETLASTERRORTEXT", "GETLASTERRORTEXT~RecordsetOpenFloor: Field name is not a valid key name"},
          // A later success leaves the text as it is.
          {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
          {"GETLASTERRORTEXT", "GETLASTERRORTEXT~RecordsetOpenFloor: Field name is not a valid key name"}});
}

// With the retry timer beyond any test, a request that waited for another
// try would get no reply here: only other clients' requests would bring
// its tries. Failures that waiting cannot mend are answered at once.
class HopelessFailuresTest : public ServerTest {
 protected:
  void PrepareDatabase() override { fixture_.SetRetryDelay(60000); }
};

TEST_F(HopelessFailuresTest, AreAnsweredAtOnceAndInOrder) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},           // created, not open
      {"RECORDSETADDROW~9", "RECORDSETADDROW~FAILED"},    // no such handle
      {"RECORDSETADDROW~1", "RECORDSETADDROW~FAILED"},    // not open
      {"RECORDSETUPDATE", "RECORDSETUPDATE~FAILED"},      // no handle field
      {"RECORDSETDELETEALL~1", "RECORDSETDELETEALL~FAILED"},
      {"RECORDSETDELETECURRENTROW~1", "RECORDSETDELETECURRENTROW~FAILED"},
      {"RECORDSETLOCKCURRENTROW~9", "RECORDSETLOCKCURRENTROW~FAILED"},
      {"RECORDSETLOCKALL~9", "RECORDSETLOCKALL~FAILED"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
      {"RECORDSETSETFIELDVALUE~1~NAME~no key", "RECORDSETSETFIELDVALUE~1"},
      {"RECORDSETUPDATE~1", "RECORDSETUPDATE~FAILED"},    // a blank key
      {"RECORDSETGETLASTERROR~1",
       "RECORDSETGETLASTERRORTEXT~1~RecordsetAreAllKeysPopulated: ID cannot be NULL"},
  });
  // Pipelined: the requests behind a failure follow without a pause.
  ASSERT_TRUE(client_->SendFrame("RECORDSETADDROW~9"));
  ASSERT_TRUE(client_->SendFrame("STARTTRANSACTION"));
  std::string reply;
  ASSERT_TRUE(client_->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "RECORDSETADDROW~FAILED");
  ASSERT_TRUE(client_->ReceiveText(reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, "STARTTRANSACTION");
}

}  // namespace
}  // namespace zt::testing

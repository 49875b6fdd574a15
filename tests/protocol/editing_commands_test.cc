// The field-value and row-editing commands against the running server.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/server_process.h"
#include "ztadmin/check.h"

namespace zt::testing {
namespace {

class EditingCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DatabaseSchema schema = SmallDatabaseSchema();
    // A column wider than any fixed reply buffer of 255 characters.
    schema.tables.push_back({"DOCS", {{"ID", 1, 4, true, false}, {"BODY", 0, 1000, false, false}}});
    std::string err;
    ASSERT_TRUE(CreateDatabaseFiles(fixture_.folder().File("db.dat"), schema, err)) << err;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    a_ = fixture_.Connect();
    b_ = fixture_.Connect();
    ASSERT_NE(a_, nullptr);
    ASSERT_NE(b_, nullptr);
  }

  void Expect(Client& client, const std::vector<Exchange>& script) {
    ExpectReplies(client, script);
  }

  // Whatever the scenario did, the files agree with each other afterwards.
  void TearDown() override {
    fixture_.server().Stop();
    std::ostringstream out, err;
    EXPECT_EQ(admin::CheckCommand(fixture_.folder().File("db.dat"), out, err), 0)
        << out.str() << err.str();
  }

  ServerFixture fixture_{false};
  std::unique_ptr<Client> a_, b_;
};

TEST_F(EditingCommandsTest, AddSetGetUpdate) {
  Expect(*a_,
         {
             {"CREATERECORDSET", "CREATERECORDSET~1"},
             {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
             {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
             {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~"},
             {"RECORDSETSETFIELDVALUE~1~ID~  42  ", "RECORDSETSETFIELDVALUE~1"},
             {"RECORDSETSETFIELDVALUE~1~name~Ada", "RECORDSETSETFIELDVALUE~1"},
             {"RECORDSETGETFIELDVALUE~1~ID", "RECORDSETGETFIELDVALUE~1~42"},
             {"RECORDSETSETFIELDVALUE~1~NAME~" + std::string(40, 'n'), "RECORDSETSETFIELDVALUE~1"},
             {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~" + std::string(30, 'n')},
             {"RECORDSETSETFIELDVALUE~1~NAME~Ada Lovelace", "RECORDSETSETFIELDVALUE~1"},
             {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
         });
  // B sees the stored row; A's next edit stays A's until A updates.
  Expect(*b_, {
                  {"CREATERECORDSET", "CREATERECORDSET~2"},
                  {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"},
                  {"RECORDSETGETFIELDVALUE~2~NAME", "RECORDSETGETFIELDVALUE~2~Ada Lovelace"},
              });
  Expect(*a_, {{"RECORDSETSETFIELDVALUE~1~NAME~Grace", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Grace"}});
  Expect(*b_, {{"RECORDSETGETFIELDVALUE~2~NAME", "RECORDSETGETFIELDVALUE~2~Ada Lovelace"}});
  Expect(*a_, {{"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"}});
  Expect(*b_, {{"RECORDSETGETFIELDVALUE~2~NAME", "RECORDSETGETFIELDVALUE~2~Grace"}});
}

TEST_F(EditingCommandsTest, RefusalsAndTheirReasons) {
  Expect(*a_, {
                  {"CREATERECORDSET", "CREATERECORDSET~1"},
                  {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                  {"RECORDSETDELETEALL~1", "RECORDSETDELETEALL~1"},
                  {"RECORDSETGETLASTERROR~1",
                   "RECORDSETGETLASTERRORTEXT~1~RecordsetDeleteAll: Recordset contains zero "
                   "records!"},
                  {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
                  // A field cannot be set to an empty value.
                  {"RECORDSETSETFIELDVALUE~1~NAME", "RECORDSETSETFIELDVALUE~FAILED"},
                  {"RECORDSETSETFIELDVALUE~1~NAME~ ", "RECORDSETSETFIELDVALUE~FAILED"},
                  {"RECORDSETGETFIELDVALUE~1", "RECORDSETGETFIELDVALUE~FAILED"},
                  {"RECORDSETSETFIELDVALUE~1~NOPE~x", "RECORDSETSETFIELDVALUE~FAILED"},
                  {"RECORDSETGETLASTERROR~1",
                   "RECORDSETGETLASTERRORTEXT~1~RecordsetSetFieldValue: Invalid column name: NOPE"},
                  {"RECORDSETGETFIELDVALUE~1~NOPE", "RECORDSETGETFIELDVALUE~FAILED"},
                  {"RECORDSETGETFIELDVALUE~7~NAME", "RECORDSETGETFIELDVALUE~FAILED"},
                  // A new row deleted before it was stored never reaches the file.
                  {"RECORDSETDELETECURRENTROW~1", "RECORDSETDELETECURRENTROW~1"},
                  {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                  {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                  {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~0"},
              });
}

// An update the engine refuses keeps its pending edit: completed, it is
// stored. (That the failure is answered at once is session_commands_test's.)
TEST_F(EditingCommandsTest, RefusedUpdateKeepsTheEditPending) {
  Expect(*a_, {{"CREATERECORDSET", "CREATERECORDSET~1"},
               {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
               {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
               {"RECORDSETSETFIELDVALUE~1~NAME~no key", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETUPDATE~1", "RECORDSETUPDATE~FAILED"},
               {"RECORDSETGETLASTERROR~1",
                "RECORDSETGETLASTERRORTEXT~1~RecordsetAreAllKeysPopulated: ID cannot be NULL"},
               {"RECORDSETSETFIELDVALUE~1~ID~5", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"}});
  Expect(*b_, {{"CREATERECORDSET", "CREATERECORDSET~2"},
               {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"},
               {"RECORDSETGETFIELDVALUE~2~NAME", "RECORDSETGETFIELDVALUE~2~no key"}});
}

// Two clients change one row. The second to store its change is refused,
// an update after the retries every refused update gets, a delete with the
// reason in its error text; the first client's change stays.
TEST_F(EditingCommandsTest, ChangeOfARowChangedMeanwhileIsRefused) {
  Expect(*a_, {{"CREATERECORDSET", "CREATERECORDSET~1"},
               {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
               {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
               {"RECORDSETSETFIELDVALUE~1~ID~1", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETSETFIELDVALUE~1~NAME~Ada", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"}});
  // B begins an edit and a delete of the row as it stands now.
  Expect(*b_, {{"CREATERECORDSET", "CREATERECORDSET~2"},
               {"RECORDSETOPEN~2~CUSTOMER", "RECORDSETOPEN~2"},
               {"RECORDSETSETFIELDVALUE~2~NAME~Bob", "RECORDSETSETFIELDVALUE~2"},
               {"CREATERECORDSET", "CREATERECORDSET~3"},
               {"RECORDSETOPEN~3~CUSTOMER", "RECORDSETOPEN~3"},
               {"RECORDSETDELETECURRENTROW~3", "RECORDSETDELETECURRENTROW~3"}});
  Expect(*a_, {{"RECORDSETSETFIELDVALUE~1~NAME~Grace", "RECORDSETSETFIELDVALUE~1"},
               {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"}});
  Expect(*b_, {{"RECORDSETUPDATE~2", "RECORDSETUPDATE~FAILED"},
               {"RECORDSETGETLASTERROR~2",
                "RECORDSETGETLASTERRORTEXT~2~UpdateRecord: The record was changed or deleted by "
                "another recordset"},
               {"RECORDSETUPDATE~3", "RECORDSETUPDATE~3"},
               {"RECORDSETGETLASTERROR~3",
                "RECORDSETGETLASTERRORTEXT~3~DeleteRecord: The record was changed or deleted by "
                "another recordset"},
               {"CREATERECORDSET", "CREATERECORDSET~4"},
               {"RECORDSETOPEN~4~CUSTOMER", "RECORDSETOPEN~4"},
               {"RECORDSETGETROWCOUNT~4", "RECORDSETGETROWCOUNT~4~1"},
               {"RECORDSETGETFIELDVALUE~4~NAME", "RECORDSETGETFIELDVALUE~4~Grace"}});
}

TEST_F(EditingCommandsTest, DeleteRowsAndStore) {
  Expect(*a_,
         {{"CREATERECORDSET", "CREATERECORDSET~1"}, {"RECORDSETOPEN~1~ORDERS", "RECORDSETOPEN~1"}});
  for (const char* no : {"1", "2", "3"}) {
    Expect(*a_,
           {{"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
            {std::string("RECORDSETSETFIELDVALUE~1~NO~") + no, "RECORDSETSETFIELDVALUE~1"},
            {std::string("RECORDSETSETFIELDVALUE~1~ITEM~item") + no, "RECORDSETSETFIELDVALUE~1"}});
  }
  Expect(*a_, {
                  {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                  {"RECORDSETSETBOOKMARK~1~2", "RECORDSETSETBOOKMARK~1"},
                  {"RECORDSETDELETECURRENTROW~1", "RECORDSETDELETECURRENTROW~1"},
                  {"RECORDSETGETFIELDVALUE~1~ITEM", "RECORDSETGETFIELDVALUE~1~item3"},
                  {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                  {"RECORDSETOPEN~1~ORDERS", "RECORDSETOPEN~1"},
                  {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~2"},
                  {"RECORDSETDELETEALL~1", "RECORDSETDELETEALL~1"},
                  {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
                  {"RECORDSETOPEN~1~ORDERS", "RECORDSETOPEN~1"},
                  {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~0"},
              });
}

TEST_F(EditingCommandsTest, WideValuesTravelWhole) {
  std::string body;
  for (int i = 0; body.size() < 950; ++i) body += "w" + std::to_string(i) + " ";
  body = body.substr(0, 950);
  while (!body.empty() && body.back() == ' ') body.pop_back();
  Expect(
      *a_,
      {
          {"CREATERECORDSET", "CREATERECORDSET~1"},
          {"RECORDSETOPEN~1~DOCS", "RECORDSETOPEN~1"},
          {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
          {"RECORDSETSETFIELDVALUE~1~ID~1", "RECORDSETSETFIELDVALUE~1"},
          {"RECORDSETSETFIELDVALUE~1~BODY~" + body, "RECORDSETSETFIELDVALUE~1"},
          {"RECORDSETGETFIELDVALUE~1~BODY", "RECORDSETGETFIELDVALUE~1~" + body},
          {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
          {"RECORDSETGETFIELDVALUE~1~BODY", "RECORDSETGETFIELDVALUE~1~" + body},
          // Longer than the column: cut at its 1000 characters.
          {"RECORDSETSETFIELDVALUE~1~BODY~" + std::string(3000, 'x'), "RECORDSETSETFIELDVALUE~1"},
          {"RECORDSETGETFIELDVALUE~1~BODY", "RECORDSETGETFIELDVALUE~1~" + std::string(1000, 'x')},
      });
}

}  // namespace
}  // namespace zt::testing

// A whole typical client session over the network, as one transcript of
// request -> reply: create a recordset, filter, open, browse, read values,
// add a row, change one, store, delete one, sort, find, select rows and move
// among them, ask the metadata, close; then a second recordset sees what
// the first one stored.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

class ClientSessionTranscriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    // Another client stores the customers the session starts from.
    std::unique_ptr<Client> loader = fixture_.Connect();
    ASSERT_NE(loader, nullptr);
    ASSERT_EQ(Ask(*loader, "CREATERECORDSET"), "CREATERECORDSET~1");
    ASSERT_EQ(Ask(*loader, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
    const char* names[] = {"Adams", "Smith", "Jones", "Brown"};
    for (int id = 1; id <= 4; ++id) {
      ASSERT_EQ(Ask(*loader, "RECORDSETADDROW~1"), "RECORDSETADDROW~1");
      ASSERT_EQ(Ask(*loader, "RECORDSETSETFIELDVALUE~1~ID~" + std::to_string(id)),
                "RECORDSETSETFIELDVALUE~1");
      ASSERT_EQ(Ask(*loader, std::string("RECORDSETSETFIELDVALUE~1~NAME~") + names[id - 1]),
                "RECORDSETSETFIELDVALUE~1");
    }
    ASSERT_EQ(Ask(*loader, "RECORDSETUPDATE~1"), "RECORDSETUPDATE~1");
    ASSERT_EQ(Ask(*loader, "RECORDSETCLOSE~1"), "RECORDSETCLOSE~1");
    client_ = fixture_.Connect();
    ASSERT_NE(client_, nullptr);
  }

  ServerFixture fixture_;
  std::unique_ptr<Client> client_;
};

TEST_F(ClientSessionTranscriptTest, TypicalSession) {
  const std::vector<Exchange> transcript = {
      // Create, filter, open: customers 2, 3 and 4.
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"RECORDSETADDFILTERCOLUMN~1~ID~>~1~1", "RECORDSETADDFILTERCOLUMN~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~3"},
      // Browse and read.
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Smith"},
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Jones"},
      {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
      {"RECORDSETGETFIELDVALUE~1~ID", "RECORDSETGETFIELDVALUE~1~4"},
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~FAILED"},
      {"RECORDSETMOVEPREV~1", "RECORDSETMOVEPREV~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~2"},
      // Add a customer and store it.
      {"RECORDSETADDROW~1", "RECORDSETADDROW~1"},
      {"RECORDSETSETFIELDVALUE~1~ID~5", "RECORDSETSETFIELDVALUE~1"},
      {"RECORDSETSETFIELDVALUE~1~NAME~Carter", "RECORDSETSETFIELDVALUE~1"},
      {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~4"},
      // Change one.
      {"RECORDSETMOVEFIRST~1", "RECORDSETMOVEFIRST~1"},
      {"RECORDSETSETFIELDVALUE~1~NAME~Smythe", "RECORDSETSETFIELDVALUE~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Smythe"},
      {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
      // Delete one: the next row becomes current.
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~1"},
      {"RECORDSETDELETECURRENTROW~1", "RECORDSETDELETECURRENTROW~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Brown"},
      {"RECORDSETUPDATE~1", "RECORDSETUPDATE~1"},
      // Sort by name: the deleted customer's row has no record any more and
      // leaves the resultset.
      {"RECORDSETSORT~1~NAME~1", "RECORDSETSORT~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~3"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Brown"},
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Carter"},
      // Find.
      {"RECORDSETFINDROW~1~NAME~sm", "RECORDSETFINDROW~1"},
      {"RECORDSETGETFIELDVALUE~1~ID", "RECORDSETGETFIELDVALUE~1~2"},
      {"RECORDSETFINDROW~1~NAME~Jones", "RECORDSETFINDROW~FAILED"},
      {"RECORDSETGETLASTERROR~1", "RECORDSETGETLASTERRORTEXT~1~No match Found"},
      // Select rows and move among them.
      {"RECORDSETSELECTROW~1~1", "RECORDSETSELECTROW~1"},
      {"RECORDSETSELECTROW~1~3", "RECORDSETSELECTROW~1"},
      {"RECORDSETGETSELECTEDROWCOUNT~1", "RECORDSETGETSELECTEDROWCOUNT~1~2"},
      {"RECORDSETISROWSELECTED~1~2", "RECORDSETISROWSELECTED~1~0"},
      {"RECORDSETMOVETOFIRSTSELECTEDROW~1", "RECORDSETMOVETOFIRSTSELECTEDROW~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Brown"},
      {"RECORDSETMOVETONEXTSELECTEDROW~1", "RECORDSETMOVETONEXTSELECTEDROW~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Smythe"},
      {"RECORDSETMOVETONEXTSELECTEDROW~1", "RECORDSETMOVETONEXTSELECTEDROW~FAILED"},
      {"RECORDSETMOVETOPREVSELECTEDROW~1", "RECORDSETMOVETOPREVSELECTEDROW~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~1"},
      // Metadata.
      {"RECORDSETGETFIELDCOUNT~1", "RECORDSETGETFIELDCOUNT~1~2"},
      {"RECORDSETGETFIELDNAME~1~1", "RECORDSETGETFIELDNAME~1~NAME"},
      {"RECORDSETGETFIELDINFO~1~0", "RECORDSETGETFIELDINFO~1~ID~1~10"},
      {"RECORDSETISFIELDKEYCOLUMN~1~0", "RECORDSETISFIELDKEYCOLUMN~1~1"},
      {"RECORDSETISFIELDNULLABLE~1~1", "RECORDSETISFIELDNULLABLE~1~1"},
      {"RECORDSETISFIELDBLOB~1~1", "RECORDSETISFIELDBLOB~1~0"},
      {"RECORDSETGETFIELDSIZE~1~1", "RECORDSETGETFIELDSIZE~1~30"},
      // Close.
      {"RECORDSETCLOSE~1", "RECORDSETCLOSE~1"},
      {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~0"},
      // A new recordset sees what was stored: Adams, Smythe, Brown, Carter.
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~4"},
      {"RECORDSETSORT~1~NAME~0", "RECORDSETSORT~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Smythe"},
      {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
      {"RECORDSETGETFIELDVALUE~1~NAME", "RECORDSETGETFIELDVALUE~1~Adams"},
      {"RECORDSETCLOSE~1", "RECORDSETCLOSE~1"},
  };
  for (const auto& [request, reply] : transcript) {
    ASSERT_EQ(Ask(*client_, request), reply) << request;
  }
}

}  // namespace
}  // namespace zt::testing

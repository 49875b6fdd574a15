// Opening, filtering, navigating, bookmarking and counting recordsets
// through the protocol, against the running server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/file.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

class RecordsetCommandsTest : public ServerTest {
 protected:
  void PrepareDatabase() override {
    // CUSTOMER (ID integer 10 key, NAME text 30): IDs 3, 5, 5, 9, oldest first.
    Database db(fixture_.folder().File("work"));
    ASSERT_TRUE(db.OpenDatabase(fixture_.folder().File("db.dat").c_str(), 0));
    for (const auto& [id, name] : std::vector<std::pair<const char*, const char*>>{
             {"3", "Ann"}, {"5", "Bob"}, {"5", "bob"}, {"9", "Cy"}}) {
      const std::string data = PadRight(id, 10) + PadRight(name, 30);
      int64_t offset = 0;
      std::string err;
      ASSERT_TRUE(db.AddNewRecord(data, 40, offset, "CUSTOMER", &err)) << err;
    }
    ASSERT_TRUE(db.CloseDatabase());
  }
};

TEST_F(RecordsetCommandsTest, NavigationBookmarksAndCounts) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~FAILED"},
      {"RECORDSETGETLASTERROR~1",
       "RECORDSETGETLASTERRORTEXT~1~RecordsetGetRowCount: Recordset not open"},
      {"RECORDSETCANBOOKMARK~1", "RECORDSETCANBOOKMARK~1~0"},
      {"RECORDSETCANBOOKMARK", "RECORDSETCANBOOKMARK~0~0"},
      {"RECORDSETOPEN~1", "RECORDSETOPEN~FAILED"},
      {"recordsetopen~ 001 ~ customer ", "RECORDSETOPEN~1"},
      {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~1"},
      {"RECORDSETCANBOOKMARK~1", "RECORDSETCANBOOKMARK~1~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~4"},
      {"RECORDSETGETSELECTEDROWCOUNT~1", "RECORDSETGETSELECTEDROWCOUNT~1~0"},
      {"RECORDSETGETFILTEREDCOUNT~1", "RECORDSETGETFILTEREDCOUNT~1~0"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~1"},
      {"RECORDSETMOVEPREV~1", "RECORDSETMOVEPREV~FAILED"},
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~2"},
      {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
      {"RECORDSETGETLASTUPDATEDBOOKMARK~1", "RECORDSETGETLASTUPDATEDBOOKMARK~1~4"},
      {"RECORDSETMOVENEXT~1", "RECORDSETMOVENEXT~FAILED"},
      {"RECORDSETGETLASTERROR~1",
       "RECORDSETGETLASTERRORTEXT~1~RecordsetMoveNext: Current record not set and/or eof"},
      {"RECORDSETSETBOOKMARK~1~2", "RECORDSETSETBOOKMARK~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~2"},
      {"RECORDSETSETBOOKMARK~1~x", "RECORDSETSETBOOKMARK~FAILED"},  // "x" is 0
      {"RECORDSETGETLASTERROR~1",
       "RECORDSETGETLASTERRORTEXT~1~RecordsetSetBookmark: Invalid bookmark - valid bookmarks "
       "range from 0 to 4."},
      {"RECORDSETSETBOOKMARK~1", "RECORDSETSETBOOKMARK~FAILED"},
      {"RECORDSETMOVEFIRST~1", "RECORDSETMOVEFIRST~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~1"},
      {"RECORDSETMOVEFIRST~2", "RECORDSETMOVEFIRST~FAILED"},  // no such recordset
  });
}

TEST_F(RecordsetCommandsTest, FiltersAndFilterOn) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      // Field 7 is optional; without field 6 the condition is refused.
      {"RECORDSETADDFILTERCOLUMN~1~ID~>~4", "RECORDSETADDFILTERCOLUMN~FAILED"},
      {"RECORDSETADDFILTERCOLUMN~1~ID~ > ~4~0", "RECORDSETADDFILTERCOLUMN~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~3"},
      {"RECORDSETADDFILTERCOLUMN~1~ID~<=~5~0~0", "RECORDSETADDFILTERCOLUMN~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~2"},  // both records with ID 5
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETADDFILTERCOLUMN~1~ID~<>~5~0", "RECORDSETADDFILTERCOLUMN~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~2"},  // 3 and 9
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
      // FilterOn compares text without regard to case: Bob and bob.
      {"RECORDSETFILTERON~1~NAME~BOB", "RECORDSETFILTERON~1"},
      {"RECORDSETGETFILTEREDCOUNT~1", "RECORDSETGETFILTEREDCOUNT~1~2"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~1"},  // the current row stays
      {"RECORDSETMOVEFIRST~1", "RECORDSETMOVEFIRST~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~2"},
      {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
      {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~3"},
      {"RECORDSETSETBOOKMARK~1~4", "RECORDSETSETBOOKMARK~FAILED"},  // filtered out
      // Without a value every row passes again.
      {"RECORDSETFILTERON~1~NAME", "RECORDSETFILTERON~1"},
      {"RECORDSETGETFILTEREDCOUNT~1", "RECORDSETGETFILTEREDCOUNT~1~4"},
      {"RECORDSETFILTERON~1", "RECORDSETFILTERON~FAILED"},
      {"RECORDSETFILTERON~1~NOSUCHCOLUMN~x", "RECORDSETFILTERON~FAILED"},
  });
}

TEST_F(RecordsetCommandsTest, OpenFailuresLeaveTheirReasons) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"RECORDSETADDFILTERCOLUMN~1~COLOUR~=~red~0", "RECORDSETADDFILTERCOLUMN~1"},
      {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~FAILED"},
      {"RECORDSETGETLASTERROR~1",
       "RECORDSETGETLASTERRORTEXT~1~RecordsetOpen: Error generating result set"},
      {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~0"},
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETOPEN~1~NOSUCHTABLE", "RECORDSETOPEN~FAILED"},
      {"RECORDSETOPEN~7~CUSTOMER", "RECORDSETOPEN~FAILED"},
  });
}

TEST_F(RecordsetCommandsTest, FloorAndCeilingOpenTheNeighbouringKey) {
  Expect({
      {"CREATERECORDSET", "CREATERECORDSET~1"},
      {"RECORDSETOPENFLOOR~1~CUSTOMER~ID", "RECORDSETOPENFLOOR~FAILED"},
      {"RECORDSETOPENFLOOR~1~CUSTOMER~ID~5", "RECORDSETOPENFLOOR~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~1"},  // the 3
      // The equality condition a floor or ceiling adds stays with the
      // recordset, like every filter column, until it is cleared.
      {"RECORDSETOPENCEILING~1~CUSTOMER~ID~5", "RECORDSETOPENCEILING~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~0"},  // ID = 3 and ID = 9
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETOPENCEILING~1~CUSTOMER~ID~5", "RECORDSETOPENCEILING~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~1"},  // the 9
      {"RECORDSETCLEARFILTERS~1", "RECORDSETCLEARFILTERS~1"},
      {"RECORDSETOPENCEILING~1~CUSTOMER~ID~4", "RECORDSETOPENCEILING~1"},
      {"RECORDSETGETROWCOUNT~1", "RECORDSETGETROWCOUNT~1~2"},  // both 5s
      // Nothing below 3 or above 9 in this column: the neighbouring entries
      // belong to another column or table.
      {"RECORDSETOPENFLOOR~1~CUSTOMER~ID~3", "RECORDSETOPENFLOOR~FAILED"},
      {"GETLASTERRORTEXT", "GETLASTERRORTEXT~RecordsetOpenFloor: No records found"},
      {"RECORDSETOPENCEILING~1~CUSTOMER~ID~9", "RECORDSETOPENCEILING~FAILED"},
      {"GETLASTERRORTEXT", "GETLASTERRORTEXT~RecordsetOpenCeiling: No records found"},
      {"RECORDSETOPENFLOOR~1~CUSTOMER~NAME~Bob", "RECORDSETOPENFLOOR~FAILED"},
      {"GETLASTERRORTEXT",
       "GETLASTERRORTEXT~RecordsetOpenFloor: Field name is not a valid key name"},
  });
}

// The server keeps each open recordset's rows in a file of the temporary
// folder; a client that goes away takes its recordsets' files with it.
// A departing client's recordsets close with it; another client's stay.
// Recordsets live in memory: nothing is ever written to the temporary folder.
TEST(DepartingClient, ItsRecordsetsAreClosed) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  const std::string tmp = fixture.folder().File("tmp");
  MakeDirectory(tmp);
  setenv("TMPDIR", tmp.c_str(), 1);
  const bool started = fixture.Start();
  unsetenv("TMPDIR");
  ASSERT_TRUE(started) << ReadFile(fixture.output());
  auto leaving = fixture.Connect();
  auto staying = fixture.Connect();
  ASSERT_TRUE(leaving && staying);
  ExpectReplies(*leaving, {{"CREATERECORDSET", "CREATERECORDSET~1"},
                           {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
                           {"CREATERECORDSET", "CREATERECORDSET~2"},
                           {"RECORDSETOPEN~2~ORDERS", "RECORDSETOPEN~2"}});
  ExpectReplies(*staying, {{"CREATERECORDSET", "CREATERECORDSET~3"},
                           {"RECORDSETOPEN~3~CUSTOMER", "RECORDSETOPEN~3"}});
  EXPECT_TRUE(ListFolder(tmp, "").empty());

  leaving->Close();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string reply;
  while (std::chrono::steady_clock::now() < deadline) {
    reply = Ask(*staying, "RECORDSETISCONNECTED~2");
    if (reply == "RECORDSETISCONNECTED~2~0") break;
  }
  EXPECT_EQ(reply, "RECORDSETISCONNECTED~2~0");
  ExpectReplies(*staying, {{"RECORDSETISCONNECTED~3", "RECORDSETISCONNECTED~3~1"},
                           {"RECORDSETISCONNECTED~1", "RECORDSETISCONNECTED~1~0"}});
  ExpectReplies(*staying, {{"RECORDSETCLOSE~3", "RECORDSETCLOSE~3"}});
  EXPECT_TRUE(ListFolder(tmp, "").empty());
}

}  // namespace
}  // namespace zt::testing

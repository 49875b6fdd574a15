// RECORDSETFETCHROWS against the running server: it sends what a walk with
// MOVENEXT and GETFIELDVALUE reads (after sorts, filters, FILTERON,
// deletes, pending edits), values with every byte a record can hold, and
// stays within its bounds however many rows are asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "protocol/fetch_rows_format.h"
#include "support/server_process.h"

namespace zt::testing {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// CUSTOMER (ID integer 10 key, NAME text 30): rows stored straight into the
// data file, so that their values may hold bytes no request can carry.
void StoreCustomers(ServerFixture& fixture,
                    const std::vector<std::pair<std::string, std::string>>& rows) {
  Database db(fixture.folder().File("work"));
  ASSERT_TRUE(db.OpenDatabase(fixture.folder().File("db.dat").c_str(), 0));
  for (const auto& [id, name] : rows) {
    const std::string data = PadRight(id, 10) + PadRight(name, 30);
    int64_t offset = 0;
    std::string err;
    ASSERT_TRUE(db.AddNewRecord(data, 40, offset, "CUSTOMER", &err)) << err;
  }
  ASSERT_TRUE(db.CloseDatabase());
}

// Every row from the current one on, n at a time.
Rows FetchAll(Client& client, const std::string& handle, int n, const std::string& columns = "") {
  Rows rows;
  for (int request = 0; request < 100000; ++request) {
    const ztserver::Reply reply =
        client.Call("RECORDSETFETCHROWS~" + handle + "~" + std::to_string(n) +
                    (columns.empty() ? "" : "~" + columns));
    const ztserver::Result<ztserver::RowBatch> batch = ztserver::ParseFetchReply(reply);
    if (!batch.ok()) {
      ADD_FAILURE() << batch.status().message();
      return rows;
    }
    EXPECT_LE(batch->rows.size(), static_cast<size_t>(n));
    rows.insert(rows.end(), batch->rows.begin(), batch->rows.end());
    if (batch->end) return rows;
    EXPECT_FALSE(batch->rows.empty()) << "a batch without rows must be the end";
  }
  ADD_FAILURE() << "no end";
  return rows;
}

// Every row from the first on, with one MOVENEXT and one GETFIELDVALUE per
// value: what the fetch must equal.
Rows Walk(Client& client, const std::string& handle, const std::vector<std::string>& columns) {
  Rows rows;
  for (std::string moved = Ask(client, "RECORDSETMOVEFIRST~" + handle);
       moved == "RECORDSETMOVEFIRST~" + handle || moved == "RECORDSETMOVENEXT~" + handle;
       moved = Ask(client, "RECORDSETMOVENEXT~" + handle)) {
    std::vector<std::string> row;
    for (const std::string& column : columns) {
      const std::string prefix = "RECORDSETGETFIELDVALUE~" + handle + "~";
      const std::string reply = Ask(client, prefix + column);
      row.push_back(reply.substr(prefix.size()));
    }
    rows.push_back(row);
  }
  return rows;
}

class BulkFetchTest : public ServerTest {
 protected:
  void PrepareDatabase() override {
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 1; i <= 40; ++i)
      rows.push_back({std::to_string((i * 7) % 41), "name " + std::to_string(i % 9)});
    StoreCustomers(fixture_, rows);
  }
};

TEST_F(BulkFetchTest, SendsWhatAWalkReadsInEveryOrderAndFilter) {
  ASSERT_EQ(Ask(*client_, "CREATERECORDSET"), "CREATERECORDSET~1");
  struct Case {
    const char* what;
    std::vector<std::string> setup;  // after CLEARFILTERS, before the fetch
  };
  const std::vector<Case> cases = {
      {"stored order", {"RECORDSETOPEN~1~CUSTOMER"}},
      {"sorted down", {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETSORT~1~NAME~0"}},
      {"conditions",
       {"RECORDSETADDFILTERCOLUMN~1~ID~>~12~0", "RECORDSETADDFILTERCOLUMN~1~ID~<=~30~0",
        "RECORDSETOPEN~1~CUSTOMER"}},
      {"filter on", {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETFILTERON~1~NAME~name 3"}},
      {"sorted and filtered",
       {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETSORT~1~ID~1", "RECORDSETFILTERON~1~NAME~NAME 5"}},
      {"a pending edit and a pending delete",
       {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETMOVENEXT~1", "RECORDSETSETFIELDVALUE~1~NAME~edited",
        "RECORDSETMOVENEXT~1", "RECORDSETDELETECURRENTROW~1"}},
      {"stored deletes",
       {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETMOVELAST~1", "RECORDSETDELETECURRENTROW~1",
        "RECORDSETMOVEFIRST~1", "RECORDSETDELETECURRENTROW~1", "RECORDSETUPDATE~1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Ask(*client_, "RECORDSETCLEARFILTERS~1"), "RECORDSETCLEARFILTERS~1");
    for (const std::string& request : c.setup) {
      ASSERT_EQ(Ask(*client_, request).find("FAILED"), std::string::npos) << request;
    }
    const Rows walked = Walk(*client_, "1", {"ID", "NAME"});
    ASSERT_FALSE(walked.empty());
    for (const int n : {1, 3, 1000}) {
      ASSERT_EQ(Ask(*client_, "RECORDSETMOVEFIRST~1"), "RECORDSETMOVEFIRST~1");
      EXPECT_EQ(FetchAll(*client_, "1", n, "ID,name"), walked) << n;
    }
    // Past the end: nothing more, and no current row to read.
    EXPECT_EQ(Ask(*client_, "RECORDSETFETCHROWS~1~5"), "RECORDSETFETCHROWS~1~0~2~1");
    EXPECT_EQ(Ask(*client_, "RECORDSETGETFIELDVALUE~1~ID"), "RECORDSETGETFIELDVALUE~FAILED");
    // From the middle: the rest, and the current row moves past them.
    ASSERT_EQ(Ask(*client_, "RECORDSETMOVEFIRST~1"), "RECORDSETMOVEFIRST~1");
    if (walked.size() >= 2) {
      ASSERT_EQ(Ask(*client_, "RECORDSETMOVENEXT~1"), "RECORDSETMOVENEXT~1");
      const Rows first = FetchAll(*client_, "1", 1000);  // every live column
      EXPECT_EQ(first, Rows(walked.begin() + 1, walked.end()));
    }
  }
}

TEST_F(BulkFetchTest, StopsMidTableAndStandsOnTheNextRow) {
  Expect({{"CREATERECORDSET", "CREATERECORDSET~1"},
          {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
          {"RECORDSETFETCHROWS~1~2~ID", "RECORDSETFETCHROWS~1~2~1~0~7~14"},
          {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~3"},
          {"RECORDSETGETFIELDVALUE~1~ID", "RECORDSETGETFIELDVALUE~1~21"},
          {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
          // A batch that the table ends in the middle of.
          {"RECORDSETFETCHROWS~1~50~ID", "RECORDSETFETCHROWS~1~1~1~1~34"},
          {"RECORDSETMOVELAST~1", "RECORDSETMOVELAST~1"},
          {"RECORDSETGETFIELDVALUE~1~ID", "RECORDSETGETFIELDVALUE~1~34"}});
}

TEST_F(BulkFetchTest, RefusesWithAReason) {
  Expect({{"CREATERECORDSET", "CREATERECORDSET~1"},
          {"RECORDSETFETCHROWS~1~5", "RECORDSETFETCHROWS~FAILED"},
          {"RECORDSETGETLASTERROR~1",
           "RECORDSETGETLASTERRORTEXT~1~RecordsetFetchRows: Recordset not open"},
          {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
          {"RECORDSETFETCHROWS~1~0", "RECORDSETFETCHROWS~FAILED"},
          {"RECORDSETGETLASTERROR~1",
           "RECORDSETGETLASTERRORTEXT~1~RecordsetFetchRows: the number of rows must be at least 1"},
          {"RECORDSETFETCHROWS~1~5~ID,Nope", "RECORDSETFETCHROWS~FAILED"},
          {"RECORDSETGETLASTERROR~1",
           "RECORDSETGETLASTERRORTEXT~1~RecordsetFetchRows: Invalid column name: Nope"},
          {"RECORDSETGETBOOKMARK~1", "RECORDSETGETBOOKMARK~1~1"},  // a refusal does not move
          {"RECORDSETFETCHROWS~1", "RECORDSETFETCHROWS~FAILED"},   // n is required
          {"RECORDSETFETCHROWS~9~5", "RECORDSETFETCHROWS~FAILED"}});
}

TEST_F(BulkFetchTest, AnEmptyTableEndsAtOnce) {
  Expect({{"CREATERECORDSET", "CREATERECORDSET~1"},
          {"RECORDSETOPEN~1~ORDERS", "RECORDSETOPEN~1"},
          {"RECORDSETFETCHROWS~1~10", "RECORDSETFETCHROWS~1~0~2~1"},
          {"RECORDSETADDFILTERCOLUMN~1~ID~>~1000~0", "RECORDSETADDFILTERCOLUMN~1"},
          {"RECORDSETOPEN~1~CUSTOMER", "RECORDSETOPEN~1"},
          {"RECORDSETFETCHROWS~1~10~NAME", "RECORDSETFETCHROWS~1~0~1~1"}});
}

// Every byte a stored value can hold (all but NUL, which ends it), the
// framing's own bytes among them, comes back as stored.
class BulkFetchBytesTest : public ServerTest {
 protected:
  static std::string AllBytes(int from, int to) {
    std::string s;
    for (int c = from; c <= to; ++c) s += static_cast<char>(c);
    return s;
  }
  void PrepareDatabase() override {
    std::vector<std::pair<std::string, std::string>> rows = {{"1",
                                                              "a~b\x02"
                                                              "c\x03"
                                                              "d\x10"
                                                              "e"},
                                                             {"2", "\x10\x10~~\x02"},
                                                             {"3", "~"}};
    for (int from = 1; from <= 241; from += 30) {
      rows.push_back(
          {std::to_string(rows.size() + 1), AllBytes(from, from + 29 > 255 ? 255 : from + 29)});
    }
    rows.push_back({"13", "\xc3\xa9 FAILED"});
    rows.push_back({"14", ""});
    StoreCustomers(fixture_, rows);
  }
};

TEST_F(BulkFetchBytesTest, ValuesTravelWhole) {
  ASSERT_EQ(Ask(*client_, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(Ask(*client_, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
  const Rows rows = FetchAll(*client_, "1", 4, "NAME");
  ASSERT_EQ(rows.size(), 14u);
  EXPECT_EQ(rows[0][0],
            "a~b\x02"
            "c\x03"
            "d\x10"
            "e");
  EXPECT_EQ(rows[1][0], "\x10\x10~~\x02");
  EXPECT_EQ(rows[2][0], "~");
  for (int k = 0; k < 9; ++k) {
    const int from = 1 + 30 * k;
    EXPECT_EQ(rows[3 + k][0], AllBytes(from, from + 29 > 255 ? 255 : from + 29)) << from;
  }
  EXPECT_EQ(rows[12][0], "\xc3\xa9 FAILED");
  EXPECT_EQ(rows[13][0], "");
  // The wire form: the framing bytes escaped, nothing else touched.
  EXPECT_EQ(Ask(*client_, "RECORDSETMOVEFIRST~1"), "RECORDSETMOVEFIRST~1");
  EXPECT_EQ(Ask(*client_, "RECORDSETFETCHROWS~1~3~NAME"),
            "RECORDSETFETCHROWS~1~3~1~0~a\x10>b\x10"
            "Bc\x10"
            "Cd\x10"
            "Pe~\x10P\x10P\x10>\x10>\x10"
            "B~\x10>");
}

// However many rows are asked for, one reply stays within its bounds, and
// the rows come over several requests.
class BulkFetchBoundsTest : public ServerTest {
 protected:
  void PrepareDatabase() override {
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < 20000; ++i) rows.push_back({std::to_string(i), std::string(30, 'x')});
    StoreCustomers(fixture_, rows);
  }
};

TEST_F(BulkFetchBoundsTest, ABigAskComesInBoundedReplies) {
  ASSERT_EQ(Ask(*client_, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(Ask(*client_, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
  size_t total = 0;
  int replies = 0;
  for (bool end = false; !end && replies < 1000; ++replies) {
    const ztserver::Reply reply = client_->Call("RECORDSETFETCHROWS~1~2000000000");
    ASSERT_LE(reply.text.size(), 256u * 1024 + 2 * 16384 + 64);
    const ztserver::Result<ztserver::RowBatch> batch = ztserver::ParseFetchReply(reply);
    ASSERT_TRUE(batch.ok()) << batch.status().message();
    ASSERT_LE(batch->rows.size(), 10000u);
    total += batch->rows.size();
    end = batch->end;
  }
  EXPECT_EQ(total, 20000u);
  EXPECT_GE(replies, 2);
}

// The in-process reader of the reply (the web console's) against the
// writer: every byte a value can hold comes back, and a reply whose counts
// and values disagree is no reply.
TEST(FetchRowsFormat, ValuesRoundTripAndMalformedRepliesAreRefused) {
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  const std::vector<std::string> values = {"", "plain", "~", "a~b", "\x10", "\x02\x03", every};
  std::string reply = "RECORDSETFETCHROWS~4~" + std::to_string(values.size()) + "~1~1";
  for (const std::string& value : values) {
    reply += '~';
    AppendFetchedValue(reply, value);
  }
  FetchedRows got;
  ASSERT_TRUE(ParseFetchRowsReply(reply, got));
  EXPECT_EQ(got.rows, static_cast<int64_t>(values.size()));
  EXPECT_EQ(got.columns, 1);
  EXPECT_TRUE(got.end);
  EXPECT_EQ(got.values, values);

  for (const char* bad : {"RECORDSETFETCHROWS~FAILED", "RECORDSETFETCHROWS~4~1~2~0~only-one",
                          "RECORDSETFETCHROWS~4~0~0~2", "RECORDSETFETCHROWS~4~x~1~0~v",
                          "RECORDSETFETCHROWS~4~1~1~0~cut\x10", "RECORDSETMOVENEXT~4~1~1~0~v",
                          "RECORDSETFETCHROWS~4~99999~99999~0"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseFetchRowsReply(bad, got));
  }
  ASSERT_TRUE(ParseFetchRowsReply("RECORDSETFETCHROWS~4~0~3~1", got));
  EXPECT_TRUE(got.values.empty());
}

}  // namespace
}  // namespace zt::testing

// Resultset generation: which records an open shows, and in which order.
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "recordset_fixture.h"

namespace zt::testing {
namespace {

using Names = std::vector<std::string>;
using GenerateTest = RecordsetFixture;

TEST_F(GenerateTest, ScanListsEveryLiveRecordOfTheTableOldestFirst) {
  AddPerson(30, "Cy");
  Add("Parts", {"B2", "nut"});
  const int64_t gone = AddPerson(10, "Ann");
  AddPerson(20, "Bo");
  Add("Zone", {"200"});
  AddPerson(5, "Di");
  // A superseded or deleted record stays in the chain, flagged.
  PokeByte(data_file_, static_cast<long>(gone + 54), 'Y');

  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Name"), (Names{"Cy", "Bo", "Di"}));
  EXPECT_EQ(RowCount(), 3);
}

TEST_F(GenerateTest, ConditionsOnNonKeyColumnsScanOldestFirst) {
  AddPerson(3, "Old", 40);
  AddPerson(1, "Young", 20);
  AddPerson(2, "Older", 50);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", ">", "30", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "people"), 1);
  EXPECT_EQ(Rows("Name"), (Names{"Old", "Older"}));
}

TEST_F(GenerateTest, KeyConditionWalksTheIndexAndTestsTheOthers) {
  AddPerson(150, "a", 40);
  AddPerson(99, "b", 40);
  AddPerson(120, "c", 20);
  AddPerson(100, "d", 31);
  AddPerson(300, "e", 90);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", ">", "30", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", ">=", "100", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"100", "150", "300"}));
}

TEST_F(GenerateTest, LessThanOnAKeyListsDescending) {
  for (int id : {50, 200, 7, 99, 100, 12}) AddPerson(id, "x");
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<", "100", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"99", "50", "12", "7"}));
}

TEST_F(GenerateTest, NumericColumnsCompareAsNumbersTextColumnsWithoutCase) {
  AddPerson(1, "ABC", 20, "007");
  AddPerson(2, "abd", 20, "7.0");
  AddPerson(3, "xyz", 20, "70");
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Qty", "=", "7", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"1", "2"}));

  rs_->RecordsetClearFilters(handle_);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Name", "=", "abc", 0, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"1"}));
}

// Every operator on a key column whose values repeat, with runs of equal
// keys longer than an index page (19 entries) and other tables' keys on
// both sides of the column's range: the walk yields exactly the records the
// condition holds for, in key order (descending for < and <=).
TEST_F(GenerateTest, IndexWalksReturnExactlyTheMatchingRecords) {
  std::multimap<int, int64_t> people;
  for (int i = 0; i < 25; ++i) people.emplace(50, AddPerson(50, "dup"));
  for (int id : {3, 5, 5, 9, 49, 51, 70, 70, 99999}) people.emplace(id, AddPerson(id, "one"));
  for (int i = 0; i < 25; ++i) people.emplace(70, AddPerson(70, "dup"));
  for (int code = 0; code < 30; ++code) Add("Parts", {"P" + std::to_string(code)});
  for (int zip = 0; zip < 30; ++zip) Add("Zone", {std::to_string(zip)});

  struct Case {
    const char* op;
    int value;
    bool (*holds)(int, int);
    bool descending;
  };
  const Case cases[] = {
      {"=", 50, [](int a, int b) { return a == b; }, false},
      {"=", 70, [](int a, int b) { return a == b; }, false},
      {"=", 60, [](int a, int b) { return a == b; }, false},
      {">=", 50, [](int a, int b) { return a >= b; }, false},
      {">", 50, [](int a, int b) { return a > b; }, false},
      {"<=", 70, [](int a, int b) { return a <= b; }, true},
      {"<=", 50, [](int a, int b) { return a <= b; }, true},
      {"<", 70, [](int a, int b) { return a < b; }, true},
      {"<", 3, [](int a, int b) { return a < b; }, true},
      {">", 99999, [](int a, int b) { return a > b; }, false},
      {"<>", 50, [](int a, int b) { return a != b; }, false},
      {"<>", 5, [](int a, int b) { return a != b; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("Id ") + c.op + " " + std::to_string(c.value));
    std::vector<std::string> expected;
    std::multiset<int64_t> expected_offsets;
    for (const auto& [id, offset] : people) {
      if (c.holds(id, c.value)) {
        expected.push_back(std::to_string(id));
        expected_offsets.insert(offset);
      }
    }
    if (c.descending) std::reverse(expected.begin(), expected.end());

    rs_->RecordsetClearFilters(handle_);
    ASSERT_EQ(
        rs_->RecordsetAddFilterColumn(handle_, "Id", c.op, std::to_string(c.value).c_str(), 1, 0),
        1);
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
    EXPECT_EQ(RowCount(), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(Rows("Id"), expected);
    std::multiset<int64_t> offsets;
    if (rs_->RecordsetMoveFirst(handle_)) {
      do {
        int64_t offset = -1;
        rs_->RecordsetGetCurrentRowOffset(handle_, offset);
        offsets.insert(offset);
      } while (rs_->RecordsetMoveNext(handle_));
    }
    EXPECT_EQ(offsets, expected_offsets);
  }
}

// Two conditions on one key column: the walk starts from one and stops at
// the other, in both directions, and keeps the runs of equal keys at both
// ends.
TEST_F(GenerateTest, RangeOnOneKeyColumn) {
  for (int id : {1, 5, 5, 7, 9, 9, 12, 20}) AddPerson(id, "x");
  struct Case {
    const char* low_op;
    const char* low;
    const char* high_op;
    const char* high;
    Names ids;
  };
  const Case cases[] = {
      {">=", "5", "<=", "9", {"5", "5", "7", "9", "9"}},
      {">", "5", "<", "9", {"7"}},
      {">=", "6", "<", "13", {"7", "9", "9", "12"}},
      {">", "20", "<", "99", {}},
      // Several bounds on one side: the tightest decides, whichever is given
      // first; bounds that exclude each other give nothing.
      {">=", "1", "<=", "12", {"1", "5", "5", "7", "9", "9", "12"}},
      {">", "9", "<", "5", {}},
      {"=", "7", "<", "7", {}},
      {"=", "9", ">=", "5", {"9", "9"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.low_op) + c.low + " " + c.high_op + c.high);
    rs_->RecordsetClearFilters(handle_);
    ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", c.high_op, c.high, 1, 0), 1);
    ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", c.low_op, c.low, 1, 0), 1);
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
    EXPECT_EQ(Rows("Id"), c.ids);
  }
  // Only upper bounds: the walk goes down from the tightest.
  rs_->RecordsetClearFilters(handle_);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<", "12", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<=", "9", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<", "20", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"9", "9", "7", "5", "5", "1"}));
  // Several lower bounds: up from the tightest.
  rs_->RecordsetClearFilters(handle_);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", ">", "1", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", ">=", "7", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<>", "12", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"7", "9", "9", "20"}));
}

// Conditions on the walked column alone are decided by the keys: a record
// flagged superseded while its index entry stays is still listed, because
// it is never read. A condition on another column makes the walk read each
// record, and the flagged one drops out.
TEST_F(GenerateTest, ConditionsOnTheWalkedColumnReadNoRecord) {
  for (int id : {4, 5, 6, 7}) AddPerson(id, "x", 40);
  const int64_t retired = AddPerson(6, "d", 40);
  // Flagged superseded behind the index's back: a record read would drop it.
  PokeByte(data_file_, static_cast<long>(retired + 54), 'Y');
  struct Case {
    std::vector<std::array<const char*, 3>> conditions;
    Names ids;
  };
  const Case cases[] = {
      {{{"Id", ">=", "5"}, {"Id", "<", "7"}}, {"5", "6", "6"}},
      {{{"Id", "<=", "6"}, {"Id", ">", "4"}, {"Id", "<>", "5"}}, {"6", "6"}},
      {{{"Id", "=", "6"}, {"Id", "<=", "06"}}, {"6", "6"}},
      {{{"Id", ">=", "5"}, {"Id", "<", "7"}, {"Age", "=", "40"}}, {"5", "6"}},
  };
  for (const Case& c : cases) {
    rs_->RecordsetClearFilters(handle_);
    std::string trace;
    for (const auto& [column, op, value] : c.conditions) {
      trace += std::string(column) + op + value + " ";
      ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, column, op, value, 1, 0), 1);
    }
    SCOPED_TRACE(trace);
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
    EXPECT_EQ(Rows("Id"), c.ids);
  }
}

// A numeric key column answers as the scan compares numbers: a value
// written with a leading zero, a sign or blanks, and stored values whose
// keys sort out of numeric order (negative, leading zeros, decimals).
TEST_F(GenerateTest, NumericKeyConditionsCompareAsNumbers) {
  AddPerson(1, "one", 20, "1");
  AddPerson(-5, "minus", 20, "-5");
  Add("People", {"007", "zeros", "20", "007"});
  Add("People", {"2.5", "half", "20", "2.5"});
  AddPerson(12, "twelve", 20, "12");
  struct Case {
    const char* op;
    const char* value;
    Names names;  // in key text order ("    1" < "   -5" < "   12" < "  007"),
                  // descending for < and <=
  };
  const Case cases[] = {
      {"=", "01", {"one"}},
      {"=", " +1 ", {"one"}},
      {"=", "7", {"zeros"}},
      {"<", "3", {"half", "minus", "one"}},
      {">", "4", {"twelve", "zeros"}},
      {">=", "-5", {"one", "minus", "twelve", "zeros", "half"}},
      {"<=", "-5.0", {"minus"}},
      {"<>", "2.50", {"one", "minus", "twelve", "zeros"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("Id ") + c.op + " '" + c.value + "'");
    rs_->RecordsetClearFilters(handle_);
    ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", c.op, c.value, 1, 0), 1);
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
    EXPECT_EQ(Rows("Name"), c.names);
    // The same condition on the non-key column, through the scan.
    rs_->RecordsetClearFilters(handle_);
    ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Qty", c.op, c.value, 1, 0), 1);
    ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
    Names by_scan = Rows("Name");
    Names by_index = c.names;
    std::sort(by_scan.begin(), by_scan.end());
    std::sort(by_index.begin(), by_index.end());
    EXPECT_EQ(by_index, by_scan);
  }
}

// "<>" as the only key condition gives the same records as the scan path
// would (a second condition on a non-key column forces a record check).
TEST_F(GenerateTest, NotEqualMatchesTheScanPath) {
  for (int id : {1, 2, 2, 3, 2, 4}) AddPerson(id, "n" + std::to_string(id), 40);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Id", "<>", "2", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"1", "3", "4"}));

  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Age", "=", "40", 1, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"1", "3", "4"}));
}

// When one table+column name extends another, their keys share a prefix:
// "Item"+"Id" and "ItemI"+"d" both start with "itemid", and "Kit"+"Idx"
// starts with "Kit"+"Id". Neither may leak into the other's rows.
TEST(GenerateAmbiguousKeys, KeysOfOtherColumnsWithTheSamePrefixAreNotRows) {
  ScratchFolder folder;
  DatabaseSchema schema;
  schema.tables.push_back({"Item", {{"Id", 1, 5, true}, {"Tag", 10, 4}}});
  schema.tables.push_back({"ItemI", {{"d", 1, 5, true}}});
  schema.tables.push_back({"Kit", {{"Id", 1, 5, true}, {"Idx", 1, 4, true}}});
  std::string err;
  const std::string path = folder.File("db.dat");
  ASSERT_EQ(CreateDatabaseFiles(path, schema, err), 1) << err;
  Database db(folder.File("work"));
  ASSERT_EQ(db.OpenDatabase(path.c_str(), 0), 1);
  Recordsets rs(db);
  int64_t offset = 0;
  ASSERT_EQ(db.AddNewRecord("    5one ", 9, offset, "Item", &err), 1) << err;
  ASSERT_EQ(db.AddNewRecord("    5", 5, offset, "ItemI", &err), 1) << err;
  ASSERT_EQ(db.AddNewRecord("    7", 5, offset, "ItemI", &err), 1) << err;
  ASSERT_EQ(db.AddNewRecord("    1   5", 9, offset, "Kit", &err), 1) << err;
  ASSERT_EQ(db.AddNewRecord("    2   9", 9, offset, "Kit", &err), 1) << err;

  struct Case {
    const char* table;
    const char* column;
    const char* op;
    const char* value;
    int32_t rows;
  };
  for (const Case& c : {Case{"Item", "Id", "=", "5", 1}, Case{"Item", "Id", ">", "0", 1},
                        Case{"Item", "Id", "<>", "9", 1}, Case{"ItemI", "d", ">=", "0", 2},
                        Case{"Kit", "Id", ">", "0", 2}, Case{"Kit", "Id", "<", "99999", 2},
                        Case{"Kit", "Idx", "<>", "5", 1}}) {
    SCOPED_TRACE(std::string(c.table) + "." + c.column + c.op + c.value);
    int32_t handle = 0;
    ASSERT_EQ(rs.CreateRecordset(handle), 1);
    ASSERT_EQ(rs.RecordsetAddFilterColumn(handle, c.column, c.op, c.value, 1, 0), 1);
    ASSERT_EQ(rs.RecordsetOpen(handle, c.table), 1);
    int32_t rows = -1;
    ASSERT_EQ(rs.RecordsetGetRowCount(handle, rows), 1);
    EXPECT_EQ(rows, c.rows);
    ASSERT_EQ(rs.RecordsetClose(handle), 1);
  }
}

TEST_F(GenerateTest, AFailedGenerationReportsThroughTheOpen) {
  AddPerson(1, "a");
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Nope", "=", "1", 0, 0), 1);
  EXPECT_EQ(rs_->RecordsetOpen(handle_, "People"), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetOpen: Error generating result set");
  EXPECT_EQ(rs_->RecordsetIsConnected(handle_), 0);
  EXPECT_TRUE(TempFiles().empty());
  // The conditions stay with the recordset; once cleared, the open works.
  rs_->RecordsetClearFilters(handle_);
  EXPECT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_TRUE(TempFiles().empty());
}

// Rows live in memory: an open takes no descriptor, so a client cannot
// use up the server's descriptors by opening recordsets.
TEST_F(GenerateTest, AnOpenNeedsNoDescriptor) {
  AddPerson(1, "a");
  // The lowest free descriptor numbers; a limit at the second leaves
  // exactly one descriptor, where the old resultset files took two. (The
  // sanitizers' runtime opens a pipe of its own to check memory: two more.)
#ifdef __SANITIZE_ADDRESS__
  constexpr size_t kLeft = 3;
#else
  constexpr size_t kLeft = 1;
#endif
  std::vector<int> free_numbers;
  for (int fd = 0; free_numbers.size() <= kLeft && fd < 4096; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) free_numbers.push_back(fd);
  }
  ASSERT_EQ(free_numbers.size(), kLeft + 1);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(free_numbers[kLeft]);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const int opened = rs_->RecordsetOpen(handle_, "People");
  setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(opened, 1) << RecordsetError();
  EXPECT_EQ(Rows("Name"), (Names{"a"}));
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(GenerateTest, ReopeningReplacesTheRowsAndResetsTheCounts) {
  AddPerson(1, "a");
  AddPerson(2, "b");
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  ASSERT_EQ(rs_->RecordsetFilterOn(handle_, "Name", "a"), 1);
  int32_t filtered = -1;
  ASSERT_EQ(rs_->RecordsetGetFilteredCount(handle_, filtered), 1);
  EXPECT_EQ(filtered, 1);

  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_TRUE(TempFiles().empty());
  ASSERT_EQ(rs_->RecordsetGetFilteredCount(handle_, filtered), 1);
  EXPECT_EQ(filtered, 0);
  EXPECT_EQ(Rows("Name"), (Names{"a", "b"}));

  // A reopen that fails leaves nothing behind either.
  EXPECT_EQ(rs_->RecordsetOpen(handle_, "Missing"), 0);
  EXPECT_EQ(RecordsetError(), "RecordsetOpen: Error reading the table header");
  EXPECT_TRUE(TempFiles().empty());

  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  ASSERT_EQ(rs_->RecordsetClose(handle_), 1);
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(GenerateTest, RowsCarryTheGenerationDefaults) {
  const int64_t offset = AddPerson(1, "a");
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  const Recordset& recordset = *rs_->Find(handle_);
  ASSERT_EQ(recordset.row_count, 1);
  const Row& row = recordset.row(1);
  EXPECT_EQ(row.record_offset, offset);
  EXPECT_EQ(row.image, -1);
  EXPECT_EQ(row.flags, Row::kPassesFilter);  // not deleted, new, selected or locked
  EXPECT_EQ(recordset.record_length, 22);
  EXPECT_EQ(recordset.definition_offset, 8906 + 12441);
}

// Scan walks must end on a damaged chain instead of going round forever.
TEST_F(GenerateTest, AChainLinkThatPointsForwardEndsTheScan) {
  const int64_t first = AddPerson(1, "a");
  AddPerson(2, "b");
  // Make the oldest record claim the newest as its predecessor.
  const std::string forward = std::to_string(first + 200);
  for (size_t i = 0; i < 11; ++i) {
    PokeByte(data_file_, static_cast<long>(first + 43 + static_cast<int64_t>(i)),
             i < forward.size() ? forward[i] : '\0');
  }
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Name"), (Names{"a", "b"}));
}

// Damage met on the chain: a record whose length cannot be right is passed
// over (its link still leads on); a header without the record marker is no
// record, and the walk ends there.
TEST_F(GenerateTest, DamagedRecordsOnTheChain) {
  const int64_t first = AddPerson(1, "a");
  const int64_t second = AddPerson(2, "b");
  AddPerson(3, "c");
  const std::string huge = "99999999";
  for (size_t i = 0; i < huge.size(); ++i) {
    PokeByte(data_file_, static_cast<long>(second + 78 + static_cast<int64_t>(i)), huge[i]);
  }
  ASSERT_EQ(db_->DropCaches(), 1);  // the file was changed behind the database's back
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Name"), (Names{"a", "c"}));

  PokeByte(data_file_, static_cast<long>(first + 1), 'X');
  ASSERT_EQ(db_->DropCaches(), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(RowCount(), 1);
}

// Records shorter or longer than the table's record length (22 bytes) are
// read whole, also the short one at the very end of the file.
TEST_F(GenerateTest, ScanReadsRecordsOfAnyLength) {
  const std::string long_record = PadRight("    1Long", 22) + std::string(3000, 'z');
  const std::string short_record = "    2Short";
  std::string err;
  int64_t offset = 0;
  AddPerson(3, "Plain", 40);
  ASSERT_EQ(db_->AddNewRecord(long_record, static_cast<int32_t>(long_record.size()), offset,
                              "People", &err),
            1);
  ASSERT_EQ(db_->AddNewRecord(short_record, static_cast<int32_t>(short_record.size()), offset,
                              "People", &err),
            1);
  ASSERT_EQ(rs_->RecordsetAddFilterColumn(handle_, "Name", ">", "A", 0, 0), 1);
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  EXPECT_EQ(Rows("Id"), (Names{"3", "1", "2"}));
}

TEST_F(GenerateTest, LargeScanSpillsOffsetsAndKeepsTheOrder) {
  // More records than the in-memory chunk of the chain walk holds.
  constexpr int kRecords = 20000;
  for (int i = 0; i < kRecords; ++i) AddPerson(i, "n");
  ASSERT_EQ(rs_->RecordsetOpen(handle_, "People"), 1);
  ASSERT_EQ(RowCount(), kRecords);
  int32_t bookmark = 0;
  ASSERT_EQ(rs_->RecordsetMoveLast(handle_), 1);
  int64_t offset = -1;
  ASSERT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
  EXPECT_EQ(Field("People", offset, "Id"), std::to_string(kRecords - 1));
  ASSERT_EQ(rs_->RecordsetSetBookmark(handle_, 16385), 1);
  ASSERT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
  EXPECT_EQ(Field("People", offset, "Id"), "16384");
  ASSERT_EQ(rs_->RecordsetGetBookmark(handle_, bookmark), 1);
  EXPECT_EQ(bookmark, 16385);
  EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace zt::testing

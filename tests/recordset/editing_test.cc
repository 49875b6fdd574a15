// Row editing through recordsets: field values, new rows, updates and
// deletes, and what they leave in the data file, the definitions and the
// index. Every scenario that stores something ends with the offline check.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/index_check.h"
#include "engine/record.h"
#include "recordset/recordsets.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "ztadmin/check.h"

namespace zt {
namespace {

using testing::ScratchFolder;

// Orders: Id integer 6 key, Customer text 20 key, Qty integer 5, Note text 30.
class EditingTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = folder_.File("shop.dat");
    testing::CreateDatabase(path_, testing::SmallShopSchema());
    ASSERT_TRUE(db_.OpenDatabase(path_.c_str(), GetParam()));
  }

  int32_t Open(const char* table = "Orders") {
    int32_t h = 0;
    EXPECT_TRUE(rs_.CreateRecordset(h));
    EXPECT_TRUE(rs_.RecordsetOpen(h, table)) << Error(h);
    return h;
  }

  std::string Error(int32_t h) {
    std::string text;
    rs_.RecordsetGetLastErrorText(h, &text);
    return text;
  }

  std::string Get(int32_t h, const char* column) {
    std::string value = "<unset>";
    EXPECT_TRUE(rs_.RecordsetGetFieldValue(h, column, &value)) << Error(h);
    return value;
  }

  void Set(int32_t h, const char* column, const std::string& value) {
    EXPECT_TRUE(rs_.RecordsetSetFieldValue(ctx_, h, column, value.c_str())) << Error(h);
  }

  // Adds and stores one order through recordset h.
  void AddOrder(int32_t h, const std::string& id, const std::string& customer,
                const std::string& qty = "1") {
    ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h)) << Error(h);
    Set(h, "Id", id);
    Set(h, "Customer", customer);
    Set(h, "Qty", qty);
    ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  }

  // The Ids of the active rows of a fresh recordset on Orders, in order.
  std::vector<std::string> Ids(const char* filter_column = nullptr, const char* value = nullptr) {
    int32_t h = 0;
    EXPECT_TRUE(rs_.CreateRecordset(h));
    if (filter_column != nullptr) {
      EXPECT_TRUE(rs_.RecordsetAddFilterColumn(h, filter_column, "=", value, 0, 0));
    }
    std::vector<std::string> ids;
    if (rs_.RecordsetOpen(h, "Orders") && rs_.RecordsetMoveFirst(h)) {
      do {
        ids.push_back(Get(h, "Id"));
      } while (rs_.RecordsetMoveNext(h));
    }
    rs_.RecordsetClose(h);
    return ids;
  }

  TableDefinition Orders() {
    TableDefinition definition;
    int64_t offset = 0;
    EXPECT_TRUE(db_.GetTableDef("Orders", definition, offset));
    return definition;
  }

  RecordHeader HeaderAt(int64_t offset) {
    RecordHeader header;
    EXPECT_TRUE(FileReadAt(db_.data_file(), header.bytes.data(), header.bytes.size(), offset));
    return header;
  }

  int64_t CurrentOffset(int32_t h) {
    int64_t offset = -2;
    EXPECT_TRUE(rs_.RecordsetGetCurrentRowOffset(h, offset)) << Error(h);
    return offset;
  }

  void ExpectConsistent() {
    CheckReport report;
    CheckDatabase(db_, report);
    std::string all;
    for (const std::string& p : report.problems) all += p + "\n";
    EXPECT_TRUE(report.problems.empty()) << all;
  }

  ScratchFolder folder_;
  std::string path_;
  Database db_{folder_.File("work")};
  Recordsets rs_{db_};
  TransactionContext ctx_;
};

INSTANTIATE_TEST_SUITE_P(ExclusiveAndShared, EditingTest, ::testing::Values(0, 1));

TEST_P(EditingTest, NewRowReadsEmptyThenStoresAndIndexesItsValues) {
  const int32_t h = Open();
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  EXPECT_EQ(CurrentOffset(h), -1);
  EXPECT_EQ(Get(h, "Customer"), "");
  EXPECT_EQ(Get(h, "note"), "");  // names without regard to case

  Set(h, "Id", "7");
  Set(h, "Customer", "  acme  ");
  Set(h, "Note", "a note that is far longer than thirty characters");
  EXPECT_EQ(Get(h, "Id"), "7");
  EXPECT_EQ(Get(h, "Customer"), "acme");
  EXPECT_EQ(Get(h, "Note"), "a note that is far longer than");  // cut to 30
  EXPECT_EQ(Get(h, "Qty"), "");

  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  const int64_t offset = CurrentOffset(h);
  EXPECT_GE(offset, 0);
  EXPECT_EQ(Orders().newest_record(), offset);
  EXPECT_EQ(Get(h, "Customer"), "acme");  // now read from the stored record
  EXPECT_EQ(Ids("Id", "7"), std::vector<std::string>{"7"});
  EXPECT_EQ(Ids("Customer", "ACME"), std::vector<std::string>{"7"});
  ExpectConsistent();
}

TEST_P(EditingTest, PendingEditIsSeenOnlyByItsOwnRecordsetUntilUpdate) {
  const int32_t a = Open();
  AddOrder(a, "1", "acme", "5");
  const int32_t b = Open();
  ASSERT_TRUE(rs_.RecordsetMoveFirst(a));
  Set(a, "Qty", "99");
  EXPECT_EQ(Get(a, "Qty"), "99");
  EXPECT_EQ(Get(b, "Qty"), "5");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, a));
  EXPECT_EQ(Get(b, "Qty"), "99");  // rewritten in place: same offset
  EXPECT_EQ(HeaderAt(CurrentOffset(a)).change_counter(), 1);
  ExpectConsistent();
}

TEST_P(EditingTest, ChangingAKeyReplacesItsIndexEntry) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  AddOrder(h, "2", "bolt");
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  Set(h, "Customer", "zenith");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_TRUE(Ids("Customer", "acme").empty());
  EXPECT_EQ(Ids("Customer", "zenith"), std::vector<std::string>{"1"});
  EXPECT_EQ(Ids("Customer", "bolt"), std::vector<std::string>{"2"});
  ExpectConsistent();
}

TEST_P(EditingTest, UpdatesThatKeepAKeyLeaveItsIndexEntryAlone) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  for (int i = 0; i < 30; ++i) {
    Set(h, "Qty", std::to_string(i));
    ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  }
  Set(h, "Customer", "bolt");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  // One entry per key ever stored, live or dead: the unchanged Id key was
  // never removed and re-added, the changed Customer key was replaced once.
  IndexCheckResult index;
  ASSERT_TRUE(CheckIndex(db_.index().handle(), index));
  std::vector<std::pair<std::string, bool>> entries;
  for (const IndexCheckEntry& e : index.entries) entries.emplace_back(e.key, e.dead);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"OrdersCustomeracme" + std::string(16, ' '), true},
      {"OrdersCustomerbolt" + std::string(16, ' '), false},
      {"OrdersId     1", false},
  };
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(Ids("Customer", "bolt"), std::vector<std::string>{"1"});
  ExpectConsistent();
}

TEST_P(EditingTest, GrowingARecordRelocatesItAndTheRowFollows) {
  // A record written when the table was narrower: only Id and Customer.
  std::string short_data = PadLeft("3", 6) + PadRight("acme", 20);
  int64_t stored = -1;
  std::string err;
  ASSERT_TRUE(
      db_.AddNewRecord(short_data, static_cast<int32_t>(short_data.size()), stored, "Orders", &err))
      << err;
  const int32_t h = Open();
  EXPECT_EQ(Get(h, "Note"), "");  // past the stored data: empty
  Set(h, "Note", "now it has a note");
  Set(h, "Customer", "bolt");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);

  const int64_t moved = CurrentOffset(h);
  EXPECT_GT(moved, stored);
  EXPECT_TRUE(HeaderAt(stored).superseded());
  EXPECT_EQ(HeaderAt(moved).previous(), stored);
  EXPECT_EQ(Orders().newest_record(), moved);
  EXPECT_EQ(Get(h, "Note"), "now it has a note");
  EXPECT_EQ(Get(h, "Customer"), "bolt");
  EXPECT_EQ(Ids(), std::vector<std::string>{"3"});
  EXPECT_EQ(Ids("Customer", "bolt"), std::vector<std::string>{"3"});
  ExpectConsistent();

  // A second edit goes to the new copy through the same row.
  Set(h, "Qty", "4");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_EQ(CurrentOffset(h), moved);
  ExpectConsistent();
}

TEST_P(EditingTest, DeletingMovesToTheNextRowOrTheLastToThePrevious) {
  const int32_t h = Open();
  for (const char* id : {"1", "2", "3"}) AddOrder(h, id, "c" + std::string(id));
  rs_.RecordsetClose(h);
  const int32_t r = Open();
  ASSERT_TRUE(rs_.RecordsetSetBookmark(r, 2));
  int moved = -1;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, r, moved)) << Error(r);
  EXPECT_EQ(moved, 1);
  EXPECT_EQ(Get(r, "Id"), "3");
  moved = -1;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, r, moved)) << Error(r);
  EXPECT_EQ(moved, 0);
  EXPECT_EQ(Get(r, "Id"), "1");
  EXPECT_EQ(Ids().size(), 3u);  // nothing stored yet
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, r)) << Error(r);
  EXPECT_EQ(Ids(), std::vector<std::string>{"1"});
  // The rows retired by that update have nothing left to delete.
  EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, r)) << Error(r);
  ExpectConsistent();
}

TEST_P(EditingTest, DeletingTheNewestRecordMovesTheChainHead) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  const int64_t first = Orders().newest_record();
  AddOrder(h, "2", "bolt");
  const int64_t second = Orders().newest_record();
  ASSERT_NE(first, second);

  // A middle record only gets its flag.
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  int moved = 0;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, h, moved));
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h));
  EXPECT_EQ(Orders().newest_record(), second);
  EXPECT_TRUE(HeaderAt(first).superseded());
  EXPECT_EQ(HeaderAt(first).change_counter(), 1);

  // The newest hands the head back to its predecessor.
  ASSERT_TRUE(rs_.RecordsetMoveLast(h));
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, h, moved));
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h));
  EXPECT_EQ(Orders().newest_record(), first);
  EXPECT_TRUE(Ids().empty());
  ExpectConsistent();
  AddOrder(h, "3", "cog");
  EXPECT_EQ(HeaderAt(Orders().newest_record()).previous(), first);
  EXPECT_EQ(Ids(), std::vector<std::string>{"3"});
  ExpectConsistent();
}

TEST_P(EditingTest, DeleteAllMarksStoredAndNewRowsAlike) {
  const int32_t h = Open();
  EXPECT_TRUE(rs_.RecordsetDeleteAll(ctx_, h));
  EXPECT_EQ(Error(h), "RecordsetDeleteAll: Recordset contains zero records!");

  AddOrder(h, "1", "acme");
  AddOrder(h, "2", "bolt");
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));  // never stored
  Set(h, "Id", "3");
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));  // never stored, no image
  EXPECT_TRUE(rs_.RecordsetDeleteAll(ctx_, h)) << Error(h);
  int32_t bookmark = 0;
  ASSERT_TRUE(rs_.RecordsetGetBookmark(h, bookmark));
  EXPECT_EQ(bookmark, 4);                   // the current row stays
  EXPECT_FALSE(rs_.RecordsetMoveFirst(h));  // every row is marked
  EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_TRUE(Ids().empty());
  ExpectConsistent();
}

TEST_P(EditingTest, DeletedNewRowIsNeverStored) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  Set(h, "Id", "2");
  Set(h, "Customer", "bolt");
  int moved = -1;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, h, moved));
  EXPECT_EQ(moved, -1);  // a new row stays current
  EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_EQ(Ids(), std::vector<std::string>{"1"});
  ExpectConsistent();
}

TEST_P(EditingTest, BlankKeyIsRefusedAndNothingIsWritten) {
  const int32_t h = Open();
  const int64_t before = FileLength(db_.data_file());
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  Set(h, "Id", "5");
  Set(h, "Qty", "2");
  EXPECT_FALSE(rs_.RecordsetUpdate(ctx_, h));
  EXPECT_EQ(Error(h), "RecordsetAreAllKeysPopulated: Customer cannot be NULL");
  EXPECT_EQ(FileLength(db_.data_file()), before);
  // The edit stays pending; once complete it is stored.
  Set(h, "Customer", "acme");
  EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_EQ(Ids(), std::vector<std::string>{"5"});
  ExpectConsistent();
}

TEST_P(EditingTest, RowOvertakenByAnotherRecordsetIsRefused) {
  const int32_t a = Open();
  AddOrder(a, "1", "acme");
  const int32_t b = Open();
  ASSERT_TRUE(rs_.RecordsetMoveFirst(a));
  int moved = 0;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, a, moved));
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, a));
  // b still has the row: its edit must not revive or index a dead record.
  Set(b, "Customer", "bolt");
  EXPECT_FALSE(rs_.RecordsetUpdate(ctx_, b));
  EXPECT_EQ(Error(b), "UpdateRecord: The record was changed or deleted by another recordset");
  EXPECT_TRUE(Ids("Customer", "bolt").empty());
  ExpectConsistent();
}

// Two recordsets both begin a change of one stored row before either is
// stored. The first to update wins; the second is refused, whatever each
// change is, and leaves the first one's change in place.
TEST_P(EditingTest, SecondChangeOfARowIsRefusedAndTheFirstStays) {
  enum Change { kEdit, kDelete, kDeleteAll };
  constexpr char kUpdateRefused[] =
      "UpdateRecord: The record was changed or deleted by another recordset";
  constexpr char kDeleteRefused[] =
      "DeleteRecord: The record was changed or deleted by another recordset";
  struct Case {
    Change first;
    Change second;
    bool second_sorts;  // row numbers move between the change and the update
    const char* refusal;
  } cases[] = {
      {kEdit, kEdit, false, kUpdateRefused},   {kEdit, kEdit, true, kUpdateRefused},
      {kEdit, kDelete, false, kDeleteRefused}, {kEdit, kDeleteAll, true, kDeleteRefused},
      {kDelete, kEdit, false, kUpdateRefused}, {kDelete, kDelete, false, kDeleteRefused},
  };
  int id = 0;
  for (const Case& c : cases) {
    const std::string key = std::to_string(++id);
    SCOPED_TRACE("case " + key);
    AddOrder(Open(), key, "acme", "1");
    int32_t handles[2] = {};
    for (int32_t& h : handles) {
      ASSERT_TRUE(rs_.CreateRecordset(h));
      ASSERT_TRUE(rs_.RecordsetAddFilterColumn(h, "Id", "=", key.c_str(), 0, 0));
      ASSERT_TRUE(rs_.RecordsetOpen(h, "Orders")) << Error(h);
    }
    const auto [a, b] = handles;
    auto begin = [&](int32_t h, Change change, const char* qty) {
      int moved = 0;
      switch (change) {
        case kEdit:
          Set(h, "Qty", qty);
          break;
        case kDelete:
          EXPECT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, h, moved)) << Error(h);
          break;
        case kDeleteAll:
          EXPECT_TRUE(rs_.RecordsetDeleteAll(ctx_, h)) << Error(h);
          break;
      }
    };
    begin(a, c.first, "2");
    begin(b, c.second, "3");
    if (c.second_sorts) {
      ASSERT_TRUE(rs_.RecordsetSort(b, "Customer", 0)) << Error(b);
    }
    auto update_b = [&] {
      // A delete that cannot be done does not fail the update (nor does one
      // of a row never stored); the error text tells why.
      EXPECT_EQ(rs_.RecordsetUpdate(ctx_, b), c.second == kEdit ? 0 : 1);
      EXPECT_EQ(Error(b), c.refusal);
    };
    // The stored Qty of the row, as a fresh recordset reads it.
    auto stored_qty = [&] {
      int32_t h = 0;
      EXPECT_TRUE(rs_.CreateRecordset(h));
      EXPECT_TRUE(rs_.RecordsetAddFilterColumn(h, "Id", "=", key.c_str(), 0, 0));
      std::string qty = "<deleted>";
      if (rs_.RecordsetOpen(h, "Orders") && rs_.RecordsetMoveFirst(h)) qty = Get(h, "Qty");
      rs_.RecordsetClose(h);
      return qty;
    };
    ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, a)) << Error(a);
    update_b();
    if (c.first == kEdit) {
      EXPECT_EQ(stored_qty(), "2");
      // The winner follows its own write: its next change is stored too.
      Set(a, "Qty", "4");
      EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, a)) << Error(a);
      // The stale change stays pending and is refused again.
      update_b();
      EXPECT_EQ(stored_qty(), "4");
    } else {
      EXPECT_EQ(stored_qty(), "<deleted>");
    }
    ExpectConsistent();
  }
}

// The change counter counts modulo 2^31: at 2147483647 the next update or
// delete stores 0, and the versions on either side of the wrap still differ.
TEST_P(EditingTest, ChangeCounterWrapsAtItsLimitAndStaysAVersion) {
  const int32_t a = Open();
  AddOrder(a, "1", "acme");
  const int64_t offset = CurrentOffset(a);
  auto set_counter = [&](int32_t n) {
    RecordHeader header;
    std::string data;
    int32_t length = 0;
    std::string err;
    ASSERT_TRUE(db_.ReadDatabaseRecord("Orders", header, data, offset, Orders().record_length(),
                                       length, &err))
        << err;
    header.set_change_counter(n);
    int64_t at = offset;
    int32_t written = length;
    ASSERT_TRUE(db_.WriteDatabaseRecord(header, data, at, length, written, &err)) << err;
  };
  constexpr int32_t kLimit = 2147483647;
  set_counter(kLimit);
  const int32_t b = Open();
  Set(a, "Qty", "2");
  Set(b, "Qty", "3");  // read at the limit, like a's
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, a)) << Error(a);
  EXPECT_EQ(HeaderAt(offset).change_counter(), 0);
  EXPECT_FALSE(rs_.RecordsetUpdate(ctx_, b));
  EXPECT_EQ(Error(b), "UpdateRecord: The record was changed or deleted by another recordset");
  Set(a, "Qty", "4");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, a)) << Error(a);
  EXPECT_EQ(HeaderAt(offset).change_counter(), 1);

  set_counter(kLimit);
  int moved = 0;
  const int32_t c = Open();
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, c, moved));
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, c)) << Error(c);
  EXPECT_EQ(HeaderAt(offset).change_counter(), 0);
  EXPECT_TRUE(HeaderAt(offset).superseded());
  EXPECT_TRUE(Ids().empty());
  ExpectConsistent();
}

TEST_P(EditingTest, FilterOnBookkeeping) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  AddOrder(h, "2", "acme");
  AddOrder(h, "3", "bolt");
  ASSERT_TRUE(rs_.RecordsetFilterOn(h, "Customer", "acme"));
  int32_t count = 0;
  ASSERT_TRUE(rs_.RecordsetGetFilteredCount(h, count));
  ASSERT_EQ(count, 2);
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  Set(h, "Qty", "9");          // another column: still passes
  Set(h, "Customer", "ACME");  // the same value in another case: passes
  ASSERT_TRUE(rs_.RecordsetGetFilteredCount(h, count));
  EXPECT_EQ(count, 2);
  Set(h, "Customer", "cog");
  ASSERT_TRUE(rs_.RecordsetGetFilteredCount(h, count));
  EXPECT_EQ(count, 1);
  Set(h, "Customer", "acme");  // never regains the filter here
  ASSERT_TRUE(rs_.RecordsetGetFilteredCount(h, count));
  EXPECT_EQ(count, 1);
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  EXPECT_EQ(Get(h, "Id"), "2");

  // A new row under a filter is hidden from navigation but current.
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  EXPECT_EQ(CurrentOffset(h), -1);
  ASSERT_TRUE(rs_.RecordsetMoveFirst(h));
  EXPECT_EQ(Get(h, "Id"), "2");
  ASSERT_TRUE(rs_.RecordsetFilterOn(h, "Customer", ""));
  ASSERT_TRUE(rs_.RecordsetMoveLast(h));
  EXPECT_EQ(CurrentOffset(h), -1);

  // Deleting a hidden new row leaves it current, as for any new row.
  ASSERT_TRUE(rs_.RecordsetFilterOn(h, "Customer", "acme"));
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  int32_t added = 0;
  ASSERT_TRUE(rs_.RecordsetGetBookmark(h, added));
  int moved = -1;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, h, moved));
  EXPECT_EQ(moved, -1);
  int32_t bookmark = 0;
  ASSERT_TRUE(rs_.RecordsetGetBookmark(h, bookmark));
  EXPECT_EQ(bookmark, added);
}

// A find scans in the order of the last sort; a change to the sort
// column's values (or a new row) makes it sort again first.
TEST_P(EditingTest, ChangingTheSortColumnForgetsTheOrder) {
  const int32_t h = Open();
  AddOrder(h, "1", "x3");
  AddOrder(h, "2", "x2");
  AddOrder(h, "3", "x4");
  ASSERT_TRUE(rs_.RecordsetSort(h, "Customer", 1)) << Error(h);
  ASSERT_TRUE(rs_.RecordsetMoveLast(h));
  ASSERT_EQ(Get(h, "Customer"), "x4");
  Set(h, "Qty", "5");  // another column keeps the order
  ASSERT_TRUE(rs_.RecordsetFindRow(h, "Customer", "x")) << Error(h);
  EXPECT_EQ(Get(h, "Customer"), "x2");
  ASSERT_TRUE(rs_.RecordsetMoveLast(h));
  Set(h, "Customer", "x1");
  ASSERT_TRUE(rs_.RecordsetFindRow(h, "Customer", "x")) << Error(h);
  EXPECT_EQ(Get(h, "Customer"), "x1");
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  Set(h, "Id", "4");
  Set(h, "Customer", "x0");
  ASSERT_TRUE(rs_.RecordsetFindRow(h, "Customer", "x")) << Error(h);
  EXPECT_EQ(Get(h, "Customer"), "x0");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  ExpectConsistent();
}

TEST_P(EditingTest, WideColumnValuesAreWholeEverywhere) {
  ScratchFolder folder;
  DatabaseSchema schema;
  schema.tables.push_back(
      TableSchema{"Docs", {{"Id", 1, 4, true, false}, {"Body", 0, 1000, false, false}}});
  const std::string path = folder.File("docs.dat");
  testing::CreateDatabase(path, schema);
  Database db(folder.File("work"));
  ASSERT_TRUE(db.OpenDatabase(path.c_str(), GetParam()));
  Recordsets rs(db);
  int32_t h = 0;
  ASSERT_TRUE(rs.CreateRecordset(h));
  ASSERT_TRUE(rs.RecordsetOpen(h, "Docs"));
  ASSERT_TRUE(rs.RecordsetAddRow(ctx_, h));
  std::string body;
  for (int i = 0; body.size() < 900; ++i) body += "word" + std::to_string(i) + " ";
  body = std::string(TrimBlanks(body));
  ASSERT_TRUE(rs.RecordsetSetFieldValue(ctx_, h, "Id", "1"));
  ASSERT_TRUE(rs.RecordsetSetFieldValue(ctx_, h, "Body", body.c_str()));
  std::string value;
  ASSERT_TRUE(rs.RecordsetGetFieldValue(h, "Body", &value));
  EXPECT_EQ(value, body);
  ASSERT_TRUE(rs.RecordsetUpdate(ctx_, h));
  ASSERT_TRUE(rs.RecordsetGetFieldValue(h, "Body", &value));
  EXPECT_EQ(value, body);
  // Longer than the column: cut at 1000 characters.
  const std::string huge(5000, 'x');
  ASSERT_TRUE(rs.RecordsetSetFieldValue(ctx_, h, "Body", huge.c_str()));
  ASSERT_TRUE(rs.RecordsetGetFieldValue(h, "Body", &value));
  EXPECT_EQ(value, std::string(1000, 'x'));
}

TEST_P(EditingTest, FailureMessages) {
  int32_t closed = 0;
  ASSERT_TRUE(rs_.CreateRecordset(closed));
  const int32_t h = Open();
  std::string value;
  int moved = 0;
  struct Case {
    const char* what;
    std::function<int()> call;
    int32_t handle;
    const char* message;
  } cases[] = {
      {"add row, not open", [&] { return rs_.RecordsetAddRow(ctx_, closed); }, closed,
       "RecordsetAddRow: Recordset not open"},
      {"set, not open", [&] { return rs_.RecordsetSetFieldValue(ctx_, closed, "Id", "1"); }, closed,
       "RecordsetSetFieldValue: Recordset not open"},
      {"get, not open", [&] { return rs_.RecordsetGetFieldValue(closed, "Id", &value); }, closed,
       "RecordsetGetFieldValue: Recordset not open"},
      {"update, not open", [&] { return rs_.RecordsetUpdate(ctx_, closed); }, closed,
       "RecordsetUpdate: Recordset not open"},
      {"delete, not open", [&] { return rs_.RecordsetDeleteCurrentRow(ctx_, closed, moved); },
       closed, "RecordsetDeleteCurrentRow: Recordset not open"},
      {"delete all, not open", [&] { return rs_.RecordsetDeleteAll(ctx_, closed); }, closed,
       "RecordsetDeleteAll: Recordset not open"},
      {"set, no current row", [&] { return rs_.RecordsetSetFieldValue(ctx_, h, "Id", "1"); }, h,
       "RecordsetSetFieldValue: Current record not set!"},
      {"get, no current row", [&] { return rs_.RecordsetGetFieldValue(h, "Id", &value); }, h,
       "RecordsetGetFieldValue: Current record not set!"},
      {"delete, no current row", [&] { return rs_.RecordsetDeleteCurrentRow(ctx_, h, moved); }, h,
       "RecordsetDeleteCurrentRow: Current record not set!"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), 0) << c.what;
    EXPECT_EQ(Error(c.handle), c.message) << c.what;
  }

  // Unknown handles fail without a message anywhere.
  EXPECT_FALSE(rs_.RecordsetAddRow(ctx_, 99));
  EXPECT_FALSE(rs_.RecordsetGetFieldValue(99, "Id", &value));
  EXPECT_FALSE(rs_.RecordsetDeleteAll(ctx_, 99));
  EXPECT_FALSE(rs_.RecordsetGetFieldValue(h, nullptr, &value));
  EXPECT_FALSE(rs_.RecordsetGetFieldValue(h, "Id", nullptr));

  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  struct ColumnCase {
    const char* column;
    const char* set_message;
    const char* get_message;
  } columns[] = {
      {"Nope", "RecordsetSetFieldValue: Invalid column name: Nope",
       "RecordsetGetFieldValue: Invalid column name: Nope"},
      {"  Nope  ", "RecordsetSetFieldValue: Invalid column name: Nope",
       "RecordsetGetFieldValue: Invalid column name: Nope"},
  };
  for (const ColumnCase& c : columns) {
    EXPECT_FALSE(rs_.RecordsetSetFieldValue(ctx_, h, c.column, "x"));
    EXPECT_EQ(Error(h), c.set_message);
    EXPECT_FALSE(rs_.RecordsetGetFieldValue(h, c.column, &value));
    EXPECT_EQ(Error(h), c.get_message);
  }
  const int32_t customers = Open("Customers");
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, customers));
  EXPECT_FALSE(rs_.RecordsetSetFieldValue(ctx_, customers, "Old", "x"));
  EXPECT_EQ(Error(customers),
            "RecordsetSetFieldValue: Specified column is no longer accessible - it has been "
            "dropped from the table");
  EXPECT_FALSE(rs_.RecordsetGetFieldValue(customers, "old", &value));
  EXPECT_EQ(Error(customers), "RecordsetGetFieldValue: Invalid column name: old");

  db_.CloseDatabase();
  EXPECT_FALSE(rs_.RecordsetAddRow(ctx_, h));  // closed: the recordsets are gone
}

// UpdateRecord and DeleteRecord refuse what they cannot store, with a text.
TEST_P(EditingTest, RecordOperationRefusals) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  const int64_t stored = Orders().newest_record();
  const int32_t length = Orders().record_length();

  const std::string data(static_cast<size_t>(length), ' ');
  std::string err;
  int64_t offset = stored;
  int64_t unstored = -1;
  struct Case {
    std::function<int()> call;
    const char* message;
  } cases[] = {
      {[&] { return db_.UpdateRecord(data, length, offset, nullptr, &err); },
       "UpdateRecord: Invalid table name!"},
      {[&] { return db_.UpdateRecord(std::string_view(), length, offset, "Orders", &err); },
       "UpdateRecord: Cannot update a record with a NULL!"},
      {[&] { return db_.UpdateRecord(data, length, unstored, "Orders", &err); },
       "UpdateRecord: Current record not set"},
      {[&] { return db_.UpdateRecord(data, length + 1, offset, "Orders", &err); },
       "UpdateRecord: Invalid record length"},
      {[&] { return db_.UpdateRecord(data, length, offset, "Orders", &err); },
       "RecordsetAreAllKeysPopulated: Id cannot be NULL"},
      {[&] { return db_.DeleteRecord("Orders", -1, &err); },
       "DeleteRecord: Current record not set"},
  };
  for (const Case& c : cases) {
    err.clear();
    EXPECT_EQ(c.call(), 0) << c.message;
    EXPECT_EQ(err, c.message);
  }
  EXPECT_EQ(offset, stored);
  EXPECT_EQ(db_.DeleteRecord(nullptr, stored, &err), 0);
  EXPECT_EQ(db_.DeleteRecord("Orders", stored, nullptr), 0);
  ExpectConsistent();
}

}  // namespace
}  // namespace zt

namespace zt {
namespace {

// In shared mode an edited or delete-marked row holds the lock on its
// record's header region until the row is stored or its recordset closes.
// The region locks conflict between two opens of the data file, so a second
// open stands in for another process.
class SharedRowLockTest : public EditingTest {
 protected:
  bool HeaderRegionIsFree(int64_t offset) {
    File other;
    EXPECT_TRUE(other.Open(path_, 1));
    const bool free = FileLockRegion(other.handle(), offset, RecordHeader::kSize) != 0;
    if (free) FileUnlockRegion(other.handle(), offset, RecordHeader::kSize);
    other.Close();
    return free;
  }
};

INSTANTIATE_TEST_SUITE_P(Shared, SharedRowLockTest, ::testing::Values(1));

TEST_P(SharedRowLockTest, EditAndDeleteHoldTheRecordLockUntilStored) {
  const int32_t h = Open();
  AddOrder(h, "1", "acme");
  AddOrder(h, "2", "bolt");
  rs_.RecordsetClose(h);
  const int32_t r = Open();
  const int64_t first = CurrentOffset(r);
  EXPECT_TRUE(HeaderRegionIsFree(first));
  Set(r, "Qty", "3");
  EXPECT_FALSE(HeaderRegionIsFree(first));
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, r));
  EXPECT_TRUE(HeaderRegionIsFree(first));

  ASSERT_TRUE(rs_.RecordsetMoveLast(r));
  const int64_t second = CurrentOffset(r);
  int moved = 0;
  ASSERT_TRUE(rs_.RecordsetDeleteCurrentRow(ctx_, r, moved));
  EXPECT_FALSE(HeaderRegionIsFree(second));
  rs_.RecordsetClose(r);  // closing releases what is still held
  EXPECT_TRUE(HeaderRegionIsFree(second));

  // A record locked elsewhere cannot be edited.
  const int32_t s = Open();
  File other;
  ASSERT_TRUE(other.Open(path_, 1));
  ASSERT_TRUE(FileLockRegion(other.handle(), first, RecordHeader::kSize));
  EXPECT_FALSE(rs_.RecordsetSetFieldValue(ctx_, s, "Qty", "4"));
  EXPECT_EQ(Error(s), "RecordsetSetFieldValue: Unable to lock requested record");
  EXPECT_FALSE(rs_.RecordsetDeleteCurrentRow(ctx_, s, moved));
  EXPECT_EQ(Error(s), "RecordsetDeleteCurrentRow: Unable to lock requested record");
  other.Close();
  Set(s, "Qty", "4");
  ASSERT_TRUE(rs_.RecordsetUpdate(ctx_, s));
  EXPECT_EQ(Get(s, "Qty"), "4");
  ExpectConsistent();
}

// Another process holding the index root keeps every update out.
TEST_P(SharedRowLockTest, UpdateNeedsTheIndexLock) {
  const int32_t h = Open();
  ASSERT_TRUE(rs_.RecordsetAddRow(ctx_, h));
  Set(h, "Id", "1");
  Set(h, "Customer", "acme");
  File other;
  ASSERT_TRUE(other.Open(folder_.File("shop.zix"), 1));
  ASSERT_TRUE(FileLockRegion(other.handle(), 0, 2720));
  EXPECT_FALSE(rs_.RecordsetUpdate(ctx_, h));
  EXPECT_EQ(Error(h), "RecordsetUpdate: Error locking index pages for update.");
  other.Close();
  EXPECT_TRUE(rs_.RecordsetUpdate(ctx_, h)) << Error(h);
  EXPECT_EQ(Ids(), std::vector<std::string>{"1"});
  ExpectConsistent();
}

}  // namespace
}  // namespace zt

// The index path and the scan path of resultset generation must agree: a
// condition on a numeric key column yields exactly the records the same
// condition yields on a non-key numeric column holding the same text, which
// the scan path decides record by record. The stored values and the
// conditions' values are drawn from texts whose index keys do not sort in
// numeric order (signs, leading zeros, decimals, blanks, non-numbers).
#include <algorithm>
#include <random>
#include <set>

#include "engine/index_key.h"
#include "recordset_fixture.h"

namespace zt::testing {
namespace {

// Values whose keys sort out of numeric order, or that are no numbers at
// all (and so count as 0), beside plain ones.
const std::vector<std::string> kAwkward = {"1",   "01", "001", "-5",  "+7",  "3.5",  " 4",
                                           "0",   "-0", "10",  "100", "1e2", "abc",  "2",
                                           "-10", ".5", "5.",  "+0",  "7",   "99999"};
const std::vector<std::string> kPlain = {"0", "1", "2", "7", "10", "100", "99999", "5", "12"};
// Condition values: the same kinds, and blanks around some.
const std::vector<std::string> kLookups = {
    "1",  "01",    " 01 ", "001",     "-5",  "  -5", "+7",   "3.5", "3.50", "4",
    " 4", "0",     "-0",   "10",      "100", "0100", "+100", "1e2", "abc",  "2.0",
    "-1", "99999", "-10",  "1000000", ".5",  "5.",   "6",    "12",  "100.5"};
const char* const kOperators[] = {"=", ">", ">=", "<", "<=", "<>"};

class IndexScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DatabaseSchema schema;
    // K and N hold the same text; only K is a key column. Neighbouring
    // tables put other keys on both sides of K's.
    schema.tables.push_back({"A", {{"K", 1, 6, true}}});
    schema.tables.push_back({"T", {{"K", 1, 6, true}, {"N", 1, 6}, {"Tag", 10, 3}}});
    schema.tables.push_back({"U", {{"K", 1, 6, true}}});
    std::string err;
    const std::string path = folder_.File("db.dat");
    ASSERT_EQ(CreateDatabaseFiles(path, schema, err), 1) << err;
    db_ = std::make_unique<Database>(folder_.File("work"));
    ASSERT_EQ(db_->OpenDatabase(path.c_str(), 0), 1);
    rs_ = std::make_unique<Recordsets>(*db_);
    ASSERT_EQ(rs_->CreateRecordset(handle_), 1);
    int64_t offset = 0;
    ASSERT_EQ(db_->AddNewRecord("    -1", 6, offset, "A", &err), 1) << err;
    ASSERT_EQ(db_->AddNewRecord("     3", 6, offset, "U", &err), 1) << err;
  }

  // Stores value in K and N, justified either way within the column.
  int64_t Add(const std::string& value, bool right, const std::string& tag = "x") {
    const std::string field = right ? PadLeft(value, 6) : PadRight(value, 6);
    const std::string data = field + field + PadRight(tag, 3);
    int64_t offset = -1;
    std::string err;
    EXPECT_EQ(db_->AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "T", &err), 1)
        << err;
    return offset;
  }

  struct Condition {
    std::string column;
    std::string op;
    std::string value;
  };

  // The record offsets of an open with these conditions, in row order.
  std::vector<int64_t> Open(const std::vector<Condition>& conditions) {
    rs_->RecordsetClearFilters(handle_);
    for (const Condition& c : conditions) {
      EXPECT_EQ(rs_->RecordsetAddFilterColumn(handle_, c.column.c_str(), c.op.c_str(),
                                              c.value.c_str(), 1, 0),
                1);
    }
    std::vector<int64_t> offsets;
    EXPECT_EQ(rs_->RecordsetOpen(handle_, "T"), 1);
    if (!rs_->RecordsetMoveFirst(handle_)) return offsets;
    do {
      int64_t offset = -1;
      EXPECT_EQ(rs_->RecordsetGetCurrentRowOffset(handle_, offset), 1);
      offsets.push_back(offset);
    } while (rs_->RecordsetMoveNext(handle_));
    return offsets;
  }

  // K's index key of the record at offset.
  std::string KeyAt(int64_t offset) {
    RecordHeader header;
    std::string data;
    int32_t length = 0;
    std::string err;
    EXPECT_EQ(db_->ReadDatabaseRecord("T", header, data, offset, kMaxRecordLength, length, &err),
              1);
    return MakeIndexKey("T", "K", data.substr(0, 6), 6, 1);
  }

  // Opens the conditions on K (index path) and on N (scan path) and
  // expects the same records, the index path's in key order: ascending,
  // or descending when the walk follows a "<" or "<=".
  void ExpectSameRows(const std::vector<Condition>& on_k, bool descending) {
    std::vector<Condition> on_n = on_k;
    for (Condition& c : on_n) {
      if (c.column == "K") c.column = "N";
    }
    const std::vector<int64_t> by_index = Open(on_k);
    const std::vector<int64_t> by_scan = Open(on_n);
    EXPECT_EQ(std::multiset<int64_t>(by_index.begin(), by_index.end()),
              std::multiset<int64_t>(by_scan.begin(), by_scan.end()));
    for (size_t i = 1; i < by_index.size(); ++i) {
      const int order = CompareNoCase(KeyAt(by_index[i - 1]), KeyAt(by_index[i]));
      EXPECT_TRUE(descending ? order >= 0 : order <= 0) << "rows out of key order at " << i;
    }
  }

  // The direction the generation walks for these conditions: that of the
  // first operator, in "=", ">=", ">", "<=", "<", "<>" order, on K.
  static bool Descending(const std::vector<Condition>& conditions) {
    for (const char* op : {"=", ">=", ">", "<=", "<", "<>"}) {
      for (const Condition& c : conditions) {
        if (c.column == "K" && c.op == op) return c.op == "<" || c.op == "<=";
      }
    }
    return false;
  }

  // Random single and paired conditions over the stored records.
  void CheckRandomConditions(std::mt19937& random, int rounds) {
    auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    for (int round = 0; round < rounds; ++round) {
      std::vector<Condition> conditions = {{"K", pick(kOperators), pick(kLookups)}};
      if (round % 2 == 1) conditions.push_back({"K", pick(kOperators), pick(kLookups)});
      if (round % 5 == 4) conditions.push_back({"Tag", "<>", "y"});
      std::string trace;
      for (const Condition& c : conditions) trace += c.column + c.op + "'" + c.value + "' ";
      SCOPED_TRACE(trace);
      ExpectSameRows(conditions, Descending(conditions));
      if (HasFailure()) return;
    }
  }

  ScratchFolder folder_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Recordsets> rs_;
  int32_t handle_ = 0;
};

TEST_F(IndexScanTest, AwkwardNumbersGiveTheRowsOfTheScan) {
  std::mt19937 random(20260);
  for (int i = 0; i < 120; ++i) {
    Add(kAwkward[random() % kAwkward.size()], random() % 2 == 0, random() % 4 == 0 ? "y" : "x");
  }
  CheckRandomConditions(random, 300);
}

// Plain non-negative whole numbers sort numerically as keys, so the walk
// may seek; the conditions' values still come in every form.
TEST_F(IndexScanTest, PlainNumbersWithAwkwardConditions) {
  std::mt19937 random(7);
  for (int i = 0; i < 80; ++i) {
    Add(kPlain[random() % kPlain.size()], true, random() % 4 == 0 ? "y" : "x");
  }
  CheckRandomConditions(random, 300);
}

// What a walk learnt about a column's keys must not outlive them: a key
// out of numeric order added, written over a plain one, or deleted after an
// open is seen so by the next open.
TEST_F(IndexScanTest, KeysOutOfOrderChangedAfterAnOpenAreSeen) {
  for (const char* value : {"1", "4", "9", "12"}) Add(value, true);
  const std::vector<Condition> below_three = {{"K", "<", "3"}};
  ExpectSameRows(below_three, true);
  EXPECT_EQ(Open(below_three).size(), 1u);

  const int64_t negative = Add("-5", true);
  ExpectSameRows(below_three, true);
  EXPECT_EQ(Open(below_three).size(), 2u);

  // Written over in place, through the update.
  std::string err;
  int64_t offset = negative;
  const std::string plain = PadLeft("6", 6) + PadLeft("6", 6) + "x  ";
  ASSERT_EQ(db_->UpdateRecord(plain, 15, offset, "T", &err), 1) << err;
  EXPECT_EQ(Open(below_three).size(), 1u);
  offset = Open({{"K", "=", "6"}}).at(0);
  const std::string zero_padded = PadLeft("02", 6) + PadLeft("02", 6) + "x  ";
  ASSERT_EQ(db_->UpdateRecord(zero_padded, 15, offset, "T", &err), 1) << err;
  ExpectSameRows(below_three, true);
  EXPECT_EQ(Open(below_three).size(), 2u);
  ExpectSameRows({{"K", "=", "2"}}, false);
  EXPECT_EQ(Open({{"K", "=", "2"}}).size(), 1u);

  // Deleted: its entry leaves the index, and no row may stand for it.
  ASSERT_EQ(db_->DeleteRecord("T", offset, &err), 1) << err;
  ExpectSameRows(below_three, true);
  EXPECT_EQ(Open(below_three).size(), 1u);
}

}  // namespace
}  // namespace zt::testing

// The order a sort gives, and the row a find lands on, checked against a
// model of them on random tables full of equal and near-equal values.
//
// The model: text columns order by the value trimmed ("!" when empty),
// padded to the column's size, cut at 100 characters and folded to lower
// case; numeric columns (types 1, 2, 3) order empty values first, then by
// numeric value (a text that is no number counts as 0). Equal keys keep
// their row order ascending; a descending sort is the ascending order
// reversed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/database.h"
#include "engine/definition.h"
#include "recordset/recordsets.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zt {
namespace {

struct Column {
  const char* name;
  int32_t type;
  int32_t size;
};
// Id is the key; every other column is sorted on.
const Column kColumns[] = {{"Id", 1, 6}, {"T", 0, 6}, {"W", 0, 120},
                           {"N", 1, 5},  {"F", 2, 8}, {"D", 3, 8}};

// Values close to one another: case, blanks, prefixes, signs, zeros.
const char* const kTexts[] = {"", "a", "A", "ab", "aB", " b", "b ", "B", "a b", "!", "~", "0"};
const char* const kNumbers[] = {"",   "1", "01", "001", "-5",  "+7",  "3.5", "10", "100",
                                "-0", "0", "7",  "abc", "-10", "4.5", "9",   "1e2"};

class SortOrderTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override {
    DatabaseSchema schema;
    TableSchema table{"S", {}};
    for (const Column& c : kColumns) {
      table.columns.push_back({c.name, c.type, c.size, std::string(c.name) == "Id", false});
    }
    schema.tables.push_back(table);
    path_ = folder_.File("s.dat");
    testing::CreateDatabase(path_, schema);
    ASSERT_TRUE(db_.OpenDatabase(path_.c_str(), 0));
  }

  // The key the model orders a text value by.
  static std::string TextKey(const std::string& value, int32_t size) {
    std::string v(TrimBlanks(value));
    if (v.empty()) v = "!";
    std::string key = PadRight(v, static_cast<size_t>(size));
    if (key.size() > 100) key.resize(100);
    return FoldText(key);
  }

  testing::ScratchFolder folder_;
  std::string path_;
  Database db_{folder_.File("work")};
  Recordsets rs_{db_};
};

TEST_P(SortOrderTest, MatchesTheModel) {
  std::mt19937 random(GetParam());
  const int rows = 40 + static_cast<int>(random() % 80);
  // values[r][c]: the value of column c in row r (rows in storage order).
  std::vector<std::vector<std::string>> values;
  for (int r = 0; r < rows; ++r) {
    std::vector<std::string> row;
    std::string data;
    for (const Column& c : kColumns) {
      std::string v;
      if (std::string(c.name) == "Id") {
        v = std::to_string(r + 1);
      } else if (IsNumericType(c.type)) {
        v = kNumbers[random() % std::size(kNumbers)];
      } else {
        v = kTexts[random() % std::size(kTexts)];
        if (c.size > 100 && random() % 2) v = std::string(100, 'x') + v;  // differs past 100
      }
      row.push_back(v);
      data += PadRight(v, static_cast<size_t>(c.size));
    }
    int64_t offset = -1;
    std::string err;
    ASSERT_TRUE(db_.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "S", &err))
        << err;
    values.push_back(row);
  }

  int32_t h = 0;
  ASSERT_TRUE(rs_.CreateRecordset(h));
  for (size_t c = 1; c < std::size(kColumns); ++c) {
    for (const int ascending : {1, 0}) {
      SCOPED_TRACE(::testing::Message() << kColumns[c].name << (ascending ? " asc" : " desc"));
      ASSERT_TRUE(rs_.RecordsetOpen(h, "S"));
      ASSERT_TRUE(rs_.RecordsetSort(h, kColumns[c].name, ascending));

      std::vector<int> model(static_cast<size_t>(rows));
      for (int r = 0; r < rows; ++r) model[static_cast<size_t>(r)] = r;
      const Column& column = kColumns[c];
      std::stable_sort(model.begin(), model.end(), [&](int a, int b) {
        const std::string& va = values[static_cast<size_t>(a)][c];
        const std::string& vb = values[static_cast<size_t>(b)][c];
        if (IsNumericType(column.type)) {
          const std::string ta(TrimBlanks(va)), tb(TrimBlanks(vb));
          if (ta.empty() != tb.empty()) return ta.empty();
          return TextToDouble(ta) < TextToDouble(tb);
        }
        return TextKey(va, column.size) < TextKey(vb, column.size);
      });
      if (!ascending) std::reverse(model.begin(), model.end());

      std::vector<int> got;
      for (bool moved = rs_.RecordsetMoveFirst(h); moved; moved = rs_.RecordsetMoveNext(h)) {
        std::string id;
        ASSERT_TRUE(rs_.RecordsetGetFieldValue(h, "Id", &id));
        got.push_back(std::stoi(id) - 1);
      }
      EXPECT_EQ(got, model);

      // Find after an ascending sort seeks its prefix in the kept keys; it
      // must land where a walk over the rows in order would.
      if (!ascending || IsNumericType(column.type)) continue;
      for (const std::string& prefix :
           std::vector<std::string>{"a", "A", "ab", "b", "a ", "!", "~", "", "zz", "x",
                                    std::string(100, 'x'), std::string(101, 'x')}) {
        SCOPED_TRACE("find '" + prefix + "'");
        int expected = -1;
        for (const int r : model) {
          const std::string v(TrimBlanks(values[static_cast<size_t>(r)][c]));
          if (v.size() >= prefix.size() &&
              FoldText(v.substr(0, prefix.size())) == FoldText(prefix)) {
            expected = r;
            break;
          }
        }
        const int found = rs_.RecordsetFindRow(h, column.name, prefix.c_str());
        ASSERT_EQ(found, expected >= 0 ? 1 : 0);
        if (found) {
          std::string id;
          ASSERT_TRUE(rs_.RecordsetGetFieldValue(h, "Id", &id));
          EXPECT_EQ(std::stoi(id) - 1, expected);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SortOrderTest, ::testing::Range(1u, 21u));

// The mended numeric order, spelled out: -5 before 3, 007 after 4.5 and
// before 8, 10 after 4.5; empty first.
TEST_F(SortOrderTest, NumericColumnsSortByValue) {
  for (const char* n : {"10", "-5", "8", "007", "", "4.5", "3"}) {
    std::string data;
    for (const Column& c : kColumns) {
      data += PadRight(std::string(c.name) == "N" || std::string(c.name) == "F" ? n : "1",
                       static_cast<size_t>(c.size));
    }
    int64_t offset = -1;
    std::string err;
    ASSERT_TRUE(db_.AddNewRecord(data, static_cast<int32_t>(data.size()), offset, "S", &err));
  }
  int32_t h = 0;
  ASSERT_TRUE(rs_.CreateRecordset(h));
  for (const char* column : {"N", "F"}) {
    ASSERT_TRUE(rs_.RecordsetOpen(h, "S"));
    ASSERT_TRUE(rs_.RecordsetSort(h, column, 1));
    std::vector<std::string> got;
    for (bool moved = rs_.RecordsetMoveFirst(h); moved; moved = rs_.RecordsetMoveNext(h)) {
      std::string v;
      ASSERT_TRUE(rs_.RecordsetGetFieldValue(h, column, &v));
      got.push_back(v);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"", "-5", "3", "4.5", "007", "8", "10"})) << column;
  }
}

}  // namespace
}  // namespace zt

// ztcli's word splitting and the query of \show and \count.
#include "ztcli/query.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ztcli {
namespace {

TEST(SplitWords, QuotesKeepBlanksAndDoubledQuotes) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"  \\show  People\tLIMIT 3 ", {"\\show", "People", "LIMIT", "3"}},
      {"Name = 'Mac Donald'", {"Name", "=", "Mac Donald"}},
      {"Name = \"it's\"", {"Name", "=", "it's"}},
      {"Name = 'it''s'", {"Name", "=", "it's"}},
      {"a'b c'd", {"ab cd"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_TRUE(SplitWords(c.line, words, &error)) << c.line;
    EXPECT_EQ(words, c.words) << c.line;
  }
  std::vector<std::string> words;
  std::string error;
  EXPECT_FALSE(SplitWords("Name = 'open", words, &error));
  EXPECT_EQ(error, "a ' quote is not closed");
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::string error;
  EXPECT_TRUE(SplitWords(line, words, &error));
  return words;
}

TEST(ParseQuery, AllClauses) {
  Query q;
  std::string error;
  ASSERT_TRUE(ParseQuery(Words("T where A != 1 AND b >= 'x y' order by C desc limit 7"), true, q,
                         &error))
      << error;
  EXPECT_EQ(q.table, "T");
  ASSERT_EQ(q.conditions.size(), 2u);
  EXPECT_EQ(q.conditions[0].op, "<>");  // != is sent as the server's <>
  EXPECT_EQ(q.conditions[1].column, "b");
  EXPECT_EQ(q.conditions[1].value, "x y");
  EXPECT_EQ(q.order_by, "C");
  EXPECT_TRUE(q.descending);
  EXPECT_EQ(q.limit, 7);
}

TEST(ParseQuery, RefusesWhatTheServerCannotDo) {
  struct Case {
    const char* words;
    bool allow_order;
    const char* error;
  };
  const Case cases[] = {
      {"", true, "which table?"},
      {"T WHERE A", true, "WHERE wants: column op value"},
      {"T WHERE A LIKE x", true, "unknown operator 'LIKE' (use = <> < <= > >=)"},
      {"T WHERE A = ' '", true, "a condition cannot compare with a blank value"},
      {"T WHERE A = 1 OR B = 2", true,
       "OR is not supported: the server combines conditions with AND only"},
      {"T ORDER A", true, "ORDER BY wants a column"},
      {"T ORDER BY", true, "ORDER BY wants a column"},
      {"T LIMIT", true, "LIMIT wants a number"},
      {"T LIMIT -1", true, "LIMIT wants a whole number, not '-1'"},
      {"T LIMIT 5x", true, "LIMIT wants a whole number, not '5x'"},
      {"T ORDER BY A", false, "unexpected 'ORDER'"},
      {"T extra", true, "unexpected 'extra'"},
  };
  for (const Case& c : cases) {
    Query q;
    std::string error;
    EXPECT_FALSE(ParseQuery(Words(c.words), c.allow_order, q, &error)) << c.words;
    EXPECT_EQ(error, c.error) << c.words;
  }
}

}  // namespace
}  // namespace ztcli

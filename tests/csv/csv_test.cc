#include "csv/csv.h"

#include <gtest/gtest.h>

namespace zt {
namespace {

using Records = std::vector<std::vector<std::string>>;

Records ReadAll(std::string_view text, std::vector<int>* lines = nullptr) {
  CsvReader reader(text);
  Records records;
  std::vector<std::string> fields;
  while (reader.Next(fields)) {
    records.push_back(fields);
    if (lines) lines->push_back(reader.line());
  }
  EXPECT_EQ(reader.error(), "");
  return records;
}

TEST(CsvReader, ReadsPlainAndQuotedFields) {
  EXPECT_EQ(ReadAll("a,b,c\n1,2,3\n"), (Records{{"a", "b", "c"}, {"1", "2", "3"}}));
  EXPECT_EQ(ReadAll("a,b\r\n1,2"), (Records{{"a", "b"}, {"1", "2"}})) << "CRLF, no final break";
  EXPECT_EQ(ReadAll("\"x,y\",\"say \"\"hi\"\"\",\"\"\n"), (Records{{"x,y", "say \"hi\"", ""}}));
  EXPECT_EQ(ReadAll(",\n"), (Records{{"", ""}}));
  EXPECT_EQ(ReadAll(" a , b \n"), (Records{{" a ", " b "}})) << "blanks belong to the field";
  EXPECT_EQ(ReadAll("a\rb,c\n"), (Records{{"a\rb", "c"}})) << "a lone CR is data";
}

TEST(CsvReader, ReportsTheLineWhereEachRecordStarts) {
  std::vector<int> lines;
  const Records records = ReadAll("h1,h2\n\"multi\nline\",x\n\"a\r\nb\",y\nlast,z\n", &lines);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1][0], "multi\nline");
  EXPECT_EQ(records[2][0], "a\r\nb");
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 4, 6}));
}

TEST(CsvReader, RefusesMalformedQuoting) {
  struct Case {
    const char* text;
    const char* error;
    int line;
  } cases[] = {
      {"a,b\n\"open,c\n", "a quoted field is not closed", 2},
      {"a,b\nx\"y,c\n", "a quote inside an unquoted field", 2},
      {"a\n\"q\"z,c\n", "text after the closing quote of a field", 2},
  };
  for (const Case& c : cases) {
    CsvReader reader(c.text);
    std::vector<std::string> fields;
    ASSERT_TRUE(reader.Next(fields)) << c.text;
    EXPECT_FALSE(reader.Next(fields)) << c.text;
    EXPECT_EQ(reader.error(), c.error) << c.text;
    EXPECT_EQ(reader.line(), c.line) << c.text;
  }
}

TEST(CsvField, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
}

}  // namespace
}  // namespace zt

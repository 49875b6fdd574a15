#include "engine/error_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "engine/file.h"
#include "support/test_support.h"

namespace zt {
namespace {

TEST(FormatTimestamp, IsSeventeenCharactersOfLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 4 December 2003, 09:05:07 UTC.
  EXPECT_EQ(FormatTimestamp(1070528707), "20031204-09:05:07");
}

TEST(LogError, CreatesTheFolderAndAppendsLinesAsWritten) {
  testing::ScratchFolder dir;
  const std::string folder = dir.File("work/nested");
  SetErrorLogFolder(folder);
  LogError("first %s %d %n line");
  LogError("second");
  SetErrorLogFolder(kDefaultWorkFolder);

  const std::string text = testing::ReadFile(folder + "/dberrors.txt");
  const std::regex line(R"(\d{8}-\d{2}:\d{2}:\d{2}: )");
  ASSERT_EQ(text.size(), 2 * 19 + std::string("first %s %d %n line\nsecond\n").size()) << text;
  EXPECT_TRUE(std::regex_search(text.substr(0, 19), line));
  EXPECT_EQ(text.substr(19, 20), "first %s %d %n line\n");
  EXPECT_EQ(text.substr(58), "second\n");
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace zt

#include "engine/error_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

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

// Lines of the log without their timestamps.
std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = testing::ReadFile(path);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at + 19, end - at - 19));
    at = end + 1;
  }
  return lines;
}

class BoundedLog : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorLogFolder(dir_.File("work")); }
  void TearDown() override {
    SetErrorLogFolder(kDefaultWorkFolder);
    SetErrorLogLimits({});
  }
  std::string path() const { return dir_.File("work/dberrors.txt"); }
  testing::ScratchFolder dir_;
};

// A flood of one message (a client sending over-long frames) writes one
// line and a count, not one line per message.
TEST_F(BoundedLog, RepeatsOfALineAreCountedNotWritten) {
  SetErrorLogLimits({.repeat_window_seconds = 3600, .max_lines_per_second = 1000});
  for (int i = 0; i < 5000; ++i) LogError("ExtractMessage: too long");
  LogError("something else");
  EXPECT_EQ(LogLines(path()),
            (std::vector<std::string>{"ExtractMessage: too long",
                                      "(previous line repeated 4999 times)", "something else"}));
}

TEST_F(BoundedLog, LinesBeyondTheRateAreDroppedAndCounted) {
  SetErrorLogLimits({.repeat_window_seconds = 3600, .max_lines_per_second = 5});
  for (int i = 0; i < 200; ++i) LogError("line " + std::to_string(i));
  const std::vector<std::string> lines = LogLines(path());
  // Within one second (or two, at a boundary): 5 lines, maybe 5 more and a count.
  ASSERT_GE(lines.size(), 5u);
  EXPECT_LE(lines.size(), 11u);
  EXPECT_EQ(lines[0], "line 0");
}

TEST_F(BoundedLog, AFullFileIsRotatedSoTheLogStaysUnderTwiceTheCap) {
  SetErrorLogLimits({.repeat_window_seconds = 0, .max_lines_per_second = 1 << 30, .max_bytes = 4096});
  for (int i = 0; i < 2000; ++i) LogError("distinct line number " + std::to_string(i));
  const int64_t current = PathLength(path());
  const int64_t older = PathLength(path() + ".1");
  EXPECT_GT(current, 0);
  EXPECT_LE(current, 4096);
  EXPECT_GT(older, 4096 - 64);
  EXPECT_LE(older, 4096);
  // The newest line is in the current file.
  EXPECT_EQ(LogLines(path()).back(), "distinct line number 1999");
}

// The file is kept open, and follows its name: once moved or deleted
// (logrotate, an operator) it is left, and the next line begins a new one.
TEST_F(BoundedLog, AFileMovedOrDeletedUnderTheLogIsFollowedByANewOne) {
  LogError("first");
  ASSERT_EQ(RenamePath(path(), path() + ".old"), 1);
  LogError("second");
  EXPECT_EQ(LogLines(path() + ".old"), std::vector<std::string>{"first"});
  EXPECT_EQ(LogLines(path()), std::vector<std::string>{"second"});

  ASSERT_EQ(FileDelete(path()), 1);
  LogError("third");
  EXPECT_EQ(LogLines(path()), std::vector<std::string>{"third"});

  // The whole folder, too.
  ASSERT_EQ(FileDelete(path()), 1);
  ASSERT_EQ(FileDelete(path() + ".old"), 1);
  ASSERT_EQ(RemoveFolder(dir_.File("work")), 1);
  LogError("fourth");
  EXPECT_EQ(LogLines(path()), std::vector<std::string>{"fourth"});
}

// When the process has used up its descriptors is when the log matters
// most; opening the file per line lost every such line. In a child process,
// whose descriptors the test can use up.
TEST_F(BoundedLog, LinesReachTheLogWhileNoDescriptorIsFree) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    OpenErrorLog();  // as the server does at start
    const rlimit limit{256, 256};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(2);
    while (::open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    if (errno != EMFILE) ::_exit(3);
    LogError("while no descriptor is free");
    // Moved meanwhile, and no descriptor for a new file: the line goes on
    // into the file held rather than nowhere.
    if (RenamePath(path(), path() + ".1") != 1) ::_exit(4);
    LogError("after the move");
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(LogLines(path() + ".1"),
            (std::vector<std::string>{"while no descriptor is free", "after the move"}));
  // With descriptors to spare, the next line begins the new file.
  LogError("descriptors again");
  EXPECT_EQ(LogLines(path()), std::vector<std::string>{"descriptors again"});
}

}  // namespace
}  // namespace zt

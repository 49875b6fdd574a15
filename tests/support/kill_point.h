// Crash tests: work run in a child process killed at a chosen point.
#ifndef ZT_TESTS_SUPPORT_KILL_POINT_H_
#define ZT_TESTS_SUPPORT_KILL_POINT_H_

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <functional>

#include "engine/file.h"

namespace zt::testing {

// Runs work in a child process that kills itself (SIGKILL) at its point-th
// write, sync or rename (FileFaults::kill_at_change). True when the work
// finished first: its result is then the child's exit status, expected to
// be 0.
inline bool FinishesBeforeKillPoint(int64_t point, const std::function<int()>& work) {
  const pid_t child = fork();
  if (child == 0) {
    SetFileFaults(FileFaults{.kill_at_change = point});
    _exit(work());
  }
  int status = 0;
  EXPECT_GE(child, 0);
  EXPECT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status)) {
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return true;
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  return false;
}

}  // namespace zt::testing

#endif  // ZT_TESTS_SUPPORT_KILL_POINT_H_

// ztadmin user: the users file as the operator manages it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <vector>

#include "config/users_file.h"
#include "support/test_support.h"
#include "ztadmin/users.h"

namespace zt::testing {
namespace {

class ZtadminUserTest : public ::testing::Test {
 protected:
  // Runs `ztadmin user WORDS...` with stdin as its standard input.
  int Run(std::vector<std::string> words, const std::string& stdin_text = "") {
    std::istringstream in(stdin_text);
    std::ostringstream out, err;
    const int status = admin::UserCommand(words, in, out, err, nullptr);
    output_ = out.str() + err.str();
    return status;
  }
  std::string path() const { return folder_.File("users"); }

  ScratchFolder folder_;
  std::string output_;
};

TEST_F(ZtadminUserTest, AddPasswdListRemove) {
  ASSERT_EQ(Run({"add", path(), "alice"}, "first-pw\n"), 0) << output_;
  ASSERT_EQ(Run({"add", path(), "bob", "--access", "readonly", "--iterations", "1000"}, "b\n"), 0)
      << output_;
  struct stat st {};
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Run({"add", path(), "alice"}, "x\n"), 1);  // exists already
  ASSERT_EQ(Run({"passwd", path(), "alice"}, "second-pw\n"), 0) << output_;
  UsersFile users;
  ASSERT_TRUE(users.Load(path(), true, nullptr));
  ASSERT_NE(users.Find("alice"), nullptr);
  EXPECT_TRUE(CheckPassword(*users.Find("alice"), "second-pw"));
  EXPECT_FALSE(CheckPassword(*users.Find("alice"), "first-pw"));
  EXPECT_EQ(users.Find("bob")->iterations, 1000u);
  ASSERT_EQ(Run({"list", path()}), 0);
  EXPECT_EQ(output_, "alice readwrite\nbob readonly\n");
  ASSERT_EQ(Run({"remove", path(), "bob"}), 0);
  EXPECT_EQ(Run({"remove", path(), "bob"}), 1);
  ASSERT_EQ(Run({"list", path()}), 0);
  EXPECT_EQ(output_, "alice readwrite\n");
}

TEST_F(ZtadminUserTest, RefusesWhatTheServerWouldRefuse) {
  struct Case {
    std::vector<std::string> words;
    std::string stdin_text;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"add", path(), "bad name"}, "pw\n", 1, "is not a user name"},
      {{"add", path(), "carol"}, "with~tilde\n", 1, "'~'"},
      {{"add", path(), "carol"}, " blank\n", 1, "blank"},
      {{"add", path(), "carol"}, "", 1, "no password"},
      {{"add", path(), "carol", "--access", "root"}, "pw\n", 2, "unexpected"},
      {{"add", path(), "carol", "--iterations", "5"}, "pw\n", 2, "--iterations"},
      {{"passwd", path(), "nobody"}, "pw\n", 1, "no file"},
      {{"frobnicate", path()}, "", 2, "unknown subcommand"},
      {{"list", path(), "extra"}, "", 2, "takes FILE"},
  };
  for (const Case& c : cases) {
    const int status = Run(c.words, c.stdin_text);
    EXPECT_EQ(status, c.status) << c.words[0] << ": " << output_;
    if (std::string(c.says) != "no file") {
      EXPECT_NE(output_.find(c.says), std::string::npos) << output_;
    }
  }
  // A file others may read is refused, as the server refuses it.
  ASSERT_EQ(Run({"add", path(), "alice"}, "pw\n"), 0);
  ASSERT_EQ(::chmod(path().c_str(), 0644), 0);
  EXPECT_EQ(Run({"list", path()}), 1);
  EXPECT_NE(output_.find("chmod 600"), std::string::npos) << output_;
}

}  // namespace
}  // namespace zt::testing

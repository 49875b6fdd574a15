#include "config/users_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "support/test_support.h"

namespace zt {
namespace {

std::string Entry(const std::string& fields_after_name) {
  return "alice:" + fields_after_name + "\n";
}

constexpr char kSalt[] = "00112233445566778899aabbccddeeff";
const std::string kHash(64, 'a');

TEST(UsersFileTest, RoundTripsAndChecksPasswords) {
  UsersFile users;
  UserEntry alice, bob;
  ASSERT_TRUE(MakeUserEntry("alice", UserAccess::kReadWrite, "s3cret", kMinIterations, alice));
  ASSERT_TRUE(MakeUserEntry("bob", UserAccess::kReadLock, "other", kMinIterations, bob));
  users.Put(alice);
  users.Put(bob);
  UsersFile again;
  std::string why;
  ASSERT_TRUE(again.Parse(users.Text(), &why)) << why;
  ASSERT_EQ(again.users().size(), 2u);
  EXPECT_EQ(again.Text(), users.Text());
  const UserEntry* read = again.Find("alice");
  ASSERT_NE(read, nullptr);
  EXPECT_TRUE(CheckPassword(*read, "s3cret"));
  EXPECT_FALSE(CheckPassword(*read, "s3cret "));
  EXPECT_FALSE(CheckPassword(*read, "other"));
  EXPECT_EQ(again.Find("bob")->access, UserAccess::kReadLock);
  // Two entries of one password differ: each has its own salt.
  EXPECT_NE(alice.salt, bob.salt);
  EXPECT_EQ(users.Text().find("s3cret"), std::string::npos);
}

TEST(UsersFileTest, KnownHashOfTheFormat) {
  // The published PBKDF2-HMAC-SHA256 vector ("password", "salt", 4096
  // iterations, 32 bytes): the hash is the standard one, so another tool
  // can make or check entries.
  std::array<uint8_t, kHashBytes> hash{};
  const uint8_t salt[] = {'s', 'a', 'l', 't'};
  ASSERT_TRUE(HashPassword("password", salt, sizeof salt, 4096, hash));
  std::string hex;
  for (const uint8_t b : hash) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  EXPECT_EQ(hex, "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
}

TEST(UsersFileTest, BadLinesAreRefusedWithTheirNumber) {
  const std::string good = std::string("readwrite:pbkdf2-sha256:1000:") + kSalt + ":" + kHash;
  struct Case {
    std::string text;
    const char* why;
  };
  const Case cases[] = {
      {"# comment\n\n" + Entry("readwrite:pbkdf2-sha256:1000:" + std::string(kSalt)), "line 3: not six"},
      {Entry(good) + Entry(good), "line 2: user alice appears twice"},
      {"al:ice:" + good + "\n", "line 1: not six"},
      {"al ice:" + good + "\n", "line 1: the user name"},
      {Entry("admin:pbkdf2-sha256:1000:" + std::string(kSalt) + ":" + kHash), "the access"},
      {Entry("readonly:md5:1000:" + std::string(kSalt) + ":" + kHash), "the scheme"},
      {Entry("readonly:pbkdf2-sha256:999:" + std::string(kSalt) + ":" + kHash), "iteration count"},
      {Entry("readonly:pbkdf2-sha256:1e4:" + std::string(kSalt) + ":" + kHash), "iteration count"},
      {Entry("readonly:pbkdf2-sha256:1000:" + std::string(kSalt) + ":" + kHash.substr(2)), "salt or the hash"},
      {Entry("readonly:pbkdf2-sha256:1000:" + std::string(kSalt) + ":" + std::string(64, 'A')), "salt or the hash"},
  };
  for (const Case& c : cases) {
    UsersFile users;
    std::string why;
    EXPECT_FALSE(users.Parse(c.text, &why)) << c.text;
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  UsersFile users;
  EXPECT_TRUE(users.Parse("# only a comment\r\n" + Entry(good), nullptr));
}

TEST(UsersFileTest, LoadRefusesAFileOthersMayReadAndSaveMakesItPrivate) {
  testing::ScratchFolder folder;
  const std::string path = folder.File("users");
  UsersFile users;
  UserEntry alice;
  ASSERT_TRUE(MakeUserEntry("alice", UserAccess::kReadOnly, "pw", kMinIterations, alice));
  users.Put(alice);
  ASSERT_TRUE(users.Save(path, nullptr));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string why;
  EXPECT_TRUE(UsersFile().Load(path, true, &why)) << why;
  for (const mode_t mode : {0640, 0604, 0620}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    EXPECT_FALSE(UsersFile().Load(path, true, &why));
    EXPECT_NE(why.find("chmod 600"), std::string::npos) << why;
  }
  EXPECT_FALSE(UsersFile().Load(folder.File("missing"), true, &why));
}

}  // namespace
}  // namespace zt

// The server's row locks with two and three clients: conflicts wait (no
// reply) and are retried, the 11th failed try answers the failure, and the
// other sessions keep being served meanwhile.
//
// The retry timer is set far beyond any test here, so every retry is one
// that a released lock brings (requests of other clients bring none): the
// tries can be counted exactly, and a wait ends when the test says so, not
// when a clock does.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>

#include "support/server_process.h"
#include "ztadmin/check.h"

namespace zt::testing {
namespace {

// The longest retry delay there is: the timer never fires during a test.
constexpr int kTimerNeverFiresMs = 60000;
// How long to wait for a reply that must not come.
constexpr int kNoReplyMs = 300;

std::string Frame(const std::string& text) { return "\x02" + text + "\x03"; }

class RowLockCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    fixture_.SetRetryDelay(kTimerNeverFiresMs);
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    for (auto* client : {&a_, &b_, &c_}) {
      *client = fixture_.Connect();
      ASSERT_NE(*client, nullptr);
    }
    // Three customers, stored by A through recordset 1.
    ASSERT_EQ(Ask(*a_, "CREATERECORDSET"), "CREATERECORDSET~1");
    ASSERT_EQ(Ask(*a_, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
    for (const char* id : {"1", "2", "3"}) {
      ASSERT_EQ(Ask(*a_, "RECORDSETADDROW~1"), "RECORDSETADDROW~1");
      ASSERT_EQ(Ask(*a_, std::string("RECORDSETSETFIELDVALUE~1~ID~") + id),
                "RECORDSETSETFIELDVALUE~1");
      ASSERT_EQ(Ask(*a_, std::string("RECORDSETSETFIELDVALUE~1~NAME~n") + id),
                "RECORDSETSETFIELDVALUE~1");
    }
    ASSERT_EQ(Ask(*a_, "RECORDSETUPDATE~1"), "RECORDSETUPDATE~1");
    ASSERT_EQ(Ask(*a_, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
    ASSERT_EQ(Ask(*b_, "CREATERECORDSET"), "CREATERECORDSET~2");
    ASSERT_EQ(Ask(*b_, "RECORDSETOPEN~2~CUSTOMER"), "RECORDSETOPEN~2");
  }

  // True when no reply arrives within ms.
  static bool Silent(Client& client, int ms) {
    std::string reply;
    return !client.ReceiveText(reply, ms);
  }

  static std::string Next(Client& client, int ms = kReplyTimeoutMs) {
    std::string reply;
    return client.ReceiveText(reply, ms) ? reply : "<no reply>";
  }

  // Whatever the scenario did, the files agree with each other afterwards.
  void TearDown() override {
    fixture_.server().Stop();
    std::ostringstream out, err;
    EXPECT_EQ(admin::CheckCommand(fixture_.folder().File("db.dat"), out, err), 0)
        << out.str() << err.str();
  }

  ServerFixture fixture_;
  std::unique_ptr<Client> a_, b_, c_;
};

TEST_F(RowLockCommandsTest, ConflictWaitsUntilTheHolderUnlocks) {
  EXPECT_EQ(Ask(*a_, "RECORDSETISCURRENTROWLOCKED~1"), "RECORDSETISCURRENTROWLOCKED~1~0");
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETISCURRENTROWLOCKED~1"), "RECORDSETISCURRENTROWLOCKED~1~1");
  EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~1");

  ASSERT_TRUE(b_->SendFrame("RECORDSETLOCKCURRENTROW~2"));
  EXPECT_TRUE(Silent(*b_, kNoReplyMs));
  // B cannot release A's lock, A can; then B's waiting request succeeds.
  EXPECT_EQ(Ask(*c_, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~FAILED");
  EXPECT_EQ(Ask(*a_, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  EXPECT_EQ(Next(*b_, 2000), "RECORDSETLOCKCURRENTROW~2");
  EXPECT_EQ(Ask(*a_, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~FAILED");
  // A lock is advisory: A may still edit and store the row B holds.
  EXPECT_EQ(Ask(*a_, "RECORDSETSETFIELDVALUE~1~NAME~changed"), "RECORDSETSETFIELDVALUE~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETUPDATE~1"), "RECORDSETUPDATE~1");
  EXPECT_EQ(Ask(*b_, "RECORDSETGETFIELDVALUE~2~NAME"), "RECORDSETGETFIELDVALUE~2~changed");
}

// A locks its own row twice: the second lock fails on exactly its 11th
// try, while B is served all along, and the requests queued behind it are
// answered in order after it. A sends a request answered at once ahead of
// the lock, in the same read: its reply shows that the run which made the
// lock's first try is over.
TEST_F(RowLockCommandsTest, HopelessLocksFailOnTheEleventhTry) {
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");
  ASSERT_EQ(Ask(*b_, "RECORDSETMOVELAST~2"), "RECORDSETMOVELAST~2");
  // One released lock, one try of the waiting request.
  auto release = [&] {
    EXPECT_EQ(Ask(*b_, "RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~2");
    EXPECT_EQ(Ask(*b_, "RECORDSETUNLOCKCURRENTROW~2"), "RECORDSETUNLOCKCURRENTROW~2");
  };

  ASSERT_TRUE(a_->SendRaw(Frame("RECORDSETGETBOOKMARK~1") + Frame("RECORDSETLOCKCURRENTROW~1") +
                          Frame("RECORDSETGETFIELDVALUE~1~NAME") +
                          Frame("RECORDSETGETBOOKMARK~1")));  // already held by A
  EXPECT_EQ(Next(*a_), "RECORDSETGETBOOKMARK~1~1");           // try 1
  // Requests that release nothing bring no try.
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Ask(*c_, "STARTTRANSACTION"), "STARTTRANSACTION");
  for (int i = 0; i < 9; ++i) release();  // tries 2..10
  EXPECT_TRUE(Silent(*a_, kNoReplyMs));
  release();  // try 11
  EXPECT_EQ(Next(*a_), "RECORDSETLOCKCURRENTROW~FAILED");
  EXPECT_EQ(Next(*a_), "RECORDSETGETFIELDVALUE~1~n1");
  EXPECT_EQ(Next(*a_), "RECORDSETGETBOOKMARK~1~1");
  // A lock through another client's recordset is refused at once.
  ASSERT_EQ(Ask(*c_, "CREATERECORDSET"), "CREATERECORDSET~3");
  EXPECT_EQ(Ask(*c_, "RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~FAILED");
  EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~0");
  EXPECT_EQ(Ask(*a_, "RECORDSETISCURRENTROWLOCKED~1"), "RECORDSETISCURRENTROWLOCKED~1~1");
}

TEST_F(RowLockCommandsTest, LockAllIsAllOrNothing) {
  // B holds the second row.
  ASSERT_EQ(Ask(*b_, "RECORDSETMOVENEXT~2"), "RECORDSETMOVENEXT~2");
  ASSERT_EQ(Ask(*b_, "RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~2");
  ASSERT_EQ(Ask(*b_, "RECORDSETMOVEFIRST~2"), "RECORDSETMOVEFIRST~2");

  ASSERT_TRUE(a_->SendFrame("RECORDSETLOCKALL~1"));
  EXPECT_TRUE(Silent(*a_, kNoReplyMs));
  // After the try nothing is locked (B stands on the first row).
  EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~0");
  EXPECT_EQ(Ask(*c_, "STARTTRANSACTION"), "STARTTRANSACTION");
  EXPECT_TRUE(Silent(*a_, kNoReplyMs));

  // B's unlock releases the row: A's request is tried again in the same
  // run, and locks them all.
  EXPECT_EQ(Ask(*b_, "RECORDSETUNLOCKALL~2"), "RECORDSETUNLOCKALL~2");
  EXPECT_EQ(Next(*a_), "RECORDSETLOCKALL~1");
  for (const char* move : {"RECORDSETMOVEFIRST~2", "RECORDSETMOVENEXT~2", "RECORDSETMOVENEXT~2"}) {
    ASSERT_NE(Ask(*b_, move), "<no reply>");
    EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~1") << move;
  }
  // Locking all again keeps one lock per row: one unlock frees a row.
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKALL~1"), "RECORDSETLOCKALL~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETMOVEFIRST~1"), "RECORDSETMOVEFIRST~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETISCURRENTROWLOCKED~1"), "RECORDSETISCURRENTROWLOCKED~1~0");
  EXPECT_EQ(Ask(*a_, "RECORDSETUNLOCKALL~1"), "RECORDSETUNLOCKALL~1");
  EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~0");
}

TEST_F(RowLockCommandsTest, LockAllAndUnlockAllWithoutRows) {
  ASSERT_EQ(Ask(*c_, "CREATERECORDSET"), "CREATERECORDSET~3");
  EXPECT_EQ(Ask(*c_, "RECORDSETLOCKALL~3"), "RECORDSETLOCKALL~3");  // never opened
  ASSERT_EQ(Ask(*c_, "RECORDSETOPEN~3~ORDERS"), "RECORDSETOPEN~3");
  EXPECT_EQ(Ask(*c_, "RECORDSETLOCKALL~3"), "RECORDSETLOCKALL~3");      // no rows
  EXPECT_EQ(Ask(*c_, "RECORDSETUNLOCKALL~1"), "RECORDSETUNLOCKALL~FAILED");  // not C's
  EXPECT_EQ(Ask(*c_, "RECORDSETUNLOCKALL~99"), "RECORDSETUNLOCKALL~99");
  EXPECT_EQ(Ask(*c_, "RECORDSETUNLOCKALL"), "RECORDSETUNLOCKALL~FAILED");
  EXPECT_EQ(Ask(*c_, "RECORDSETISCURRENTROWLOCKED~3"), "RECORDSETISCURRENTROWLOCKED~3~0");
  EXPECT_EQ(Ask(*c_, "RECORDSETISCURRENTROWLOCKED"), "RECORDSETISCURRENTROWLOCKED~0~0");
}

// Rows not yet stored all have the identifier -1: they lock as one row.
TEST_F(RowLockCommandsTest, NewRowsShareOneIdentifier) {
  ASSERT_EQ(Ask(*a_, "RECORDSETADDROW~1"), "RECORDSETADDROW~1");
  ASSERT_EQ(Ask(*b_, "RECORDSETADDROW~2"), "RECORDSETADDROW~2");
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");
  EXPECT_EQ(Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2"), "RECORDSETISCURRENTROWLOCKED~2~1");
  // The lock dies with the connection.
  a_->Close();
  std::string locked;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  do {
    locked = Ask(*b_, "RECORDSETISCURRENTROWLOCKED~2");
  } while (locked != "RECORDSETISCURRENTROWLOCKED~2~0" &&
           std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(locked, "RECORDSETISCURRENTROWLOCKED~2~0");
  EXPECT_EQ(Ask(*b_, "RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~2");
}

}  // namespace
}  // namespace zt::testing

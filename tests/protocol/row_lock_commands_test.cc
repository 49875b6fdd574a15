// The server's row locks with two and three clients: conflicts wait (no
// reply) and are retried, a waiter fails once it has waited ten retry
// delays, and the other sessions keep being served meanwhile.
//
// In RowLockCommandsTest the retry timer is set far beyond any test, so
// every retry is one that a released lock brings (requests of other
// clients, and releases of other rows, bring none): the tries can be
// counted exactly, and a wait ends when the test says so, not when a clock
// does. RowLockWaitTest has a short delay, to see the waits end.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

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
  explicit RowLockCommandsTest(int retry_delay_ms = kTimerNeverFiresMs)
      : retry_delay_ms_(retry_delay_ms) {}

  void SetUp() override {
    ASSERT_TRUE(fixture_.created());
    fixture_.SetRetryDelay(retry_delay_ms_, "MetricsAddress=127.0.0.1:0\n");
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
    metrics_port_ = fixture_.server().WaitForListeningPort(10000, "Metrics on ");
    ASSERT_NE(metrics_port_, 0);
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

  // Failed tries that left a request of this command waiting, and requests
  // of it answered with their failure once their wait was over.
  double Deferrals(const std::string& command) {
    return ScrapeMetric(metrics_port_,
                        "ztserver_request_deferrals_total{command=\"" + command + "\"}");
  }
  double FinalFailures(const std::string& command) {
    return ScrapeMetric(metrics_port_,
                        "ztserver_request_final_failures_total{command=\"" + command + "\"}");
  }

  // A further client with recordset `handle` open on CUSTOMER, standing on
  // the last row: it locks and unlocks a row nobody waits for.
  std::unique_ptr<Client> Churner(const std::string& handle) {
    auto churner = fixture_.Connect();
    EXPECT_NE(churner, nullptr);
    if (churner == nullptr) return churner;
    ExpectReplies(*churner, {{"CREATERECORDSET", "CREATERECORDSET~" + handle},
                             {"RECORDSETOPEN~" + handle + "~CUSTOMER", "RECORDSETOPEN~" + handle},
                             {"RECORDSETMOVELAST~" + handle, "RECORDSETMOVELAST~" + handle}});
    return churner;
  }
  // One lock and one release of the churner's row.
  static void Churn(Client& churner, const std::string& handle) {
    EXPECT_EQ(Ask(churner, "RECORDSETLOCKCURRENTROW~" + handle),
              "RECORDSETLOCKCURRENTROW~" + handle);
    EXPECT_EQ(Ask(churner, "RECORDSETUNLOCKCURRENTROW~" + handle),
              "RECORDSETUNLOCKCURRENTROW~" + handle);
  }

  // Whatever the scenario did, the files agree with each other afterwards.
  void TearDown() override {
    fixture_.server().Stop();
    std::ostringstream out, err;
    EXPECT_EQ(admin::CheckCommand(fixture_.folder().File("db.dat"), out, err), 0)
        << out.str() << err.str();
  }

  const int retry_delay_ms_;
  ServerFixture fixture_;
  uint16_t metrics_port_ = 0;
  std::unique_ptr<Client> a_, b_, c_;
};

// Retry delays short enough for a wait to end within a test.
constexpr int kShortDelayMs = 60;
class RowLockWaitTest : public RowLockCommandsTest {
 protected:
  RowLockWaitTest() : RowLockCommandsTest(kShortDelayMs) {}
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

// The reproducer of retry amplification: a lock churning on another row
// used to spend a waiting request's ten tries in milliseconds. The waiter
// is tried only when the row it met is released: here C's lock-all meets
// A's row, then (once A lets go) B's row; D's churn brings it no try at all.
TEST_F(RowLockCommandsTest, OnlyAReleaseOfTheRowItMetBringsATry) {
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");  // row 1
  ExpectReplies(*b_, {{"RECORDSETMOVENEXT~2", "RECORDSETMOVENEXT~2"},
                      {"RECORDSETLOCKCURRENTROW~2", "RECORDSETLOCKCURRENTROW~2"}});  // row 2
  ExpectReplies(*c_, {{"CREATERECORDSET", "CREATERECORDSET~3"},
                      {"RECORDSETOPEN~3~CUSTOMER", "RECORDSETOPEN~3"}});
  auto d = Churner("4");
  ASSERT_NE(d, nullptr);

  ASSERT_TRUE(c_->SendFrame("RECORDSETLOCKALL~3"));
  EXPECT_EQ(Ask(*a_, "STARTTRANSACTION"), "STARTTRANSACTION");  // the first try's run is over
  EXPECT_EQ(Deferrals("RECORDSETLOCKALL"), 1);
  for (int i = 0; i < 30; ++i) Churn(*d, "4");
  EXPECT_EQ(Deferrals("RECORDSETLOCKALL"), 1);
  // A's release wakes C in the same run; C now meets B's row.
  EXPECT_EQ(Ask(*a_, "RECORDSETUNLOCKCURRENTROW~1"), "RECORDSETUNLOCKCURRENTROW~1");
  EXPECT_EQ(Deferrals("RECORDSETLOCKALL"), 2);
  for (int i = 0; i < 30; ++i) Churn(*d, "4");
  EXPECT_TRUE(Silent(*c_, kNoReplyMs));
  EXPECT_EQ(Deferrals("RECORDSETLOCKALL"), 2);
  EXPECT_EQ(Ask(*b_, "RECORDSETUNLOCKALL~2"), "RECORDSETUNLOCKALL~2");
  EXPECT_EQ(Next(*c_), "RECORDSETLOCKALL~3");
  EXPECT_EQ(Deferrals("RECORDSETLOCKALL"), 2);
  EXPECT_EQ(Deferrals("RECORDSETLOCKCURRENTROW"), 0);  // the churn never waited
}

// A holder whose connection ends frees its rows, and the waiter gets the
// lock at once, not at the retry timer (which never fires here).
TEST_F(RowLockCommandsTest, AHolderThatDisconnectsLetsTheWaiterInAtOnce) {
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");
  ASSERT_TRUE(b_->SendFrame("RECORDSETLOCKCURRENTROW~2"));
  EXPECT_TRUE(Silent(*b_, kNoReplyMs));
  a_->Close();
  EXPECT_EQ(Next(*b_), "RECORDSETLOCKCURRENTROW~2");
}

// Whatever churns beside it, a waiter waits its ten retry delays, and is
// tried about once a delay: the tries per release of the other row stay far
// below one. A locks its own row a second time (nobody will ever release
// it), with requests queued behind; C churns another row throughout.
TEST_F(RowLockWaitTest, AWaiterWaitsItsTenDelaysWhateverChurnsBesideIt) {
  EXPECT_EQ(Ask(*a_, "RECORDSETLOCKCURRENTROW~1"), "RECORDSETLOCKCURRENTROW~1");
  auto churner = Churner("3");
  ASSERT_NE(churner, nullptr);
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(a_->SendRaw(Frame("RECORDSETLOCKCURRENTROW~1") +
                          Frame("RECORDSETGETFIELDVALUE~1~NAME") +
                          Frame("RECORDSETGETBOOKMARK~1")));
  std::string reply;
  int releases = 0;
  const auto deadline =
      sent + std::chrono::milliseconds(20 * kShortDelayMs) + std::chrono::seconds(10);
  while (!a_->ReceiveText(reply, 0) && std::chrono::steady_clock::now() < deadline) {
    Churn(*churner, "3");
    ++releases;
  }
  const auto waited = std::chrono::steady_clock::now() - sent;
  EXPECT_EQ(reply, "RECORDSETLOCKCURRENTROW~FAILED");
  EXPECT_GE(waited, std::chrono::milliseconds(10 * kShortDelayMs));
  // Enough releases to have spent ten tries many times over...
  EXPECT_GT(releases, 3 * 10);
  // ...and yet one try a delay: the first, nine (or, as the clock rounds,
  // ten) on the timer before the wait is over, and the one answered.
  EXPECT_LE(Deferrals("RECORDSETLOCKCURRENTROW"), 10 + 1);
  EXPECT_GE(Deferrals("RECORDSETLOCKCURRENTROW"), 1);
  EXPECT_EQ(FinalFailures("RECORDSETLOCKCURRENTROW"), 1);
  // The requests behind it are answered after it, in order.
  EXPECT_EQ(Next(*a_), "RECORDSETGETFIELDVALUE~1~n1");
  EXPECT_EQ(Next(*a_), "RECORDSETGETBOOKMARK~1~1");
  EXPECT_EQ(Ask(*a_, "RECORDSETISCURRENTROWLOCKED~1"), "RECORDSETISCURRENTROWLOCKED~1~1");
  // A lock through another client's recordset is refused at once.
  EXPECT_EQ(Ask(*c_, "RECORDSETLOCKCURRENTROW~2"), "RECORDSETLOCKCURRENTROW~FAILED");
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

// The authoriser without sockets: the per-address delays of failed
// attempts, and the rules that need a peer address a test cannot connect
// from (a password over the plain port from another host).
#include "protocol/authorisation.h"

#include <gtest/gtest.h>

#include "engine/database.h"
#include "protocol/client_state.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"
#include "support/test_support.h"

namespace zt {
namespace {

TEST(AuthThrottleTest, DelaysDoubleUpToTheCapAndSuccessForgets) {
  AuthThrottle throttle;
  throttle.set_delays(100, 1000);
  const int64_t t = 1'000'000;
  EXPECT_EQ(throttle.NotBefore("10.0.0.1", t), 0);
  const int64_t expected[] = {100, 200, 400, 800, 1000, 1000};
  for (const int64_t delay : expected) EXPECT_EQ(throttle.Failed("10.0.0.1", t), delay);
  EXPECT_EQ(throttle.NotBefore("10.0.0.1", t), t + 1000);
  EXPECT_EQ(throttle.NotBefore("10.0.0.2", t), 0);  // per address
  // A long quiet period forgets the address; a success does at once.
  EXPECT_EQ(throttle.NotBefore("10.0.0.1", t + kAuthFailureMemoryMs + 1), 0);
  throttle.Failed("10.0.0.3", t);
  throttle.Succeeded("10.0.0.3");
  EXPECT_EQ(throttle.NotBefore("10.0.0.3", t), 0);
  // Thousands of failures never overflow the shift.
  for (int i = 0; i < 5000; ++i) EXPECT_LE(throttle.Failed("10.0.0.4", t), 1000);
}

TEST(AuthThrottleTest, TableStaysBoundedByEvictingTheOldest) {
  AuthThrottle throttle;
  for (size_t i = 0; i < 2 * kMaxTrackedAddresses; ++i) {
    throttle.Failed("addr" + std::to_string(i), static_cast<int64_t>(i));
    ASSERT_LE(throttle.size(), kMaxTrackedAddresses);
  }
  EXPECT_EQ(throttle.NotBefore("addr0", 10), 0);  // evicted
  EXPECT_GT(throttle.NotBefore("addr" + std::to_string(2 * kMaxTrackedAddresses - 1), 10), 0);
}

// Accepts "alice"/"pw" (read-write) and "reader"/"pw" (read-only).
class FakeAccounts : public AccountStore {
 public:
  std::optional<Account> Verify(std::string_view user, std::string_view password) override {
    if (password != "pw") return std::nullopt;
    return Find(user);
  }
  std::optional<Account> Find(std::string_view user) override {
    if (user == "alice") return Account{.name = "alice", .may_write = true, .may_lock = true};
    if (user == "reader") return Account{.name = "reader", .may_write = false, .may_lock = false};
    return std::nullopt;
  }
};

class AuthoriserTest : public ::testing::Test {
 protected:
  Admission Ask(Authoriser& authoriser, ClientSession& session, const std::string& request) {
    RequestFields fields;
    SplitFields(request, fields);
    const Command* command = FindCommand(fields[0]);
    EXPECT_NE(command, nullptr) << request;
    reply_.clear();
    return authoriser.Admit(session, *command, fields, client_, reply_);
  }

  testing::ScratchFolder folder_;
  Database database_{folder_.path()};
  Recordsets recordsets_{database_};
  FakeAccounts accounts_;
  ClientState client_;
  std::string reply_;
};

TEST_F(AuthoriserTest, PlainPasswordsFromAnotherHostOnlyWhenAllowed) {
  struct Case {
    const char* peer;
    bool tls;
    bool allow_plain;
    bool accepted;
  };
  const Case cases[] = {
      {"10.1.2.3", false, false, false}, {"10.1.2.3", false, true, true},
      {"10.1.2.3", true, false, true},   {"127.0.0.1", false, false, true},
      {"127.9.9.9", false, false, true}, {"", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + (c.tls ? " tls" : " plain"));
    Authoriser authoriser(accounts_, recordsets_,
                          AuthPolicy{.require = true, .allow_plain_passwords = c.allow_plain},
                          [](std::string_view) {});
    ClientSession session(kNoSocket, c.peer);
    session.identity.tls = c.tls;
    EXPECT_EQ(Ask(authoriser, session, "AUTHENTICATE~alice~pw"), Admission::kAnswer);
    EXPECT_EQ(reply_, c.accepted ? "AUTHENTICATE" : "AUTHENTICATE~FAILED");
    EXPECT_EQ(session.identity.authenticated, c.accepted);
  }
}

TEST_F(AuthoriserTest, WithoutRequireAnUnauthenticatedSessionKeepsFullAccess) {
  Authoriser authoriser(accounts_, recordsets_, AuthPolicy{}, [](std::string_view) {});
  ClientSession session(kNoSocket, "127.0.0.1");
  EXPECT_EQ(Ask(authoriser, session, "RECORDSETUPDATE~1"), Admission::kProceed);
  // Once a read-only user authenticates, the user's access applies.
  EXPECT_EQ(Ask(authoriser, session, "AUTHENTICATE~reader~pw"), Admission::kAnswer);
  EXPECT_EQ(Ask(authoriser, session, "RECORDSETUPDATE~1"), Admission::kAnswer);
  EXPECT_EQ(reply_, "RECORDSETUPDATE~FAILED");
  EXPECT_EQ(Ask(authoriser, session, "RECORDSETUNLOCKALL~1"), Admission::kProceed);
  EXPECT_EQ(Ask(authoriser, session, "RECORDSETLOCKALL~1"), Admission::kAnswer);
}

TEST_F(AuthoriserTest, AnAttemptAfterAFailureWaitsItsTurn) {
  Authoriser authoriser(accounts_, recordsets_,
                        AuthPolicy{.require = true, .failure_delay_ms = 60000,
                                   .max_failure_delay_ms = 60000},
                        [](std::string_view) {});
  ClientSession first(kNoSocket, "127.0.0.1");
  ClientSession second(kNoSocket, "127.0.0.1");
  EXPECT_EQ(Ask(authoriser, first, "AUTHENTICATE~alice~wrong"), Admission::kAnswer);
  // Another connection from the same address waits too, even with the
  // right password: the delay is the address's.
  EXPECT_EQ(Ask(authoriser, second, "AUTHENTICATE~alice~pw"), Admission::kWait);
  EXPECT_EQ(authoriser.stats().failures, 1u);
  EXPECT_EQ(authoriser.stats().delayed, 1u);
}

}  // namespace
}  // namespace zt

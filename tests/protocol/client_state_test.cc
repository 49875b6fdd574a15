// The row-lock table's waiters on their own: a release wakes the clients
// waiting on that row and nobody else, whatever else is locked, released or
// waited on, and a client is listed under one row at most.
#include "protocol/client_state.h"

#include <gtest/gtest.h>

#include <array>

namespace zt {
namespace {

class RowLockWaitersTest : public ::testing::Test {
 protected:
  // Client i holds recordset handle i + 1.
  void SetUp() override {
    for (size_t i = 0; i < clients_.size(); ++i) clients_[i].recordsets[Handle(i)];
  }
  static int32_t Handle(size_t client) { return static_cast<int32_t>(client + 1); }
  bool Lock(size_t client, int32_t row) {
    return table_.Lock(row, clients_[client], Handle(client));
  }
  bool Unlock(size_t client, int32_t row) {
    return table_.Unlock(row, clients_[client], Handle(client));
  }

  RowLockTable table_;
  std::array<ClientState, 4> clients_;
};

TEST_F(RowLockWaitersTest, AReleaseWakesTheWaitersOfThatRowOnly) {
  ASSERT_TRUE(Lock(0, 100));
  ASSERT_TRUE(Lock(0, 200));
  table_.AddWaiter(100, clients_[1]);
  table_.AddWaiter(100, clients_[2]);
  table_.AddWaiter(200, clients_[3]);
  // Churn on a row nobody waits on wakes nobody.
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(Lock(3, 300));
    ASSERT_TRUE(Unlock(3, 300));
  }
  EXPECT_EQ(table_.wakes(), 0u);
  ASSERT_TRUE(Unlock(0, 100));
  EXPECT_EQ(table_.wakes(), 2u);
  EXPECT_TRUE(clients_[1].woken && clients_[2].woken);
  EXPECT_FALSE(clients_[1].waiting_row || clients_[2].waiting_row);  // forgotten once woken
  EXPECT_FALSE(clients_[3].woken);
  EXPECT_EQ(clients_[3].waiting_row, 200);
  EXPECT_EQ(table_.rows_waited_on(), 1u);
  // Locked and released again: nobody is listed under it any more.
  ASSERT_TRUE(Lock(0, 100));
  ASSERT_TRUE(Unlock(0, 100));
  EXPECT_EQ(table_.wakes(), 2u);
  // UnlockAll wakes the waiters of each row it releases.
  table_.UnlockAll(clients_[0], Handle(0));
  EXPECT_EQ(table_.wakes(), 3u);
  EXPECT_TRUE(clients_[3].woken);
  EXPECT_EQ(table_.rows_waited_on(), 0u);
}

// A waiter whose next try meets another row moves there; one that goes
// away (answered, or its connection closed) is never woken.
TEST_F(RowLockWaitersTest, AWaiterIsListedUnderOneRowAtMost) {
  ASSERT_TRUE(Lock(0, 100));
  ASSERT_TRUE(Lock(0, 200));
  table_.AddWaiter(100, clients_[1]);
  table_.AddWaiter(200, clients_[1]);
  ASSERT_TRUE(Unlock(0, 100));
  EXPECT_FALSE(clients_[1].woken);
  EXPECT_EQ(clients_[1].waiting_row, 200);
  table_.AddWaiter(200, clients_[2]);
  table_.RemoveWaiter(clients_[1]);
  table_.RemoveWaiter(clients_[1]);  // not listed: nothing happens
  ASSERT_TRUE(Unlock(0, 200));
  EXPECT_FALSE(clients_[1].woken);
  EXPECT_TRUE(clients_[2].woken);
  EXPECT_EQ(table_.wakes(), 1u);
  EXPECT_EQ(table_.rows_waited_on(), 0u);
}

}  // namespace
}  // namespace zt

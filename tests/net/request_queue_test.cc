// The request queue on its own: order and texts survive any mix of pushes
// and pops, and what it counts and holds per request is its text and one
// byte, however many tiny requests a client sends.
#include "net/request_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace zt {
namespace {

// The queue against a std::deque, through pushes and pops interleaved so
// that the dead prefix is cut at every phase.
TEST(RequestQueueTest, KeepsTheTextsInOrderThroughPushesAndPops) {
  RequestQueue queue;
  std::deque<std::string> model;
  unsigned seed = 7;
  for (int step = 0; step < 20000; ++step) {
    seed = seed * 1103515245u + 12345u;
    if ((seed >> 16) % 3 != 0 || model.empty()) {
      // Lengths 1 to 300, the one-byte request included.
      const std::string text(1 + (seed >> 8) % 300, static_cast<char>('a' + step % 26));
      queue.push_back(text + std::to_string(step));
      model.push_back(text + std::to_string(step));
    } else {
      ASSERT_EQ(queue.front(), model.front()) << "step " << step;
      queue.pop_front();
      model.pop_front();
    }
    ASSERT_EQ(queue.size(), model.size());
    ASSERT_EQ(queue.empty(), model.empty());
  }
  while (!model.empty()) {
    ASSERT_EQ(queue.front(), model.front());
    queue.pop_front();
    model.pop_front();
  }
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.bytes(), 0u);
}

// The reproducer's stream: a million requests "A" cost two bytes each (32
// and more as string objects), and the buffer never holds much more than
// twice what is live as the front is answered.
TEST(RequestQueueTest, TinyRequestsCostTheirTextAndOneByte) {
  RequestQueue queue;
  constexpr size_t kRequests = 1000000;
  for (size_t i = 0; i < kRequests; ++i) queue.push_back("A");
  EXPECT_EQ(queue.bytes(), 2 * kRequests);
  EXPECT_LE(queue.memory(), 2 * queue.bytes());
  size_t live = kRequests;
  while (live > 1000) {
    queue.pop_front();
    --live;
    ASSERT_LE(queue.bytes(), 2 * (2 * live) + 2) << live << " live";
  }
}

// An emptied queue gives back a buffer a burst grew, and keeps a small one.
TEST(RequestQueueTest, AnEmptiedQueueGivesBackALargeBuffer) {
  RequestQueue queue;
  for (int i = 0; i < 100000; ++i) queue.push_back("RECORDSETMOVENEXT~1");
  EXPECT_GT(queue.memory(), kRetainedQueueCapacity);
  while (!queue.empty()) queue.pop_front();
  EXPECT_LE(queue.memory(), kRetainedQueueCapacity);
  queue.push_back("GETLASTERROR");
  const size_t small = queue.memory();
  queue.pop_front();
  EXPECT_EQ(queue.memory(), small);
  queue.push_back("STARTTRANSACTION");
  EXPECT_EQ(queue.front(), "STARTTRANSACTION");
}

}  // namespace
}  // namespace zt

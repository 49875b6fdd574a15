// An index that serves reads from its page cache must read exactly what the
// file holds: every page it writes, splits or appends stays current in the
// cache, and pages beyond the cache's size are read from the file.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/index.h"
#include "engine/index_check.h"
#include "support/test_support.h"

namespace zt {
namespace {

std::vector<std::pair<std::string, int32_t>> Walk(IndexFile& index) {
  std::vector<std::pair<std::string, int32_t>> entries;
  IndexCursor cursor;
  if (!index.IndexFirst(cursor)) return entries;
  do {
    entries.emplace_back(cursor.key, cursor.record);
  } while (index.IndexNext(cursor) && entries.size() < 100000);
  return entries;
}

TEST(IndexPageCache, ReadsAgreeWithTheFile) {
  for (const size_t cached_pages : {size_t{1}, size_t{16}, size_t{100000}}) {
    testing::ScratchFolder dir;
    const std::string path = dir.File("cached.zix");
    IndexFile cached;
    ASSERT_TRUE(cached.IndexCreate(path));
    ASSERT_TRUE(cached.IndexOpen(path, 1));
    cached.EnablePageCache(cached_pages);

    std::mt19937 random(static_cast<unsigned>(cached_pages));
    std::vector<std::pair<std::string, int32_t>> inserted;
    for (int32_t i = 0; i < 3000; ++i) {
      const std::string key = "key" + std::to_string(random() % 400);
      ASSERT_TRUE(cached.IndexInsert(key, i));
      inserted.emplace_back(key, i);
      if (i % 7 == 0) {
        const auto& victim = inserted[random() % inserted.size()];
        cached.IndexDelete(victim.first, victim.second);
      }
    }
    IndexCursor cursor;
    ASSERT_TRUE(cached.IndexSeekGE("key2", cursor));

    IndexFile fresh;  // no cache: what the file holds
    ASSERT_TRUE(fresh.IndexOpen(path, 1));
    const auto from_file = Walk(fresh);
    EXPECT_EQ(Walk(cached), from_file) << cached_pages << " cached pages";
    EXPECT_GT(from_file.size(), 2000u);

    IndexCheckResult check;
    EXPECT_TRUE(CheckIndex(fresh.handle(), check)) << check.problems.front();
  }
}

// Deferred writes keep changed pages in the cache until the flush; a page
// pushed out of a small cache is written early. Either way the file must
// end up byte for byte as write-through leaves it, and reads during the
// deferral must see the deferred pages.
TEST(IndexPageCache, DeferredWritesLeaveTheWriteThroughFile) {
  testing::ScratchFolder dir;
  const std::string plain_path = dir.File("plain.zix");
  IndexFile plain;
  ASSERT_TRUE(plain.IndexCreate(plain_path));
  ASSERT_TRUE(plain.IndexOpen(plain_path, 0));
  std::vector<std::string> keys;
  std::mt19937 random(3);
  for (int i = 0; i < 2000; ++i) keys.push_back("key" + std::to_string(random() % 300));
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(plain.IndexInsert(keys[i], i));
  ASSERT_TRUE(plain.IndexDelete(keys[10], 10));
  const std::string expected = testing::ReadFile(plain_path);

  for (const size_t cached_pages : {size_t{3}, size_t{100000}}) {
    SCOPED_TRACE(cached_pages);
    const std::string path = dir.File("deferred" + std::to_string(cached_pages) + ".zix");
    IndexFile deferred;
    ASSERT_TRUE(deferred.IndexCreate(path));
    ASSERT_TRUE(deferred.IndexOpen(path, 0));
    deferred.EnablePageCache(cached_pages);
    for (int i = 0; i < 2000; ++i) {
      if (i % 700 == 0) {
        ASSERT_TRUE(deferred.DeferWrites());
      }
      ASSERT_TRUE(deferred.IndexInsert(keys[i], i));
      if (i % 700 == 699) {
        ASSERT_TRUE(deferred.FlushWrites());
      }
    }
    IndexCursor cursor;
    ASSERT_TRUE(deferred.IndexSeekExact(keys[1999], 1999, cursor));  // not flushed yet
    ASSERT_TRUE(deferred.IndexDelete(keys[10], 10));
    ASSERT_TRUE(deferred.FlushWrites());
    EXPECT_FALSE(deferred.FlushWrites());
    EXPECT_TRUE(testing::ReadFile(path) == expected);
  }
}

}  // namespace
}  // namespace zt

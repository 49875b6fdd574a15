// The external sort: whatever the memory limit, the stream is the items in
// order, duplicates and empty items included; runs are written only when
// the items pass the limit, merged in several passes when there are more
// than one pass takes, and no run file outlives the sorter, a failed write
// included.
#include "engine/external_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/file.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::ScratchFolder;

bool Less(std::string_view a, std::string_view b) { return a < b; }

// Items of the given count: random text of 0..max_length bytes from a small
// alphabet (so that duplicates occur).
std::vector<std::string> RandomItems(size_t count, size_t max_length, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::string> items(count);
  for (std::string& item : items) {
    item.resize(random() % (max_length + 1));
    for (char& c : item) c = static_cast<char>('a' + random() % 3);
  }
  return items;
}

std::vector<std::string> SortAll(ExternalSorter& sorter, const std::vector<std::string>& items) {
  for (const std::string& item : items) EXPECT_TRUE(sorter.Add(item)) << sorter.error();
  EXPECT_TRUE(sorter.Finish()) << sorter.error();
  std::vector<std::string> out;
  std::string_view item;
  while (sorter.Next(item)) out.emplace_back(item);
  EXPECT_EQ(sorter.error(), "");
  return out;
}

TEST(ExternalSortTest, SortsAnyNumberOfRuns) {
  struct Case {
    const char* name;
    size_t count;
    size_t max_length;
    bool runs;      // more items than the limit holds
    bool two_pass;  // more runs than one merge pass takes
  };
  // At the least memory (1 MiB, half of it for items) an item of up to 64
  // bytes costs about 48 with its reference: 200,000 make ~20 runs;
  // 2,000,000 of up to 8 bytes (~20 each) make ~80, merged in two passes.
  const Case cases[] = {
      {"empty", 0, 8, false, false},
      {"one item", 1, 8, false, false},
      {"in memory, duplicates and empty items", 5000, 4, false, false},
      {"several runs", 200000, 64, true, false},
      {"more runs than one pass merges", 2000000, 8, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder folder;
    std::vector<std::string> items = RandomItems(c.count, c.max_length, c.count);
    ExternalSorter sorter(folder.path(), kMinSortMemory, Less);
    const std::vector<std::string> out = SortAll(sorter, items);
    std::sort(items.begin(), items.end());
    EXPECT_TRUE(out == items);
    EXPECT_EQ(sorter.count(), static_cast<int64_t>(c.count));
    EXPECT_EQ(sorter.runs_written() > 0, c.runs);
    if (c.two_pass) {
      EXPECT_GT(sorter.runs_written(), static_cast<int64_t>(kMaxMergeFanIn + 1));
    }
  }
}

TEST(ExternalSortTest, TheCallersOrderDecides) {
  // Descending, and without regard to case, as the index keys compare.
  ScratchFolder folder;
  ExternalSorter sorter(folder.path(), kMinSortMemory,
                        [](std::string_view a, std::string_view b) { return a > b; });
  const std::vector<std::string> out = SortAll(sorter, {"b", "a", "c", "b"});
  EXPECT_EQ(out, (std::vector<std::string>{"c", "b", "b", "a"}));
}

TEST(ExternalSortTest, RunFilesAreGoneWhenTheSorterIs) {
  ScratchFolder folder;
  {
    ExternalSorter sorter(folder.path(), kMinSortMemory, Less);
    for (const std::string& item : RandomItems(100000, 64, 7)) ASSERT_TRUE(sorter.Add(item));
    ASSERT_GT(sorter.runs_written(), 0);
    EXPECT_FALSE(ListFolder(folder.path(), ".run").empty());
    ASSERT_TRUE(sorter.Finish());
    std::string_view item;
    ASSERT_TRUE(sorter.Next(item));  // abandoned half way
  }
  EXPECT_TRUE(ListFolder(folder.path(), ".run").empty());
}

TEST(ExternalSortTest, AFailedRunWriteFailsTheSortAndLeavesNoFile) {
  ScratchFolder folder;
  {
    ExternalSorter sorter(folder.path(), kMinSortMemory, Less);
    const std::vector<std::string> items = RandomItems(100000, 64, 9);
    SetFileFaults(FileFaults{.fail_write = 1});
    bool added = true;
    for (const std::string& item : items) {
      added = sorter.Add(item);
      if (!added) break;
    }
    ClearFileFaults();
    EXPECT_FALSE(added);
    EXPECT_NE(sorter.error().find("cannot write a sort run file"), std::string::npos)
        << sorter.error();
    EXPECT_FALSE(sorter.Add("x"));  // spent
    EXPECT_FALSE(sorter.Finish());
    EXPECT_TRUE(ListFolder(folder.path(), ".run").empty());
  }
  EXPECT_TRUE(ListFolder(folder.path(), ".run").empty());
}

TEST(ExternalSortTest, RefusesWhatItCannotDo) {
  ScratchFolder folder;
  ExternalSorter too_long(folder.path(), kMinSortMemory, Less);
  EXPECT_FALSE(too_long.Add(std::string(kMaxSortItem + 1, 'x')));
  EXPECT_NE(too_long.error().find("too long"), std::string::npos);

  ExternalSorter no_folder(folder.File("missing"), kMinSortMemory, Less);
  bool added = true;
  for (const std::string& item : RandomItems(100000, 64, 3)) {
    added = no_folder.Add(item);
    if (!added) break;
  }
  EXPECT_FALSE(added);
  EXPECT_NE(no_folder.error().find("cannot make a sort run file"), std::string::npos);
}

}  // namespace
}  // namespace zt

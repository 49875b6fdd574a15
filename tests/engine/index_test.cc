// Tests of the B-tree index file: the page layout a split leaves on disk,
// the searches among equal keys and across leaves, damaged pages, and a
// model-based test against an in-memory ordered multimap.
#include "engine/index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/file.h"
#include "engine/index_check.h"
#include "support/test_support.h"

namespace zt {
namespace {

using testing::ScratchFolder;

constexpr int64_t kPage = static_cast<int64_t>(IndexPage::kSize);

// Reads the page at offset straight from the file.
IndexPage PageAt(const std::string& path, int64_t offset) {
  const std::string bytes = testing::ReadFile(path);
  IndexPage page;
  EXPECT_GE(static_cast<int64_t>(bytes.size()), offset + kPage);
  if (static_cast<int64_t>(bytes.size()) >= offset + kPage) {
    EXPECT_TRUE(page.DecodeFrom(bytes.data() + offset));
  }
  return page;
}

// Overwrites 8 bytes of the file with a little-endian value.
void PokeFixed64(const std::string& path, int64_t offset, int64_t value) {
  char bytes[8];
  EncodeFixed64(bytes, value);
  for (int i = 0; i < 8; ++i) testing::PokeByte(path, static_cast<long>(offset + i), bytes[i]);
}

std::string Key(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "k%02d", i);
  return text;
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.File("test.zix");
    ASSERT_TRUE(index_.IndexCreate(path_));
    ASSERT_TRUE(index_.IndexOpen(path_, 0));
  }

  void Reopen() {
    index_.IndexClose();
    ASSERT_TRUE(index_.IndexOpen(path_, 0));
  }

  // Every entry of the leaves in index order; fails the test on a problem.
  std::vector<IndexCheckEntry> Walk() {
    IndexCheckResult result;
    CheckIndex(index_.handle(), result);
    for (const std::string& problem : result.problems) ADD_FAILURE() << problem;
    return result.entries;
  }

  ScratchFolder scratch_;
  std::string path_;
  IndexFile index_;
};

TEST_F(IndexTest, FreshIndexHasNoEntry) {
  IndexCursor cursor;
  EXPECT_FALSE(index_.IndexFirst(cursor));
  EXPECT_FALSE(index_.IndexLast(cursor));
  EXPECT_FALSE(index_.IndexSeekGE("", cursor));
  EXPECT_FALSE(index_.IndexSeekLE("zzz", cursor));
  EXPECT_FALSE(index_.IndexDelete("a", 1));
}

TEST_F(IndexTest, TwentiethEntrySplitsTheRootNineAndEleven) {
  for (int i = 0; i < 19; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), 100 + i));
  EXPECT_EQ(PageAt(path_, 0).count, 19);
  EXPECT_EQ(FileLength(index_.handle()), kPage);

  ASSERT_TRUE(index_.IndexInsert(Key(19), 119));
  // The halves are appended, the new root is rewritten at offset 0.
  ASSERT_EQ(FileLength(index_.handle()), 3 * kPage);
  const IndexPage root = PageAt(path_, 0);
  const IndexPage left = PageAt(path_, kPage);
  const IndexPage right = PageAt(path_, 2 * kPage);
  EXPECT_EQ(root.count, 1);
  EXPECT_EQ(root.parent, -1);
  EXPECT_EQ(root.leftmost_child(), kPage);
  EXPECT_EQ(root.slots[1].key, "k09");
  EXPECT_EQ(root.slots[1].record, 109);
  EXPECT_EQ(root.slots[1].child, 2 * kPage);
  EXPECT_EQ(root.slots[1].dead, 0);

  EXPECT_EQ(left.count, 9);
  EXPECT_EQ(left.slots[9].key, "k08");
  EXPECT_EQ(left.slots[10].key, "");  // vacated slots are fresh
  EXPECT_EQ(left.slots[10].record, -1);
  EXPECT_EQ(right.count, 11);
  EXPECT_EQ(right.slots[1].key, "k09");
  EXPECT_EQ(right.slots[11].key, "k19");
  for (const IndexPage* page : {&left, &right}) {
    EXPECT_EQ(page->parent, 0);
    EXPECT_EQ(page->leftmost_child(), -1);
  }
  EXPECT_EQ(left.prev, -1);
  EXPECT_EQ(left.next, 2 * kPage);
  EXPECT_EQ(right.prev, kPage);
  EXPECT_EQ(right.next, -1);
  EXPECT_EQ(Walk().size(), 20u);
}

TEST_F(IndexTest, LeafSplitBelowTheRootLinksTheNewPageBothWays) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i * 4), i));
  // Fill the left leaf (k00..k32) up to its split with keys below k36.
  for (const int i : {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14}) {
    ASSERT_TRUE(index_.IndexInsert(Key(i), 100 + i));
  }
  ASSERT_EQ(FileLength(index_.handle()), 4 * kPage);
  const IndexPage root = PageAt(path_, 0);
  ASSERT_EQ(root.count, 2);
  // The new page sits between the halves of the first split.
  EXPECT_EQ(root.slots[1].child, 3 * kPage);
  EXPECT_EQ(root.slots[2].child, 2 * kPage);
  const IndexPage middle = PageAt(path_, 3 * kPage);
  EXPECT_EQ(middle.prev, kPage);
  EXPECT_EQ(middle.next, 2 * kPage);
  EXPECT_EQ(middle.parent, 0);
  EXPECT_EQ(PageAt(path_, 2 * kPage).prev, 3 * kPage);
  EXPECT_EQ(Walk().size(), 31u);
}

TEST_F(IndexTest, EqualKeysFollowEarlierOnesWithoutRegardToCase) {
  ASSERT_TRUE(index_.IndexInsert("b", 1));
  ASSERT_TRUE(index_.IndexInsert("dup", 10));
  ASSERT_TRUE(index_.IndexInsert("a", 2));
  ASSERT_TRUE(index_.IndexInsert("DUP", 11));
  ASSERT_TRUE(index_.IndexInsert("Dup", 12));
  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexSeekEqual("dUp", cursor));
  EXPECT_EQ(cursor.record, 10);
  ASSERT_TRUE(index_.IndexNext(cursor));
  EXPECT_EQ(cursor.record, 11);
  EXPECT_EQ(cursor.key, "DUP");
  ASSERT_TRUE(index_.IndexNext(cursor));
  EXPECT_EQ(cursor.record, 12);
  EXPECT_FALSE(index_.IndexNext(cursor));

  // Deleting the first of the run hands SeekEqual to the next one; deleting
  // the last leaves nothing to find.
  ASSERT_TRUE(index_.IndexDelete("dup", 10));
  ASSERT_TRUE(index_.IndexSeekEqual("dup", cursor));
  EXPECT_EQ(cursor.record, 11);
  ASSERT_TRUE(index_.IndexDelete("dup", 11));
  ASSERT_TRUE(index_.IndexDelete("dup", 12));
  EXPECT_FALSE(index_.IndexSeekEqual("dup", cursor));
  EXPECT_FALSE(index_.IndexDelete("dup", 12));  // already dead
}

// A record rewritten in place keeps its offset: its key is deleted and
// inserted again with the same record offset, leaving a dead twin in front.
TEST_F(IndexTest, DeadTwinOfAPairDoesNotHideTheLiveOne) {
  ASSERT_TRUE(index_.IndexInsert("key", 5));
  ASSERT_TRUE(index_.IndexDelete("key", 5));
  ASSERT_TRUE(index_.IndexInsert("key", 5));
  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexSeekExact("key", 5, cursor));
  EXPECT_EQ(cursor.entry, 2);
  ASSERT_TRUE(index_.IndexDelete("key", 5));
  EXPECT_FALSE(index_.IndexSeekEqual("key", cursor));
}

TEST_F(IndexTest, LongKeyIsStoredFoundAndDeletedThroughItsFirstHundred) {
  const std::string long_key = std::string(60, 'x') + std::string(60, 'y');
  const std::string first_hundred = long_key.substr(0, kMaxKeyLength);
  ASSERT_TRUE(index_.IndexInsert(long_key, 7));
  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexSeekEqual(first_hundred, cursor));
  EXPECT_EQ(cursor.key, first_hundred);
  ASSERT_TRUE(index_.IndexSeekEqual(long_key, cursor));
  ASSERT_TRUE(index_.IndexSeekExact(long_key, 7, cursor));
  ASSERT_TRUE(index_.IndexDelete(first_hundred, 7));
  EXPECT_FALSE(index_.IndexSeekEqual(long_key, cursor));
}

// Keys k00..k19 split into leaves k00..k08 and k09..k19; each search below
// ends its descent past the last entry of a leaf or of the index.
TEST_F(IndexTest, SearchesContinueIntoTheNextLeafAndStopAtTheEnds) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), i));
  struct Case {
    const char* name;
    int (IndexFile::*seek)(std::string_view, IndexCursor&);
    const char* key;
    int want;  // record found, -1 = not found
  };
  const Case cases[] = {
      {"GE separator", &IndexFile::IndexSeekGE, "k09", 9},
      {"GE between leaves", &IndexFile::IndexSeekGE, "k085", 9},
      {"GE above all", &IndexFile::IndexSeekGE, "k20", -1},
      {"Equal separator", &IndexFile::IndexSeekEqual, "K09", 9},
      {"Equal missing", &IndexFile::IndexSeekEqual, "k085", -1},
      {"GT last of left leaf", &IndexFile::IndexSeekGT, "k08", 9},
      {"GT between leaves", &IndexFile::IndexSeekGT, "k085", 9},
      {"GT last", &IndexFile::IndexSeekGT, "k19", -1},
      {"LT separator", &IndexFile::IndexSeekLT, "k09", 8},
      {"LT above all", &IndexFile::IndexSeekLT, "zzz", 19},
      {"LT first", &IndexFile::IndexSeekLT, "k00", -1},
      {"LE between leaves", &IndexFile::IndexSeekLE, "k085", 8},
      {"LE separator", &IndexFile::IndexSeekLE, "k09", 9},
      {"LE above all", &IndexFile::IndexSeekLE, "zzz", 19},
      {"LE below all", &IndexFile::IndexSeekLE, "a", -1},
  };
  for (const Case& c : cases) {
    IndexCursor cursor;
    const int found = (index_.*c.seek)(c.key, cursor);
    if (c.want < 0) {
      EXPECT_FALSE(found) << c.name;
    } else {
      EXPECT_TRUE(found) << c.name;
      EXPECT_EQ(cursor.record, c.want) << c.name;
    }
  }
}

// A run of equal keys long enough to spread over several leaves.
TEST_F(IndexTest, EqualRunOverSeveralPagesStaysReachable) {
  std::vector<int64_t> records;
  for (int i = 0; i < 120; ++i) {
    ASSERT_TRUE(index_.IndexInsert(i % 3 == 0 ? "dup" : "DUP", 1000 + i));
    records.push_back(1000 + i);
    ASSERT_TRUE(index_.IndexInsert(Key(i % 100), i));  // interleaved neighbours
  }
  ASSERT_TRUE(index_.IndexInsert("a", 1));
  ASSERT_TRUE(index_.IndexInsert("zz", 2));
  EXPECT_GT(FileLength(index_.handle()), 10 * kPage);

  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexSeekEqual("dup", cursor));
  EXPECT_EQ(cursor.record, 1000);
  ASSERT_TRUE(index_.IndexSeekLE("dup", cursor));
  EXPECT_EQ(cursor.record, 1119);
  ASSERT_TRUE(index_.IndexSeekLT("dup", cursor));
  EXPECT_EQ(cursor.record, 1);
  ASSERT_TRUE(index_.IndexSeekGT("dup", cursor));
  EXPECT_EQ(cursor.key, "k00");

  std::mt19937 random(7);
  std::shuffle(records.begin(), records.end(), random);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(index_.IndexSeekExact("dup", records[i], cursor)) << records[i];
    EXPECT_EQ(cursor.record, records[i]);
    ASSERT_TRUE(index_.IndexDelete("Dup", records[i])) << records[i];
    EXPECT_FALSE(index_.IndexSeekExact("dup", records[i], cursor));
    if (i + 1 < records.size()) {
      const int64_t first_left =
          *std::min_element(records.begin() + static_cast<long>(i) + 1, records.end());
      ASSERT_TRUE(index_.IndexSeekEqual("dup", cursor));
      EXPECT_EQ(cursor.record, first_left);
    }
  }
  EXPECT_FALSE(index_.IndexSeekEqual("dup", cursor));
  ASSERT_TRUE(index_.IndexSeekLE("dup", cursor));
  EXPECT_EQ(cursor.record, 1);
  EXPECT_EQ(Walk().size(), 242u);
}

// A run of one column's keys over many leaves goes dead in one walk; the
// keys of a column whose name extends this one's ("TIdx" after "TId") sort
// among them and stay, told apart by their length, and so do the keys
// before and after the run.
TEST_F(IndexTest, DeleteRunKillsExactlyTheKeysOfOnePrefixAndLength) {
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(index_.IndexInsert("tid" + Key(i % 60), i));  // "TId", size 3: length 6
    ASSERT_TRUE(index_.IndexInsert("TIdx" + Key(i % 7), 1000 + i));
  }
  ASSERT_TRUE(index_.IndexInsert("TIc", 1));
  ASSERT_TRUE(index_.IndexInsert("TIe", 2));
  ASSERT_TRUE(index_.IndexDelete("TIdk05", 5));  // already dead: not counted
  int64_t removed = 0;
  ASSERT_TRUE(index_.IndexDeleteRun("TId", 6, removed));
  EXPECT_EQ(removed, 149);
  size_t live = 0;
  for (const IndexCheckEntry& entry : Walk()) {
    if (entry.dead) continue;
    ++live;
    EXPECT_NE(entry.key.size(), 6u) << entry.key;
  }
  EXPECT_EQ(live, 152u);  // 150 TIdx keys, TIc and TIe
  ASSERT_TRUE(index_.IndexDeleteRun("TId", 6, removed));
  EXPECT_EQ(removed, 0);
}

// Without dead entries a search reads one page per level and at most one
// leaf more (when its answer starts the next leaf).
TEST_F(IndexTest, SearchReadsOnePagePerLevelAndOneNeighbour) {
  std::mt19937 random(11);
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(index_.IndexInsert(PadLeft(std::to_string(random() % 2000), 6), i));
  }
  IndexCheckResult check;
  ASSERT_TRUE(CheckIndex(index_.handle(), check));
  ASSERT_GE(check.height, 3);
  for (int i = 0; i < 500; ++i) {
    const std::string key = PadLeft(std::to_string(random() % 2100), 6);
    IndexCursor cursor;
    index_.ResetPageReads();
    index_.IndexSeekGE(key, cursor);
    EXPECT_LE(index_.page_reads(), check.height + 1) << key;
    index_.ResetPageReads();
    index_.IndexSeekLE(key, cursor);
    EXPECT_LE(index_.page_reads(), check.height + 1) << key;
  }
}

// A tree whose separator is lower than the first key of its right page, as
// another writer may leave among equal keys: the run of "k" starts in the
// left leaf although the root sends "k" to the right one.
TEST_F(IndexTest, SearchFindsARunThatStartsInAnEarlierLeaf) {
  auto entry = [](const char* key, int64_t record, int64_t child) {
    IndexEntry e;
    e.key = key;
    e.record = record;
    e.child = child;
    return e;
  };
  IndexPage root;
  root.count = 1;
  root.slots[0].child = kPage;
  root.slots[1] = entry("j", 0, 2 * kPage);
  IndexPage left;
  left.parent = 0;
  left.next = 2 * kPage;
  left.count = 2;
  left.slots[1] = entry("a", 1, -1);
  left.slots[2] = entry("k", 2, -1);
  IndexPage right;
  right.parent = 0;
  right.prev = kPage;
  right.count = 2;
  right.slots[1] = entry("k", 3, -1);
  right.slots[2] = entry("z", 4, -1);
  std::string image(3 * kPage, '\0');
  root.EncodeTo(image.data());
  left.EncodeTo(image.data() + kPage);
  right.EncodeTo(image.data() + 2 * kPage);
  index_.IndexClose();
  testing::WriteFile(path_, image);
  ASSERT_TRUE(index_.IndexOpen(path_, 0));

  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexSeekEqual("k", cursor));
  EXPECT_EQ(cursor.record, 2);
  ASSERT_TRUE(index_.IndexSeekLT("k", cursor));
  EXPECT_EQ(cursor.record, 1);
  ASSERT_TRUE(index_.IndexSeekExact("k", 2, cursor));
  ASSERT_TRUE(index_.IndexDelete("k", 2));
  ASSERT_TRUE(index_.IndexSeekEqual("k", cursor));
  EXPECT_EQ(cursor.record, 3);
}

// Cursors keep page offsets in 32 bits: a split that would need a page at
// 2 GiB or beyond fails, and leaves the entries stored before it intact.
TEST_F(IndexTest, FileNeverGrowsPastTwoGigabytes) {
  for (int i = 0; i < 19; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), i));
  // A sparse file with room for exactly one more page.
  const int64_t last_page_end = kMaxIndexFileLength / kPage * kPage;
  ASSERT_TRUE(FileTruncate(index_.handle(), last_page_end - kPage));
  EXPECT_FALSE(index_.IndexInsert(Key(19), 19));  // the root split needs two
  EXPECT_EQ(FileLength(index_.handle()), last_page_end);
  IndexCursor cursor;
  for (int i = 0; i < 19; ++i) EXPECT_TRUE(index_.IndexSeekEqual(Key(i), cursor)) << i;
  EXPECT_FALSE(index_.IndexSeekEqual(Key(19), cursor));
}

// ---- Damaged pages ---------------------------------------------------------------

class DamagedIndexTest : public IndexTest {
 protected:
  // Root with leaves at kPage (k00..k08) and 2 * kPage (k09..k19).
  void SetUp() override {
    IndexTest::SetUp();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), i));
  }

  // Every operation must fail (or at least end) without touching memory
  // outside a page; none may loop.
  void ExpectSearchesFail() {
    IndexCursor cursor;
    EXPECT_FALSE(index_.IndexFirst(cursor));
    EXPECT_FALSE(index_.IndexSeekGE("k05", cursor));
    EXPECT_FALSE(index_.IndexSeekLE("k05", cursor));
    EXPECT_FALSE(index_.IndexInsert("k05", 99));
    EXPECT_FALSE(index_.IndexDelete("k05", 5));
    IndexCheckResult check;
    EXPECT_FALSE(CheckIndex(index_.handle(), check));
  }
};

TEST_F(DamagedIndexTest, EntryCountOutOfRange) {
  for (const int32_t count : {21, -1, 1 << 30}) {
    char bytes[4];
    EncodeFixed32(bytes, count);
    for (int i = 0; i < 4; ++i) {
      testing::PokeByte(path_, static_cast<long>(IndexPage::kCountOffset + i), bytes[i]);
    }
    SCOPED_TRACE(count);
    ExpectSearchesFail();
  }
}

TEST_F(DamagedIndexTest, ChildIsNotAPageOfTheFile) {
  const int64_t leftmost = IndexPage::kSlotsOffset + IndexEntry::kChildOffset;
  for (const int64_t child : {kPage + 1, 100 * kPage, int64_t{0}}) {
    PokeFixed64(path_, leftmost, child);
    SCOPED_TRACE(child);
    IndexCursor cursor;
    EXPECT_FALSE(index_.IndexFirst(cursor));
    EXPECT_FALSE(index_.IndexSeekGE("k05", cursor));
    EXPECT_FALSE(index_.IndexInsert("k05", 99));
    IndexCheckResult check;
    EXPECT_FALSE(CheckIndex(index_.handle(), check));
  }
}

TEST_F(DamagedIndexTest, ChildPointersFormACycle) {
  const int64_t leftmost = IndexPage::kSlotsOffset + IndexEntry::kChildOffset;
  PokeFixed64(path_, kPage + leftmost, 2 * kPage);
  PokeFixed64(path_, 2 * kPage + leftmost, kPage);
  // "a" sorts before every key, so each descent takes the leftmost child.
  IndexCursor cursor;
  EXPECT_FALSE(index_.IndexInsert("a", 1));
  EXPECT_FALSE(index_.IndexSeekGE("a", cursor));
  EXPECT_FALSE(index_.IndexFirst(cursor));
  IndexCheckResult check;
  EXPECT_FALSE(CheckIndex(index_.handle(), check));
}

// A file whose length is not a whole number of pages (a torn append) would
// put every later page off the page boundaries.
TEST_F(DamagedIndexTest, FileWithAPartPageTakesNoNewPage) {
  for (int i = 20; i < 28; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), i));  // right leaf: 19
  const int64_t length = FileLength(index_.handle()) + 100;
  ASSERT_TRUE(FileTruncate(index_.handle(), length));
  EXPECT_FALSE(index_.IndexInsert(Key(28), 28));  // needs a split
  EXPECT_EQ(FileLength(index_.handle()), length);
  IndexCursor cursor;
  for (int i = 0; i < 28; ++i) EXPECT_TRUE(index_.IndexSeekEqual(Key(i), cursor)) << i;
  EXPECT_FALSE(index_.IndexSeekEqual(Key(28), cursor));
}

TEST_F(DamagedIndexTest, LevelLinksFormACycle) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(index_.IndexDelete(Key(i), i));
  // The right leaf's next link points back at the left leaf: a walk for a
  // live entry would circle for ever.
  PokeFixed64(path_, 2 * kPage + IndexPage::kNextOffset, kPage);
  PokeFixed64(path_, kPage + IndexPage::kPrevOffset, 2 * kPage);
  IndexCursor cursor;
  EXPECT_FALSE(index_.IndexFirst(cursor));
  EXPECT_FALSE(index_.IndexLast(cursor));
  EXPECT_FALSE(index_.IndexSeekGE("k00", cursor));
  EXPECT_FALSE(index_.IndexSeekLT("k99", cursor));
  EXPECT_FALSE(index_.IndexDelete("k05", 5));
  IndexCheckResult check;
  EXPECT_FALSE(CheckIndex(index_.handle(), check));
}

TEST_F(DamagedIndexTest, CursorOutsideItsPage) {
  IndexCursor cursor;
  ASSERT_TRUE(index_.IndexFirst(cursor));
  IndexCursor bad = cursor;
  bad.entry = 12;  // the left leaf holds 9
  EXPECT_FALSE(index_.IndexNext(bad));
  bad = cursor;
  bad.page = static_cast<int32_t>(kPage + 8);
  EXPECT_FALSE(index_.IndexPrev(bad));
  bad.page = static_cast<int32_t>(50 * kPage);
  EXPECT_FALSE(index_.IndexNext(bad));
}

TEST_F(IndexTest, CheckerReportsBrokenLinksAndOrder) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(index_.IndexInsert(Key(i), i));
  IndexCheckResult check;
  ASSERT_TRUE(CheckIndex(index_.handle(), check));
  EXPECT_EQ(check.height, 2);
  EXPECT_EQ(check.pages, 3);

  PokeFixed64(path_, 2 * kPage + IndexPage::kPrevOffset, -1);
  EXPECT_FALSE(CheckIndex(index_.handle(), check));
  PokeFixed64(path_, 2 * kPage + IndexPage::kPrevOffset, kPage);
  PokeFixed64(path_, kPage + IndexPage::kParentOffset, 2 * kPage);
  EXPECT_FALSE(CheckIndex(index_.handle(), check));
  PokeFixed64(path_, kPage + IndexPage::kParentOffset, 0);
  ASSERT_TRUE(CheckIndex(index_.handle(), check));
  // Swap the order of two keys of the left leaf.
  testing::PokeByte(
      path_, kPage + IndexPage::kSlotsOffset + IndexEntry::kSize + IndexEntry::kKeyOffset + 2, '9');
  EXPECT_FALSE(CheckIndex(index_.handle(), check));
}

}  // namespace
}  // namespace zt

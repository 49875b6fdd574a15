// The B-tree index file (<base>.zix; also the temporary sort index).
//
// One ordered tree holds the keys of every key column of every table: a key
// is table name + column name + value, compared without regard to case
// (CompareNoCase). Pages are 2720 bytes and only ever appended; the root
// always stays at offset 0. Separator keys are copied up, so every key is in
// a leaf, and the pages of each level are chained both ways. Deletion only
// marks an entry dead; pages are never merged or freed.
//
// IndexPage, 2720 bytes, integers little-endian, offsets signed 64-bit
// (-1 = none):
//   OFFSET  WIDTH  CONTENT
//   0       8      parent page (-1 for the root as first written)
//   8       8      previous page of the same level
//   16      8      next page of the same level
//   24      4      number of entries n (signed 32-bit; 0..19 at rest, 20
//                  only in memory while a page is being split)
//   28      4      not used
//   32      128    slot 0: only its last 8 bytes (page offset 152) are used:
//                  the leftmost child (keys below entry 1); -1 in a leaf
//   32+128k 128    IndexEntry k, k = 1..20
//
// IndexEntry, 128 bytes:
//   0       4      dead flag: 0 = live, 1 = deleted
//   4       108    key text, NUL-terminated, at most 100 characters
//   112     8      record offset in the data file
//   120     8      right child: keys from this entry's key up to the next
//                  entry's key; -1 in a leaf
//
// A fresh page has parent, previous and next -1, n = 0, and in every slot
// the dead flag 0, an empty key and -1 in both offsets.
//
// Invariants of the tree (index_check.h tests them):
// - Entries of a page are in ascending key order; equal keys keep their
//   insertion order, so the leaves read along their next links give every
//   entry in index order.
// - An over-full page (20 entries) keeps entries 1..9 and moves 10..20 into
//   a new page appended to the file; the new page's first key is copied up
//   as the separator, placed in the parent right behind the pointer to the
//   page that split. A separator's right child starts with the separator's
//   key, so its subtree holds keys >= the separator and the subtree left of
//   it keys <= the separator. The root splits into two appended pages and is
//   rewritten in place with one entry: it never moves.
// - A split-off page's leftmost child is its left neighbour's last child, a
//   route no descent takes (the parent sends only keys >= the separator
//   there); only the first page of a level has a leftmost child of its own.
// - Searches descend left on equal keys (to the first of an equal run, which
//   may begin in an earlier page); inserts descend right of them.
#ifndef ZT_ENGINE_INDEX_H_
#define ZT_ENGINE_INDEX_H_

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file.h"

namespace zt {

inline constexpr size_t kMaxKeyLength = 100;
// Cursors hold page offsets as 32-bit values, so the file stays below 2 GiB.
inline constexpr int64_t kMaxIndexFileLength = int64_t{1} << 31;

struct IndexEntry {
  static constexpr size_t kDeadOffset = 0;
  static constexpr size_t kDeadWidth = 4;
  static constexpr size_t kKeyOffset = kDeadOffset + kDeadWidth;  // 4
  static constexpr size_t kKeyWidth = 108;
  static constexpr size_t kRecordOffset = kKeyOffset + kKeyWidth;  // 112
  static constexpr size_t kRecordWidth = 8;
  static constexpr size_t kChildOffset = kRecordOffset + kRecordWidth;  // 120
  static constexpr size_t kChildWidth = 8;
  static constexpr size_t kSize = kChildOffset + kChildWidth;

  int32_t dead = 0;
  std::string key;
  int64_t record = -1;
  int64_t child = -1;

  // Encodes into / decodes from exactly kSize bytes. Decode fails (false) on
  // a key of more than kMaxKeyLength characters.
  void EncodeTo(char* dst) const;
  bool DecodeFrom(const char* src);
};
static_assert(IndexEntry::kSize == 128);

struct IndexPage {
  static constexpr size_t kParentOffset = 0;
  static constexpr size_t kPrevOffset = 8;
  static constexpr size_t kNextOffset = 16;
  static constexpr size_t kCountOffset = 24;
  static constexpr size_t kUnusedOffset = 28;
  static constexpr size_t kSlotsOffset = 32;
  static constexpr int kSlots = 21;       // slot 0 (leftmost child) + entries 1..20
  static constexpr int kMaxEntries = 20;  // only while splitting
  static constexpr int kMaxAtRest = 19;
  static constexpr size_t kSize = kSlotsOffset + IndexEntry::kSize * kSlots;

  int64_t parent = -1;
  int64_t prev = -1;
  int64_t next = -1;
  int32_t count = 0;
  // slots[0].child is the leftmost child; slots[1..count] are the entries.
  std::array<IndexEntry, kSlots> slots;

  int64_t leftmost_child() const { return slots[0].child; }

  void EncodeTo(char* dst) const;
  // Fails on a damaged page: entry count outside 0..20 or an over-long key.
  bool DecodeFrom(const char* src);
};
static_assert(IndexPage::kSize == 2720);

// The position of a search or step: always a leaf entry.
class IndexCursor {
 public:
  virtual ~IndexCursor() = default;
  int32_t page = -1;    // page offset
  int32_t entry = 0;    // 1-based entry number
  std::string key;      // at most 100 characters
  int32_t record = -1;  // record offset
};

// The database's index cache in exclusive mode: 32 MiB worth of the file's
// pages (about 12,300). That keeps the upper levels of any index and whole
// indexes of several hundred thousand keys; a decoded page takes at most
// about 1.4 times its file size in memory (keys of 100 characters).
inline constexpr size_t kIndexCacheBytes = size_t{32} << 20;
inline constexpr size_t kIndexCachePages = kIndexCacheBytes / IndexPage::kSize;

class IndexFile {
 public:
  IndexFile() = default;
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;
  virtual ~IndexFile();

  // Creates (or truncates) the file with one fresh, empty root page.
  int IndexCreate(const std::string& path);
  int IndexOpen(const std::string& path, int shared);
  int IndexClose();
  bool IsOpen() const { return file_.is_open(); }
  // Whether the file holds a root page that decodes (entry count within
  // 0..20, keys within their room): checked when a database is opened.
  bool RootIsSound();
  // In shared mode: a non-blocking lock of the root page region.
  int IndexLock();
  int IndexUnlock();

  // Every operation below returns 1 on success and 0 on failure, reports no
  // message, and fails (never loops, never touches memory outside a page)
  // on a damaged file. Keys are cut to kMaxKeyLength characters. On failure
  // the cursor's content is unspecified.
  //
  // Adds (key, record) after every entry with an equal key.
  int IndexInsert(std::string_view key, int64_t record);
  // Marks the first live entry with this key and record offset dead; 0 when
  // there is none.
  int IndexDelete(std::string_view key, int64_t record);
  // Marks dead every live entry whose key starts with prefix and is exactly
  // key_length characters long (the keys of one table+column, engine/
  // index_key.h), however many records they point at: one walk along the
  // leaves from the first key not below the prefix to the last that has
  // it, each changed page written once. removed receives how many.
  int IndexDeleteRun(std::string_view prefix, size_t key_length, int64_t& removed);
  // First / last live entry of the whole index.
  int IndexFirst(IndexCursor& cursor);
  int IndexLast(IndexCursor& cursor);
  // Following / preceding live entry in index order.
  int IndexNext(IndexCursor& cursor);
  int IndexPrev(IndexCursor& cursor);
  // The searches land on live entries only. Among equal keys the order is
  // insertion order, and a search that must stand on one of them takes:
  //   SeekEqual, SeekGE: the first live entry of the equal run;
  //   SeekLE:            the last live entry <= key (the last of the run);
  //   SeekGT / SeekLT:   the first entry > key / the last entry < key.
  // A search continues into the following leaves when the entry sought is
  // not in the leaf the descent reaches.
  int IndexSeekEqual(std::string_view key, IndexCursor& cursor);
  int IndexSeekGE(std::string_view key, IndexCursor& cursor);
  int IndexSeekGT(std::string_view key, IndexCursor& cursor);
  int IndexSeekLT(std::string_view key, IndexCursor& cursor);
  int IndexSeekLE(std::string_view key, IndexCursor& cursor);
  // The first live entry with this key and this record offset.
  int IndexSeekExact(std::string_view key, int64_t record, IndexCursor& cursor);

  FileHandle handle() const { return file_.handle(); }

  // Keeps up to `pages` decoded pages in memory and serves reads from them
  // (0: no cache, every read goes to the file). The cache is write-through:
  // every page write and append still goes to the file at once and keeps
  // the cached copy current, so the file is the same with or without it.
  // When full, a new page replaces one not used since the clock hand last
  // passed it. With the cache on, the object also keeps the file's length
  // instead of asking the file system at every operation.
  // Only for a file that nothing else writes while it is open (the
  // database's index in exclusive mode, a sort's private index): a page
  // changed behind the cache's back would go unseen until DropPageCache.
  void EnablePageCache(size_t pages);
  // Forgets every cached page and the kept length (the file was changed by
  // someone else); the next reads go to the file.
  void DropPageCache();
  size_t cached_pages() const { return cache_.size(); }

  // Write-back for one bulk change (the index keys of an append batch,
  // which are written after its records and definitions). From DeferWrites
  // to FlushWrites, page writes and appends change only the cache; a
  // changed page that must leave the cache is written then, and
  // FlushWrites writes the rest, each page once, contiguous pages in one
  // transfer, from the end of the file back to the root. The file ends up
  // byte for byte as write-through leaves it; until the flush it lags
  // behind. Needs the cache on; IndexClose flushes.
  [[nodiscard]] int DeferWrites();
  // 0 when a page could not be written (the cache is then dropped).
  [[nodiscard]] int FlushWrites();

  // Pages read from the file since it was opened or the counter was reset
  // (for the benchmarks and the tests that bound the cost of a search).
  int64_t page_reads() const { return page_reads_; }
  void ResetPageReads() { page_reads_ = 0; }

  // The file's length: the kept one with the cache on, else fstat; -1 when
  // it cannot be read.
  int64_t Length();

 private:
  // A place in a leaf: the page (offset and decoded content) and an entry
  // number 1 .. count + 1 (count + 1 = after the last entry).
  struct Position {
    int64_t offset = -1;
    IndexPage page;
    int entry = 1;
  };
  // One page of an insert's descent, root first.
  struct PathStep {
    int64_t offset = -1;
    IndexPage page;
    bool loaded = false;  // page holds the page at offset (else not read yet)
  };

  // At most `limit` decoded pages by file offset, evicted in clock order:
  // a hit marks its page used; a page that needs room sweeps the hand over
  // the slots, clearing the used marks, and takes the first slot whose mark
  // was clear. Pages every descent passes through (the root, the levels
  // below it) are marked again before the hand comes back, so they stay.
  class PageCache {
   public:
    // Empties the cache and sets its size (0: off).
    void SetLimit(size_t pages);
    size_t limit() const { return limit_; }
    size_t size() const { return size_; }
    // The cached page at offset, or nullptr.
    const IndexPage* Find(int64_t offset);
    // Stores a copy of page as the content at offset; dirty: the file does
    // not hold it yet. A dirty page that must make room is written to
    // owner's file first (a failed write is remembered there).
    void Put(int64_t offset, IndexPage page, bool dirty, IndexFile& owner);
    void Forget(int64_t offset);
    void Clear();
    // Offsets of the dirty pages, ascending; and marking one written.
    std::vector<int64_t> DirtyOffsets() const;
    void MarkClean(int64_t offset);

   private:
    struct Slot {
      int64_t offset = -1;  // -1: free
      bool used = false;
      bool dirty = false;
      IndexPage page;
    };
    int32_t SlotOf(int64_t offset) const;
    void SetSlotOf(int64_t offset, int32_t slot);

    std::deque<Slot> slots_;  // grows without moving the pages it holds
    // Slot of each page by page number (-1: not cached). Page numbers stay
    // below kMaxIndexFileLength / IndexPage::kSize, so the map never
    // outgrows 3 MB whatever the file's links say.
    std::vector<int32_t> where_;
    size_t size_ = 0;
    size_t hand_ = 0;
    size_t limit_ = 0;
  };

  // Every public operation starts here: it sets the number of page reads
  // the operation may make (twice the pages of the file, plus room for a
  // split), so that a damaged file whose links form a cycle ends in failure
  // instead of a loop.
  int BeginOperation();
  // The kept leaf of the last step when it is still the cursor's (see
  // IndexNext); null when the cursor's page cannot be read.
  Position* WalkPosition(const IndexCursor& cursor);
  int ReadPage(int64_t offset, IndexPage& page);
  // The page at offset to look at without a copy: the cached page itself,
  // or one decoded into view_. Valid until the next page read or write;
  // null when it cannot be read (the same checks as ReadPage).
  const IndexPage* ViewPage(int64_t offset);
  // Takes the page by value: a caller done with it moves it into the cache.
  int WritePage(int64_t offset, IndexPage page);
  int AppendPage(const IndexPage& page, int64_t& offset);
  // The encoded page to the file at offset, bypassing the cache.
  int WriteToFile(int64_t offset, const IndexPage& page);

  // Descends from the root to the leaf where key belongs and places pos at
  // the first entry whose key is >= key (after_equal false) or > key
  // (after_equal true); pos.entry is count + 1 when no entry of that leaf
  // qualifies. When path is given it receives every page of the descent,
  // and the leaf is path->back().page (pos.page is then left alone).
  int Descend(std::string_view key, bool after_equal, Position& pos, std::vector<PathStep>* path);
  // Descend, then make sure no earlier leaf holds a qualifying entry.
  int Locate(std::string_view key, bool after_equal, Position& pos);
  // Moves pos to the first live entry at or after it / the last live entry
  // strictly before it, following the level links; 0 when there is none.
  int ForwardLive(Position& pos);
  int BackwardLive(Position& pos);
  // Locate, then the live entry at or after the position (forward) or the
  // one before it; fills cursor.
  int SeekLive(std::string_view key, bool after_equal, bool forward, IndexCursor& cursor);
  // Reads the cursor's page and checks the cursor's entry number.
  int PositionAt(const IndexCursor& cursor, Position& pos);
  // Seeks the first live entry equal to key with this record offset.
  int FindExact(std::string_view key, int64_t record, Position& pos);
  // Splits the over-full page path[level] and posts the separator into its
  // parent, splitting upwards as long as pages overflow.
  int StoreAndSplit(std::vector<PathStep>& path);
  int SplitRoot(IndexPage& root);
  // Gives every existing child of the entries first..last of page the parent
  // link parent.
  int SetParentOfChildren(const IndexPage& page, int first, int last, int64_t parent);

  File file_;
  int shared_ = 0;
  PageCache cache_;
  IndexPage view_;  // ViewPage's page when it was not cached
  // The file's length while the cache is on; -1: not known yet.
  int64_t length_ = -1;
  // Goes up with every page write and cache change; the kept leaf of a walk
  // is good while it stands where it stood when the leaf was taken.
  uint64_t writes_ = 0;
  Position walk_;
  uint64_t walk_writes_ = 0;
  bool walk_valid_ = false;
  // Between DeferWrites and FlushWrites; a write-back that failed meanwhile.
  bool deferring_ = false;
  bool deferred_write_failed_ = false;
  int64_t page_reads_ = 0;
  int64_t read_budget_ = 0;
};

}  // namespace zt

#endif  // ZT_ENGINE_INDEX_H_

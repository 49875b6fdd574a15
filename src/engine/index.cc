// The index file: its page codec, and the searches, steps and changes of
// the B-tree. The page layout and the tree's invariants are described in
// engine/index.h. Every operation reads and writes whole pages, one
// transfer each, and keeps nothing between calls but the open file and,
// when enabled, the write-through page cache.
#include "engine/index.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/codec.h"

namespace zt {

// ---- Page codec ------------------------------------------------------------

void IndexEntry::EncodeTo(char* dst) const {
  EncodeFixed32(dst + kDeadOffset, dead);
  PutTextField(dst + kKeyOffset, kKeyWidth, std::string_view(key).substr(0, kMaxKeyLength));
  EncodeFixed64(dst + kRecordOffset, record);
  EncodeFixed64(dst + kChildOffset, child);
}

bool IndexEntry::DecodeFrom(const char* src) {
  dead = DecodeFixed32(src + kDeadOffset);
  const std::string_view text = GetTextField(src + kKeyOffset, kKeyWidth);
  if (text.size() > kMaxKeyLength) return false;
  key.assign(text);
  record = DecodeFixed64(src + kRecordOffset);
  child = DecodeFixed64(src + kChildOffset);
  return true;
}

void IndexPage::EncodeTo(char* dst) const {
  std::memset(dst, 0, kSize);
  EncodeFixed64(dst + kParentOffset, parent);
  EncodeFixed64(dst + kPrevOffset, prev);
  EncodeFixed64(dst + kNextOffset, next);
  EncodeFixed32(dst + kCountOffset, count);
  for (int k = 0; k < kSlots; ++k) {
    slots[static_cast<size_t>(k)].EncodeTo(dst + kSlotsOffset +
                                           IndexEntry::kSize * static_cast<size_t>(k));
  }
}

bool IndexPage::DecodeFrom(const char* src) {
  parent = DecodeFixed64(src + kParentOffset);
  prev = DecodeFixed64(src + kPrevOffset);
  next = DecodeFixed64(src + kNextOffset);
  count = DecodeFixed32(src + kCountOffset);
  if (count < 0 || count > kMaxEntries) return false;
  for (int k = 0; k < kSlots; ++k) {
    IndexEntry& slot = slots[static_cast<size_t>(k)];
    // Slots beyond the count carry no meaning: they read (and are written
    // back) as fresh ones, and cost no decoding.
    if (k > count) {
      slot.dead = 0;
      slot.key.clear();
      slot.record = -1;
      slot.child = -1;
      continue;
    }
    if (!slot.DecodeFrom(src + kSlotsOffset + IndexEntry::kSize * static_cast<size_t>(k)))
      return false;
  }
  return true;
}

// ---- Page cache ----------------------------------------------------------------

void IndexFile::PageCache::SetLimit(size_t pages) {
  Clear();
  limit_ = pages;
}

void IndexFile::PageCache::Clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  where_.clear();
  where_.shrink_to_fit();
  hand_ = 0;
  size_ = 0;
}

// Slot of the page at offset, or -1; offsets are page-aligned and below
// kMaxIndexFileLength wherever the map is consulted.
int32_t IndexFile::PageCache::SlotOf(int64_t offset) const {
  const auto number = static_cast<size_t>(offset / static_cast<int64_t>(IndexPage::kSize));
  return number < where_.size() ? where_[number] : -1;
}

void IndexFile::PageCache::SetSlotOf(int64_t offset, int32_t slot) {
  const auto number = static_cast<size_t>(offset / static_cast<int64_t>(IndexPage::kSize));
  if (number >= where_.size()) where_.resize(std::max(number + 1, where_.size() * 2), -1);
  where_[number] = slot;
}

const IndexPage* IndexFile::PageCache::Find(int64_t offset) {
  if (offset < 0 || offset >= kMaxIndexFileLength) return nullptr;
  const int32_t at = SlotOf(offset);
  if (at < 0) return nullptr;
  Slot& slot = slots_[static_cast<size_t>(at)];
  slot.used = true;
  return &slot.page;
}

void IndexFile::PageCache::Put(int64_t offset, IndexPage page, bool dirty, IndexFile& owner) {
  // Nothing beyond the largest possible file is kept: a damaged link must
  // not size the map.
  if (limit_ == 0 || offset < 0 || offset >= kMaxIndexFileLength) return;
  if (const int32_t at = SlotOf(offset); at >= 0) {
    Slot& slot = slots_[static_cast<size_t>(at)];
    slot.page = std::move(page);
    slot.used = true;
    slot.dirty = slot.dirty || dirty;
    return;
  }
  size_t victim = slots_.size();
  if (slots_.size() < limit_) {
    slots_.emplace_back();
  } else {
    // Every used mark the hand passes is cleared, so one turn finds a slot.
    while (slots_[hand_].used) {
      slots_[hand_].used = false;
      hand_ = (hand_ + 1) % slots_.size();
    }
    victim = hand_;
    hand_ = (hand_ + 1) % slots_.size();
    Slot& old = slots_[victim];
    if (old.offset >= 0) {
      if (old.dirty && !owner.WriteToFile(old.offset, old.page)) {
        owner.deferred_write_failed_ = true;
      }
      SetSlotOf(old.offset, -1);
      --size_;
    }
  }
  Slot& slot = slots_[victim];
  slot.offset = offset;
  slot.used = true;
  slot.dirty = dirty;
  slot.page = std::move(page);
  SetSlotOf(offset, static_cast<int32_t>(victim));
  ++size_;
}

std::vector<int64_t> IndexFile::PageCache::DirtyOffsets() const {
  std::vector<int64_t> offsets;
  for (const Slot& slot : slots_) {
    if (slot.offset >= 0 && slot.dirty) offsets.push_back(slot.offset);
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

void IndexFile::PageCache::MarkClean(int64_t offset) {
  if (const int32_t at = SlotOf(offset); at >= 0) slots_[static_cast<size_t>(at)].dirty = false;
}

void IndexFile::PageCache::Forget(int64_t offset) {
  if (offset < 0 || offset >= kMaxIndexFileLength) return;
  const int32_t at = SlotOf(offset);
  if (at < 0) return;
  Slot& slot = slots_[static_cast<size_t>(at)];
  slot.offset = -1;
  slot.used = false;
  slot.dirty = false;
  SetSlotOf(offset, -1);
  --size_;
}

// ---- File operations ---------------------------------------------------------

IndexFile::~IndexFile() { IndexClose(); }

int IndexFile::IndexCreate(const std::string& path) {
  if (!FileCreate(path)) return 0;
  File file;
  if (!file.Open(path, 1)) {
    FileDelete(path);
    return 0;
  }
  char bytes[IndexPage::kSize];
  IndexPage{}.EncodeTo(bytes);
  int64_t offset = 0;
  const int ok = FileAppend(file.handle(), bytes, sizeof bytes, offset);
  file.Close();
  if (!ok) FileDelete(path);
  return ok;
}

int IndexFile::IndexOpen(const std::string& path, int shared) {
  if (path.empty()) return 0;
  shared_ = shared;
  DropPageCache();
  return file_.Open(path, shared);
}

bool IndexFile::RootIsSound() {
  if (!file_.is_open()) return false;
  char bytes[IndexPage::kSize];
  IndexPage root;
  return FileReadAt(file_.handle(), bytes, sizeof bytes, 0) && root.DecodeFrom(bytes);
}

int IndexFile::IndexClose() {
  if (!file_.is_open()) return 0;
  if (deferring_) (void)FlushWrites();
  DropPageCache();
  return file_.Close();
}

void IndexFile::EnablePageCache(size_t pages) {
  cache_.SetLimit(pages);
  length_ = -1;
  ++writes_;
}

void IndexFile::DropPageCache() {
  cache_.Clear();
  length_ = -1;
  ++writes_;
}

int IndexFile::IndexLock() {
  if (!shared_) return 1;
  return FileLockRegion(file_.handle(), 0, IndexPage::kSize);
}

int IndexFile::IndexUnlock() {
  if (!shared_) return 1;
  return FileUnlockRegion(file_.handle(), 0, IndexPage::kSize);
}

int64_t IndexFile::Length() {
  if (cache_.limit() == 0) return FileLength(file_.handle());
  if (length_ < 0) length_ = FileLength(file_.handle());
  return length_;
}

int IndexFile::BeginOperation() {
  if (!file_.is_open()) return 0;
  const int64_t length = Length();
  if (length < static_cast<int64_t>(IndexPage::kSize)) return 0;
  read_budget_ = 2 * (length / static_cast<int64_t>(IndexPage::kSize)) + 64;
  return 1;
}

const IndexPage* IndexFile::ViewPage(int64_t offset) {
  if (offset < 0 || offset % static_cast<int64_t>(IndexPage::kSize) != 0) return nullptr;
  if (read_budget_ <= 0) return nullptr;
  --read_budget_;
  if (const IndexPage* cached = cache_.Find(offset)) return cached;
  ++page_reads_;
  char bytes[IndexPage::kSize];
  if (!FileReadAt(file_.handle(), bytes, sizeof bytes, offset)) return nullptr;
  if (!view_.DecodeFrom(bytes)) return nullptr;
  cache_.Put(offset, view_, false, *this);
  return &view_;
}

int IndexFile::ReadPage(int64_t offset, IndexPage& page) {
  const IndexPage* view = ViewPage(offset);
  if (view == nullptr) return 0;
  page = *view;
  return 1;
}

int IndexFile::WriteToFile(int64_t offset, const IndexPage& page) {
  char bytes[IndexPage::kSize];
  page.EncodeTo(bytes);
  return FileWriteAt(file_.handle(), bytes, sizeof bytes, offset);
}

int IndexFile::WritePage(int64_t offset, IndexPage page) {
  ++writes_;
  if (deferring_) {
    cache_.Put(offset, std::move(page), true, *this);
    return 1;
  }
  if (!WriteToFile(offset, page)) {
    cache_.Forget(offset);  // what the file holds now is unknown
    length_ = -1;
    return 0;
  }
  cache_.Put(offset, std::move(page), false, *this);
  return 1;
}

int IndexFile::AppendPage(const IndexPage& page, int64_t& offset) {
  // Cursors keep page offsets as 32-bit values: the file may not grow past.
  // A file cut off inside a page would put every later page off the page
  // boundaries: it takes no more pages.
  const int64_t length = Length();
  const auto page_size = static_cast<int64_t>(IndexPage::kSize);
  if (length < 0 || length % page_size != 0 || length + page_size > kMaxIndexFileLength) return 0;
  // The page goes at the end of the file as it stands (FileAppend), which
  // is the kept length when the cache is on: nobody else writes the file.
  offset = length;
  if (deferring_) {
    length_ = length + page_size;
    cache_.Put(offset, page, true, *this);
    return 1;
  }
  if (!WriteToFile(offset, page)) {
    length_ = -1;
    return 0;
  }
  if (length_ >= 0) length_ = length + page_size;
  cache_.Put(offset, page, false, *this);
  return 1;
}

int IndexFile::DeferWrites() {
  if (!file_.is_open() || cache_.limit() == 0 || deferring_) return 0;
  deferring_ = true;
  deferred_write_failed_ = false;
  return 1;
}

int IndexFile::FlushWrites() {
  if (!deferring_) return 0;
  deferring_ = false;
  const auto page_size = static_cast<int64_t>(IndexPage::kSize);
  const std::vector<int64_t> dirty = cache_.DirtyOffsets();
  // Runs of contiguous pages, written from the last run back to the first:
  // pages appended by splits reach the file before the pages (and in the
  // end the root) that point at them.
  constexpr size_t kMaxRunPages = 256;
  std::vector<char> buffer;
  int ok = deferred_write_failed_ ? 0 : 1;
  size_t end = dirty.size();
  while (end > 0 && ok) {
    size_t begin = end - 1;
    while (begin > 0 && end - begin < kMaxRunPages && dirty[begin - 1] + page_size == dirty[begin])
      --begin;
    buffer.assign(static_cast<size_t>(end - begin) * IndexPage::kSize, '\0');
    for (size_t k = begin; k < end; ++k) {
      // Dirty pages stay cached until written, so every one is found.
      const IndexPage* page = cache_.Find(dirty[k]);
      if (page != nullptr) page->EncodeTo(buffer.data() + (k - begin) * IndexPage::kSize);
    }
    if (!FileWriteAt(file_.handle(), buffer.data(), buffer.size(), dirty[begin])) ok = 0;
    for (size_t k = begin; k < end; ++k) cache_.MarkClean(dirty[k]);
    end = begin;
  }
  if (!ok) {
    // What the file holds is unknown: read it again from now on.
    cache_.Clear();
    length_ = -1;
  }
  deferred_write_failed_ = false;
  return ok;
}

// ---- Locating entries --------------------------------------------------------

namespace {

// The child a descent follows for entry position e: the one left of entry e.
int64_t ChildLeftOf(const IndexPage& page, int e) {
  return page.slots[static_cast<size_t>(e - 1)].child;
}

// True when entry e of page belongs at or after the place of key: its key
// is >= key (after_equal false) or > key (after_equal true).
bool Qualifies(const IndexPage& page, int e, std::string_view key, bool after_equal) {
  const int c = CompareNoCase(key, page.slots[static_cast<size_t>(e)].key);
  return after_equal ? c < 0 : c <= 0;
}

// Entry number (1 .. count + 1) of the first entry of page that qualifies.
// The entries are in key order, so the ones that qualify form a tail: a
// binary search finds where it starts. (On a damaged page out of order the
// answer is still an entry number within 1 .. count + 1.)
int PositionInPage(const IndexPage& page, std::string_view key, bool after_equal) {
  int low = 1;
  int high = page.count + 1;
  while (low < high) {
    const int mid = low + (high - low) / 2;
    if (Qualifies(page, mid, key, after_equal)) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low;
}

void FillCursor(int64_t offset, const IndexPage& page, int e, IndexCursor& cursor) {
  const IndexEntry& entry = page.slots[static_cast<size_t>(e)];
  cursor.page = static_cast<int32_t>(offset);
  cursor.entry = e;
  cursor.key = entry.key;
  cursor.record = static_cast<int32_t>(entry.record);
}

std::string_view CutKey(std::string_view key) { return key.substr(0, kMaxKeyLength); }

// Every page but the root holds at least 9 entries, so a real tree of 2 GiB
// of pages is far lower than this; a deeper descent is a cycle of child
// pointers in a damaged file, and must not grow an insert's path with it.
constexpr int kMaxTreeHeight = 32;

}  // namespace

int IndexFile::Descend(std::string_view key, bool after_equal, Position& pos,
                       std::vector<PathStep>* path) {
  // The pages above the leaf are only looked at (ViewPage, no copy); the
  // leaf is copied into pos.page, or into the last step of the path. An
  // insert reads the path's upper pages only when a split reaches them.
  int64_t offset = 0;
  for (int depth = 1;; ++depth) {
    if (depth > kMaxTreeHeight) return 0;
    if (path != nullptr) {
      path->emplace_back();
      path->back().offset = offset;
    }
    const IndexPage* page = ViewPage(offset);
    if (page == nullptr) return 0;
    const int e = PositionInPage(*page, key, after_equal);
    const int64_t child = ChildLeftOf(*page, e);
    if (child < 0) {
      pos.offset = offset;
      pos.entry = e;
      if (path == nullptr) {
        pos.page = *page;
      } else {
        path->back().page = *page;
        path->back().loaded = true;
      }
      return 1;
    }
    // The root is never anybody's child; a pointer to it is damage. The
    // read budget ends any other cycle.
    if (child == 0) return 0;
    offset = child;
  }
}

int IndexFile::Locate(std::string_view key, bool after_equal, Position& pos) {
  if (!Descend(key, after_equal, pos, nullptr)) return 0;
  // Entries before pos in its leaf do not qualify, and the leaves are in key
  // order, so only a position at the very start of a leaf can have its
  // answer in an earlier leaf. The tree's own descent never lands there
  // (except in the first leaf); this guards files whose separators are
  // ordered differently among equal keys.
  while (pos.entry == 1 && pos.page.prev >= 0) {
    IndexPage prev;
    if (!ReadPage(pos.page.prev, prev)) return 0;
    if (prev.count > 0 && !Qualifies(prev, prev.count, key, after_equal)) break;
    const int64_t prev_offset = pos.page.prev;
    pos.offset = prev_offset;
    pos.page = std::move(prev);
    pos.entry = pos.page.count > 0 ? PositionInPage(pos.page, key, after_equal) : 1;
  }
  return 1;
}

int IndexFile::ForwardLive(Position& pos) {
  for (;;) {
    for (int e = pos.entry; e <= pos.page.count; ++e) {
      if (pos.page.slots[static_cast<size_t>(e)].dead == 0) {
        pos.entry = e;
        return 1;
      }
    }
    const int64_t next = pos.page.next;
    if (next < 0) return 0;
    if (!ReadPage(next, pos.page)) return 0;
    pos.offset = next;
    pos.entry = 1;
  }
}

int IndexFile::BackwardLive(Position& pos) {
  for (;;) {
    for (int e = pos.entry - 1; e >= 1; --e) {
      if (pos.page.slots[static_cast<size_t>(e)].dead == 0) {
        pos.entry = e;
        return 1;
      }
    }
    const int64_t prev = pos.page.prev;
    if (prev < 0) return 0;
    if (!ReadPage(prev, pos.page)) return 0;
    pos.offset = prev;
    pos.entry = pos.page.count + 1;
  }
}

int IndexFile::PositionAt(const IndexCursor& cursor, Position& pos) {
  if (!ReadPage(cursor.page, pos.page)) return 0;
  if (pos.page.count < 1 || cursor.entry < 1 || cursor.entry > pos.page.count) return 0;
  pos.offset = cursor.page;
  pos.entry = cursor.entry;
  return 1;
}

int IndexFile::FindExact(std::string_view key, int64_t record, Position& pos) {
  if (!Locate(key, false, pos)) return 0;
  while (ForwardLive(pos)) {
    const IndexEntry& entry = pos.page.slots[static_cast<size_t>(pos.entry)];
    if (!EqualNoCase(entry.key, key)) return 0;
    if (entry.record == record) return 1;
    ++pos.entry;
  }
  return 0;
}

// ---- Searches and steps --------------------------------------------------------

int IndexFile::IndexFirst(IndexCursor& cursor) {
  if (!BeginOperation()) return 0;
  Position pos;
  pos.offset = 0;
  if (!ReadPage(0, pos.page)) return 0;
  for (int64_t child = pos.page.leftmost_child(); child >= 0; child = pos.page.leftmost_child()) {
    if (child == 0 || !ReadPage(child, pos.page)) return 0;
    pos.offset = child;
  }
  pos.entry = 1;
  if (!ForwardLive(pos)) return 0;
  FillCursor(pos.offset, pos.page, pos.entry, cursor);
  return 1;
}

int IndexFile::IndexLast(IndexCursor& cursor) {
  if (!BeginOperation()) return 0;
  Position pos;
  pos.offset = 0;
  if (!ReadPage(0, pos.page)) return 0;
  for (;;) {
    const int64_t child = ChildLeftOf(pos.page, pos.page.count + 1);
    if (child < 0) break;
    if (child == 0 || !ReadPage(child, pos.page)) return 0;
    pos.offset = child;
  }
  pos.entry = pos.page.count + 1;
  if (!BackwardLive(pos)) return 0;
  FillCursor(pos.offset, pos.page, pos.entry, cursor);
  return 1;
}

// A walk steps through the entries of one leaf many times in a row: the
// leaf of the last step is kept (walk_) and used again, without copying it
// out of the cache, while nothing has been written since. Only with the
// page cache on, where nobody else writes the file.
IndexFile::Position* IndexFile::WalkPosition(const IndexCursor& cursor) {
  if (cache_.limit() == 0 || !walk_valid_ || walk_writes_ != writes_ ||
      walk_.offset != cursor.page || cursor.entry < 1 || cursor.entry > walk_.page.count) {
    walk_valid_ = false;
    if (!PositionAt(cursor, walk_)) return nullptr;
    walk_valid_ = cache_.limit() != 0;
    walk_writes_ = writes_;
  }
  walk_.entry = cursor.entry;
  return &walk_;
}

int IndexFile::IndexNext(IndexCursor& cursor) {
  if (!BeginOperation()) return 0;
  Position* pos = WalkPosition(cursor);
  if (pos == nullptr) return 0;
  ++pos->entry;
  if (!ForwardLive(*pos)) {
    walk_valid_ = false;
    return 0;
  }
  FillCursor(pos->offset, pos->page, pos->entry, cursor);
  return 1;
}

int IndexFile::IndexPrev(IndexCursor& cursor) {
  if (!BeginOperation()) return 0;
  Position* pos = WalkPosition(cursor);
  if (pos == nullptr) return 0;
  if (!BackwardLive(*pos)) {
    walk_valid_ = false;
    return 0;
  }
  FillCursor(pos->offset, pos->page, pos->entry, cursor);
  return 1;
}

int IndexFile::IndexSeekEqual(std::string_view key, IndexCursor& cursor) {
  if (key.data() == nullptr || !BeginOperation()) return 0;
  key = CutKey(key);
  Position pos;
  if (!Locate(key, false, pos) || !ForwardLive(pos)) return 0;
  if (!EqualNoCase(pos.page.slots[static_cast<size_t>(pos.entry)].key, key)) return 0;
  FillCursor(pos.offset, pos.page, pos.entry, cursor);
  return 1;
}

int IndexFile::SeekLive(std::string_view key, bool after_equal, bool forward, IndexCursor& cursor) {
  if (key.data() == nullptr || !BeginOperation()) return 0;
  Position pos;
  if (!Locate(CutKey(key), after_equal, pos)) return 0;
  if (!(forward ? ForwardLive(pos) : BackwardLive(pos))) return 0;
  FillCursor(pos.offset, pos.page, pos.entry, cursor);
  return 1;
}

// The position just past the keys below K (after_equal false) or past the
// keys up to K (true); the seek takes the live entry at or after it, or the
// one before it.
int IndexFile::IndexSeekGE(std::string_view key, IndexCursor& cursor) {
  return SeekLive(key, false, true, cursor);
}

int IndexFile::IndexSeekGT(std::string_view key, IndexCursor& cursor) {
  return SeekLive(key, true, true, cursor);
}

int IndexFile::IndexSeekLT(std::string_view key, IndexCursor& cursor) {
  return SeekLive(key, false, false, cursor);
}

int IndexFile::IndexSeekLE(std::string_view key, IndexCursor& cursor) {
  return SeekLive(key, true, false, cursor);
}

int IndexFile::IndexSeekExact(std::string_view key, int64_t record, IndexCursor& cursor) {
  if (key.data() == nullptr || !BeginOperation()) return 0;
  Position pos;
  if (!FindExact(CutKey(key), record, pos)) return 0;
  FillCursor(pos.offset, pos.page, pos.entry, cursor);
  return 1;
}

// ---- Changes -------------------------------------------------------------------

int IndexFile::IndexDelete(std::string_view key, int64_t record) {
  if (key.data() == nullptr || !BeginOperation()) return 0;
  Position pos;
  if (!FindExact(CutKey(key), record, pos)) return 0;
  pos.page.slots[static_cast<size_t>(pos.entry)].dead = 1;
  return WritePage(pos.offset, pos.page);
}

int IndexFile::IndexDeleteRun(std::string_view prefix, size_t key_length, int64_t& removed) {
  removed = 0;
  if (prefix.data() == nullptr || !BeginOperation()) return 0;
  prefix = CutKey(prefix);
  Position pos;
  if (!Locate(prefix, false, pos)) return 0;
  // Keys that start with the prefix sort together, right from its place.
  for (;;) {
    bool changed = false;
    bool past = false;
    for (int e = pos.entry; e <= pos.page.count && !past; ++e) {
      IndexEntry& entry = pos.page.slots[static_cast<size_t>(e)];
      past = !EqualNoCase(std::string_view(entry.key).substr(0, prefix.size()), prefix);
      if (!past && entry.dead == 0 && entry.key.size() == key_length) {
        entry.dead = 1;
        ++removed;
        changed = true;
      }
    }
    const int64_t next = pos.page.next;
    if (changed && !WritePage(pos.offset, pos.page)) return 0;
    if (past || next < 0) return 1;
    if (!ReadPage(next, pos.page)) return 0;
    pos.offset = next;
    pos.entry = 1;
  }
}

namespace {

// Puts entry at position e (1 .. count + 1) of a page that has room.
void InsertIntoPage(IndexPage& page, int e, IndexEntry entry) {
  for (int k = page.count; k >= e; --k) {
    page.slots[static_cast<size_t>(k + 1)] = std::move(page.slots[static_cast<size_t>(k)]);
  }
  page.slots[static_cast<size_t>(e)] = std::move(entry);
  ++page.count;
}

// Moves entries 10 .. 20 of the full page left into a fresh page (its
// entries 1 .. 11), whose leftmost child becomes left's entry 9's child.
// left keeps 9 entries.
IndexPage SplitOff(IndexPage& left) {
  constexpr int kStay = 9;
  IndexPage right;
  right.slots[0].child = left.slots[kStay].child;
  for (int k = kStay + 1; k <= IndexPage::kMaxEntries; ++k) {
    right.slots[static_cast<size_t>(k - kStay)] = std::move(left.slots[static_cast<size_t>(k)]);
    left.slots[static_cast<size_t>(k)] = IndexEntry{};
  }
  right.count = IndexPage::kMaxEntries - kStay;
  left.count = kStay;
  return right;
}

// The copy of a new right page's first entry that goes up into the parent.
IndexEntry Separator(const IndexPage& right, int64_t right_offset) {
  IndexEntry separator;
  separator.key = right.slots[1].key.substr(0, kMaxKeyLength);
  separator.record = right.slots[1].record;
  separator.child = right_offset;
  return separator;
}

}  // namespace

int IndexFile::IndexInsert(std::string_view key, int64_t record) {
  if (key.data() == nullptr || !BeginOperation()) return 0;
  std::vector<PathStep> path;
  path.reserve(8);
  Position pos;
  // After every equal key: the new entry goes behind them in index order.
  if (!Descend(CutKey(key), true, pos, &path)) return 0;
  IndexPage& leaf = path.back().page;
  if (leaf.count >= IndexPage::kMaxEntries) return 0;  // damaged: at most 19 at rest
  IndexEntry entry;
  entry.key = std::string(CutKey(key));
  entry.record = record;
  InsertIntoPage(leaf, pos.entry, std::move(entry));
  return StoreAndSplit(path);
}

int IndexFile::SetParentOfChildren(const IndexPage& page, int first, int last, int64_t parent) {
  for (int k = first; k <= last; ++k) {
    const int64_t child = page.slots[static_cast<size_t>(k)].child;
    if (child < 0) continue;
    IndexPage page_below;
    if (child == 0 || !ReadPage(child, page_below)) return 0;
    page_below.parent = parent;
    if (!WritePage(child, page_below)) return 0;
  }
  return 1;
}

int IndexFile::StoreAndSplit(std::vector<PathStep>& path) {
  for (size_t level = path.size() - 1;; --level) {
    const int64_t offset = path[level].offset;
    IndexPage& page = path[level].page;
    // The last write of the insert: the page goes into the cache as it is.
    if (page.count < IndexPage::kMaxEntries) return WritePage(offset, std::move(page));
    if (level == 0) return offset == 0 ? SplitRoot(page) : 0;
    if (offset == 0) return 0;  // the root below the top: damage

    const int64_t parent_offset = path[level - 1].offset;
    IndexPage right = SplitOff(page);
    right.parent = parent_offset;
    right.prev = offset;
    right.next = page.next;
    int64_t right_offset = -1;
    if (!AppendPage(right, right_offset)) return 0;
    if (right.next >= 0) {
      IndexPage after;
      if (!ReadPage(right.next, after)) return 0;
      after.prev = right_offset;
      if (!WritePage(right.next, after)) return 0;
    }
    if (!SetParentOfChildren(right, 1, right.count, right_offset)) return 0;
    page.next = right_offset;
    page.parent = parent_offset;
    if (!WritePage(offset, page)) return 0;

    // The separator goes right behind the pointer to the page that split,
    // not by key alone: among equal separators that is the only place that
    // keeps the parent's children in the order of the level links.
    PathStep& above = path[level - 1];
    if (!above.loaded) {
      if (!ReadPage(above.offset, above.page)) return 0;
      above.loaded = true;
    }
    IndexPage& parent = above.page;
    int e = 0;
    for (int k = 0; k <= parent.count; ++k) {
      if (parent.slots[static_cast<size_t>(k)].child == offset) {
        e = k + 1;
        break;
      }
    }
    if (e == 0 || parent.count >= IndexPage::kMaxEntries) return 0;
    InsertIntoPage(parent, e, Separator(right, right_offset));
  }
}

int IndexFile::SplitRoot(IndexPage& root) {
  IndexPage& left = root;  // the old root's content moves to a new page
  IndexPage right = SplitOff(left);
  right.next = left.next;
  left.parent = 0;
  right.parent = 0;
  int64_t left_offset = -1;
  if (!AppendPage(left, left_offset)) return 0;
  right.prev = left_offset;
  int64_t right_offset = -1;
  if (!AppendPage(right, right_offset)) return 0;
  left.next = right_offset;
  if (!WritePage(left_offset, left)) return 0;
  if (right.next >= 0) {
    IndexPage after;
    if (!ReadPage(right.next, after)) return 0;
    after.prev = right_offset;
    if (!WritePage(right.next, after)) return 0;
  }
  if (!SetParentOfChildren(right, 1, right.count, right_offset)) return 0;
  if (!SetParentOfChildren(left, 0, left.count, left_offset)) return 0;

  IndexPage new_root;
  new_root.slots[0].child = left_offset;
  new_root.slots[1] = Separator(right, right_offset);
  new_root.count = 1;
  return WritePage(0, new_root);
}

}  // namespace zt

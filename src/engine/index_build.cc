// The bottom-up index build. Every key of every live record is gathered
// and sorted (engine/external_sort.h, within the memory the caller allows:
// without regard to case, equal keys by record offset, the order inserts
// over the records' lifetime give them). Then the
// tree is laid out in full before a page is written:
//
//   level 0 (leaves): the n entries spread evenly over ceil(n / 19) pages;
//   level k+1: one entry for every page of level k but the first (whose
//     first key is the low end of everything), spread evenly over
//     ceil((m - 1) / 19) pages, until one page is left: the root.
//
// That is the shape splits leave (engine/index.h): a separator is a copy of
// the first entry of its right child, and a page other than the first of
// its level takes its left neighbour's last child as its leftmost child, a
// route no descent takes. The root stays at offset 0; the other levels
// follow it, leaves first, each level's pages in key order and contiguous.
// Even spreading keeps every page but the root at least half full.
#include "engine/index_build.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/chain.h"
#include "engine/codec.h"
#include "engine/database.h"
#include "engine/external_sort.h"
#include "engine/file.h"
#include "engine/filenames.h"
#include "engine/index.h"
#include "engine/index_key.h"

namespace zt {
namespace {

constexpr int64_t kPageSize = static_cast<int64_t>(IndexPage::kSize);
constexpr int64_t kPerPage = IndexPage::kMaxAtRest;

// One level of the tree: `items` entries spread evenly over `pages` pages,
// the first of which lies at page number first_page of the file.
struct Level {
  int64_t first_page = 0;
  int64_t pages = 1;
  int64_t items = 0;

  // Items on the pages before page j.
  int64_t ItemsBefore(int64_t j) const {
    return j * (items / pages) + std::min(j, items % pages);
  }
  // The page holding item i.
  int64_t PageOfItem(int64_t i) const {
    const int64_t base = items / pages;
    const int64_t big = items % pages;  // the first `big` pages hold base + 1
    const int64_t boundary = big * (base + 1);
    return i < boundary ? i / (base + 1) : big + (i - boundary) / base;
  }
  int64_t Offset(int64_t j) const { return (first_page + j) * kPageSize; }
};

int64_t PagesFor(int64_t items) { return std::max<int64_t>(1, (items + kPerPage - 1) / kPerPage); }

// Lays out the levels, leaves first; the last one has a single page, the
// root, at offset 0. Fails when the file would pass kMaxIndexFileLength.
bool LayOut(int64_t entries, std::vector<Level>& levels) {
  levels.clear();
  levels.push_back(Level{1, PagesFor(entries), entries});
  while (levels.back().pages > 1) {
    const Level& below = levels.back();
    levels.push_back(Level{below.first_page + below.pages, PagesFor(below.pages - 1), below.pages - 1});
  }
  levels.back().first_page = 0;
  const Level& last_below = levels.size() > 1 ? levels[levels.size() - 2] : levels.back();
  const int64_t file_pages = levels.size() > 1 ? last_below.first_page + last_below.pages : 1;
  return file_pages <= kMaxIndexFileLength / kPageSize;
}

// Writes pages to the file in runs of contiguous pages.
class PageWriter {
 public:
  explicit PageWriter(FileHandle file) : file_(file) {}
  bool Put(int64_t offset, const IndexPage& page) {
    if (!buffer_.empty() && offset != start_ + static_cast<int64_t>(buffer_.size())) {
      if (!Flush()) return false;
    }
    if (buffer_.empty()) start_ = offset;
    const size_t at = buffer_.size();
    buffer_.resize(at + IndexPage::kSize);
    page.EncodeTo(buffer_.data() + at);
    return buffer_.size() < kRunBytes || Flush();
  }
  bool Flush() {
    const bool ok = buffer_.empty() || FileWriteAt(file_, buffer_.data(), buffer_.size(), start_);
    buffer_.clear();
    return ok;
  }

 private:
  static constexpr size_t kRunBytes = 256 * IndexPage::kSize;
  FileHandle file_;
  int64_t start_ = 0;
  std::vector<char> buffer_;
};

// The parent of page c of levels[k] (-1 above the root).
int64_t ParentOffset(const std::vector<Level>& levels, size_t k, int64_t c) {
  if (k + 1 >= levels.size()) return -1;
  const Level& up = levels[k + 1];
  return up.Offset(c == 0 ? 0 : up.PageOfItem(c - 1));
}

void Link(const std::vector<Level>& levels, size_t k, int64_t j, IndexPage& page) {
  const Level& level = levels[k];
  page.parent = ParentOffset(levels, k, j);
  page.prev = j > 0 ? level.Offset(j - 1) : -1;
  page.next = j + 1 < level.pages ? level.Offset(j + 1) : -1;
}

// Writes every page of the laid-out tree; progress counts pages.
bool WriteTree(ExternalSorter& keys, const std::vector<Level>& levels, FileHandle file,
               const ProgressFn& progress, std::string& error) {
  PageWriter writer(file);
  int64_t total = 0;
  for (const Level& level : levels) total += level.pages;
  int64_t done = 0;
  // The first entry (key, record) of every page of the level just written:
  // the separators of the level above.
  std::vector<IndexEntry> firsts;
  for (size_t k = 0; k < levels.size(); ++k) {
    const Level& level = levels[k];
    std::vector<IndexEntry> next_firsts(static_cast<size_t>(level.pages));
    for (int64_t j = 0; j < level.pages; ++j) {
      IndexPage page;
      Link(levels, k, j, page);
      const int64_t begin = level.ItemsBefore(j);
      const int64_t end = level.ItemsBefore(j + 1);
      page.count = static_cast<int32_t>(end - begin);
      if (k == 0) {
        // The leaves take the sorted keys in order, page after page.
        for (int64_t i = begin; i < end; ++i) {
          std::string_view item;
          if (!keys.Next(item)) {
            error = keys.error().empty() ? "the sorted keys ended early" : keys.error();
            return false;
          }
          IndexEntry& entry = page.slots[static_cast<size_t>(i - begin + 1)];
          entry.key.assign(IndexEntryItemKey(item));
          entry.record = IndexEntryItemRecord(item);
        }
      } else {
        // Item i of an inner level is page i + 1 of the level below.
        const Level& below = levels[k - 1];
        page.slots[0].child = below.Offset(begin);
        for (int64_t i = begin; i < end; ++i) {
          IndexEntry& entry = page.slots[static_cast<size_t>(i - begin + 1)];
          entry = firsts[static_cast<size_t>(i + 1)];
          entry.child = below.Offset(i + 1);
        }
      }
      if (page.count > 0) {
        next_firsts[static_cast<size_t>(j)] = page.slots[1];
        next_firsts[static_cast<size_t>(j)].child = -1;
      }
      if (!writer.Put(level.Offset(j), page)) {
        error = LastFileError();
        return false;
      }
      if (progress && (++done % 4096 == 0 || done == total)) progress("writing", done, total);
    }
    firsts = std::move(next_firsts);
  }
  if (!writer.Flush()) {
    error = LastFileError();
    return false;
  }
  return true;
}

// Gathers the keys of the live records of every table.
bool GatherKeys(Database& db, ExternalSorter& keys, const ProgressFn& progress,
                std::string& error) {
  std::vector<std::string> names;
  if (!db.GetTableNames(names)) {
    db.GetLastErrorText(&error);
    return false;
  }
  int64_t records = 0;
  bool sorted = true;
  std::string item;  // the item being added, its buffer reused
  for (const std::string& name : names) {
    TableDefinition definition;
    int64_t at = 0;
    if (!db.GetTableDef(name.c_str(), definition, at)) {
      db.GetLastErrorText(&error);
      return false;
    }
    std::string problem;
    const bool walked = WalkChain(
        db, definition, kMaxRecordLength,
        [&](const ChainRecord& record) {
          if (record.header.superseded()) return;
          if (!sorted) return;
          for (const std::string& key : Database::RecordKeys(
                   record.data, static_cast<int32_t>(record.data.size()), definition)) {
            IndexEntryItemInto(item, key, record.offset);
            if (!keys.Add(item)) {
              sorted = false;
              return;
            }
          }
          if (progress && ++records % 65536 == 0) progress("reading", records, 0);
        },
        problem);
    if (!walked) {
      error = "table '" + name + "': " + problem;
      return false;
    }
    if (!sorted) {
      error = keys.error();
      return false;
    }
  }
  return true;
}

}  // namespace

bool ReplaceUnreadableIndex(const std::string& data_file, std::string& error) {
  const std::string index_path = DerivedFileName(data_file, kIndexFileExtension);
  if (PathExists(index_path)) {
    IndexFile index;
    if (!index.IndexOpen(index_path, 0)) {
      // Present but not to be had: held by a server, or not ours to open.
      error = "cannot open " + index_path + " (is it in use by a running server?)";
      return false;
    }
    if (index.RootIsSound()) return true;
  }
  const std::string fresh = index_path + ".new";
  File file;
  if (!IndexFile().IndexCreate(fresh) || !file.Open(fresh, 0) || !FileSync(file.handle()) ||
      !FileRename(fresh, index_path)) {
    error = "cannot replace the unreadable index " + index_path + ": " + LastFileError();
    FileDelete(fresh);
    return false;
  }
  return true;
}

bool RebuildIndexFile(const std::string& data_file, std::string& error) {
  return RebuildIndexFile(data_file, error, ProgressFn{});
}

bool RebuildIndexFile(const std::string& data_file, std::string& error,
                      const ProgressFn& progress, const SortOptions& sort) {
  const std::string index_path = DerivedFileName(data_file, kIndexFileExtension);
  const std::string built = index_path + ".new";
  if (!PathExists(data_file) || !PathExists(DerivedFileName(data_file, kDefinitionFileExtension))) {
    error = "no database at " + data_file;
    return false;
  }
  if (!ReplaceUnreadableIndex(data_file, error)) return false;

  ExternalSorter keys(sort.folder, sort.memory_bytes, IndexEntryItemLess);
  {
    Database db(TempFolder());
    if (!db.OpenDatabase(data_file.c_str(), 0)) {
      db.GetLastErrorText(&error);
      return false;
    }
    if (!GatherKeys(db, keys, progress, error)) return false;
    if (!db.CloseDatabase()) {
      db.GetLastErrorText(&error);
      return false;
    }
  }
  if (progress) progress("sorting", 0, keys.count());
  if (!keys.Finish()) {
    error = "cannot sort the keys: " + keys.error();
    return false;
  }
  std::vector<Level> levels;
  if (!LayOut(keys.count(), levels)) {
    error = "the index of " + IdToText(keys.count()) + " keys would pass 2 GiB";
    return false;
  }

  File file;
  std::string why;
  bool ok = FileCreate(built) && file.Open(built, 0);
  if (!ok) why = LastFileError();
  ok = ok && WriteTree(keys, levels, file.handle(), progress, why);
  if (ok && !FileSync(file.handle())) {
    ok = false;
    why = LastFileError();
  }
  file.Close();
  if (ok && !(FileRename(built, index_path) && FolderSync(FolderOf(index_path)))) {
    ok = false;
    why = LastFileError();
  }
  if (!ok) {
    error = "cannot write the new index " + built + ": " + why;
    FileDelete(built);
  }
  return ok;
}

}  // namespace zt

#include "engine/index_check.h"

#include <utility>

#include "engine/codec.h"
#include "engine/index.h"

namespace zt {
namespace {

constexpr int64_t kPageSize = static_cast<int64_t>(IndexPage::kSize);

// A page expected at the level being walked: where a parent routes, and the
// key its first entry must carry (none for the first page of a level).
struct Routed {
  int64_t offset = -1;
  int64_t parent = -1;
  bool has_separator = false;
  std::string separator;
};

class Checker {
 public:
  Checker(FileHandle handle, IndexCheckResult& result,
          const std::function<void(const IndexCheckEntry&)>& visit)
      : handle_(handle), result_(result), visit_(visit) {}

  void Run() {
    const int64_t length = FileLength(handle_);
    if (length < 0) return Problem("the file length cannot be read");
    if (length % kPageSize != 0) {
      Problem("the file length " + IdToText(length) + " is not a whole number of pages");
    }
    result_.pages = length / kPageSize;
    if (result_.pages < 1) return Problem("the file holds no root page");
    visited_.assign(static_cast<size_t>(result_.pages), 0);

    std::vector<Routed> level{Routed{0, -1, false, {}}};
    while (!level.empty()) {
      ++result_.height;
      std::vector<Routed> below;
      if (!CheckLevel(level, below)) return;
      level = std::move(below);
    }
    int64_t reached = 0;
    for (const char v : visited_) reached += v;
    if (reached != result_.pages) {
      Problem(IdToText(result_.pages - reached) +
              " page(s) of the file are not reachable from the root");
    }
  }

 private:
  void Problem(std::string text) { result_.problems.push_back(std::move(text)); }

  static std::string At(int64_t offset) { return "page " + IdToText(offset) + ": "; }

  bool Read(int64_t offset, IndexPage& page) {
    if (offset < 0 || offset % kPageSize != 0 || offset / kPageSize >= result_.pages) {
      Problem("offset " + IdToText(offset) + " is not a page of the file");
      return false;
    }
    char bytes[IndexPage::kSize];
    if (!FileReadAt(handle_, bytes, sizeof bytes, offset)) {
      Problem(At(offset) + "cannot be read");
      return false;
    }
    if (!page.DecodeFrom(bytes)) {
      Problem(At(offset) + "damaged (entry count " +
              IdToText(DecodeFixed32(bytes + IndexPage::kCountOffset)) + " or an over-long key)");
      return false;
    }
    char& seen = visited_[static_cast<size_t>(offset / kPageSize)];
    if (seen) {
      Problem(At(offset) + "reached more than once");
      return false;
    }
    seen = 1;
    return true;
  }

  // Checks the pages of one level, in routing order; fills below with the
  // pages of the next level. False when the walk cannot go on.
  bool CheckLevel(const std::vector<Routed>& level, std::vector<Routed>& below) {
    bool leaves = false;
    std::string last_key;
    bool have_last_key = false;
    for (size_t i = 0; i < level.size(); ++i) {
      const Routed& routed = level[i];
      const int64_t offset = routed.offset;
      IndexPage page;
      if (!Read(offset, page)) return false;

      if (page.parent != routed.parent && !(offset == 0 && page.parent < 0)) {
        Problem(At(offset) + "parent link " + IdToText(page.parent) + ", routed from " +
                IdToText(routed.parent));
      }
      const int64_t want_prev = i == 0 ? -1 : level[i - 1].offset;
      const int64_t want_next = i + 1 == level.size() ? -1 : level[i + 1].offset;
      if (page.prev != want_prev) {
        Problem(At(offset) + "previous link " + IdToText(page.prev) + ", expected " +
                IdToText(want_prev));
      }
      if (page.next != want_next) {
        Problem(At(offset) + "next link " + IdToText(page.next) + ", expected " +
                IdToText(want_next));
      }
      if (page.count > IndexPage::kMaxAtRest) {
        Problem(At(offset) + IdToText(page.count) + " entries (at most 19 at rest)");
      }
      if (page.count == 0 && offset != 0) Problem(At(offset) + "no entries");
      if (routed.has_separator && (page.count < 1 || page.slots[1].key != routed.separator)) {
        Problem(At(offset) + "first key differs from its separator '" + routed.separator + "'");
      }
      for (int e = 1; e <= page.count; ++e) {
        const std::string& key = page.slots[static_cast<size_t>(e)].key;
        if (have_last_key && CompareNoCase(last_key, key) > 0) {
          Problem(At(offset) + "entry " + IdToText(e) + " '" + key + "' is out of key order");
        }
        last_key = key;
        have_last_key = true;
      }

      bool page_is_leaf = page.slots[0].child < 0;
      for (int e = 1; e <= page.count; ++e) {
        if (page.slots[static_cast<size_t>(e)].child >= 0) page_is_leaf = false;
      }
      if (i == 0) {
        leaves = page_is_leaf;
      } else if (page_is_leaf != leaves) {
        Problem(At(offset) + "leaves and inner pages mixed on one level");
        return false;
      }

      if (page_is_leaf) {
        for (int e = 1; e <= page.count; ++e) {
          const IndexEntry& entry = page.slots[static_cast<size_t>(e)];
          IndexCheckEntry found{entry.key, entry.record, entry.dead != 0};
          if (visit_) {
            visit_(found);
          } else {
            result_.entries.push_back(std::move(found));
          }
        }
        continue;
      }
      if (i == 0) {
        if (page.slots[0].child < 0) {
          Problem(At(offset) + "first inner page of a level without a leftmost child");
          return false;
        }
        below.push_back(Routed{page.slots[0].child, offset, false, {}});
      }
      for (int e = 1; e <= page.count; ++e) {
        const IndexEntry& entry = page.slots[static_cast<size_t>(e)];
        if (entry.child < 0) {
          Problem(At(offset) + "inner entry " + IdToText(e) + " without a child");
          return false;
        }
        below.push_back(Routed{entry.child, offset, true, entry.key});
      }
      if (static_cast<int64_t>(below.size()) > result_.pages) {
        Problem("more pages routed than the file holds");
        return false;
      }
    }
    return true;
  }

  FileHandle handle_;
  IndexCheckResult& result_;
  const std::function<void(const IndexCheckEntry&)>& visit_;
  std::vector<char> visited_;
};

}  // namespace

int CheckIndex(FileHandle handle, IndexCheckResult& result) {
  return CheckIndex(handle, result, {});
}

int CheckIndex(FileHandle handle, IndexCheckResult& result,
               const std::function<void(const IndexCheckEntry&)>& visit) {
  result = IndexCheckResult{};
  Checker(handle, result, visit).Run();
  return result.problems.empty() ? 1 : 0;
}

}  // namespace zt

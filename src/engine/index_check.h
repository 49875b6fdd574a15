// Structural check of a B-tree index file (used by the tests and by the
// offline check of the administration tool). It reads every page reachable
// from the root, level by level, and reports what breaks the invariants
// described in engine/index.h:
//   - the root at offset 0, with no parent and no level neighbours;
//   - at most 19 entries in a page at rest, keys ascending inside a page and
//     along each level (so the leaves give every entry in index order);
//   - level links consistent both ways, in the order the parents route to
//     the pages, and no page reached twice;
//   - every page's parent link naming the page that routes to it;
//   - every separator equal to the first key of its right child;
//   - every page of the file reachable.
// (A split-off inner page's leftmost child is a route no descent takes; it
// is not checked.)
// It never writes, and every walk is bounded by the number of pages.
#ifndef ZT_ENGINE_INDEX_CHECK_H_
#define ZT_ENGINE_INDEX_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/file.h"

namespace zt {

struct IndexCheckEntry {
  std::string key;
  int64_t record = -1;
  bool dead = false;
};

struct IndexCheckResult {
  // One line of text per problem found; empty for a sound file.
  std::vector<std::string> problems;
  // Every leaf entry, dead ones included, in index order (as far as the
  // leaves could be walked).
  std::vector<IndexCheckEntry> entries;
  int height = 0;     // levels, the leaves included
  int64_t pages = 0;  // whole pages in the file
};

// Checks the index file open on handle. Returns 1 when no problem was found.
int CheckIndex(FileHandle handle, IndexCheckResult& result);
// The same, handing each leaf entry to visit in index order instead of
// keeping it in result.entries (a check of any size in bounded memory).
int CheckIndex(FileHandle handle, IndexCheckResult& result,
               const std::function<void(const IndexCheckEntry&)>& visit);

}  // namespace zt

#endif  // ZT_ENGINE_INDEX_CHECK_H_

// Sorting more items than memory may hold (the keys of a check or an index
// build at any table size): items are gathered in memory up to the limit,
// sorted, and written out as a run file; at the end the runs are
// merged, at most kMaxMergeFanIn at a time, into one ordered stream. While
// everything fits, nothing is written and the stream is the sorted memory.
//
// A run file is a sequence of items, each:
//
//   OFFSET  WIDTH  CONTENT
//   0       4      item length n, little-endian
//   4       n      the item's bytes
//
// Run files are temporaries (TempFile) in the folder given: the sorter
// deletes each as soon as it is merged, and every one that is left when it
// goes away, on every path (a failed write included).
//
// An item is an opaque byte string; the caller's order compares two. Items
// that compare equal all come out, in no promised order.
#ifndef ZT_ENGINE_EXTERNAL_SORT_H_
#define ZT_ENGINE_EXTERNAL_SORT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file.h"

namespace zt {

// What the tools and the server allow a sort by default.
inline constexpr size_t kDefaultSortMemory = size_t{256} << 20;
// The least a sort is given: below this a run would hold too few items.
inline constexpr size_t kMinSortMemory = size_t{1} << 20;
// Runs merged in one pass: each needs a read buffer, and more of them make
// the merge's heap deeper for little gain.
inline constexpr size_t kMaxMergeFanIn = 64;
// The longest item (a run file's length field bounds it; keys are far
// shorter).
inline constexpr size_t kMaxSortItem = size_t{1} << 20;

// What a sort may use, as the tools and the server pass it down: the
// folder of its run files (empty: the temporary folder) and the memory it
// may hold.
struct SortOptions {
  std::string folder;
  size_t memory_bytes = kDefaultSortMemory;
};

class ExternalSorter {
 public:
  // True when a sorts before b.
  using Less = std::function<bool(std::string_view a, std::string_view b)>;

  // folder: where run files go (empty: TempFolder()). memory_bytes: what
  // the sorter may hold (raised to kMinSortMemory).
  ExternalSorter(std::string folder, size_t memory_bytes, Less less);
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;
  ~ExternalSorter();

  // Adds one item (at most kMaxSortItem bytes); may write a run. False, with
  // error(), when a run could not be written or the item is too long; the
  // sorter is then spent.
  [[nodiscard]] bool Add(std::string_view item);
  // Ends the adding: sorts what is in memory and, when runs were written,
  // merges them down to at most kMaxMergeFanIn. False with error().
  [[nodiscard]] bool Finish();
  // After Finish: the next item in order, valid until the next call. False
  // at the end, or on a failed read (error() then says why).
  [[nodiscard]] bool Next(std::string_view& item);

  const std::string& error() const { return error_; }
  int64_t count() const { return count_; }           // items added
  int64_t runs_written() const { return runs_written_; }  // run files made in all

 private:
  class RunReader;
  struct Ref {
    size_t at;
    uint32_t length;
  };
  std::string_view Item(const Ref& r) const {
    return std::string_view(arena_).substr(r.at, r.length);
  }
  bool Fail(std::string text);
  // The limit split between the items' bytes and their references (an
  // index key is some 30 bytes, its reference 16).
  size_t ArenaBytes() const { return memory_bytes_ / 3 * 2; }
  size_t RefSlots() const { return memory_bytes_ / 3 / sizeof(Ref); }
  // Sorts the items in memory and writes them as a new run; memory is
  // freed.
  bool SpillRun();
  // Merges runs_[first, first + n) into one new run at the end of runs_.
  bool MergeRuns(size_t first, size_t n);
  // Opens readers over every run for the final stream.
  bool OpenMerge();
  bool NextFromRuns(std::string_view& item);

  std::string folder_;
  size_t memory_bytes_;
  Less less_;
  std::string error_;
  int64_t count_ = 0;
  int64_t runs_written_ = 0;
  bool finished_ = false;
  bool failed_ = false;

  // Items in memory: their bytes in one arena (millions of small strings
  // would cost more than their text), each a reference into it.
  std::string arena_;
  std::vector<Ref> refs_;
  size_t next_ref_ = 0;

  std::vector<TempFile> runs_;
  std::vector<std::unique_ptr<RunReader>> readers_;
  std::vector<size_t> heap_;        // indices of readers_ that hold an item
  int64_t advance_ = -1;            // the reader whose item Next returned last
};

}  // namespace zt

#endif  // ZT_ENGINE_EXTERNAL_SORT_H_

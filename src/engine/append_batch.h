// An append batch: the new records of a bulk load, kept in memory and
// written together (Database::BeginAppendBatch .. CommitAppendBatch).
//
// Per row, AddNewRecord appends the record, rewrites the table's definition
// (its newest-record offset) and then inserts the record's index keys: three
// writes of 100 to 12441 bytes, and the definition write dominates. A batch
// does the same work in the same order, but a whole batch at a time:
//   1. the records, end to end, in one write at the end of the data file;
//   2. each changed table definition once, with its final newest-record
//      offset;
//   3. the index keys, one insert after another, in the order the rows came,
//      with each index page they change written once, at the end
//      (IndexFile::DeferWrites); outside a batch commit the index cache is
//      write-through.
// The files end up byte for byte as the row-at-a-time path leaves them: the
// records are the same images at the same offsets, the definition's last
// value is the same, and the index sees the same inserts in the same order.
//
// Failure keeps the rule of AddNewRecord: a record is never indexed unless
// its table's chain reaches it. Until step 1 has written everything, nothing
// points at the new bytes (the cached definitions are dropped, and the file
// still holds the old ones). A failure in step 2 leaves records that no
// chain reaches, as a failed definition write of a single row does. A
// crash in step 3 leaves chained records without some of their keys, as a
// crash between a single row's definition write and its index insert does.
//
// Only in exclusive mode: the chain heads live in the definition cache for
// the whole batch, and no other process may append meanwhile.
#ifndef ZT_ENGINE_APPEND_BATCH_H_
#define ZT_ENGINE_APPEND_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zt {

// A batch takes rows until either bound is reached; the bounds keep its
// memory near 4 MiB of records plus the keys (at most ~130 bytes each).
inline constexpr size_t kAppendBatchBytes = size_t{4} << 20;
inline constexpr size_t kAppendBatchKeys = 65536;

struct AppendBatch {
  bool open = false;
  // The data file's length when the batch began: where bytes will go.
  int64_t start = -1;
  // The records' images (header and data), end to end.
  std::string bytes;
  // The index keys to insert, with their record offsets, in row order.
  std::vector<std::pair<std::string, int64_t>> keys;
  // Definition records whose newest-record offset the batch moved, each
  // once.
  std::vector<int> tables;

  bool Full() const {
    return open && (bytes.size() >= kAppendBatchBytes || keys.size() >= kAppendBatchKeys);
  }
  void Reset() {
    open = false;
    start = -1;
    bytes.clear();
    keys.clear();
    tables.clear();
  }
};

}  // namespace zt

#endif  // ZT_ENGINE_APPEND_BATCH_H_

// Verification of an open database while it serves (after an unclean
// stop), in slices of a few milliseconds between requests.
//
// What the log cannot vouch for: replay puts back every change the log
// holds, so the bytes those changes wrote are as they were committed. The
// rest of the files it never saw: an index or records written while no log
// was kept (an older version, a tool run without one), and bytes damaged
// outside the log (a disk, a copy, an editor). The verification reads
// exactly that, one unit at a time, and each unit is judged by what holds
// at every moment between two requests, whatever the clients change between
// slices:
//   - every index page of the file as it stood at the start decodes, holds
//     at most 19 entries (none only at the root), its keys in order, and
//     links (parent, neighbours, children) that name pages of the file;
//   - every live leaf entry points at a live record of its table that holds
//     that key;
//   - the data file, up to its length at the start, is one record after
//     another, each whole with a sound header, and every key of every live
//     record is a live index entry pointing at it.
// What it does not see: whether every live record is reachable from its
// table's chain, an entry missed because a split moved it to a page past
// the start's end between slices, and the index entry of a record whose key
// value more than kMaxEqualRun records share (unless it is among the first
// of them). `ztadmin check` (the database
// stopped) sees everything.
//
// It reads and never writes, holds a few pages and one record at a time,
// and a kill at any point leaves nothing to mend.
#ifndef ZT_ENGINE_DATABASE_VERIFY_H_
#define ZT_ENGINE_DATABASE_VERIFY_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/database.h"

namespace zt {

class DatabaseVerifier {
 public:
  enum class State {
    kIdle,     // never begun
    kRunning,  // slices to go
    kClean,    // done, nothing found
    kDamaged,  // done, problems found
  };
  // Problems kept as text (the count goes on).
  static constexpr size_t kKeptProblems = 5;
  // Entries of one run of equal keys a record's lookup walks at most.
  static constexpr int kMaxEqualRun = 64;

  explicit DatabaseVerifier(Database& db) : db_(db) {}

  // Takes the extents to cover from the files as they stand now.
  void Begin();
  // Verifies units (an index page or a record) until the deadline passes
  // (checked every few units) or everything is done. True while units are
  // left.
  bool Step(std::chrono::steady_clock::time_point deadline);

  State state() const { return state_; }
  // Progress in bytes of the files: verified, and to verify in all.
  int64_t done() const { return done_; }
  int64_t total() const { return total_; }
  int64_t problem_count() const { return problem_count_; }
  const std::vector<std::string>& problems() const { return problems_; }
  // Some problem lies in the index alone (a rebuild from the records mends
  // it: ztadmin reindex); some lies in the records themselves.
  bool index_damaged() const { return index_damaged_; }
  bool records_damaged() const { return records_damaged_; }
  // What an operator runs, with the server stopped, to mend what was found:
  // "ztadmin reindex" for the index alone, else "ztadmin check" (which tells
  // what can be repaired).
  const char* remedy() const { return records_damaged_ ? "ztadmin check" : "ztadmin reindex"; }
  std::chrono::steady_clock::duration elapsed() const { return elapsed_; }
  // Record keys not looked up: their value is shared by more than
  // kMaxEqualRun records, and the entry was not among the first of them
  // (the index side of the verification still saw every entry).
  int64_t keys_not_looked_up() const { return keys_not_looked_up_; }

 private:
  void IndexProblem(std::string text);
  void RecordProblem(std::string text);
  void VerifyPage(int64_t page);
  void VerifyLeafEntry(int64_t page_offset, const std::string& key, int64_t record);
  // Verifies the record at data_offset_ and moves past it; false when the
  // scan cannot go on.
  bool VerifyRecord();
  enum class Found { kYes, kNo, kNotLooked };
  // Whether the index holds a live entry (key, record).
  Found FindEntry(const std::string& key, int64_t record);

  Database& db_;
  State state_ = State::kIdle;
  int64_t index_pages_ = 0;   // pages of the index at the start
  int64_t next_page_ = 0;
  int64_t data_end_ = 0;      // data file length at the start
  int64_t data_offset_ = 0;   // where the scan goes on
  bool scan_stopped_ = false;
  int64_t done_ = 0;
  int64_t total_ = 0;
  int64_t problem_count_ = 0;
  int64_t keys_not_looked_up_ = 0;
  std::vector<std::string> problems_;
  bool index_damaged_ = false;
  bool records_damaged_ = false;
  std::chrono::steady_clock::duration elapsed_{};
  std::string data_;  // one record's bytes, reused
};

}  // namespace zt

#endif  // ZT_ENGINE_DATABASE_VERIFY_H_

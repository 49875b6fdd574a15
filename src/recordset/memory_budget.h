// MemoryBudget: the server-wide bound on the memory that recordsets hold
// (their rows, pending images and sort keys).
//
// Every allocation that grows with a client's requests asks the budget
// first and gives its bytes back when freed. A request that would pass the
// limit fails with a message instead of growing the server; what is already
// open is never touched. One budget per Recordsets table; single-threaded.
#ifndef ZT_RECORDSET_MEMORY_BUDGET_H_
#define ZT_RECORDSET_MEMORY_BUDGET_H_

#include <cstddef>
#include <cstdint>

namespace zt {

// Default of [SERVER] ResultsetMemory: 512 MiB.
inline constexpr uint64_t kDefaultResultsetMemory = uint64_t{512} << 20;

class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t limit = kDefaultResultsetMemory) : limit_(limit) {}

  // True when n more bytes fit; they are then counted as used.
  [[nodiscard]] bool Reserve(uint64_t n) {
    if (used_ > limit_ || n > limit_ - used_) return false;
    used_ += n;
    return true;
  }
  void Release(uint64_t n) { used_ = n > used_ ? 0 : used_ - n; }

  uint64_t used() const { return used_; }
  uint64_t limit() const { return limit_; }
  void set_limit(uint64_t limit) { limit_ = limit; }

 private:
  uint64_t limit_;
  uint64_t used_ = 0;
};

}  // namespace zt

#endif  // ZT_RECORDSET_MEMORY_BUDGET_H_

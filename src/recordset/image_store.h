// ImageStore: the pending images of edited rows, for every recordset.
//
// The first change to a row copies its stored record (or, for a new row,
// record-length blanks) into an image; later changes rewrite the image, and
// the update stores it and frees its slot. Closing a recordset frees the
// slots of its rows. Freed slots are reused, so editing one row over and
// over costs one image, however often it is stored. Images are charged to
// the recordsets' MemoryBudget.
#ifndef ZT_RECORDSET_IMAGE_STORE_H_
#define ZT_RECORDSET_IMAGE_STORE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "recordset/memory_budget.h"

namespace zt {

class ImageStore {
 public:
  explicit ImageStore(MemoryBudget& budget) : budget_(budget) {}
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;
  ~ImageStore() {
    for (const uint64_t cost : costs_) budget_.Release(cost);
  }

  // A slot holding a copy of bytes; -1 over the budget.
  [[nodiscard]] int32_t Allocate(std::string_view bytes) {
    const uint64_t cost = bytes.size() + sizeof(std::string);
    if (!budget_.Reserve(cost)) return -1;
    int32_t slot;
    if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
    } else {
      slot = static_cast<int32_t>(slots_.size());
      slots_.emplace_back();
    }
    slots_[static_cast<size_t>(slot)].assign(bytes);
    costs_.resize(slots_.size());
    costs_[static_cast<size_t>(slot)] = cost;
    return slot;
  }
  void Free(int32_t slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= slots_.size()) return;
    budget_.Release(costs_[static_cast<size_t>(slot)]);
    costs_[static_cast<size_t>(slot)] = 0;
    std::string().swap(slots_[static_cast<size_t>(slot)]);
    free_.push_back(slot);
  }
  std::string& at(int32_t slot) { return slots_[static_cast<size_t>(slot)]; }
  const std::string& at(int32_t slot) const { return slots_[static_cast<size_t>(slot)]; }
  size_t in_use() const { return slots_.size() - free_.size(); }

 private:
  MemoryBudget& budget_;
  std::vector<std::string> slots_;
  std::vector<uint64_t> costs_;
  std::vector<int32_t> free_;
};

}  // namespace zt

#endif  // ZT_RECORDSET_IMAGE_STORE_H_

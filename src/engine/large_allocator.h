// LargeAllocator: an allocator for containers that may grow to many
// megabytes (the rows of a recordset, a sort's scratch): blocks of
// kLargeBlockBytes or more come from AllocateBlock (engine/file.h), backed
// by huge pages where the kernel offers them, so that first writing them
// costs a few page faults instead of one per 4 KiB.
#ifndef ZT_ENGINE_LARGE_ALLOCATOR_H_
#define ZT_ENGINE_LARGE_ALLOCATOR_H_

#include <cstddef>
#include <new>

#include "engine/file.h"

namespace zt {

template <typename T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}  // NOLINT: rebinding converts

  T* allocate(size_t n) {
    void* block = AllocateBlock(n * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) noexcept { FreeBlock(block, n * sizeof(T)); }

  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

}  // namespace zt

#endif  // ZT_ENGINE_LARGE_ALLOCATOR_H_

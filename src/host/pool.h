// Pool access for the directory operations: every block comes zero-filled
// from the connection's pool with flags 6 and goes back with size 0, flags 4.
//
// The pool takes a 32-bit size. A size outside 0..kLargestBlock, or a record
// count whose byte size would not fit, is refused here as an allocation
// failure (null) instead of being narrowed into a block smaller than what the
// caller then writes into it; every caller reports it as it reports running
// out of memory.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>

namespace qorldap::host {

inline constexpr int64_t kLargestBlock = INT32_MAX;

// Word 0 and word 1 of the pool, with size and flags widened with their
// sign: what the exported wrappers vmalloc_handler and vmfree_handler do,
// and what the directory operations call directly rather than through the
// exports. A missing pool or operation allocates nothing and frees nothing.
inline void* allocateFrom(qor_pool* pool, int32_t size, int32_t flags) {
  if (pool == nullptr || pool->allocate == nullptr) return nullptr;
  return pool->allocate(pool, static_cast<int64_t>(size), static_cast<int64_t>(flags));
}
inline void freeTo(qor_pool* pool, void* block, int32_t size, int32_t flags) {
  if (pool == nullptr || pool->free == nullptr || block == nullptr) return;
  pool->free(pool, block, static_cast<int64_t>(size), static_cast<int64_t>(flags));
}

// A zero-filled block of `size` bytes, or null.
inline void* allocate(qor_pool* pool, int64_t size) {
  if (size < 0 || size > kLargestBlock) return nullptr;
  return allocateFrom(pool, static_cast<int32_t>(size), QOR_POOL_DIRECTORY_FLAGS);
}

// `count` zero-filled records of type T, or null.
template <typename T>
inline T* allocateArray(qor_pool* pool, int64_t count) {
  // T is a pointer type for the pointer arrays: their size is meant.
  constexpr auto kSize = static_cast<int64_t>(sizeof(T));  // NOLINT(bugprone-sizeof-expression)
  if (count < 0 || count > kLargestBlock / kSize) return nullptr;
  return static_cast<T*>(allocate(pool, count * kSize));
}

template <typename T>
inline T* allocateRecord(qor_pool* pool) {
  return allocateArray<T>(pool, 1);
}

inline void release(qor_pool* pool, void* block) {
  freeTo(pool, block, 0, QOR_POOL_RELEASE_FLAGS);
}

// Gives a block back when it is not null.
inline void releaseIfSet(qor_pool* pool, void* block) {
  if (block != nullptr) release(pool, block);
}

}  // namespace qorldap::host

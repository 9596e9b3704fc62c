// Pool access for the directory operations: every block comes zero-filled
// from the connection's pool with flags 6 and goes back with size 0, flags 4.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>

namespace qorldap::host {

inline void* allocate(qor_pool* pool, int64_t size) {
  return vmalloc_handler(pool, static_cast<int32_t>(size), QOR_POOL_DIRECTORY_FLAGS);
}

// `count` zero-filled records of type T.
template <typename T>
inline T* allocateArray(qor_pool* pool, int64_t count) {
  return static_cast<T*>(allocate(pool, count * static_cast<int64_t>(sizeof(T))));
}

template <typename T>
inline T* allocateRecord(qor_pool* pool) {
  return allocateArray<T>(pool, 1);
}

inline void release(qor_pool* pool, void* block) {
  vmfree_handler(pool, block, 0, QOR_POOL_RELEASE_FLAGS);
}

// Gives a block back when it is not null.
inline void releaseIfSet(qor_pool* pool, void* block) {
  if (block != nullptr) release(pool, block);
}

}  // namespace qorldap::host

// Size-checked allocation for blocks whose size comes from a count or a
// length that the module does not control (the extension's records, the
// caller's records). The pool takes a 32-bit size, so a size outside
// 0..INT32_MAX is refused here, as an allocation failure, instead of being
// truncated into a block smaller than what is then written into it.
#pragma once

#include <cstdint>
#include <cstring>

#include <qorldap/abi/objects.h>

#include "host/pool.h"

namespace qorldap::ldapext {

inline constexpr int64_t kLargestBlock = INT32_MAX;

// A zero-filled block of `size` bytes, or null.
inline void* allocateBlock(qor_pool* pool, int64_t size) {
  if (size < 0 || size > kLargestBlock) return nullptr;
  return host::allocate(pool, size);
}

// A zero-filled array of `count` pointers plus the null slot after them.
template <typename T>
inline T** allocatePointers(qor_pool* pool, int64_t count) {
  if (count < 0 || count >= kLargestBlock / static_cast<int64_t>(sizeof(T*))) return nullptr;
  return static_cast<T**>(allocateBlock(pool, (count + 1) * static_cast<int64_t>(sizeof(T*))));
}

// A copy of `length` bytes with a zero byte after them, or null. The block
// arrives zero-filled, so the terminator is already there; a null text is
// copied as `length` zero bytes.
inline char* copyText(qor_pool* pool, const char* text, int64_t length) {
  if (length < 0 || length >= kLargestBlock) return nullptr;
  auto* copy = static_cast<char*>(allocateBlock(pool, length + 1));
  if (copy != nullptr && text != nullptr && length > 0) {
    std::memcpy(copy, text, static_cast<size_t>(length));
  }
  return copy;
}

// Number of pointers before the first null, for a null-terminated array
// (0 for a null array).
template <typename T>
inline int64_t countUntilNull(const T* const* array) {
  if (array == nullptr) return 0;
  int64_t count = 0;
  while (array[count] != nullptr) ++count;
  return count;
}

}  // namespace qorldap::ldapext

// Blocks whose size comes from a count or a length that the module does not
// control (the extension's records, the caller's records): pointer arrays
// with their null slot and counted texts with their zero byte. Sizes are
// checked by the pool access (host/pool.h).
#pragma once

#include <cstdint>
#include <cstring>

#include <qorldap/abi/objects.h>

#include "host/pool.h"

namespace qorldap::extension_client {

// A zero-filled array of `count` pointers plus the null slot after them.
template <typename T>
inline T** allocatePointers(qor_pool* pool, int64_t count) {
  if (count < 0 || count >= host::kLargestBlock) return nullptr;
  return host::allocateArray<T*>(pool, count + 1);
}

// A copy of `length` bytes with a zero byte after them, or null. The block
// arrives zero-filled, so the terminator is already there; a null text is
// copied as `length` zero bytes.
inline char* copyText(qor_pool* pool, const char* text, int64_t length) {
  if (length < 0 || length >= host::kLargestBlock) return nullptr;
  auto* copy = static_cast<char*>(host::allocate(pool, length + 1));
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

}  // namespace qorldap::extension_client

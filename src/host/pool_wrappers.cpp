// The pool wrappers: calls of a pool's allocate (word 0) and free (word 1)
// with size and flags widened with their sign.
#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>

namespace {

void* allocateFrom(qor_pool* pool, int32_t size, int32_t flags) {
  if (pool == nullptr || pool->allocate == nullptr) return nullptr;
  return pool->allocate(pool, static_cast<int64_t>(size), static_cast<int64_t>(flags));
}

}  // namespace

extern "C" {

void* vmalcp_handler(qor_pool* pool, int32_t size, int32_t flags) {
  return allocateFrom(pool, size, flags);
}

void* vmalloc_handler(qor_pool* pool, int32_t size, int32_t flags) {
  return allocateFrom(pool, size, flags);
}

// Giving back nothing, or to no pool, does nothing.
void vmfree_handler(qor_pool* pool, void* block, int32_t size, int32_t flags) {
  if (pool == nullptr || pool->free == nullptr || block == nullptr) return;
  pool->free(pool, block, static_cast<int64_t>(size), static_cast<int64_t>(flags));
}

}  // extern "C"

// The pool wrappers: calls of a pool's allocate (word 0) and free (word 1)
// with size and flags widened with their sign (host/pool.h).
#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>

#include "host/pool.h"

extern "C" {

void* vmalcp_handler(qor_pool* pool, int32_t size, int32_t flags) {
  return qorldap::host::allocateFrom(pool, size, flags);
}

void* vmalloc_handler(qor_pool* pool, int32_t size, int32_t flags) {
  return qorldap::host::allocateFrom(pool, size, flags);
}

// Giving back nothing, or to no pool, does nothing.
void vmfree_handler(qor_pool* pool, void* block, int32_t size, int32_t flags) {
  qorldap::host::freeTo(pool, block, size, flags);
}

}  // extern "C"

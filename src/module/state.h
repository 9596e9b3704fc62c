// The module state: one record per host control block, reached through the
// control block's module-state slot.
#pragma once

#include <qorldap/abi/gcb.h>
#include <qorldap/abi/image.h>
#include <qorldap/abi/objects.h>

struct dsstate {
  qor_extension* extension;
  qor_pool* pool;
  qor_status_object* statusObject;
};
static_assert(sizeof(dsstate) == 24);

namespace qorldap::module {

inline qor_gcb* gcb() { return static_cast<qor_gcb*>(v_global_gcb_anchor); }

// Null until the entry routine has built the state (or without a host).
inline dsstate* state() {
  qor_gcb* block = gcb();
  return block == nullptr ? nullptr : static_cast<dsstate*>(block->moduleState);
}

}  // namespace qorldap::module

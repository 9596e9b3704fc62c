// The module state as a host sees it in the control block's module-state
// slot: the extension, the pool and the status object the entry routine
// stored there.
#pragma once

#include <qorldap/abi/objects.h>

namespace qortest {

struct StateRecord {
  qor_extension* extension;
  qor_pool* pool;
  qor_status_object* statusObject;
};

}  // namespace qortest

// Reading the status object that every directory request carries.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/status.h>

namespace qorldap::extension_client {

// Usable only when it carries the mark; a missing object is not usable.
inline bool statusObjectValid(const qor_status_object* status) {
  return status != nullptr && static_cast<uint32_t>(status->statusMagic) == QOR_STATUS_MAGIC;
}

// The latest kernel status: the call's result if nonzero, else the code it
// wrote. An unusable object reads as VQ_INVALID_STATUS_OBJECT.
inline VQStatus lastStatus(qor_status_object* status) {
  if (!statusObjectValid(status)) return VQ_INVALID_STATUS_OBJECT;
  uint32_t code = 0;
  VQStatus result = status->getLastStatus(status, &code);
  return result != 0 ? result : code;
}

// Gives a status object back to the host that made it and forgets it; a
// missing object is left alone.
inline void releaseStatusObject(qor_status_object*& status) {
  if (status != nullptr) status->release(status);
  status = nullptr;
}

}  // namespace qorldap::extension_client

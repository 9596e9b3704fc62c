// What every directory request of the query and update operations shares:
// the check for a usable connection and the conversion of the status that a
// connection-object operation returns.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

#include "status/convert.h"

namespace qorldap::extension_client {

// A handle can carry a request when it exists and holds a connection.
inline bool usable(const dshandle* handle) {
  return handle != nullptr && handle->connection != nullptr;
}

// 0 stays 0; anything else becomes its module status.
inline uint32_t moduleStatus(VQStatus kernelStatus) {
  return kernelStatus == 0 ? DS_OK : status::convert(kernelStatus);
}

}  // namespace qorldap::extension_client

// dsclose, dsopt and dsgeterr: the operations on an open connection handle.
#include <cstdint>

#include <qorldap/abi/routines.h>
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "extension_client/requests.h"
#include "extension_client/status_object.h"
#include "host/pool.h"

namespace {

// The options word of dsopt that leaves the handle's options alone.
constexpr int64_t kKeepOptions = -1;

}  // namespace

extern "C" {

// A failed close leaves the handle, its connection and its pool in place, so
// dsclose may be called again.
uint32_t dsclose(dshandle* handle) {
  if (!qorldap::extension_client::usable(handle)) return DS_OK;
  qor_connection* connection = handle->connection;
  const VQStatus status = connection->close(connection);
  if (status != 0) return qorldap::extension_client::returnedStatus(status);
  qorldap::extension_client::releaseStatusObject(handle->statusObject);
  qor_pool* pool = handle->pool;
  qorldap::host::release(pool, handle);
  wmpoold(pool);
  return DS_OK;
}

// The query for the batch of searches is the module's own: its value is an
// address the extension writes to, so a caller's number never reaches it.
void dsopt(dshandle* handle, int32_t option, int32_t value, int64_t flags, const char* text) {
  if (!qorldap::extension_client::usable(handle)) return;
  qor_connection* connection = handle->connection;
  if (option != QOR_OPTION_SEARCH_BATCH) {
    connection->setOption(connection, option, value, static_cast<uint32_t>(flags), text,
                          wzstlen(text));
  }
  if (flags != kKeepOptions) handle->options = static_cast<uint64_t>(flags);
}

// A null handle, or one whose status object is missing or unmarked, reads as
// VQ_INVALID_STATUS_OBJECT; the object is then not called.
uint32_t dsgeterr(dshandle* handle) {
  if (handle == nullptr) return VQ_INVALID_STATUS_OBJECT;
  return qorldap::extension_client::lastStatus(handle->statusObject);
}

}  // extern "C"

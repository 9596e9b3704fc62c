// dsreg and dsdereg: adding and deleting one directory entry.
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "extension_client/blocks.h"
#include "extension_client/requests.h"
#include "extension_client/translate.h"
#include "host/pool.h"

namespace qorldap::update {
namespace {

// Builds the extension's form of `entry` into *built (linked at once, so a
// failure leaves what releaseEntry takes back). Attributes without values
// keep a null slot and are still counted; a negative value count is
// refused, never dropped.
uint32_t buildEntry(qor_pool* pool, const dsent& entry, ldent** built) {
  auto* target = host::allocateRecord<ldent>(pool);
  if (target == nullptr) return DS_E_NO_MEMORY;
  *built = target;
  const int64_t count = extension_client::countUntilNull(entry.atts);
  if (count == 0) return DS_E_NOTHING_TO_CHANGE;
  if (count > INT32_MAX) return DS_E_NO_MEMORY;
  target->atts = extension_client::allocatePointers<ldatt>(pool, count);
  if (target->atts == nullptr) return DS_E_NO_MEMORY;
  target->dn = entry.dn;
  target->dnlen = wzstlen(entry.dn);
  target->natts = static_cast<int32_t>(count);
  for (int64_t index = 0; index < count; ++index) {
    const dsatt& attribute = *entry.atts[index];
    if (attribute.nvals == 0) continue;
    const uint32_t status = extension_client::buildAttribute(pool, attribute, &target->atts[index]);
    if (status != DS_OK) return status;
  }
  return DS_OK;
}

uint32_t registerEntry(dshandle* handle, const char* dn, const dsent* entry) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (dn == nullptr) return DS_E_NO_DN;
  if (entry == nullptr) return DS_E_MISSING_ARGUMENT;
  ldent* built = nullptr;
  uint32_t status = buildEntry(handle->pool, *entry, &built);
  if (status == DS_OK) {
    qor_connection* connection = handle->connection;
    status = extension_client::returnedStatus(
        connection->addEntry(connection, dn, wzstlen(dn), built, handle->statusObject));
  }
  extension_client::releaseEntry(handle->pool, built);
  return status;
}

uint32_t deregisterEntry(dshandle* handle, const char* dn) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (dn == nullptr || dn[0] == '\0') return DS_E_NO_DN;
  qor_connection* connection = handle->connection;
  return extension_client::returnedStatus(
      connection->deleteEntry(connection, dn, wzstlen(dn), handle->statusObject));
}

}  // namespace
}  // namespace qorldap::update

extern "C" {

uint32_t dsreg(dshandle* handle, const char* dn, const dsent* entry) {
  return qorldap::update::registerEntry(handle, dn, entry);
}

uint32_t dsdereg(dshandle* handle, const char* dn) {
  return qorldap::update::deregisterEntry(handle, dn);
}

}  // extern "C"

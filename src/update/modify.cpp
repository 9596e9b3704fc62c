// dsmodify, dsmodpad and dsmodone: changing an existing directory entry.
//
// dsmodify and dsmodpad share one procedure: check, translate every
// modification into the extension's records, call the extension, release
// what was built whatever the outcome. They differ only in the record a
// modification becomes (ModifyEntry and ModifyEntryLists below).
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "extension_client/blocks.h"
#include "extension_client/requests.h"
#include "extension_client/translate.h"
#include "host/pool.h"

namespace qorldap::update {
namespace {

// One attribute with its values per modification; an attribute without
// values is accepted only for a delete, which then removes the attribute.
struct ModifyEntry {
  using Source = dsmod;
  using Built = ldmod;

  static uint32_t build(qor_pool* pool, const dsmod& source, ldmod** slot) {
    if (source.att == nullptr) return DS_E_NOTHING_TO_CHANGE;
    if (source.op != LDMOD_DELETE && extension_client::valueCount(*source.att) == 0)
      return DS_E_NO_VALUE;
    auto* mod = host::allocateRecord<ldmod>(pool);
    if (mod == nullptr) return DS_E_NO_MEMORY;
    *slot = mod;
    mod->op = source.op;
    return extension_client::buildAttribute(pool, *source.att, &mod->att);
  }

  static VQStatus call(qor_connection* connection, const char* dn, ldmod* const* mods,
                       qor_status_object* status) {
    return connection->modifyEntry(connection, dn, wzstlen(dn), mods, status);
  }
};

// A list of attributes per modification, each with at least one value; a
// modification may name no attribute at all.
struct ModifyEntryLists {
  using Source = dsmodp;
  using Built = ldmodp;

  static uint32_t build(qor_pool* pool, const dsmodp& source, ldmodp** slot) {
    if (source.atts == nullptr) return DS_E_NOTHING_TO_CHANGE;
    const int64_t count = extension_client::countUntilNull(source.atts);
    auto* mod = host::allocateRecord<ldmodp>(pool);
    if (mod == nullptr) return DS_E_NO_MEMORY;
    *slot = mod;
    mod->op = source.op;
    mod->atts = extension_client::allocatePointers<ldatt>(pool, count);
    if (mod->atts == nullptr) return DS_E_NO_MEMORY;
    for (int64_t index = 0; index < count; ++index) {
      const dsatt& attribute = *source.atts[index];
      if (extension_client::valueCount(attribute) == 0) return DS_E_NO_VALUE;
      const uint32_t status = extension_client::buildAttribute(pool, attribute, &mod->atts[index]);
      if (status != DS_OK) return status;
    }
    return DS_OK;
  }

  static VQStatus call(qor_connection* connection, const char* dn, ldmodp* const* mods,
                       qor_status_object* status) {
    return connection->modifyEntryLists(connection, dn, wzstlen(dn), mods, status);
  }
};

template <typename Kind>
uint32_t modify(dshandle* handle, const char* dn, typename Kind::Source* const* mods) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (dn == nullptr || dn[0] == '\0') return DS_E_NO_DN;
  if (mods == nullptr || mods[0] == nullptr) return DS_E_NOTHING_TO_CHANGE;
  qor_pool* pool = handle->pool;
  const int64_t count = extension_client::countUntilNull(mods);
  auto** built = extension_client::allocatePointers<typename Kind::Built>(pool, count);
  if (built == nullptr) return DS_E_NO_MEMORY;
  uint32_t status = DS_OK;
  for (int64_t index = 0; index < count && status == DS_OK; ++index) {
    status = Kind::build(pool, *mods[index], &built[index]);
  }
  if (status == DS_OK) {
    status = extension_client::returnedStatus(
        Kind::call(handle->connection, dn, built, handle->statusObject));
  }
  extension_client::releaseModifications(pool, built);
  return status;
}

uint32_t modifyOne(dshandle* handle, const char* dn, uint32_t op, const char* name,
                   const void* value) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (dn == nullptr) return DS_E_NO_DN;
  if (name == nullptr) return DS_E_NOTHING_TO_CHANGE;
  if (value == nullptr) return DS_E_NO_VALUE;
  qor_connection* connection = handle->connection;
  return extension_client::returnedStatus(connection->modifyOne(
      connection, dn, wzstlen(dn), op, name, wzstlen(name), value, handle->statusObject));
}

}  // namespace
}  // namespace qorldap::update

extern "C" {

uint32_t dsmodify(dshandle* handle, const char* dn, dsmod* const* mods) {
  return qorldap::update::modify<qorldap::update::ModifyEntry>(handle, dn, mods);
}

uint32_t dsmodpad(dshandle* handle, const char* dn, dsmodp* const* mods) {
  return qorldap::update::modify<qorldap::update::ModifyEntryLists>(handle, dn, mods);
}

uint32_t dsmodone(dshandle* handle, const char* dn, uint32_t op, const char* name,
                  const void* value) {
  return qorldap::update::modifyOne(handle, dn, op, name, value);
}

}  // extern "C"

// dsfree and dsfratt: giving directory records back to the connection's pool.
#include "data/records.h"

#include <qorldap/status.h>
#include <qorldap/table.h>

#include "host/pool.h"

namespace qorldap::data {

void releaseValue(qor_pool* pool, dsval* value) {
  if (value == nullptr) return;
  if (value->type == DSV_BINARY) host::releaseIfSet(pool, value->data.bytes);
  host::releaseIfSet(pool, value->text);
  host::release(pool, value);
}

void releaseAttribute(qor_pool* pool, dsatt* attribute) {
  if (attribute == nullptr) return;
  if (attribute->vals != nullptr) {
    for (int32_t index = 0; index < attribute->nvals; ++index) {
      releaseValue(pool, attribute->vals[index]);
    }
  }
  host::releaseIfSet(pool, attribute->name);
  host::releaseIfSet(pool, attribute->vals);
  host::release(pool, attribute);
}

void releaseEntry(qor_pool* pool, dsent* entry) {
  if (entry == nullptr) return;
  if (entry->atts != nullptr) {
    for (dsatt** slot = entry->atts; *slot != nullptr; ++slot) releaseAttribute(pool, *slot);
  }
  host::releaseIfSet(pool, entry->dn);
  host::releaseIfSet(pool, entry->atts);
  host::release(pool, entry);
}

void releaseEntryList(qor_pool* pool, dsent** list) {
  if (list == nullptr) return;
  for (dsent** slot = list; *slot != nullptr; ++slot) releaseEntry(pool, *slot);
  host::release(pool, list);
}

}  // namespace qorldap::data

extern "C" {

uint32_t dsfree(dshandle* handle, dsent** list) {
  if (handle == nullptr) return DS_E_NO_CONNECTION;
  if (list == nullptr) return DS_E_MISSING_ARGUMENT;
  qorldap::data::releaseEntryList(handle->pool, list);
  return DS_OK;
}

void dsfratt(dshandle* handle, dsatt* attribute) {
  if (handle == nullptr) return;
  qorldap::data::releaseAttribute(handle->pool, attribute);
}

}  // extern "C"

#include "extension_client/translate.h"

#include <qorldap/status.h>
#include <qorldap/util.h>

#include "data/records.h"
#include "extension_client/blocks.h"
#include "host/pool.h"

namespace qorldap::extension_client {

void translateValue(const dsval& source, ldval& target) {
  switch (source.type) {
    case DSV_INT:
    case DSV_LONG:
    case DSV_SHORT:
      target.type = LDV_LONG;
      target.data.number = source.data.number;
      break;
    case DSV_FLOAT:
    case DSV_DOUBLE:
      target.type = LDV_DOUBLE;
      target.data.number = source.data.number;  // the double's bits, unchanged
      break;
    case DSV_BINARY:
      target.type = LDV_BINARY;
      target.data.bytes = source.data.bytes;
      target.len = source.len;
      break;
    default:
      target.type = LDV_STRING;
      target.text = source.text;
      target.textlen = data::textBytes(source);
      break;
  }
}

int32_t valueCount(const dsatt& attribute) {
  return attribute.nvals > 0 ? attribute.nvals : 0;
}

uint32_t buildAttribute(qor_pool* pool, const dsatt& source, ldatt** slot) {
  // A negative count is no request the directory could be given: read as
  // "no values" it would turn a delete of values into a delete of the
  // whole attribute.
  if (source.nvals < 0) return DS_E_NO_VALUE;
  auto* attribute = host::allocateRecord<ldatt>(pool);
  if (attribute == nullptr) return DS_E_NO_MEMORY;
  *slot = attribute;
  const int32_t count = source.nvals;
  attribute->name = source.name;
  attribute->namelen = wzstlen(source.name);
  attribute->nvals = count;
  attribute->vals = allocatePointers<ldval>(pool, count);
  if (attribute->vals == nullptr) return DS_E_NO_MEMORY;
  if (count > 0 && source.vals == nullptr) return DS_E_NO_VALUE;
  for (int32_t index = 0; index < count; ++index) {
    const dsval* value = source.vals[index];
    if (value == nullptr) return DS_E_NO_VALUE;
    auto* translated = host::allocateRecord<ldval>(pool);
    if (translated == nullptr) return DS_E_NO_MEMORY;
    attribute->vals[index] = translated;
    translateValue(*value, *translated);
  }
  return DS_OK;
}

void releaseAttribute(qor_pool* pool, ldatt* attribute) {
  if (attribute == nullptr) return;
  if (attribute->vals != nullptr) {
    for (ldval** slot = attribute->vals; *slot != nullptr; ++slot) host::release(pool, *slot);
    host::release(pool, attribute->vals);
  }
  host::release(pool, attribute);
}

void releaseAttributeArray(qor_pool* pool, ldatt** atts, int64_t slots) {
  if (atts == nullptr) return;
  for (int64_t index = 0; index < slots; ++index) releaseAttribute(pool, atts[index]);
  host::release(pool, atts);
}

void releaseEntry(qor_pool* pool, ldent* entry) {
  if (entry == nullptr) return;
  releaseAttributeArray(pool, entry->atts, entry->natts);
  host::release(pool, entry);
}

void releaseModification(qor_pool* pool, ldmod* mod) {
  releaseAttribute(pool, mod->att);
  host::release(pool, mod);
}

void releaseModification(qor_pool* pool, ldmodp* mod) {
  // Attributes are built in order, so the first null slot ends the built part.
  releaseAttributeArray(pool, mod->atts, countUntilNull(mod->atts));
  host::release(pool, mod);
}

}  // namespace qorldap::extension_client

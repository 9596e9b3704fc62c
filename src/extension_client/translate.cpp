#include "extension_client/translate.h"

#include <cstring>

#include <qorldap/abi/routines.h>
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

// The copy of a search result: a list of 20 slots, doubled when full.
namespace {

constexpr int64_t kFirstCapacity = 20;

// How many records of a counted array the copy reads: none for a missing
// array or a negative count, and never past a null slot.
template <typename T>
int32_t presentCount(T* const* array, int32_t count) {
  if (array == nullptr || count <= 0) return 0;
  int32_t present = 0;
  while (present < count && array[present] != nullptr) ++present;
  return present;
}

inline int64_t nonNegative(int64_t length) {
  return length < 0 ? 0 : length;
}

// Each copy links its record into `slot` before allocating the record's own
// parts, so a failure anywhere leaves a list that the release can walk.
bool copyValue(qor_pool* pool, const ldval& source, dsval** slot) {
  auto* value = host::allocateRecord<dsval>(pool);
  if (value == nullptr) return false;
  *slot = value;
  const int64_t length = nonNegative(static_cast<int32_t>(source.textlen));  // low 32 bits
  value->text = copyText(pool, source.text, length);
  if (value->text == nullptr) return false;
  // A value with zero bytes keeps its byte count, which its text alone
  // would lose at the first zero.
  if (std::memchr(value->text, '\0', static_cast<size_t>(length)) != nullptr) value->len = length;
  return true;
}

bool copyAttribute(qor_pool* pool, const ldatt& source, dsatt** slot) {
  auto* attribute = host::allocateRecord<dsatt>(pool);
  if (attribute == nullptr) return false;
  *slot = attribute;
  const int32_t count = presentCount(source.vals, source.nvals);
  attribute->nvals = count;
  attribute->name = copyText(pool, source.name, nonNegative(source.namelen));
  if (attribute->name == nullptr) return false;
  attribute->vals = allocatePointers<dsval>(pool, count);
  if (attribute->vals == nullptr) return false;
  for (int32_t index = 0; index < count; ++index) {
    if (!copyValue(pool, *source.vals[index], &attribute->vals[index])) return false;
  }
  return true;
}

bool copyEntry(qor_pool* pool, const ldent& source, dsent** slot) {
  auto* entry = host::allocateRecord<dsent>(pool);
  if (entry == nullptr) return false;
  *slot = entry;
  entry->dn = copyText(pool, source.dn, nonNegative(source.dnlen));
  if (entry->dn == nullptr) return false;
  const int32_t count = presentCount(source.atts, source.natts);
  entry->atts = allocatePointers<dsatt>(pool, count);
  if (entry->atts == nullptr) return false;
  for (int32_t index = 0; index < count; ++index) {
    if (!copyAttribute(pool, *source.atts[index], &entry->atts[index])) return false;
  }
  return true;
}

}  // namespace

uint32_t copyResult(qor_pool* pool, ldent* const* result, dsent*** list) {
  dsent** entries = allocatePointers<dsent>(pool, kFirstCapacity);
  if (entries == nullptr) return DS_E_NO_MEMORY;
  int64_t capacity = kFirstCapacity;
  int64_t index = 0;
  for (ldent* const* source = result; *source != nullptr; ++source, ++index) {
    if (index == capacity) {
      capacity *= 2;
      const int64_t bytes = (capacity + 1) * static_cast<int64_t>(sizeof(dsent*));
      if (bytes > host::kLargestBlock) {
        data::releaseEntryList(pool, entries);
        return DS_E_NO_MEMORY;
      }
      void* enlarged = entries;
      if (wmrealc(pool, entries, 0, &enlarged, static_cast<int32_t>(bytes),
                  QOR_POOL_DIRECTORY_FLAGS) != 0) {
        return DS_E_NO_MEMORY;
      }
      entries = static_cast<dsent**>(enlarged);
    }
    if (!copyEntry(pool, **source, &entries[index])) {
      data::releaseEntryList(pool, entries);
      return DS_E_NO_MEMORY;
    }
  }
  *list = entries;
  return DS_OK;
}

}  // namespace qorldap::extension_client

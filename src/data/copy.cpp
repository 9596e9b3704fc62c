// Copies of directory records, for an entry that a result lists at two
// places (a group reached along two paths of an expansion): every part is a
// block of its own, so that each copy is released on its own.
#include <cstring>

#include <qorldap/util.h>

#include "data/records.h"
#include "host/pool.h"

namespace qorldap::data {
namespace {

// A copy of `length` bytes with a zero byte after them (left by the zero
// fill), or null.
char* copyBytes(qor_pool* pool, const void* bytes, int64_t length) {
  auto* copy = static_cast<char*>(host::allocate(pool, length + 1));
  if (copy != nullptr && length > 0) std::memcpy(copy, bytes, static_cast<size_t>(length));
  return copy;
}

bool copyValue(qor_pool* pool, const dsval& source, dsval** slot) {
  auto* value = host::allocateRecord<dsval>(pool);
  if (value == nullptr) return false;
  *slot = value;
  value->type = source.type;
  value->data = source.data;
  value->len = source.len;
  if (source.type == DSV_BINARY && source.data.bytes != nullptr) {
    value->data.bytes = copyBytes(pool, source.data.bytes, source.len);
    if (value->data.bytes == nullptr) return false;
  }
  if (source.text == nullptr) return true;
  value->text = copyBytes(pool, source.text, textBytes(source));
  return value->text != nullptr;
}

bool copyAttribute(qor_pool* pool, const dsatt& source, dsatt** slot) {
  auto* attribute = host::allocateRecord<dsatt>(pool);
  if (attribute == nullptr) return false;
  *slot = attribute;
  const int32_t count = source.vals == nullptr || source.nvals < 0 ? 0 : source.nvals;
  attribute->nvals = count;
  if (source.name != nullptr) {
    attribute->name = copyBytes(pool, source.name, wzstlen(source.name));
    if (attribute->name == nullptr) return false;
  }
  attribute->vals = host::allocateArray<dsval*>(pool, int64_t{count} + 1);
  if (attribute->vals == nullptr) return false;
  for (int32_t index = 0; index < count; ++index) {
    if (source.vals[index] == nullptr) continue;
    if (!copyValue(pool, *source.vals[index], &attribute->vals[index])) return false;
  }
  return true;
}

}  // namespace

int64_t textBytes(const dsval& value) {
  const int64_t length = wzstlen(value.text);
  return value.type == DSV_TEXT && value.text != nullptr && value.len > length ? value.len : length;
}

bool copyEntry(qor_pool* pool, const dsent& source, dsent** slot) {
  auto* entry = host::allocateRecord<dsent>(pool);
  if (entry == nullptr) return false;
  *slot = entry;
  if (source.dn != nullptr) {
    entry->dn = copyBytes(pool, source.dn, wzstlen(source.dn));
    if (entry->dn == nullptr) return false;
  }
  int64_t count = 0;
  while (source.atts != nullptr && source.atts[count] != nullptr) ++count;
  entry->atts = host::allocateArray<dsatt*>(pool, count + 1);
  if (entry->atts == nullptr) return false;
  for (int64_t index = 0; index < count; ++index) {
    if (!copyAttribute(pool, *source.atts[index], &entry->atts[index])) return false;
  }
  return true;
}

}  // namespace qorldap::data

// dsmkatt and form_attribute: building one attribute with its values from a
// tag-and-payload argument list, in the handle's pool.
//
// Every record is linked into its parent as soon as it is allocated, and
// blocks arrive zero-filled, so any failure can hand the partly built
// attribute to releaseAttribute and leave nothing behind.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "data/records.h"
#include "host/pool.h"

namespace qorldap::data {
namespace {

// Largest byte count a binary value may carry: the pool takes 32-bit sizes.
constexpr int64_t kMaxBinaryLength = INT32_MAX;

// A copy of `length` bytes, plus a zero byte left by the zero fill.
char* copyText(qor_pool* pool, const char* text, int32_t length) {
  auto* copy = static_cast<char*>(host::allocate(pool, static_cast<int64_t>(length) + 1));
  if (copy != nullptr && length > 0) std::memcpy(copy, text, static_cast<size_t>(length));
  return copy;
}

// The caller's argument list, positioned at the next value's tag.
struct ValueList {
  va_list list;
};

// Reads one value's payload as its tag asks. Returns DS_OK or the status
// that ends the build.
uint32_t readPayload(qor_pool* pool, dsval* value, ValueList& values) {
  switch (value->type) {
    case DSV_INT:
    case DSV_SHORT:
      value->data.number = va_arg(values.list, int);
      return DS_OK;
    case DSV_LONG:
      value->data.number = va_arg(values.list, int64_t);
      return DS_OK;
    case DSV_FLOAT:
    case DSV_DOUBLE:
      value->data.real = va_arg(values.list, double);
      return DS_OK;
    case DSV_BINARY: {
      int64_t length = va_arg(values.list, int64_t);
      if (length < 0 || length > kMaxBinaryLength) return DS_E_MISSING_ARGUMENT;
      value->len = length;
      value->data.bytes = host::allocate(pool, length);
      if (value->data.bytes == nullptr) return DS_E_NO_MEMORY;
      const void* bytes = va_arg(values.list, const void*);
      if (length == 0) return DS_OK;
      if (bytes == nullptr) return DS_E_MISSING_ARGUMENT;
      std::memcpy(value->data.bytes, bytes, static_cast<size_t>(length));
      return DS_OK;
    }
    case DSV_STRING: {
      const char* text = va_arg(values.list, const char*);
      value->text = copyText(pool, text, wzstlen(text));
      return value->text == nullptr ? DS_E_NO_MEMORY : DS_OK;
    }
    default:
      return DS_OK;  // no payload: only the tag is kept
  }
}

// Fills the attribute's values in order; stops at the first failure.
uint32_t buildValues(qor_pool* pool, dsatt* attribute, ValueList& values) {
  for (int32_t index = 0; index < attribute->nvals; ++index) {
    dsval* value = host::allocateRecord<dsval>(pool);
    if (value == nullptr) return DS_E_NO_MEMORY;
    attribute->vals[index] = value;
    value->type = va_arg(values.list, int);
    uint32_t status = readPayload(pool, value, values);
    if (status != DS_OK) return status;
  }
  return DS_OK;
}

dsatt* buildAttribute(qor_pool* pool, const char* name, int32_t count, ValueList& values,
                      uint32_t* status) {
  dsatt* attribute = host::allocateRecord<dsatt>(pool);
  if (attribute == nullptr) {
    *status = DS_E_NO_MEMORY;
    return nullptr;
  }
  attribute->name = copyText(pool, name, wzstlen(name));
  attribute->nvals = count;
  if (attribute->name != nullptr) attribute->vals = host::allocateArray<dsval*>(pool, count);
  *status = attribute->vals == nullptr ? DS_E_NO_MEMORY : buildValues(pool, attribute, values);
  if (*status == DS_OK) return attribute;
  releaseAttribute(pool, attribute);
  return nullptr;
}

}  // namespace
}  // namespace qorldap::data

extern "C" {

// A negative count is refused with DS_E_MISSING_ARGUMENT in lastStatus and
// nothing allocated; every other failure records DS_E_NO_MEMORY, or
// DS_E_MISSING_ARGUMENT for a binary payload whose byte count is negative or
// beyond 32 bits or whose bytes are missing.
dsatt* form_attribute(dshandle* handle, const char* name, int32_t count, va_list values) {
  if (handle == nullptr) return nullptr;
  if (count < 0) {
    handle->lastStatus = static_cast<int32_t>(DS_E_MISSING_ARGUMENT);
    return nullptr;
  }
  qorldap::data::ValueList own;
  va_copy(own.list, values);
  uint32_t status = DS_OK;
  dsatt* attribute = qorldap::data::buildAttribute(handle->pool, name, count, own, &status);
  va_end(own.list);
  if (attribute == nullptr) handle->lastStatus = static_cast<int32_t>(status);
  return attribute;
}

dsatt* dsmkatt(dshandle* handle, const char* name, int32_t count, ...) {
  va_list values;
  va_start(values, count);
  dsatt* attribute = form_attribute(handle, name, count, values);
  va_end(values);
  return attribute;
}

}  // extern "C"

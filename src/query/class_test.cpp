// dsiscls: whether an entry is of an object class.
#include "query/class_test.h"

#include <cstring>

#include <qorldap/abi/routines.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "host/pool.h"
#include "query/groups.h"

namespace qorldap::query {
namespace {

// Lower-cases a text of the entry in place and gives its length.
int32_t lowerInPlace(char* text) {
  const int32_t length = wzstlen(text);
  if (length > 0) wzstrlo(text, length);
  return length;
}

bool namesClasses(dsatt& attribute) {
  if (attribute.name == nullptr) return false;
  return holdsClasses(attribute.name, lowerInPlace(attribute.name));
}

// Compares the values one by one; nvals is read anew before each of them.
bool holdsClass(dsatt& attribute, const char* wanted, int32_t length) {
  if (attribute.vals == nullptr) return false;
  for (int32_t index = 0; index < attribute.nvals; ++index) {
    dsval* value = attribute.vals[index];
    if (value == nullptr || value->text == nullptr) continue;
    if (beginsWith(value->text, lowerInPlace(value->text), wanted, length)) return true;
  }
  return false;
}

}  // namespace

ClassTest testClass(dshandle* handle, dsent* entry, const char* name, int32_t length) {
  // No name names no class, whatever the length says.
  if (handle == nullptr || entry == nullptr || name == nullptr || length < 0) {
    return ClassTest::kNo;
  }
  auto* wanted = static_cast<char*>(host::allocate(handle->pool, int64_t{length} + 1));
  if (wanted == nullptr) return ClassTest::kNoMemory;
  if (length > 0) {
    std::memcpy(wanted, name, static_cast<size_t>(length));
    wzstrlo(wanted, length);
  }
  ClassTest answer = ClassTest::kNo;
  if (entry->atts != nullptr) {
    for (dsatt** slot = entry->atts; *slot != nullptr; ++slot) {
      if (namesClasses(**slot) && holdsClass(**slot, wanted, length)) {
        answer = ClassTest::kYes;
        break;
      }
    }
  }
  host::release(handle->pool, wanted);
  return answer;
}

ClassTest testGroup(dshandle* handle, dsent* entry) {
  const ClassTest unique =
      testClass(handle, entry, kUniqueNamesClass, sizeof(kUniqueNamesClass) - 1);
  if (unique != ClassTest::kNo) return unique;
  return testClass(handle, entry, kNamesClass, sizeof(kNamesClass) - 1);
}

}  // namespace qorldap::query

extern "C" int32_t dsiscls(dshandle* handle, dsent* entry, const char* name, int32_t length) {
  return qorldap::query::testClass(handle, entry, name, length) == qorldap::query::ClassTest::kYes
             ? 1
             : 0;
}

// The object-class test of an entry, with a third answer for group expansion,
// which must not take a failed allocation for "not of the class".
#pragma once

#include <cstdint>

#include <qorldap/records.h>

namespace qorldap::query {

enum class ClassTest { kNo, kYes, kNoMemory };

// Whether `entry` names the class (`length` bytes of `name`) in an attribute
// whose lower-cased name begins with "objectclass" or "qorinterface", as a
// prefix of a lower-cased value. Lower-cases the names it looks at and the
// values it compares, in place.
ClassTest testClass(dshandle* handle, dsent* entry, const char* name, int32_t length);

}  // namespace qorldap::query

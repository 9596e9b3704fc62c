// The object-class test of an entry, with a third answer for group expansion,
// which must not take a failed allocation for "not of the class".
#pragma once

#include <cstdint>

#include <qorldap/records.h>

namespace qorldap::query {

enum class ClassTest { kNo, kYes, kNoMemory };

// Whether `entry` names the class (`length` bytes of `name`) in an attribute
// that holds classes (query/groups.h), as a prefix of a value. Lower-cases
// the names it looks at and the values it compares, in place.
ClassTest testClass(dshandle* handle, dsent* entry, const char* name, int32_t length);

// Whether `entry` is a group: testClass of each group class in turn.
ClassTest testGroup(dshandle* handle, dsent* entry);

}  // namespace qorldap::query

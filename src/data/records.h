// Release and copy of the directory records (entry lists, entries,
// attributes, values), written once for every operation that hands such
// records back, unwinds a half-built one or lists an entry twice. Each
// function takes the pool the records came from and tolerates the null
// fields and slots that a zero-filled, partly built record still has.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

namespace qorldap::data {

// The bytes of a value's text: a directory value (DSV_TEXT) that holds zero
// bytes carries their count in len; every other text ends at its first
// zero byte.
int64_t textBytes(const dsval& value);

// A copy of `source` with copies of all its parts, linked into *slot as soon
// as its record exists, so that a failed copy (false) leaves in *slot what
// releaseEntry takes back.
bool copyEntry(qor_pool* pool, const dsent& source, dsent** slot);

// One value: its bytes (tag 6), its text, then the record.
void releaseValue(qor_pool* pool, dsval* value);

// One attribute: its nvals values (null slots skipped), its name, its value
// array, then the record. Works for arrays with and without a terminator,
// since only nvals slots are read. A null attribute is ignored.
void releaseAttribute(qor_pool* pool, dsatt* attribute);

// One entry: its attributes up to the null slot, its DN, its attribute
// array, then the record. A null entry is ignored.
void releaseEntry(qor_pool* pool, dsent* entry);

// A null-terminated entry list: every entry, then the array itself.
void releaseEntryList(qor_pool* pool, dsent** list);

}  // namespace qorldap::data

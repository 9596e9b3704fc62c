// Records crossing between the module and the extension, both ways.
//
// Out: the module's attribute records (dsatt, dsval) in the extension's form
// (ldatt, ldval), and the release of every extension record that register
// and modify build. Written once and shared by dsreg, dsmodify and dsmodpad.
// The extension records borrow: every name, text and byte pointer in them is
// the caller's own, so they are valid only while the caller's records are.
//
// In: a search result (ldent records) copied into an entry list of the
// module's records, for dsrslvdn, dsreslv and group expansion. The copy owns
// all its bytes, in the pool it was made in.
#pragma once

#include <cstdint>

#include <qorldap/abi/ldrecords.h>
#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

#include "host/pool.h"

namespace qorldap::extension_client {

// Fills a zero-filled ldval from a dsval: tags 1-3 go out as a long, 4-5 as
// a double (the 8 data bytes bit for bit), 6 as bytes and length, and every
// other tag as the value's text.
void translateValue(const dsval& source, ldval& target);

// The number of values an attribute has; a negative count reads as none.
int32_t valueCount(const dsatt& attribute);

// Builds the ldatt for `source` into *slot (linked at once, so a failure
// leaves a record that releaseAttribute can take back): name, its length,
// the value count, the null-terminated value array and one ldval per value.
// Returns 0, DS_E_NO_MEMORY, or DS_E_NO_VALUE when the count is negative
// (before anything is allocated) or a value the count promises is missing
// (a null value array or a null slot).
uint32_t buildAttribute(qor_pool* pool, const dsatt& source, ldatt** slot);

// One ldatt: its values up to the first null slot, its value array, the
// record. A null attribute is ignored.
void releaseAttribute(qor_pool* pool, ldatt* attribute);

// An attribute array of `slots` slots (null slots skipped), then the array.
void releaseAttributeArray(qor_pool* pool, ldatt** atts, int64_t slots);

// An ldent: its natts attribute slots, its attribute array, the record.
void releaseEntry(qor_pool* pool, ldent* entry);

// One modification record with everything it holds.
void releaseModification(qor_pool* pool, ldmod* mod);
void releaseModification(qor_pool* pool, ldmodp* mod);

// A null-terminated modification array: each record, then the array.
template <typename Mod>
void releaseModifications(qor_pool* pool, Mod** mods) {
  if (mods == nullptr) return;
  for (Mod** slot = mods; *slot != nullptr; ++slot) releaseModification(pool, *slot);
  host::release(pool, mods);
}

// Copies every entry of the null-terminated `result` into a new entry list
// of `pool` and stores it in *list: DS_OK or DS_E_NO_MEMORY. The extension's
// counted arrays are read up to their first null slot, its texts by their
// length; a value with zero bytes among them keeps their count in len. On a
// failure everything copied is released, except a list whose enlargement
// failed, which is abandoned to the pool (a host may have freed it).
uint32_t copyResult(qor_pool* pool, ldent* const* result, dsent*** list);

}  // namespace qorldap::extension_client

// Entry resolution: searching through the connection object and copying its
// result into the module's own records. Group expansion is built on it.
#pragma once

#include <cstdint>

#include <qorldap/records.h>

namespace qorldap::query {

// Reads the entry that `dn` names. 0 with the list stored, DS_W_NOT_FOUND
// when the extension returned nothing, or an error; the place is written only
// on success.
uint32_t resolveDn(dshandle* handle, const char* dn, const char* const* attributes, dsent*** list);

// Searches with `filter` under the connection's base, bracketed by the status
// object and the host's message number. 0 or a warning with the list stored,
// DS_W_NOT_FOUND, or an error with the place untouched.
uint32_t resolveFilter(dshandle* handle, const char* filter, const char* const* attributes,
                       dsent*** list);

}  // namespace qorldap::query

// Entry resolution: searching through the connection object and copying its
// result into the module's own records. Group expansion is built on it.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/records.h>

namespace qorldap::query {

// The LDAP result noSuchObject: the entry or the base is not there.
inline constexpr uint32_t kNoSuchObject = 0x20;
// The client's own LDAP result timeout: the server did not answer in time.
inline constexpr uint32_t kTimedOut = 0x55;

// Whether a search's status says that nothing is there, rather than that
// the directory could not be asked: nothing returned without a failure, or
// noSuchObject.
bool nothingThere(uint32_t status);

// Reads the entry that `length` bytes of `dn` name, bracketed like a filter
// search. 0 or a warning with the list stored; DS_W_NOT_FOUND when nothing
// is there (nothing returned, or noSuchObject); otherwise the error form of
// the failure this read reported (the server down, a timeout, no access, a
// malformed DN ...). The place is written only when a list is delivered.
uint32_t readEntry(dshandle* handle, const char* dn, int64_t length, const char* const* attributes,
                   dsent*** list);

// readEntry of a zero-terminated DN.
uint32_t resolveDn(dshandle* handle, const char* dn, const char* const* attributes, dsent*** list);

// Searches with `filter` under the connection's base, bracketed by the status
// object and the host's message number. 0 or a warning with the list stored,
// DS_W_NOT_FOUND, or an error with the place untouched.
uint32_t resolveFilter(dshandle* handle, const char* filter, const char* const* attributes,
                       dsent*** list);

// The search flags of a filter search on this handle (its scope option).
uint64_t filterSearchFlags(const dshandle& handle);

// The answers of a batch of searches (<qorldap/abi/objects.h>) delivered as
// readEntry and resolveFilter deliver theirs, with the same statuses. The
// answer's result is taken: copied into *list or handed back.
uint32_t deliverRead(dshandle* handle, ldanswer* answer, dsent*** list);
uint32_t deliverFilter(dshandle* handle, ldanswer* answer, dsent*** list);
// deliverFilter of an answer whose entries belong to another result (a
// combined search's): they are copied, and nothing is handed back.
uint32_t deliverBorrowed(dshandle* handle, const ldanswer& answer, dsent*** list);

// Whether an answer, not yet delivered, says that nothing is there.
bool answersNothingThere(const ldanswer& answer);

// Whether a batched answer may stand for its search made now. One that would
// fail the expansion is handed back (false), so that the search is made
// again on its own and the status object holds that request's status and
// the server's text for it, as without a batch; a timeout is kept, since
// asking again would wait as long again. A kept answer's status goes into
// the status object, where the search made now would have left it.
bool adoptAnswer(dshandle* handle, ldanswer* answer);

}  // namespace qorldap::query

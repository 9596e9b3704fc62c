// dsreslv and dsrslvdn: searching the directory and copying the extension's
// result, in one pass, into entry lists of the connection's pool.
//
// Both bracket their search with the status object and the host's message
// number, so that a read that could not be made (the server gone, a
// timeout, no access) is reported as that failure and never as "nothing
// found"; a read of a DN that names no entry (nothing returned, or
// noSuchObject) is DS_W_NOT_FOUND.
#include "query/resolve.h"

#include <cstring>

#include <qorldap/abi/routines.h>
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "data/records.h"
#include "extension_client/blocks.h"
#include "extension_client/requests.h"
#include "extension_client/status_object.h"
#include "host/pool.h"

namespace qorldap::query {
namespace {

constexpr int64_t kFirstCapacity = 20;

// Hands a search result back to the extension exactly once, when the scope
// that received it ends; a null result is never handed back.
class SearchResult {
 public:
  SearchResult(qor_connection* connection, ldent** result)
      : connection_(connection), result_(result) {}
  ~SearchResult() {
    if (result_ != nullptr) connection_->freeResult(connection_, result_);
  }
  SearchResult(const SearchResult&) = delete;
  SearchResult& operator=(const SearchResult&) = delete;

  ldent** get() const { return result_; }

 private:
  qor_connection* connection_;
  ldent** result_;
};

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
  value->text = extension_client::copyText(pool, source.text, length);
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
  attribute->name = extension_client::copyText(pool, source.name, nonNegative(source.namelen));
  if (attribute->name == nullptr) return false;
  attribute->vals = extension_client::allocatePointers<dsval>(pool, count);
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
  entry->dn = extension_client::copyText(pool, source.dn, nonNegative(source.dnlen));
  if (entry->dn == nullptr) return false;
  const int32_t count = presentCount(source.atts, source.natts);
  entry->atts = extension_client::allocatePointers<dsatt>(pool, count);
  if (entry->atts == nullptr) return false;
  for (int32_t index = 0; index < count; ++index) {
    if (!copyAttribute(pool, *source.atts[index], &entry->atts[index])) return false;
  }
  return true;
}

// Copies every entry of `result` into a new list and stores it in *list.
// When the list cannot be enlarged it is abandoned, not released: a host may
// free the old block when the enlargement fails, so the module cannot touch
// it again (the connection's pool still takes it back when it is closed).
uint32_t copyResult(dshandle* handle, ldent* const* result, dsent*** list) {
  qor_pool* pool = handle->pool;
  dsent** entries = extension_client::allocatePointers<dsent>(pool, kFirstCapacity);
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

// The scope option in bits 4-5 of the options word as search flags.
uint64_t searchFlags(uint64_t options) {
  switch ((options & DSOPT_SCOPE_MASK) >> DSOPT_SCOPE_SHIFT) {
    case DSOPT_SCOPE_ONELEVEL:
      return QOR_SEARCH_ONELEVEL;
    case DSOPT_SCOPE_BASE:
      return QOR_SEARCH_BASE;
    default:
      return QOR_SEARCH_SUBTREE;
  }
}

// One search, bracketed by the status object and the host's message number;
// `failure` receives what this search reported (0 for nothing).
ldent** bracketedSearch(dshandle* handle, uint64_t flags, const char* text, int64_t length,
                        const char* const* attributes, uint32_t* failure) {
  const extension_client::RequestBracket bracket(handle->statusObject);
  qor_connection* connection = handle->connection;
  ldent** result =
      connection->search(connection, flags, text, length, attributes, handle->statusObject);
  *failure = bracket.reported();
  return result;
}

// The status of a search by its result and its reported failure: nothing
// returned is DS_W_NOT_FOUND, or the failure in its error form; entries
// with a failure carry it in its warning form.
uint32_t searchStatus(bool returned, uint32_t failure) {
  if (!returned) return failure == DS_OK ? DS_W_NOT_FOUND : DS_ERROR_FORM(failure);
  return failure == DS_OK ? DS_OK : DS_WARNING_FORM(failure);
}

// Copies a result that came with `status` (0 or a warning) into *list.
uint32_t deliver(dshandle* handle, const SearchResult& result, uint32_t status, dsent*** list) {
  const uint32_t copied = copyResult(handle, result.get(), list);
  return copied != DS_OK ? copied : status;
}

// What a read answers, from its result and the failure it reported; the
// result is handed back or copied.
uint32_t finishRead(dshandle* handle, ldent** answered, uint32_t failure, dsent*** list) {
  const SearchResult result(handle->connection, answered);
  const uint32_t status = searchStatus(result.get() != nullptr, failure);
  // A DN that names no entry is "nothing found", whichever way it is told.
  if (result.get() == nullptr) return nothingThere(status) ? DS_W_NOT_FOUND : status;
  return deliver(handle, result, status, list);
}

uint32_t finishFilter(dshandle* handle, ldent** answered, uint32_t failure, dsent*** list) {
  const SearchResult result(handle->connection, answered);
  const uint32_t status = searchStatus(result.get() != nullptr, failure);
  if (result.get() == nullptr) return status;
  return deliver(handle, result, status, list);
}

// A batched search reports its own kernel status, so there is no earlier
// status to tell apart: anything nonzero is this search's failure.
uint32_t answeredFailure(const ldanswer& answer) {
  return extension_client::reportedStatus(answer.status);
}

ldent** takeResult(ldanswer* answer) {
  ldent** result = answer->result;
  answer->result = nullptr;
  return result;
}

}  // namespace

bool nothingThere(uint32_t status) {
  return status == DS_W_NOT_FOUND || status == DS_ERROR_FORM(kNoSuchObject);
}

uint32_t readEntry(dshandle* handle, const char* dn, int64_t length, const char* const* attributes,
                   dsent*** list) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (list == nullptr) return DS_E_MISSING_ARGUMENT;
  uint32_t failure = DS_OK;
  ldent** result = bracketedSearch(handle, QOR_SEARCH_READ_DN, dn, length, attributes, &failure);
  return finishRead(handle, result, failure, list);
}

uint32_t resolveDn(dshandle* handle, const char* dn, const char* const* attributes, dsent*** list) {
  return readEntry(handle, dn, wzstlen(dn), attributes, list);
}

uint32_t resolveFilter(dshandle* handle, const char* filter, const char* const* attributes,
                       dsent*** list) {
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (list == nullptr) return DS_E_MISSING_ARGUMENT;
  uint32_t failure = DS_OK;
  ldent** result = bracketedSearch(handle, searchFlags(handle->options), filter, wzstlen(filter),
                                   attributes, &failure);
  return finishFilter(handle, result, failure, list);
}

uint64_t filterSearchFlags(const dshandle& handle) {
  return searchFlags(handle.options);
}

bool answersNothingThere(const ldanswer& answer) {
  return answer.result == nullptr && nothingThere(searchStatus(false, answeredFailure(answer)));
}

bool adoptAnswer(dshandle* handle, ldanswer* answer) {
  const uint32_t failure = answeredFailure(*answer);
  const uint32_t status = searchStatus(answer->result != nullptr, failure);
  if (DS_IS_ERROR(status) && !nothingThere(status) && status != DS_ERROR_FORM(kTimedOut)) {
    const SearchResult handedBack(handle->connection, takeResult(answer));
    return false;
  }
  qor_status_object* object = handle->statusObject;
  if (extension_client::statusObjectValid(object)) object->setLastStatus(object, answer->status);
  return true;
}

uint32_t deliverRead(dshandle* handle, ldanswer* answer, dsent*** list) {
  return finishRead(handle, takeResult(answer), answeredFailure(*answer), list);
}

uint32_t deliverFilter(dshandle* handle, ldanswer* answer, dsent*** list) {
  return finishFilter(handle, takeResult(answer), answeredFailure(*answer), list);
}

}  // namespace qorldap::query

extern "C" {

uint32_t dsrslvdn(dshandle* handle, const char* dn, const char* const* attributes, dsent*** list) {
  return qorldap::query::resolveDn(handle, dn, attributes, list);
}

uint32_t dsreslv(dshandle* handle, const char* filter, const char* const* attributes,
                 dsent*** list) {
  return qorldap::query::resolveFilter(handle, filter, attributes, list);
}

}  // extern "C"

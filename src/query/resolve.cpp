// dsreslv and dsrslvdn: searching the directory and telling the caller what
// the search found, its result copied into an entry list of the connection's
// pool (extension_client/translate.h).
//
// Both bracket their search with the status object and the host's message
// number, so that a read that could not be made (the server gone, a
// timeout, no access) is reported as that failure and never as "nothing
// found"; a read of a DN that names no entry (nothing returned, or
// noSuchObject) is DS_W_NOT_FOUND.
#include "query/resolve.h"

#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "extension_client/requests.h"
#include "extension_client/status_object.h"
#include "extension_client/translate.h"

namespace qorldap::query {
namespace {

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

// Copies entries that came with `status` (0 or a warning) into *list.
uint32_t deliver(dshandle* handle, ldent* const* entries, uint32_t status, dsent*** list) {
  const uint32_t copied = extension_client::copyResult(handle->pool, entries, list);
  return copied != DS_OK ? copied : status;
}

// What a read answers, from its result and the failure it reported; the
// result is handed back or copied.
uint32_t finishRead(dshandle* handle, ldent** answered, uint32_t failure, dsent*** list) {
  const SearchResult result(handle->connection, answered);
  const uint32_t status = searchStatus(result.get() != nullptr, failure);
  // A DN that names no entry is "nothing found", whichever way it is told.
  if (result.get() == nullptr) return nothingThere(status) ? DS_W_NOT_FOUND : status;
  return deliver(handle, result.get(), status, list);
}

uint32_t finishFilter(dshandle* handle, ldent** answered, uint32_t failure, dsent*** list) {
  const SearchResult result(handle->connection, answered);
  const uint32_t status = searchStatus(result.get() != nullptr, failure);
  if (result.get() == nullptr) return status;
  return deliver(handle, result.get(), status, list);
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

uint32_t deliverBorrowed(dshandle* handle, const ldanswer& answer, dsent*** list) {
  const uint32_t status = searchStatus(answer.result != nullptr, answeredFailure(answer));
  if (answer.result == nullptr) return status;
  return deliver(handle, answer.result, status, list);
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

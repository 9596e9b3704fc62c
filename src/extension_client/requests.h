// What every directory request of the module shares, written once: whether a
// handle can carry a request, what the request reported, and the module
// status its caller gets.
//
// A kernel status reaches the module in one of two ways. A connection-object
// operation (close, addEntry, compareValue, deleteEntry, the modify family)
// returns it, and it is converted as it came (returnedStatus). An open or a
// search leaves it in the status object, and a batched search carries it in
// its answer; such a status is normalised before it is converted
// (reportedStatus). A status object may still hold the status of earlier
// work, so a search is bracketed (RequestBracket) to tell a failure that it
// reported from one left over.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/abi/routines.h>
#include <qorldap/records.h>
#include <qorldap/status.h>

#include "extension_client/status_object.h"
#include "status/convert.h"

namespace qorldap::extension_client {

// A handle can carry a request when it exists and holds a connection.
inline bool usable(const dshandle* handle) {
  return handle != nullptr && handle->connection != nullptr;
}

// A status an operation returned: 0 stays DS_OK; anything else is converted
// unchanged.
inline uint32_t returnedStatus(VQStatus status) {
  return status == 0 ? DS_OK : status::convert(status);
}

// A status read from a status object or a batched answer: 0 stays DS_OK;
// anything else is normalised with VQ_NORMALISE, then converted. An unusable
// status object reads as VQ_INVALID_STATUS_OBJECT, which becomes DS_E_OTHER.
inline uint32_t reportedStatus(VQStatus status) {
  return status == 0 ? DS_OK : status::convert(VQ_NORMALISE(status));
}

// The bracket around one request on a status object that may hold the status
// of earlier work. It takes the host's message number before the request;
// every nonzero status recorded issues a new one, so a nonzero status with
// the same number after the request was left by earlier work. A host that
// never issued a number (0 before and after) gives no such proof, and the
// status then counts.
class RequestBracket {
 public:
  explicit RequestBracket(qor_status_object* status) : status_(status) { wrlstlt(&messageBefore_); }

  // What the request reported, as reportedStatus gives it: DS_OK when the
  // status object holds 0 or a status left by earlier work.
  uint32_t reported() const {
    const VQStatus last = lastStatus(status_);
    if (last == 0) return DS_OK;
    uint32_t messageAfter = 0;
    wrlstlt(&messageAfter);
    if (messageAfter != 0 && messageAfter == messageBefore_) return DS_OK;
    return reportedStatus(last);
  }

 private:
  qor_status_object* status_;
  uint32_t messageBefore_ = 0;
};

}  // namespace qorldap::extension_client

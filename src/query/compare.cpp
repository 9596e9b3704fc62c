// dscompar: asks the directory whether an entry's attribute holds a value.
// The answer arrives as the extension's kernel status, converted.
#include <cstdint>

#include <qorldap/abi/objects.h>
#include <qorldap/status.h>
#include <qorldap/table.h>
#include <qorldap/util.h>

#include "extension_client/requests.h"

extern "C" uint32_t dscompar(dshandle* handle, const char* dn, const char* attribute,
                             const char* value) {
  namespace extension_client = qorldap::extension_client;
  if (!extension_client::usable(handle)) return DS_E_NO_CONNECTION;
  if (dn == nullptr || attribute == nullptr || value == nullptr) return DS_E_MISSING_ARGUMENT;
  qor_connection* connection = handle->connection;
  return extension_client::returnedStatus(
      connection->compareValue(connection, dn, wzstlen(dn), attribute, wzstlen(attribute), value,
                               wzstlen(value), handle->statusObject));
}

// Conversion of kernel statuses into module statuses, for the operations that
// report what the LDAP extension said. Callers go through
// extension_client/requests.h, which says which status is converted how.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>

namespace qorldap::status {

// A nonzero kernel status by the conversion table. Callers test for 0
// first; 0 itself converts to DS_E_OTHER.
uint32_t convert(VQStatus status);

}  // namespace qorldap::status

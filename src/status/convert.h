// Conversion of kernel statuses into module statuses, for the operations that
// report what the LDAP extension said.
#pragma once

#include <cstdint>

#include <qorldap/abi/objects.h>

namespace qorldap::status {

// A nonzero kernel status as returned by a connection-object operation
// (close, addEntry, compareValue, deleteEntry, the modify family): converted
// unchanged. Callers test for 0 first; 0 itself converts to DS_E_OTHER.
uint32_t convert(VQStatus status);

// A nonzero status read from a status object (after openConnection or
// search): normalised with VQ_NORMALISE, then converted. An unusable status
// object reads as VQ_INVALID_STATUS_OBJECT, which converts to DS_E_OTHER.
uint32_t convertNormalised(VQStatus status);

}  // namespace qorldap::status

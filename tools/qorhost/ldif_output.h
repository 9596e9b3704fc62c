// Entry lists printed as LDIF (RFC 2849: base64 for values that need it,
// lines folded) or as one DN a line.
#pragma once

#include <string>

#include <qorldap/records.h>

namespace qorcli {

// One entry as an LDIF record, ended by a blank line.
std::string entryToLdif(const dsent& entry);

// Every entry of a null-terminated list (a null list prints nothing).
std::string listToLdif(dsent* const* list);
std::string listToDns(dsent* const* list);

}  // namespace qorcli

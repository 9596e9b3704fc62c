// Entry lists printed as LDIF (RFC 2849: base64 for values that need it,
// lines folded) or as one DN a line.
#pragma once

#include <string>

#include <qorldap/records.h>

namespace qorcli {

// The width at which LDIF lines are folded unless -o ldif-wrap says
// otherwise, as ldapsearch folds them.
inline constexpr int kDefaultLdifWrap = 78;

// One entry as an LDIF record, ended by a blank line, its lines folded at
// `wrap` bytes (0: not folded).
std::string entryToLdif(const dsent& entry, int wrap = kDefaultLdifWrap);

// Every entry of a null-terminated list (a null list prints nothing).
std::string listToLdif(dsent* const* list);
std::string listToDns(dsent* const* list);

}  // namespace qorcli

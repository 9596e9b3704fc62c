// Entry lists printed as LDIF (RFC 2849: base64 for values that need it,
// lines folded) or as one DN a line.
#pragma once

#include <string>
#include <string_view>

#include <qorldap/records.h>

namespace qorcli {

// The width at which LDIF lines are folded unless -o ldif-wrap says
// otherwise, as ldapsearch folds them.
inline constexpr int kDefaultLdifWrap = 78;

// One entry as an LDIF record, ended by a blank line, its lines folded at
// `wrap` bytes (0: not folded).
std::string entryToLdif(const dsent& entry, int wrap = kDefaultLdifWrap);

// A DN as it may be written to a terminal: control characters (C0, DEL, C1)
// and bytes that are not well-formed UTF-8 become RFC 4514 hex escapes
// (\1b), which name the same DN, so that a DN from the directory can neither
// move the cursor nor start an escape sequence. Printable UTF-8 is kept.
std::string printableDn(std::string_view dn);

// Every entry of a null-terminated list (a null list prints nothing); the
// DN lines are printable DNs.
std::string listToLdif(dsent* const* list);
std::string listToDns(dsent* const* list);

}  // namespace qorcli

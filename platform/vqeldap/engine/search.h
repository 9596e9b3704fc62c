// Searches of the directory as slapd answers them: the entries under a base
// (or one entry read by its DN) that a filter selects, in the directory's
// order, with the attributes asked for ("*" or none: every user attribute;
// "+": every operational one; a type also selects its subtypes; "1.1":
// none), those the reader may not see left out, entryDN, subschemaSubentry
// and hasSubordinates computed when asked for, and at most `sizeLimit`
// entries (0: no limit) before sizeLimitExceeded. A base that is not an
// entry is noSuchObject; the empty DN is a root DSE that holds only its
// object classes and has nothing below it. What feeds the directory (a
// file, a server) is not this code's concern.
#pragma once

#include <cstdint>
#include <string>

#include "common/connection.h"
#include "engine/directory.h"
#include "engine/filter.h"

namespace vqeldap::engine {

// The normal form of the base of filter searches, worked out once; isDn
// false when the base given was not a DN.
struct SearchBase {
  std::string normal;
  bool isDn = false;
};

void search(const Directory& directory, const Reader& reader, const SearchRequest& request,
            const SearchBase& base, int64_t sizeLimit, SearchOutcome& outcome);

}  // namespace vqeldap::engine

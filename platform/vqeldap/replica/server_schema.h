// The schema a replica holds the server's entries under: the embedded
// directory's standard schema with the definitions the server publishes in
// its subschema entry (the one the root DSE names in subschemaSubentry,
// cn=Subschema when it names none). Read once, with synchronous searches
// that wait a few seconds at most.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>

#include "engine/schema.h"

namespace vqeldap::replica {

// `ld` is connected and bound, and stays the caller's. Null with the
// reason in `error`: libldap's text for a search that failed, or the
// definition the schema refused.
std::shared_ptr<const engine::Schema> readServerSchema(LDAP* ld, std::string& error);

}  // namespace vqeldap::replica

// Connections to an embedded directory kept in an LDIF file: the same
// operations, records and statuses as the libldap backend, answered in the
// process from the file's entries by the engine (engine/search.h for
// searches, engine/updates.h for changes and compares); the connection
// keeps the file current (store.h) and holds who is bound.
//
// The host text is "ldif:PATH", optionally followed by the site's schema
// files, each as ";schema=FILE":
//   qorhost -H 'ldif:/srv/site.ldif;schema=/etc/site/site.schema;schema=extra.ldif'
// A schema file is in slapd's .schema form or in LDIF (a subschema entry's
// attributeTypes/objectClasses, or cn=config's olcAttributeTypes/
// olcObjectClasses), read after the standard schema (engine/schema.h). A
// schema file that cannot be read or parsed fails the open with
// decodingError and "FILE:LINE: reason" in the diagnostic; so does an entry
// of PATH whose attribute or class no schema read defines: "PATH:LINE:
// attribute or class X is not in the schema (schemas read: core, cosine,
// inetorgperson, qorldap, FILE...)".
//
// Operational attributes: a search returns them only when asked for by
// name or with "+" (never with "*" or no selection), as slapd does:
// entryDN, subschemaSubentry ("cn=Subschema") and hasSubordinates,
// computed; structuralObjectClass, entryUUID, creatorsName,
// createTimestamp, entryCSN, modifiersName and modifyTimestamp, kept in
// the entry as slapd keeps them (updates.h stamps them on an add and a
// modify; a file written by slapcat holds them). An entry loaded without an
// entryUUID shows a name-based one (the same on every open); one loaded
// without the others shows none of them, where slapd always has them.
// slapd's "+" gives nothing more for an entry of its database (the root
// DSE and cn=Subschema, which slapd answers with much more, are not
// served here). Filters on the computed types
// see no values.
//
// Searches run under the connection's base (a base that is not an entry is
// noSuchObject, as on slapd; the empty DN is a root DSE that holds only its
// object classes and has nothing below it), return entries in the order of the file with
// the attributes asked for ("*" or none: every attribute; "1.1": none; a
// type also selects its subtypes), stop at the size limit with
// sizeLimitExceeded, and never show userPassword to anyone. Binds:
// anonymous without a bind DN; otherwise the DN must be an entry whose
// userPassword matches (password.h), else invalidCredentials. Writes need
// a bound connection (strongAuthRequired without one), a file that may be
// written (unwillingToPerform otherwise) and a writer the rules of access.h
// allow (insufficientAccessRights otherwise); a write that fails for the
// system's reasons says why in the diagnostic text ("PATH: cannot write:
// REASON"). The timeout bounds a write's wait for the writers' lock; the
// TLS, paging and alias options are accepted and have nothing to act on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/connection.h"
#include "common/secret.h"

namespace vqeldap::ldif {

struct OpenParameters {
  std::string path;
  std::string base;
  std::optional<std::string> bindDn;
  Secret password;
  int64_t timeout = 30;                  // seconds a write waits for the writers' lock; 0: no limit
  std::vector<std::string> schemaFiles;  // the site's, in the order given
};

// The host text names an embedded directory when it begins with this.
inline constexpr std::string_view kHostPrefix = "ldif:";

// Reads "ldif:PATH[;schema=FILE]..." into `out`'s path and schema files;
// false when the text names no file or holds anything else.
bool parseHostText(std::string_view text, OpenParameters& out);

// Loads the schema files and the file, and binds; null with the failure in `status`. A file that
// cannot be read or loaded is named in `diagnostic` with the line at fault
// and the reason. The password is wiped when the call returns.
std::unique_ptr<Connection> open(OpenParameters parameters, VQStatus& status,
                                 Diagnostic& diagnostic);

}  // namespace vqeldap::ldif

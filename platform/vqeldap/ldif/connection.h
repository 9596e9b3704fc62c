// Connections to an embedded directory kept in an LDIF file (host text
// "ldif:PATH"): the same operations, records and statuses as the libldap
// backend, answered in the process from the file's entries.
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

#include "common/connection.h"
#include "common/secret.h"

namespace vqeldap::ldif {

struct OpenParameters {
  std::string path;
  std::string base;
  std::optional<std::string> bindDn;
  Secret password;
  int64_t timeout = 30;  // seconds a write waits for the writers' lock; 0: no limit
};

// The host text names an embedded directory when it begins with this.
inline constexpr std::string_view kHostPrefix = "ldif:";

// Loads the file and binds; null with the failure in `status`. A file that
// cannot be read or loaded is named in `diagnostic` with the line at fault
// and the reason. The password is wiped when the call returns.
std::unique_ptr<Connection> open(OpenParameters parameters, VQStatus& status,
                                 Diagnostic& diagnostic);

}  // namespace vqeldap::ldif

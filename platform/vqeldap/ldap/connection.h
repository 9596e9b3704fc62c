// Connections over OpenLDAP's libldap.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/connection.h"
#include "common/secret.h"
#include "ldap/endpoints.h"

namespace vqeldap::ldap {

struct OpenParameters {
  std::vector<Endpoint> endpoints;  // tried in order
  std::string base;                 // the base of filter searches
  std::optional<std::string> bindDn;
  Secret password;
  int timeout = 0;  // seconds for connecting and for each reply; 0: no limit
};

// Opens a connection: for each endpoint in turn, LDAPv3 with the timeout,
// TLS (ldaps, or StartTLS when asked for) with the certificate and the host
// name verified, then a simple bind with the bind DN and password, or an
// anonymous connection without a bind DN (see ldap/session.h). A server that
// cannot be reached or used (down, refusing, timing out) gives way to the
// next; any other failure, such as TLS failing (0x5B) or wrong credentials,
// ends the attempt. The password is wiped when the attempt is over, and so
// is the encoded bind request that carried it: nothing of it stays with the
// connection, which is never bound again. Null with the failure in
// `status`.
//
// TLS settings are made per connection: they start from libldap's
// configuration (ldap.conf, LDAPCONF, ~/.ldaprc, LDAPRC: TLS_CACERT,
// TLS_CACERTDIR, TLS_CERT, TLS_KEY, TLS_CIPHER_SUITE, TLS_PROTOCOL_MIN),
// and the environment variables LDAPTLS_CACERT,
// LDAPTLS_CACERTDIR, LDAPTLS_CERT and LDAPTLS_KEY are read at every open, so
// a change takes effect for the next connection. Certificates are always
// verified, whatever TLS_REQCERT says.
//
// `diagnostic` names each server tried: why it was passed over or why the
// attempt ended there, or for the one used, its TLS and the bind DN.
//
// Once open, the connection is the one that was bound: when it is lost
// (0x51), every later request fails the same way, and none is sent over a
// connection that libldap would otherwise open anew, unbound. Each request
// waits at most the timeout for each answer, even when an answer arrives
// only in part; in a batch, the first timeout ends the batch.
//
// An entry that carries an attribute in ranged slices (Active Directory's
// `member;range=0-1499` for an attribute with more values than it sends at
// once) is completed before it is handed on, in every search, page and
// batch: the following slices are asked for with base searches of the
// entry (see ldap/ranges.h), and the attribute reaches the caller under
// its plain name with every value in the server's order. A slice that
// cannot be had fails the whole search with nothing of it handed on: the
// server's refusal keeps its code (noSuchObject and the limits excepted,
// which would read as a missing entry or a shortened answer), an answer
// that does not continue the slices is a decoding error (0x54), and a
// "ranged values" line of the diagnostic names the slice, the entry and why.
std::unique_ptr<Connection> open(OpenParameters& parameters, VQStatus& status,
                                 Diagnostic& diagnostic);

}  // namespace vqeldap::ldap

// The servers a connection may use, from the host text of ldparm.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vqeldap::ldap {

struct Endpoint {
  std::string uri;        // what libldap connects to: an ldap:// or ldapi:// URI
  bool tls = false;       // ldaps: TLS at once on the connection to `uri`
  bool startTls = false;  // ldap: StartTLS before anything else
};

// The host text holds one or more servers separated by blanks, tried in
// order. Each is an LDAP URI (ldap://, ldaps://, ldapi://, any letter case)
// or a plain host name, IPv4 address or bracketed IPv6 address, optionally
// with ":port"; a plain host without its own port takes `port` (none when
// `port` is 0, so libldap's default 389 applies). With `startTls`, every
// ldap:// server is asked for StartTLS. An ldaps:// server becomes the
// ldap:// URI of its host and port (636 by default) with `tls` set. False
// for empty text, an unknown scheme, a URI libldap cannot parse, a word with
// a comma (libldap would take it for two servers), a host name with other
// characters than letters, digits, '.', '-' and '_', or a port outside 1 to
// 65535.
bool parseEndpoints(std::string_view hosts, int port, bool startTls, std::vector<Endpoint>& out);

}  // namespace vqeldap::ldap

// Reaching one server with libldap: the handle, TLS and the bind, each in a
// step of its own so that a failure says which step failed and whether the
// next server is worth trying.
#pragma once

#include <ldap.h>

#include <memory>
#include <string>

#include "common/diagnostic.h"
#include "ldap/connection.h"

namespace vqeldap::ldap {

// Releases a handle (libldap sends an unbind first) without letting the
// write to a connection that the server has closed end the process with
// SIGPIPE.
struct Unbind {
  void operator()(LDAP* ld) const;
};
using Handle = std::unique_ptr<LDAP, Unbind>;

// What trying one server gave: a handle ready for requests, or the kernel
// status of the failure and whether another server should be tried.
struct Attempt {
  Handle ld;
  VQStatus status = 0;
  bool tryNext = false;
  std::string reason;  // of a failure, as a person reads it
};

// Connects to the endpoint, then makes the connection TLS when the endpoint
// asks for it (ldaps, StartTLS), then binds when there is a bind DN:
//   - a server that cannot be reached, or answers busy or unavailable, or
//     does not answer in time, gives way to the next (tryNext);
//   - TLS that fails once the server was reached (a certificate that does
//     not verify or names another host, a handshake broken off) is the
//     client status connectError (0x5B) and ends the attempt: it is no
//     reason to try another server, and 0x5B means nothing else;
//   - nothing, the bind least of all, is sent over a connection that was to
//     be TLS and is not.
Attempt openSession(const Endpoint& endpoint, const OpenParameters& parameters);

// What the server said about a failed request (its message, the entry it
// matched) and, for a failure of the client's own (server down, timeout),
// the server it concerns (`server`, as serverName gives it), into `out`; the
// handle's copies are cleared so that a later failure never repeats them.
void describeFailure(LDAP* ld, int code, const std::string& server, Diagnostic& out);

// The server as a person names it: ldaps:// for a TLS endpoint.
std::string serverName(const Endpoint& endpoint);

}  // namespace vqeldap::ldap

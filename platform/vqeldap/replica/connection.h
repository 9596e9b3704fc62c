// Connections whose reads a live replica (replica.h) answers in the
// process, and whose writes, and whatever reads the replica cannot answer,
// go to the server through a libldap connection of their own.
//
// The host text is "replica:" followed by what the libldap backend takes
// (servers separated by blanks, tried in order), then optionally
// ";staleness=MILLISECONDS" (the bound on how old an answer may be, 1000 by
// default, at least 10) and ";wait=SECONDS" (how long the open that starts
// the replica waits for its first refresh; 10 by default, 0: not at all):
//   qorhost -H 'replica:ldap://a.example ldap://b.example;staleness=500'
//
// Opening binds a libldap connection exactly as the libldap backend does
// (the same statuses and diagnostic lines): it checks the credentials and
// carries the writes. The connection then joins the process's replica for
// the same servers, base, bind DN and bound, or starts it. The replica's
// trouble never fails an open: reads then go to the server.
//
// Searches, reads by DN, batches and compares are answered by the replica
// when it is live, by the server otherwise; a search that asks for
// operational attributes ("+", or contextCSN by name) always by the server,
// since the replica does not keep the server's own state. Every request's
// diagnostic text says which in a line "answered by: replica" or
// "answered by: server (REASON)". A write returns once the server
// acknowledged it and the replica holds it, or the bound passed (the
// replica is then not live until it holds it), so the connection reads its
// own writes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "common/connection.h"
#include "ldap/connection.h"

namespace vqeldap::replica {

inline constexpr std::string_view kHostPrefix = "replica:";

struct HostText {
  std::string servers;  // the libldap backend's host text
  std::chrono::milliseconds staleness{1000};
  std::chrono::seconds wait{10};
};

// False when the text holds no servers or an option that is not one of
// the above with a number in range.
bool parseHostText(std::string_view text, HostText& out);

// `server` as the libldap backend would open it; null with the failure in
// `status` and `diagnostic`, as from ldap::open.
std::unique_ptr<Connection> open(const HostText& host, ldap::OpenParameters& server,
                                 VQStatus& status, Diagnostic& diagnostic);

}  // namespace vqeldap::replica

// libldap's result codes as kernel statuses.
#pragma once

#include <qorldap/abi/objects.h>

namespace vqeldap::ldap {

// 0 for success; an LDAP result code n (RFC 4511, 1 to 0x7F) as
// 0x807FF800 + n; libldap's negative client codes as their RFC 1823
// numbers (server down 0x51 ... referral limit exceeded 0x61); anything
// else as 0x807FF850 (other). libldap's connect error (0x5B) comes from TLS
// alone, as connections are made synchronously; a connection still in the
// making (LDAP_X_CONNECTING) counts as a server that is down.
VQStatus statusOf(int code);

// Failures that say nothing about the directory but that this server could
// not be reached or used now, so the next server is worth trying. TLS that
// fails is not one of them.
bool serverUnreachable(int code);

// Answers by which a server may turn the paged-results control down (slapd
// answers adminLimitExceeded when it is disabled): a search refused so is
// tried once more without it.
bool pagingRefusal(int code);

// The server's limit results (size, time, administrative limit): a search
// that ends with one keeps the entries that came before it, as the server
// chose to give them. Every other failure leaves no entries.
bool keepsEntries(int code);

}  // namespace vqeldap::ldap

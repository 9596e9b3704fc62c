// What a server says of its newest change, and whether a synchronisation
// cookie has reached it.
//
// slapd: change sequence numbers (CSNs) as OpenLDAP writes them:
// "20261210091220.545946Z#000000#000#000000", a time, a count, the server
// ID of the server that made the change, and a modification number. CSNs
// of one server ID compare as texts. A synchronisation cookie carries the
// newest CSN of each server ID the client holds ("rid=000,csn=A;B");
// the database's contextCSN values are the newest the server holds.
//
// 389 DS: the root DSE's lastchangenumber (its retro changelog's newest
// change) and a cookie that ends in "#NUMBER", the change it has reached.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vqeldap::replica {

// The CSNs a cookie carries; none when it holds no "csn=".
std::vector<std::string> csnsOfCookie(std::string_view cookie);

// Whether what `held` names includes every change `wanted` names: for each
// CSN wanted, one held of the same server ID and no older. A CSN that is
// not in the form above is never included.
bool includes(const std::vector<std::string>& held, const std::vector<std::string>& wanted);

// Whether the cookie holds the server's newest change: the contextCSN
// values when the server gave any, else its lastchangenumber when it gave
// one; a server that gives neither says nothing to wait for.
bool holdsNewest(std::string_view cookie, const std::vector<std::string>& contextCsns,
                 std::string_view lastChangeNumber);

}  // namespace vqeldap::replica

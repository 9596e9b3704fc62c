// Change sequence numbers (CSNs) as OpenLDAP writes them:
// "20261210091220.545946Z#000000#000#000000", a time, a count, the server
// ID of the server that made the change, and a modification number. CSNs
// of one server ID compare as texts. A synchronisation cookie carries the
// newest CSN of each server ID the client holds ("rid=000,csn=A;B");
// the database's contextCSN values are the newest the server holds.
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

}  // namespace vqeldap::replica

// Texts a person can act on for the module's status codes.
#pragma once

#include <cstdint>
#include <string>

namespace qorcli {

// "0x80144098 DS_E_NO_HOST: no host: give -H or set LDAP_HOST" for a named
// status; for the others the hex form and, when the code carries an LDAP
// result code, its name and meaning.
std::string describeStatus(uint32_t status);

// The name and meaning of an LDAP result code (RFC 4511) or client-side code
// (RFC 1823), or empty when the number is none of them.
std::string describeLdapResult(uint32_t code);

}  // namespace qorcli

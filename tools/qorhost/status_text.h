// The kernel's status texts as the strings qorhost prints.
#pragma once

#include <cstdint>
#include <string>

#include <qorkernel/status_text.h>

namespace qorcli {

// "0x80144098 DS_E_NO_HOST: no host: give -H, or set LDAP_HOST, LDAPURI or URI in ldap.conf" for a
// named status; for the others the hex form and, when the code carries an LDAP result code, its
// name and meaning.
inline std::string describeStatus(uint32_t status) {
  std::string text(qorkernel_status_describe(status, nullptr, 0), '\0');
  qorkernel_status_describe(status, text.data(), text.size() + 1);
  return text;
}

}  // namespace qorcli

// The kernel's status texts as the strings qorhost prints: the kernel's line
// (which speaks to any host) and, where one of qorhost's flags acts on the
// status, that flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <qorkernel/status_text.h>
#include <qorldap/status.h>

namespace qorcli {

// The code a status carries: the module's own statuses and the LDAP results
// they carry share the low bits; the kernel's LDAP form adds the result to
// VQ_LDAP_BASE.
inline uint32_t carriedCode(uint32_t status) {
  if (status >= VQ_LDAP_BASE && status <= VQ_LDAP_BASE + 0xFFu) return status - VQ_LDAP_BASE;
  const uint32_t base = status & ~DS_CODE_MASK;
  if (base == DS_ERROR_BASE || base == DS_WARNING_BASE) return status & DS_CODE_MASK;
  return UINT32_MAX;
}

// What to give qorhost for a status, or empty.
inline std::string_view flagHint(uint32_t status) {
  struct FlagHint {
    uint32_t code;
    std::string_view text;
  };
  static constexpr FlagHint kFlagHints[] = {
      {0x08,
       "give -D with -W, -w or -y; if they were given, the server wants TLS: -ZZ or ldaps://"},
      {0x0D, "give -ZZ or an ldaps:// URI"},
      {0x20, "check the DN, and -b for search and expand"},
      {0x30, "give -D with -W, -w or -y"},
      {0x31, "check -D and -w/-y/-W"},
      {0x32, "bind with -D and -W, -w or -y"},
      {0x51, "check -H and -p"},
      {0x55, "give a longer -l or -o nettimeout"},
      {DS_E_NO_BASE & DS_CODE_MASK, "give -b, or set LDAPBASE or BASE in ldap.conf"},
      {DS_E_NO_HOST & DS_CODE_MASK, "give -H, or set LDAPURI or URI in ldap.conf"},
  };
  const uint32_t code = carriedCode(status);
  for (const FlagHint& hint : kFlagHints) {
    if (hint.code == code) return hint.text;
  }
  return {};
}

// "0x80144098 DS_E_NO_HOST: no host given, and none set as the macro symbol
// or environment variable LDAP_HOST; give -H, or set LDAPURI or URI in
// ldap.conf" for a named status; for the others
// the hex form and, when the code carries an LDAP result code, its name and
// meaning, then the flag hint.
inline std::string describeStatus(uint32_t status) {
  std::string text(qorkernel_status_describe(status, nullptr, 0), '\0');
  qorkernel_status_describe(status, text.data(), text.size() + 1);
  if (std::string_view flag = flagHint(status); !flag.empty()) {
    text += "; ";
    text += flag;
  }
  return text;
}

}  // namespace qorcli

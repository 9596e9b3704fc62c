/*
 * Texts a person can act on for module statuses and kernel statuses: a
 * status's name and a hint, and the one line that qorhost prints for it.
 *
 * A status named in QORLDAP_STATUSES (qorldap/status.h) has that name and
 * hint. Any other error or warning form of a module status, and a kernel
 * status 0x807FF800 + n, whose code is an LDAP result code (RFC 4511) or a
 * client-side code (RFC 1823) has the code's LDAP name ("noSuchObject") and
 * its hint. Every other status has neither.
 *
 * The texts are static: they need no release and stay valid for the life of
 * the process.
 */
#ifndef QORKERNEL_STATUS_TEXT_H
#define QORKERNEL_STATUS_TEXT_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

/* The status's name, or NULL when it has none. */
QORLDAP_API const char* qorkernel_status_name(uint32_t status);

/* The status's hint, or NULL when it has none. */
QORLDAP_API const char* qorkernel_status_hint(uint32_t status);

/*
 * The line qorhost prints: "0x80144098 DS_E_NO_HOST: no host: give -H, or
 * set LDAP_HOST, LDAPURI or URI in ldap.conf", "0x80144020 error: LDAP
 * noSuchObject (32): ...", "0x12345678 unknown status". Written as snprintf writes: at most size
 * bytes with the terminating NUL, and the length of the whole line is returned, so a result of size
 * or more means the text was cut short.
 */
QORLDAP_API size_t qorkernel_status_describe(uint32_t status, char* text, size_t size);

QOR_EXTERN_C_END

#endif

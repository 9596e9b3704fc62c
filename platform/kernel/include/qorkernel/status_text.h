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
 * the process. Every function here may be called from any thread at any
 * time, with or without a kernel.
 */
#ifndef QORKERNEL_STATUS_TEXT_H
#define QORKERNEL_STATUS_TEXT_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

/*
 * qorkernel_status_name, qorkernel_status_hint - a status's name, and a hint a person can act on
 *
 * A status named in QORLDAP_STATUSES has that name and hint ("DS_E_NO_BASE", "no search
 * base given, ..."). Any other error or warning form of a module status, and a kernel status
 * 0x807FF800 + n, whose code is an LDAP result code (RFC 4511) or a client-side code
 * (RFC 1823), has the code's LDAP name ("noSuchObject") and its hint.
 *
 * Arguments:
 *   status  a module status, as an operation returns it, or a kernel status, as dsgeterr
 *           returns it.
 *
 * Returns:
 *   the text  the name (qorkernel_status_name) or the hint (qorkernel_status_hint).
 *   NULL      the status has none.
 *
 * Memory:
 *   The texts are static: no release, valid for the life of the process.
 */
QORLDAP_API const char* qorkernel_status_name(uint32_t status);
QORLDAP_API const char* qorkernel_status_hint(uint32_t status);

/*
 * qorkernel_status_describe - the line qorhost prints for a status
 *
 * The status in hexadecimal, then its name and hint, or the LDAP result its code carries, or
 * what is known of it:
 *
 *       0x80144022 DS_E_NO_DN: no DN given, or the DN is not well formed (invalid DN syntax)
 *       0x80144020 error: LDAP noSuchObject (32): no entry with that DN (check the DN ...)
 *       0x807FF851 kernel status: LDAP serverDown (81): cannot reach the server: ...
 *       0x80144123 error: module status code 291
 *       0x12345678 unknown status
 *
 * Arguments:
 *   status  any 32-bit status: a module status or a kernel status.
 *   text    where the line is written, with a terminating NUL. NULL: nothing is written (to
 *           learn the length).
 *   size    the bytes at text, the NUL included. 0: nothing is written.
 *
 * Returns:
 *   the length  the length of the whole line without its NUL, as snprintf returns it: size
 *               or more means the line was cut short to size - 1 bytes.
 *   0           memory ran out; an empty text is written when there is room.
 *
 * Memory:
 *   The line is copied into the caller's buffer.
 */
QORLDAP_API size_t qorkernel_status_describe(uint32_t status, char* text, size_t size);

QOR_EXTERN_C_END

#endif

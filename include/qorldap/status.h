/*
 * Module status codes. 0 is success; 0x80144000 + code is an error and
 * 0x00144000 + code a warning (the operation delivered its result).
 *
 * Codes up to 0x9E are shared with the conversion of kernel statuses; the
 * module's own refusals from 0xA0 on never come out of a conversion:
 * settings found but too long to be read (dsopen never drops them, nor takes
 * a default for them) and an expansion whose result would pass its limit.
 *
 * QORLDAP_STATUSES is the one list of the codes that the operations return by
 * name: X(name, value, hint). The hint is a short text a person can act on;
 * the module itself never reads it.
 */
#ifndef QORLDAP_STATUS_H
#define QORLDAP_STATUS_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

#define QORLDAP_STATUSES(X)                                                                     \
  X(DS_OK, 0x00000000u, "success")                                                              \
  X(DS_E_COMPARE_FALSE, 0x80144005u, "the entry does not hold that value")                      \
  X(DS_E_COMPARE_TRUE, 0x80144006u, "the entry holds that value")                               \
  X(DS_E_NO_DN, 0x80144022u, "no DN given, or the DN is not well formed (invalid DN syntax)")   \
  X(DS_E_LOOP_DETECT, 0x80144036u, "a loop: groups nested too deeply to expand (a cycle?)")     \
  X(DS_E_OTHER, 0x80144050u, "the directory reported a failure the module does not know")       \
  X(DS_E_NOT_OPENED, 0x80144051u,                                                               \
    "the directory cannot be reached or went away: is the server running, is the ldif: file "   \
    "there?")                                                                                   \
  X(DS_E_MISSING_ARGUMENT, 0x80144059u, "a required argument is missing or cannot be used")     \
  X(DS_E_NO_MEMORY, 0x8014405Au, "out of memory")                                               \
  X(DS_E_NO_CONNECTION, 0x80144078u, "no usable connection")                                    \
  X(DS_E_NOTHING_TO_CHANGE, 0x80144088u, "nothing to register or modify: no attributes given")  \
  X(DS_E_NO_VALUE, 0x80144089u, "an attribute has no value")                                    \
  X(DS_E_NO_EXTENSION, 0x80144093u, "the LDAP extension vqeldap could not be loaded")           \
  X(DS_E_NO_BASE, 0x80144097u,                                                                  \
    "no search base given, and none set as the macro symbol or environment variable LDAP_BASE") \
  X(DS_E_NO_HOST, 0x80144098u,                                                                  \
    "no host given, and none set as the macro symbol or environment variable LDAP_HOST")        \
  X(DS_E_EXPANSION_TOO_LARGE, 0x801440A0u,                                                      \
    "the group expands to more than 100,000 entries: expand its nested groups one by one")      \
  X(DS_E_TIMEOUT_TOO_LONG, 0x801440A1u,                                                         \
    "LDAP_TIMEOUT is too long: at most 6 bytes in the environment, 7 as a macro symbol")        \
  X(DS_E_HOST_TOO_LONG, 0x801440A2u,                                                            \
    "LDAP_HOST in the environment is over 63 bytes: pass the host as an argument or a macro")   \
  X(DS_E_PORT_TOO_LONG, 0x801440A3u,                                                            \
    "LDAP_PORT is too long (at most 6 bytes, 8 as a macro): pass the port as an argument")      \
  X(DS_E_BIND_DN_TOO_LONG, 0x801440A4u,                                                         \
    "LDAP_BINDDN in the environment is over 255 bytes: pass the bind DN as an argument or a "   \
    "macro")                                                                                    \
  X(DS_E_BIND_PW_TOO_LONG, 0x801440A5u,                                                         \
    "LDAP_BINDPW in the environment is over 63 bytes: pass the password as an argument or a "   \
    "macro")                                                                                    \
  X(DS_E_BASE_TOO_LONG, 0x801440A6u,                                                            \
    "LDAP_BASE in the environment is over 255 bytes: pass the base as an argument or a macro")  \
  X(DS_W_NOT_FOUND, 0x00144081u, "nothing found")

/*
 * The names as constants. C before C23 allows an enumerator only the range
 * of int, so in C the error codes (bit 31 set) are stored as the int of the
 * same 32 bits: a switch on a uint32_t status converts them back to the code
 * itself, and DS_STATUS(name) is the code as a uint32_t, for comparisons
 * that -Wsign-compare accepts. C++ keeps the values as they are.
 */
#ifdef __cplusplus
#define QOR_STATUS_CONSTANT(value) ((int64_t)(value))
#else
#define QOR_STATUS_CONSTANT(value) ((int)(int32_t)(value))
#endif
enum {
#define QOR_STATUS_ENUMERATOR(name, value, hint) name = QOR_STATUS_CONSTANT(value),
  QORLDAP_STATUSES(QOR_STATUS_ENUMERATOR)
#undef QOR_STATUS_ENUMERATOR
};

#define DS_STATUS(name) ((uint32_t)(name))

/* Forms of a module status. */
#define DS_ERROR_BASE 0x80144000u
#define DS_WARNING_BASE 0x00144000u
#define DS_CODE_MASK 0x7FFu
#define DS_ERROR_FORM(s) (DS_ERROR_BASE | ((uint32_t)(s)&DS_CODE_MASK))
#define DS_WARNING_FORM(s) (DS_WARNING_BASE | ((uint32_t)(s)&DS_CODE_MASK))
#define DS_IS_ERROR(s) (((uint32_t)(s)&0x80000000u) != 0)

/* dscompar's two answers. Both carry the error bit (they are LDAP's
   compareTrue and compareFalse in the error form), so DS_IS_ERROR is true
   for each: test a compare's status with DS_IS_COMPARE_ANSWER first, then
   against DS_COMPARE_HOLDS; DS_IS_FAILURE is true only for real failures. */
#define DS_COMPARE_HOLDS DS_STATUS(DS_E_COMPARE_TRUE)
#define DS_COMPARE_DIFFERS DS_STATUS(DS_E_COMPARE_FALSE)
#define DS_IS_COMPARE_ANSWER(s) \
  ((uint32_t)(s) == DS_COMPARE_HOLDS || (uint32_t)(s) == DS_COMPARE_DIFFERS)
#define DS_IS_FAILURE(s) (DS_IS_ERROR(s) && !DS_IS_COMPARE_ANSWER(s))

/* Kernel statuses. */
#define VQ_LDAP_BASE 0x807FF800u /* + an LDAP result code (RFC 4511 / RFC 1823) */
#define VQ_LDAP(n) (VQ_LDAP_BASE + (uint32_t)(n))
#define VQ_INVALID_STATUS_OBJECT 0x80000805u
/* Status-object statuses are normalised before conversion. */
#define VQ_NORMALISE(s) ((((uint32_t)(s)) & 0x3FC03FFFu) | 0x803FC000u)

/* Converts a nonzero kernel status into a module status. */
QORLDAP_API uint32_t dsConvertVQStatus(uint32_t status);

QOR_EXTERN_C_END

#endif

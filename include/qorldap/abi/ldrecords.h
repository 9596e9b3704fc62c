/*
 * Records exchanged with the LDAP extension. Both sides read them byte for
 * byte, so every size and offset below is part of the interface.
 */
#ifndef QORLDAP_ABI_LDRECORDS_H
#define QORLDAP_ABI_LDRECORDS_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

/* Value kinds carried in ldval.type (the same numbers as the DSV_ tags). */
enum { LDV_LONG = 2, LDV_DOUBLE = 5, LDV_BINARY = 6, LDV_STRING = 7 };

typedef union lddata {
  int64_t number; /* kind 2 */
  double real;    /* kind 5 */
  const void* bytes; /* kind 6 */
} lddata;

typedef struct ldval {
  int32_t type;
  int32_t reserved;
  lddata data;
  int64_t len;      /* kind 6: byte count */
  const char* text; /* kind 7, and every value a search returns */
  int64_t textlen;
} ldval;

typedef struct ldatt {
  const char* name;
  int64_t namelen;
  int32_t reserved;
  int32_t nvals;
  ldval** vals; /* nvals + 1 slots, the last null */
} ldatt;

typedef struct ldent {
  const char* dn;
  int64_t dnlen;
  int32_t reserved;
  int32_t natts;
  ldatt** atts; /* natts + 1 slots, the last null */
  uint64_t reserved2[2];
} ldent;

/* One modification for modifyEntry: an operation code and one attribute. */
typedef struct ldmod {
  uint32_t op;
  uint32_t reserved;
  ldatt* att;
} ldmod;

/* One modification for modifyEntryLists: an operation code and attributes. */
typedef struct ldmodp {
  uint32_t op;
  uint32_t reserved;
  ldatt** atts; /* null-terminated */
} ldmodp;

/* LDAP's numbering of modify operations. */
enum { LDMOD_ADD = 0, LDMOD_DELETE = 1, LDMOD_REPLACE = 2 };

/* Connection parameters handed to openConnection. */
typedef struct ldparm {
  uint64_t reserved0;
  uint32_t hostCode;
  uint32_t reserved12;
  uint64_t reserved16[3];
  uint64_t kernelContext;
  int32_t timeout;
  uint32_t openFlags;
  int32_t port;
  int32_t tls;
  uint64_t reserved64[2];
  const char* host;
  int64_t hostLen;
  const char* base;
  int64_t baseLen;
  const char* bindDn;
  int64_t bindDnLen;
  const char* bindPw;
  int64_t bindPwLen;
} ldparm;

QOR_ASSERT_SIZE(lddata, 8);

QOR_ASSERT_SIZE(ldval, 40);
QOR_ASSERT_OFFSET(ldval, type, 0);
QOR_ASSERT_OFFSET(ldval, data, 8);
QOR_ASSERT_OFFSET(ldval, len, 16);
QOR_ASSERT_OFFSET(ldval, text, 24);
QOR_ASSERT_OFFSET(ldval, textlen, 32);

QOR_ASSERT_SIZE(ldatt, 32);
QOR_ASSERT_OFFSET(ldatt, name, 0);
QOR_ASSERT_OFFSET(ldatt, namelen, 8);
QOR_ASSERT_OFFSET(ldatt, nvals, 20);
QOR_ASSERT_OFFSET(ldatt, vals, 24);

QOR_ASSERT_SIZE(ldent, 48);
QOR_ASSERT_OFFSET(ldent, dn, 0);
QOR_ASSERT_OFFSET(ldent, dnlen, 8);
QOR_ASSERT_OFFSET(ldent, natts, 20);
QOR_ASSERT_OFFSET(ldent, atts, 24);
QOR_ASSERT_OFFSET(ldent, reserved2, 32);

QOR_ASSERT_SIZE(ldmod, 16);
QOR_ASSERT_OFFSET(ldmod, op, 0);
QOR_ASSERT_OFFSET(ldmod, att, 8);
QOR_ASSERT_SIZE(ldmodp, 16);
QOR_ASSERT_OFFSET(ldmodp, op, 0);
QOR_ASSERT_OFFSET(ldmodp, atts, 8);

QOR_ASSERT_SIZE(ldparm, 144);
QOR_ASSERT_OFFSET(ldparm, hostCode, 8);
QOR_ASSERT_OFFSET(ldparm, kernelContext, 40);
QOR_ASSERT_OFFSET(ldparm, timeout, 48);
QOR_ASSERT_OFFSET(ldparm, openFlags, 52);
QOR_ASSERT_OFFSET(ldparm, port, 56);
QOR_ASSERT_OFFSET(ldparm, tls, 60);
QOR_ASSERT_OFFSET(ldparm, host, 80);
QOR_ASSERT_OFFSET(ldparm, hostLen, 88);
QOR_ASSERT_OFFSET(ldparm, base, 96);
QOR_ASSERT_OFFSET(ldparm, baseLen, 104);
QOR_ASSERT_OFFSET(ldparm, bindDn, 112);
QOR_ASSERT_OFFSET(ldparm, bindDnLen, 120);
QOR_ASSERT_OFFSET(ldparm, bindPw, 128);
QOR_ASSERT_OFFSET(ldparm, bindPwLen, 136);

QOR_EXTERN_C_END

#endif

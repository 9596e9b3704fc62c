/*
 * The entry table through which host components call the module.
 *
 * QORLDAP_OPERATIONS is the one list of the 27 operations: X(word, name,
 * result, parameters). The table struct, the exported prototypes, the
 * module's ldaptbl and the tests are derived from it.
 *
 * Threads: different connection handles may be used on different threads at
 * the same time, dsopen and dsclose included; each handle has its own pool
 * and its own status object, so dsgeterr(h) reports h's own last request.
 * One handle, and every record it handed out, is used by one thread at a
 * time. The operations that take no handle (the getters, dsdnprnt,
 * dsmynod, dsgbin) touch only their arguments. Starting and stopping the
 * module (its entry routine and term) must not overlap any other call.
 */
#ifndef QORLDAP_TABLE_H
#define QORLDAP_TABLE_H

#include <stdarg.h>

#include <qorldap/abi/compat.h>
#include <qorldap/records.h>

QOR_EXTERN_C_BEGIN

#define QORLDAP_OPERATIONS(X)                                                                    \
  X(4, term, void, (void))                                                                       \
  X(5, dsopen, uint32_t,                                                                         \
    (dshandle * *handle, const char* host, int32_t port, void* unused, const char* base,         \
     const char* bindDn, const char* bindPw))                                                    \
  X(6, dsclose, uint32_t, (dshandle * handle))                                                   \
  X(7, dsopt, void,                                                                              \
    (dshandle * handle, int32_t option, int32_t value, int64_t flags, const char* text))         \
  X(8, dsiscls, int32_t, (dshandle * handle, dsent* entry, const char* name, int32_t length))   \
  X(9, dsexpgrp, uint32_t,                                                                       \
    (dshandle * handle, const char* groupDn, dsent*** list, int32_t kind))                       \
  X(10, dsreslv, uint32_t,                                                                       \
    (dshandle * handle, const char* filter, const char* const* attributes, dsent*** list))       \
  X(11, dsrslvdn, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, const char* const* attributes, dsent*** list))           \
  X(12, dsreg, uint32_t, (dshandle * handle, const char* dn, const dsent* entry))                \
  X(13, dsmodify, uint32_t, (dshandle * handle, const char* dn, dsmod* const* mods))            \
  X(14, dsmodpad, uint32_t, (dshandle * handle, const char* dn, dsmodp* const* mods))           \
  X(15, dsmodone, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, uint32_t op, const char* name, const void* value))       \
  X(16, dsdereg, uint32_t, (dshandle * handle, const char* dn))                                  \
  X(17, dsfree, uint32_t, (dshandle * handle, dsent** list))                                     \
  X(18, dsgshrt, int16_t, (dsval * value))                                                       \
  X(19, dsgint, int32_t, (dsval * value))                                                        \
  X(20, dsglong, int64_t, (dsval * value))                                                       \
  X(21, dsgflt, float, (dsval * value))                                                          \
  X(22, dsgdbl, double, (dsval * value))                                                         \
  X(23, dsgbin, int32_t, (const void* ignored))                                                  \
  X(24, dsgstr, char*, (dsval * value))                                                          \
  X(25, dsmkatt, dsatt*, (dshandle * handle, const char* name, int32_t count, ...))             \
  X(26, dsfratt, void, (dshandle * handle, dsatt* attribute))                                    \
  X(27, dsmynod, int32_t, (const void* ignored))                                                 \
  X(28, dsdnprnt, void, (const char* name, char* buffer, int32_t size, int32_t* count))          \
  X(29, dsgeterr, uint32_t, (dshandle * handle))                                                 \
  X(30, dscompar, uint32_t,                                                                      \
    (dshandle * handle, const char* dn, const char* attribute, const char* value))

enum { QORLDAP_TABLE_WORDS = 31, QORLDAP_FIRST_OPERATION_WORD = 4, QORLDAP_OPERATION_COUNT = 27 };

/* The exported operations. */
#define QORLDAP_DECLARE_OPERATION(word, name, result, parameters) QORLDAP_API result name parameters;
QORLDAP_OPERATIONS(QORLDAP_DECLARE_OPERATION)
#undef QORLDAP_DECLARE_OPERATION

/* dsmkatt's builder with its argument list as a va_list. */
QORLDAP_API dsatt* form_attribute(dshandle* handle, const char* name, int32_t count, va_list values);

/* The table as a typed struct: words 0-3 null, then the operations. */
typedef struct qorldap_table {
  void* reserved[QORLDAP_FIRST_OPERATION_WORD];
#define QORLDAP_TABLE_FIELD(word, name, result, parameters) result(*name) parameters;
  QORLDAP_OPERATIONS(QORLDAP_TABLE_FIELD)
#undef QORLDAP_TABLE_FIELD
} qorldap_table;

QOR_ASSERT_SIZE(qorldap_table, QOR_WORD(QORLDAP_TABLE_WORDS));
#define QORLDAP_ASSERT_WORD(word, name, result, parameters) \
  QOR_ASSERT_OFFSET(qorldap_table, name, QOR_WORD(word));
QORLDAP_OPERATIONS(QORLDAP_ASSERT_WORD)
#undef QORLDAP_ASSERT_WORD

QORLDAP_API extern const qorldap_table ldaptbl;

QOR_EXTERN_C_END

#endif

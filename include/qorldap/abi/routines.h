/*
 * The host routines that the module reaches through transfer vectors.
 *
 * QOR_HOST_ROUTINES is the one table of them: name, vector, slot, result type,
 * parameter list and argument list. The module's stubs, the platform's vector
 * tables and the tests are all generated from it.
 *
 * How a call travels: the stub `name` (exported also as _name_vector_slot)
 * stores 0 into gcb->vectorFlags[vector], loads gcb->vectors[vector][slot]
 * and calls it with the routine identifier as an extra leading argument:
 *
 *     result target(uint64_t routineId, <the caller's arguments unchanged>)
 *
 * routineId holds the vector number in its upper 32 bits and the slot number
 * in its lower 32 bits (QOR_ROUTINE_ID). Every target the host installs has
 * that signature (QOR_ROUTINE_TARGET gives its type).
 *
 * A stub that finds no control block (mcn_main not called, or called with
 * null) or an empty slot calls nothing and returns a failure in the routine's
 * own terms: null for a pointer result, -1 (all bits set) for a number.
 */
#ifndef QORLDAP_ABI_ROUTINES_H
#define QORLDAP_ABI_ROUTINES_H

#include <qorldap/abi/compat.h>
#include <qorldap/abi/gcb.h>
#include <qorldap/abi/objects.h>

QOR_EXTERN_C_BEGIN

typedef struct qor_symbol_table qor_symbol_table;

/* Descriptor handed to wzifmn: converts `length` bytes of `text` to a double
   stored through `result`. */
typedef struct qor_conversion {
  int32_t kind; /* 24 */
  int32_t zero;
  const char* text;
  int32_t length;
  int32_t reserved;
  double* result;
} qor_conversion;
QOR_ASSERT_SIZE(qor_conversion, 32);
QOR_ASSERT_OFFSET(qor_conversion, text, 8);
QOR_ASSERT_OFFSET(qor_conversion, length, 16);
QOR_ASSERT_OFFSET(qor_conversion, result, 24);
enum { QOR_CONVERSION_KIND = 24 };

/* Constants that the module's call sites pass. */
enum {
  QOR_TABLE_KIND_DIRECTORY = 17, /* hiexprt / wideprt */
  QOR_POOL_INITIAL = 4096,       /* wmtpc */
  QOR_POOL_INCREMENT = 1024,
  QOR_POOL_ATTRIBUTES = 258,
  QOR_SYMBOL_KIND = 78 /* xjsymgc */
};

#define QOR_ROUTINE_ID(vector, slot) ((((uint64_t)(vector)) << 32) | (uint32_t)(slot))

/* X(name, vector, slot, result, (parameters), (arguments)) */
#define QOR_HOST_ROUTINES(X)                                                                    \
  X(hiexprt, 0, 71, int32_t, (int32_t kind, void* table, void* pidb), (kind, table, pidb))     \
  X(wideprt, 0, 79, int32_t, (int32_t kind), (kind))                                            \
  X(wmtpc, 0, 112, int32_t,                                                                     \
    (qor_pool * *pool, int32_t initial, int32_t increment, int32_t attributes, void* task),     \
    (pool, initial, increment, attributes, task))                                               \
  X(wmpoold, 0, 113, int32_t, (qor_pool * pool), (pool))                                        \
  X(wmrealc, 0, 117, int32_t,                                                                   \
    (qor_pool * pool, void* block, int32_t mode, void** enlarged, int32_t size, int32_t flags), \
    (pool, block, mode, enlarged, size, flags))                                                 \
  X(wrlstlt, 0, 143, VQStatus, (uint32_t * messageNumber), (messageNumber))                     \
  X(wrjnlc, 0, 410, qor_status_object*, (int64_t first, int64_t second), (first, second))       \
  X(xalanch, 31, 277, qor_symbol_table*, (void* context), (context))                           \
  X(xjsymgc, 40, 28, int32_t,                                                                   \
    (qor_symbol_table * table, const char* name, int32_t nameLength, const char** value,        \
     int32_t* valueLength, int32_t kind, int32_t flags),                                        \
    (table, name, nameLength, value, valueLength, kind, flags))                                 \
  X(xjsymfr, 31, 94, void, (qor_symbol_table * table, const char* value), (table, value))       \
  X(wzosvar, 0, 316, int32_t,                                                                   \
    (const char* name, int32_t nameLength, char* buffer, int32_t bufferSize,                    \
     int32_t* valueLength),                                                                     \
    (name, nameLength, buffer, bufferSize, valueLength))                                        \
  X(wzifmn, 0, 305, int32_t, (qor_conversion * descriptor), (descriptor))                       \
  X(wzstrlo, 0, 330, void, (char* text, int32_t length), (text, length))

#define QOR_PREPEND_ROUTINE_ID(...) (uint64_t routineId, __VA_ARGS__)
/* The type of the routine that the host installs for a stub. */
#define QOR_ROUTINE_TARGET(result, parameters) result QOR_PREPEND_ROUTINE_ID parameters

/* Stubs as the module exports them (the caller's view). */
#define QOR_DECLARE_STUB(name, vector, slot, result, parameters, arguments) \
  QORLDAP_API result name parameters;
QOR_HOST_ROUTINES(QOR_DECLARE_STUB)
#undef QOR_DECLARE_STUB

/* Pool wrappers: call word 0 (allocate) or word 1 (free) of the pool, with
   size and flags widened with their sign. */
QORLDAP_API void* vmalcp_handler(qor_pool* pool, int32_t size, int32_t flags);
QORLDAP_API void* vmalloc_handler(qor_pool* pool, int32_t size, int32_t flags);
QORLDAP_API void vmfree_handler(qor_pool* pool, void* block, int32_t size, int32_t flags);

QOR_EXTERN_C_END

#endif

/* Small portability helpers shared by every header of the module boundary. */
#ifndef QORLDAP_ABI_COMPAT_H
#define QORLDAP_ABI_COMPAT_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QOR_EXTERN_C_BEGIN extern "C" {
#define QOR_EXTERN_C_END }
#else
#define QOR_EXTERN_C_BEGIN
#define QOR_EXTERN_C_END
#endif

/* Marks what the module exports; everything else in it stays hidden. */
#define QORLDAP_API __attribute__((visibility("default")))

/* Fixed layouts are proven where they are declared. */
#define QOR_ASSERT_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), #type " size")
#define QOR_ASSERT_OFFSET(type, field, bytes) \
  static_assert(offsetof(type, field) == (bytes), #type "." #field " offset")

/* Byte offset of word position N in a record of pointer-sized words. */
#define QOR_WORD(n) ((size_t)(n) * 8u)

#endif

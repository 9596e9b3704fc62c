/* Small portability helpers shared by every header of the module boundary. */
#ifndef QORLDAP_ABI_COMPAT_H
#define QORLDAP_ABI_COMPAT_H

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

/*
 * Fixed layouts are proven where they are declared. C11 and C++ state the
 * proof with static_assert; C99 has none, so there each check declares an
 * array type whose size is -1 when the layout is wrong, which no compiler
 * accepts. The type's name says which check failed, and naming it after the
 * record and field keeps the checks of different headers apart.
 */
#if defined(__cplusplus)
#define QOR_STATIC_CHECK(condition, name, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QOR_STATIC_CHECK(condition, name, text) _Static_assert(condition, text)
#else
#define QOR_STATIC_CHECK(condition, name, text) typedef char name[(condition) ? 1 : -1]
#endif
#define QOR_ASSERT_SIZE(type, bytes) \
  QOR_STATIC_CHECK(sizeof(type) == (bytes), qor_layout_##type##_size, #type " size")
#define QOR_ASSERT_OFFSET(type, field, bytes)                                     \
  QOR_STATIC_CHECK(offsetof(type, field) == (bytes), qor_layout_##type##_##field, \
                   #type "." #field " offset")

/* Byte offset of word position N in a record of pointer-sized words. */
#define QOR_WORD(n) ((size_t)(n)*8u)

#endif

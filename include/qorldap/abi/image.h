/*
 * The records through which a host finds and starts the module: the image
 * information returned by mcn_main, the program control node list and node,
 * and the version-control record that vqvercn1 copies out.
 */
#ifndef QORLDAP_ABI_IMAGE_H
#define QORLDAP_ABI_IMAGE_H

#include <qorldap/abi/compat.h>

QOR_EXTERN_C_BEGIN

#define QOR_IMAGE_MARKER "QOR_Image_Information="
#define QOR_IMAGE_MAGIC 0xB0BDEBEDull
#define QOR_PCN_HEAD 0xFFFFFFFFFFFF0000ull
#define QOR_PCN_NAME "qorldap " /* eight characters, no terminator */

typedef void (*qor_entry_routine)(void);

typedef struct qor_pcn {
  uint64_t head; /* bytes 00 00 FF FF FF FF FF FF */
  uint64_t size1; /* 1024 */
  uint64_t size2; /* 1024 */
  char name[8];
  uint64_t zero;
  qor_entry_routine entry;
  uint64_t one;      /* 1 */
  uint64_t code9683; /* 9683 */
  uint64_t code5350825;
  uint64_t code15;
} qor_pcn;

typedef struct qor_image_info {
  char marker[24];
  uint64_t magic; /* 0xB0BDEBED */
  uint64_t eight; /* 8 */
  char shortRelease[6];
  char fullRelease[20];
  char buildDate[30];
  const qor_pcn* const* pcns;
  const char* notice;
  char level[8]; /* "001" */
} qor_image_info;

enum { QOR_VERSION_WORDS = 26 };

/* One word of the version-control record: a text pointer, or (word 3) the
   build time in seconds since 1970-01-01 00:00 UTC. */
typedef union qor_version_word {
  const char* text;
  int64_t number;
} qor_version_word;

QOR_ASSERT_SIZE(qor_pcn, 80);
QOR_ASSERT_OFFSET(qor_pcn, size1, 8);
QOR_ASSERT_OFFSET(qor_pcn, size2, 16);
QOR_ASSERT_OFFSET(qor_pcn, name, 24);
QOR_ASSERT_OFFSET(qor_pcn, zero, 32);
QOR_ASSERT_OFFSET(qor_pcn, entry, 40);
QOR_ASSERT_OFFSET(qor_pcn, one, 48);
QOR_ASSERT_OFFSET(qor_pcn, code9683, 56);
QOR_ASSERT_OFFSET(qor_pcn, code5350825, 64);
QOR_ASSERT_OFFSET(qor_pcn, code15, 72);

QOR_ASSERT_SIZE(qor_image_info, 120);
QOR_ASSERT_OFFSET(qor_image_info, magic, 24);
QOR_ASSERT_OFFSET(qor_image_info, eight, 32);
QOR_ASSERT_OFFSET(qor_image_info, shortRelease, 40);
QOR_ASSERT_OFFSET(qor_image_info, fullRelease, 46);
QOR_ASSERT_OFFSET(qor_image_info, buildDate, 66);
QOR_ASSERT_OFFSET(qor_image_info, pcns, 96);
QOR_ASSERT_OFFSET(qor_image_info, notice, 104);
QOR_ASSERT_OFFSET(qor_image_info, level, 112);
QOR_ASSERT_SIZE(qor_version_word, 8);

/* The frame's exported routines and data, as the host sees them. */
typedef const qor_image_info* (*qor_mcn_main_fn)(void* gcb, void* pidb);
QORLDAP_API const qor_image_info* mcn_main(void* gcb, void* pidb);
QORLDAP_API void himodcn(void);
/* The node's entry routine. C++ sees it inside namespace qorldap (as
   qorldap::abi::qorldap, the same C symbol): a global function of that name
   would clash with the namespace that holds the module's code. */
#ifdef __cplusplus
QOR_EXTERN_C_END
namespace qorldap::abi {
extern "C" QORLDAP_API void qorldap(void);
}
QOR_EXTERN_C_BEGIN
#else
QORLDAP_API void qorldap(void);
#endif
QORLDAP_API void vqvercn1(qor_version_word* buffer);

QORLDAP_API extern const qor_image_info vi_mcn;
QORLDAP_API extern const qor_pcn* const mcn_pcns[2];
QORLDAP_API extern const qor_pcn pcn_QORLDAP;
QORLDAP_API extern void* v_global_gcb_anchor;
QORLDAP_API extern void* v_global_pidb_anchor;
QORLDAP_API extern void* Exported_VQHandle;

QOR_EXTERN_C_END

#endif

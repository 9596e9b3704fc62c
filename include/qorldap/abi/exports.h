/*
 * The one list of symbols that libqorldap.so exports; nothing else is
 * visible. The linker version script (generated at build time by a small
 * program that expands this list) and the export test both come from it.
 *
 * Use: #define QOR_EXPORTED(name) <what to do with one name>, then write
 * QORLDAP_EXPORTS.
 */
#ifndef QORLDAP_ABI_EXPORTS_H
#define QORLDAP_ABI_EXPORTS_H

#include <qorldap/abi/routines.h>
#include <qorldap/table.h>

#define QORLDAP_FRAME_EXPORTS(X)                                                        \
  X(mcn_main) X(vi_mcn) X(mcn_pcns) X(pcn_QORLDAP) X(ldaptbl) X(qorldap) X(himodcn)    \
  X(vqvercn1) X(v_global_gcb_anchor) X(v_global_pidb_anchor) X(Exported_VQHandle)

#define QORLDAP_FUNCTION_EXPORTS(X)                                                     \
  X(dsConvertVQStatus) X(form_attribute) X(zatoi) X(wzstlen) X(wzstpos) X(wzstcat)     \
  X(vmalcp_handler) X(vmalloc_handler) X(vmfree_handler)

/* Each stub is exported as its routine's name and as _name_vector_slot. */
#define QOR_STUB_VECTOR_NAME(name, vector, slot) _##name##_##vector##_##slot
#define QOR_EXPORT_FROM_ROUTINE(name, vector, slot, result, parameters, arguments) \
  QOR_EXPORTED(name) QOR_EXPORTED(_##name##_##vector##_##slot)
#define QOR_EXPORT_FROM_OPERATION(word, name, result, parameters) QOR_EXPORTED(name)

#define QORLDAP_EXPORTS                                 \
  QORLDAP_FRAME_EXPORTS(QOR_EXPORTED)                   \
  QORLDAP_FUNCTION_EXPORTS(QOR_EXPORTED)                \
  QORLDAP_OPERATIONS(QOR_EXPORT_FROM_OPERATION)         \
  QOR_HOST_ROUTINES(QOR_EXPORT_FROM_ROUTINE)

#endif

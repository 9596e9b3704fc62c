/*
 * The host's global control block as the module reads it. The layout is this
 * platform's own; a host keeps whatever else it needs behind it.
 */
#ifndef QORLDAP_ABI_GCB_H
#define QORLDAP_ABI_GCB_H

#include <qorldap/abi/compat.h>
#include <qorldap/abi/objects.h>

QOR_EXTERN_C_BEGIN

enum { QOR_VECTOR_COUNT = 64, QOR_VECTOR_SLOTS = 512 };

typedef void (*qor_routine)(void);

/* What a task carries: its pool and the argument that xalanch takes. */
typedef struct qor_task_context {
  qor_pool* pool;
  void* symbolScope;
} qor_task_context;

typedef struct qor_task {
  qor_task_context* context;
} qor_task;

typedef struct qor_gcb {
  /* Transfer-vector tables: vectors[v][s] is the routine in slot s of v. */
  const qor_routine* vectors[QOR_VECTOR_COUNT];
  /* One flag byte per vector; every stub stores 0 into its vector's byte. */
  uint8_t vectorFlags[QOR_VECTOR_COUNT];
  /* The module's state record, null until its entry routine builds it. */
  void* moduleState;
  qor_kernel* kernelHandle;
  qor_task* currentTask;
  /* Copied into ldparm.hostCode by every connection open. */
  uint32_t hostCode;
  uint32_t reserved;
} qor_gcb;

QOR_ASSERT_OFFSET(qor_gcb, vectors, 0);
QOR_ASSERT_OFFSET(qor_gcb, vectorFlags, QOR_WORD(QOR_VECTOR_COUNT));
QOR_ASSERT_OFFSET(qor_gcb, moduleState, QOR_WORD(QOR_VECTOR_COUNT) + QOR_VECTOR_COUNT);
QOR_ASSERT_OFFSET(qor_gcb, kernelHandle, QOR_WORD(QOR_VECTOR_COUNT) + QOR_VECTOR_COUNT + 8);
QOR_ASSERT_OFFSET(qor_gcb, currentTask, QOR_WORD(QOR_VECTOR_COUNT) + QOR_VECTOR_COUNT + 16);
QOR_ASSERT_OFFSET(qor_gcb, hostCode, QOR_WORD(QOR_VECTOR_COUNT) + QOR_VECTOR_COUNT + 24);
QOR_ASSERT_SIZE(qor_gcb, QOR_WORD(QOR_VECTOR_COUNT) + QOR_VECTOR_COUNT + 32);
QOR_ASSERT_SIZE(qor_task_context, 16);
QOR_ASSERT_SIZE(qor_task, 8);

QOR_EXTERN_C_END

#endif

/*
 * The host kernel for C hosts: make a kernel, give it macro symbols and
 * environment overrides, load the module and start it, call its entry table,
 * stop it. Plain C99; libqorkernel.so (pkg-config qorldap, or the CMake target
 * qorldap::kernel) holds it.
 *
 *   qorkernel_kernel* kernel = qorkernel_kernel_create(QORKERNEL_POOLS_PRODUCTION);
 *   qorkernel_module* module = qorkernel_module_start(kernel, NULL);
 *   const qorldap_table* ops = qorkernel_module_table(module);
 *   ... ops->dsopen(&handle, ...), ops->dsexpgrp(...), ops->dsclose(handle) ...
 *   qorkernel_module_stop(module);
 *   qorkernel_kernel_delete(kernel);
 *
 * One kernel lives in a process at a time: the module reaches the kernel's
 * routines through transfer vectors that carry no kernel argument. A second
 * qorkernel_kernel_create while one lives returns NULL.
 *
 * Where things are found. With a NULL path, qorkernel_module_start loads the
 * module installed with the kernel: libqorldap.so in the folder "qorldap"
 * beside libqorkernel.so (<libdir>/qorldap). The module loads the extension
 * vqeldap by name; the kernel looks for libvqeldap.so in the directories of
 * the environment variable QOR_EXTENSION_PATH (colon-separated), then in the
 * directory set with qorkernel_set_extension_directory (by default the
 * directory of the module that was started), then in <libdir>/qorldap. No
 * environment variable is needed for an installed kit.
 *
 * Failures: functions that return int give 0 for success and -1 for a
 * failure; those that return a pointer give NULL. qorkernel_last_error then
 * says why. No function lets a C++ exception out.
 *
 * Threads. A host may use the module from any number of threads at once:
 *   - Different connection handles on different threads at once, dsopen and
 *     dsclose included: every operation of the entry table, each on its own
 *     handle. A handle's pool and status object belong to it and go with it.
 *   - One handle by one thread at a time: the operations on one handle
 *     (dsclose included, and dsfree of what it handed out) do not overlap.
 *     A handle may move between threads when the hand-over synchronises, as
 *     a mutex or a queue does.
 *   - qorkernel_kernel_create and qorkernel_kernel_delete overlap no other
 *     call: create before any thread uses the kernel, delete after every
 *     thread is done with it and its module is stopped.
 *   - qorkernel_module_start and qorkernel_module_stop overlap no other call
 *     on the module, its entry table or its handles: start before the
 *     threads open handles, stop after every handle is closed.
 *   - qorkernel_set_macro, qorkernel_set_env, qorkernel_clear_env and
 *     qorkernel_set_extension_directory may run at any time between create
 *     and delete, on any thread, beside one another and beside the handles'
 *     operations. Each lookup of the module sees a setting before or after a
 *     change, never part of one: a dsopen under way sees each setting as it
 *     was when it read it, the opens that begin after the call see the new.
 *   - qorkernel_module_table, qorkernel_module_path,
 *     qorkernel_default_module_path, qorkernel_pool_faults and the status
 *     texts (status_text.h) at any time; qorkernel_pool_faults counts as of
 *     some moment of the call, so read it when the threads are done.
 *   - qorkernel_last_error tells of the calling thread's own latest call:
 *     each thread has its own text.
 */
#ifndef QORKERNEL_QORKERNEL_H
#define QORKERNEL_QORKERNEL_H

#include <qorkernel/status_text.h>
#include <qorldap/abi/compat.h>
#include <qorldap/table.h>

QOR_EXTERN_C_BEGIN

typedef struct qorkernel_kernel qorkernel_kernel;
typedef struct qorkernel_module qorkernel_module;

/*
 * Pool modes. Production pools keep no record of each block and are fast;
 * checked pools track every block and catch bad frees (for tests; see
 * qorkernel_pool_faults).
 */
typedef enum qorkernel_pool_mode {
  QORKERNEL_POOLS_PRODUCTION = 0,
  QORKERNEL_POOLS_CHECKED = 1
} qorkernel_pool_mode;

/* A new kernel, now the one the module's routines reach; NULL on failure. */
QORLDAP_API qorkernel_kernel* qorkernel_kernel_create(qorkernel_pool_mode pools);

/* Deletes the kernel: every pool, status object and loaded library with it.
   Stop its module first. NULL is ignored. */
QORLDAP_API void qorkernel_kernel_delete(qorkernel_kernel* kernel);

/* Why the calling thread's latest call on this kernel failed; "" when it
   did not fail (or the thread made none). Each thread has its own text; it
   stays valid until that thread's next call on a kernel. */
QORLDAP_API const char* qorkernel_last_error(const qorkernel_kernel* kernel);

/* Macro symbols the module reads (LDAP_HOST, LDAP_BASE, ...), ahead of the
   environment. A NULL value removes the symbol. */
QORLDAP_API int qorkernel_set_macro(qorkernel_kernel* kernel, const char* name, const char* value);

/* An environment override for the module's lookups: the value is read in
   place of the process's variable; a NULL value hides the variable. */
QORLDAP_API int qorkernel_set_env(qorkernel_kernel* kernel, const char* name, const char* value);

/* Drops every environment override: the process's environment shows again. */
QORLDAP_API int qorkernel_clear_env(qorkernel_kernel* kernel);

/* The directory searched for extensions after QOR_EXTENSION_PATH. */
QORLDAP_API int qorkernel_set_extension_directory(qorkernel_kernel* kernel, const char* directory);

/* Loads the module at path (NULL: the installed one) and starts it as a host
   does: mcn_main, its program control node's entry routine, and the entry
   table it registers. NULL with the reason in qorkernel_last_error. */
QORLDAP_API qorkernel_module* qorkernel_module_start(qorkernel_kernel* kernel, const char* path);

/* The started module's entry table. */
QORLDAP_API const qorldap_table* qorkernel_module_table(const qorkernel_module* module);

/* The path the module was loaded from. */
QORLDAP_API const char* qorkernel_module_path(const qorkernel_module* module);

/* Stops the module (its term operation) and unloads it. Close its
   connections first. NULL is ignored. */
QORLDAP_API void qorkernel_module_stop(qorkernel_module* module);

/* Where qorkernel_module_start(kernel, NULL) loads the module from. */
QORLDAP_API const char* qorkernel_default_module_path(void);

/*
 * What the directory said about the latest request on a connection handle
 * that failed there: one or more lines "label: value" separated by '\n'
 * ("additional info: ...", "matched DN: ...", "server: ..." for each server
 * an open tried, "client: ..." for a request refused before it was sent). Empty when that request succeeded, when the handle has no
 * status object, and for a NULL handle. A failure the module reports before
 * asking the directory (an argument missing, a DN not well formed) sends no
 * request, so the text then still tells of the request before it: read it
 * right after a call that returned an LDAP result (DS_IS_ERROR and a code of
 * 0x01-0x7F) or DS_E_NOT_OPENED. A failed dsopen leaves no handle: read
 * its text (the servers tried) with qorkernel_latest_diagnostic. Written as
 * snprintf writes, as qorkernel_status_describe. Call it from the thread
 * that uses the handle.
 */
QORLDAP_API size_t qorkernel_handle_diagnostic(const dshandle* handle, char* text, size_t size);

/*
 * The diagnostic text of the latest failed request on any handle of the
 * kernel, kept after its handle is gone: what a failed dsopen said (the
 * servers tried, the server's message). With several threads it tells of
 * whichever recorded last, so read it on the thread whose dsopen failed,
 * right after the call. Written as qorkernel_handle_diagnostic.
 */
QORLDAP_API size_t qorkernel_latest_diagnostic(const qorkernel_kernel* kernel, char* text,
                                               size_t size);

/* With checked pools: the number of bad frees plus the blocks still live in
   the pools the module made; 0 when all is well, once the module is stopped
   (qorkernel_module_stop): the module keeps one block of its own while it
   runs, so a count taken before that is 1 too many. -1 with production
   pools, which keep no such record. */
QORLDAP_API long qorkernel_pool_faults(const qorkernel_kernel* kernel);

QOR_EXTERN_C_END

#endif

/*
 * qorkernel - the host kernel's C API: load, start and stop the module from a C host
 *
 * The host kernel is the platform the module lives in: its control block, pools, macro
 * symbols, environment, status objects and the registry of entry tables. These functions make
 * a kernel, give it the module's settings, load the module and start it as a host does, hand
 * out the module's entry table (qorldap/table.h) and stop it again. The headers are plain
 * C99; libqorkernel.so holds the functions (pkg-config qorldap, or the CMake target
 * qorldap::kernel).
 *
 * One kernel lives in a process at a time: the module reaches the kernel's routines through
 * transfer vectors that carry no kernel argument. A second qorkernel_kernel_create while one
 * lives returns NULL.
 *
 * Example:
 *   char text[512];
 *   qorkernel_kernel* kernel = qorkernel_kernel_create(QORKERNEL_POOLS_PRODUCTION);
 *   qorkernel_module* module = qorkernel_module_start(kernel, NULL);
 *   if (module == NULL) {
 *     fprintf(stderr, "%s\n", qorkernel_last_error(kernel));
 *     qorkernel_kernel_delete(kernel);
 *     return 1;
 *   }
 *   const qorldap_table* ops = qorkernel_module_table(module);
 *   dshandle* handle = NULL;
 *   uint32_t status = ops->dsopen(&handle, "ldif:directory.ldif", 0, NULL, "o=example",
 *                                 NULL, NULL);
 *   if (status != DS_STATUS(DS_OK)) {
 *     qorkernel_status_describe(status, text, sizeof text);
 *     fprintf(stderr, "dsopen: %s\n", text);
 *     if (qorkernel_latest_diagnostic(kernel, text, sizeof text) > 0)
 *       fprintf(stderr, "%s\n", text);
 *   } else {
 *     dsent** list = NULL;
 *     status = ops->dsexpgrp(handle, "cn=all,ou=groups,o=example", &list,
 *                            DS_EXPAND_SUBSCRIBERS);
 *     for (size_t i = 0; list != NULL && list[i] != NULL; ++i) printf("%s\n", list[i]->dn);
 *     if (list != NULL) ops->dsfree(handle, list);
 *     ops->dsclose(handle);
 *   }
 *   qorkernel_module_stop(module);
 *   qorkernel_kernel_delete(kernel);
 *
 * Threads:
 *   A host may use the module from any number of threads at once:
 *   - Different connection handles on different threads at once, dsopen and dsclose
 *     included: every operation of the entry table, each on its own handle. A handle's pool
 *     and status object belong to it and go with it.
 *   - One handle by one thread at a time: the operations on one handle (dsclose included,
 *     and dsfree of what it handed out) do not overlap. A handle may move between threads
 *     when the hand-over synchronises, as a mutex or a queue does.
 *   - qorkernel_kernel_create and qorkernel_kernel_delete overlap no other call: create
 *     before any thread uses the kernel, delete after every thread is done with it and its
 *     module is stopped.
 *   - qorkernel_module_start and qorkernel_module_stop overlap no other call on the module,
 *     its entry table or its handles: start before the threads open handles, stop after
 *     every handle is closed.
 *   - qorkernel_set_macro, qorkernel_set_env, qorkernel_clear_env and
 *     qorkernel_set_extension_directory may run at any time between create and delete, on
 *     any thread, beside one another and beside the handles' operations. Each lookup of the
 *     module sees a setting before or after a change, never part of one: a dsopen under way
 *     sees each setting as it was when it read it, the opens that begin after the call see
 *     the new.
 *   - qorkernel_module_table, qorkernel_module_path, qorkernel_default_module_path,
 *     qorkernel_latest_diagnostic, qorkernel_pool_faults and the status texts
 *     (status_text.h) at any time; qorkernel_pool_faults counts as of some moment of the
 *     call, so read it when the threads are done.
 *   - qorkernel_last_error tells of the calling thread's own latest call: each thread has
 *     its own text.
 *
 * Notes:
 *   Where things are found. With a NULL path, qorkernel_module_start loads the module
 *   installed with the kernel: libqorldap.so in the plugin folder, the folder "qorldap"
 *   beside libqorkernel.so (<libdir>/qorldap; qorkernel_default_module_path names it). The
 *   module loads its extension vqeldap by name when it starts; the kernel looks for
 *   libvqeldap.so in this order:
 *   - each directory of the environment variable QOR_EXTENSION_PATH (colon-separated),
 *     read from the process's environment when the module starts (qorkernel_set_env does
 *     not reach it);
 *   - the directory set with qorkernel_set_extension_directory, by default the directory
 *     of the module started;
 *   - the plugin folder.
 *
 *   No environment variable is needed for an installed kit.
 *
 *   A missing extension does not stop the module from starting, but every dsopen then
 *   fails with DS_E_NO_EXTENSION, and qorkernel_latest_diagnostic names the library and
 *   each folder searched, with where the folder came from:
 *
 *       vqeldap: libvqeldap.so is in none of the folders searched
 *       searched: /opt/extensions (QOR_EXTENSION_PATH)
 *       searched: /opt/qorldap/lib/qorldap (the extension directory, the plugin folder)
 *
 *   Failures. The functions that return int give 0 for success and -1 for a failure;
 *   those that return a pointer give NULL. qorkernel_last_error then says why, naming the
 *   path for a module that cannot be loaded ("no module at /opt/x/libqorldap.so"). No
 *   function lets a C++ exception out. The operations of the entry table return statuses
 *   (qorldap/status.h): qorkernel_status_describe writes the line for one, and
 *   qorkernel_handle_diagnostic and qorkernel_latest_diagnostic what the directory said.
 *
 * See also:
 *   qorkernel_module_start(3), qorkernel_latest_diagnostic(3), qorkernel_status_describe(3)
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

/*
 * qorkernel_kernel_create - make the process's kernel, the one the module's routines reach
 *
 * Arguments:
 *   pools  QORKERNEL_POOLS_PRODUCTION for pools that keep no record of each block (hosts),
 *          or QORKERNEL_POOLS_CHECKED for pools that track every block, catch bad frees and
 *          count what was left (a host's own tests; qorkernel_pool_faults).
 *
 * Returns:
 *   the kernel  the new kernel, now the active one.
 *   NULL        pools is neither mode, another kernel lives, or memory ran out. No text
 *               tells which: qorkernel_last_error needs a kernel.
 *
 * Memory:
 *   The kernel is the caller's until qorkernel_kernel_delete.
 *
 * Threads:
 *   Overlaps no other call: make the kernel before any thread uses it.
 */
QORLDAP_API qorkernel_kernel* qorkernel_kernel_create(qorkernel_pool_mode pools);

/*
 * qorkernel_kernel_delete - delete the kernel and everything it holds
 *
 * Arguments:
 *   kernel  the kernel, its module stopped; NULL does nothing.
 *
 * Memory:
 *   Every pool goes with the kernel (the blocks of handles left open included), every status
 *   object and every extension library it loaded; no pointer they gave out may be used
 *   again. Stop the module first (qorkernel_module_stop): the module keeps the kernel's
 *   control block, and stopping it after the kernel is gone reaches freed memory. Empties
 *   the calling thread's qorkernel_last_error text when it told of this kernel. Afterwards
 *   qorkernel_kernel_create may make a new kernel.
 *
 * Threads:
 *   Overlaps no other call: delete after every thread is done with the kernel.
 */
QORLDAP_API void qorkernel_kernel_delete(qorkernel_kernel* kernel);

/*
 * qorkernel_last_error - why the calling thread's latest call on a kernel failed
 *
 * The calls that keep a text are qorkernel_set_macro, qorkernel_set_env,
 * qorkernel_clear_env, qorkernel_set_extension_directory and qorkernel_module_start: each
 * empties the calling thread's text when it begins and, when it fails, says why in it.
 *
 * Arguments:
 *   kernel  the kernel the call was made on. NULL: the text is "no kernel".
 *
 * Returns:
 *   the reason     why the thread's latest such call, made on kernel, failed, such as "no
 *                  module at /opt/x/libqorldap.so".
 *   an empty text  that call succeeded, or the thread's latest such call was on another
 *                  kernel, or it made none.
 *
 * Memory:
 *   The text is the kernel's: do not free it. It stays valid and unchanged until the same
 *   thread makes another of those calls (on any kernel) or deletes this kernel.
 *
 * Threads:
 *   Each thread has its own text; the call reads the calling thread's.
 */
QORLDAP_API const char* qorkernel_last_error(const qorkernel_kernel* kernel);

/*
 * qorkernel_set_macro - set or remove a macro symbol, read by the module before the environment
 *
 * The module's settings (LDAP_TIMEOUT, LDAP_HOST, LDAP_PORT, LDAP_BINDDN, LDAP_BINDPW,
 * LDAP_BASE) come from dsopen's arguments, then from these symbols, then from the
 * environment: qorldap(7) tells each setting and its limits.
 *
 * Arguments:
 *   kernel  the kernel. NULL: -1.
 *   name    the symbol's name, such as LDAP_HOST. NULL or empty: -1.
 *   value   its value, copied (an empty value is a value). NULL removes the symbol.
 *
 * Returns:
 *   0   the symbol is set or removed.
 *   -1  kernel or name is missing, or memory ran out; qorkernel_last_error says why.
 *
 * Threads:
 *   Any thread, at any time between create and delete, beside the handles' operations: a
 *   dsopen under way sees each symbol as it was when it read it, the opens that begin after
 *   the call see the new value.
 */
QORLDAP_API int qorkernel_set_macro(qorkernel_kernel* kernel, const char* name, const char* value);

/*
 * qorkernel_set_env - override an environment variable for the module's lookups
 *
 * The module reads its settings and LDAP_TLSMODE through the kernel, which gives an
 * override ahead of the process's variable. The process's environment itself is not
 * changed, so what is read from it directly is not overridden: QOR_EXTENSION_PATH (read by
 * the kernel when the module starts) and libldap's LDAPTLS_ variables.
 *
 * Arguments:
 *   kernel  the kernel. NULL: -1.
 *   name    the variable's name. NULL or empty: -1.
 *   value   the value the module reads in place of the process's, copied. NULL hides the
 *           process's variable: the module finds it unset.
 *
 * Returns:
 *   0   the override is set.
 *   -1  kernel or name is missing, or memory ran out; qorkernel_last_error says why.
 *
 * Threads:
 *   As qorkernel_set_macro.
 */
QORLDAP_API int qorkernel_set_env(qorkernel_kernel* kernel, const char* name, const char* value);

/*
 * qorkernel_clear_env - drop every environment override
 *
 * The module sees the process's environment again for every variable; macro symbols stay.
 *
 * Arguments:
 *   kernel  the kernel. NULL: -1.
 *
 * Returns:
 *   0   the overrides are gone.
 *   -1  kernel is NULL.
 *
 * Threads:
 *   As qorkernel_set_macro.
 */
QORLDAP_API int qorkernel_clear_env(qorkernel_kernel* kernel);

/*
 * qorkernel_set_extension_directory - choose a folder to search for the extension
 *
 * The extension vqeldap is looked for in the directories of QOR_EXTENSION_PATH, then in this
 * folder, then in the plugin folder (qorkernel(3), Notes). The module loads it when it
 * starts, so set the folder before qorkernel_module_start. When none is set,
 * qorkernel_module_start sets the folder of the module it starts, and that stays set.
 *
 * Arguments:
 *   kernel     the kernel. NULL: -1.
 *   directory  the folder, copied. Empty: none is set. NULL: -1.
 *
 * Returns:
 *   0   the folder is set.
 *   -1  kernel or directory is NULL, or memory ran out; qorkernel_last_error says why.
 *
 * Threads:
 *   As qorkernel_set_macro.
 */
QORLDAP_API int qorkernel_set_extension_directory(qorkernel_kernel* kernel, const char* directory);

/*
 * qorkernel_module_start - load the module and start it as a host does
 *
 * Opens the library (dlopen), calls its mcn_main with the kernel's control block, finds its
 * program control node through the image record it returns and calls the node's entry
 * routine. That routine registers the entry table and builds the module's state, loading the
 * extension vqeldap through the kernel (qorkernel(3), Notes, says where it is looked for).
 * When no extension directory is set, the folder of path becomes it first.
 *
 * A module whose extension cannot be loaded still starts, but every dsopen then fails with
 * DS_E_NO_EXTENSION; qorkernel_latest_diagnostic names the folders searched.
 *
 * Arguments:
 *   kernel  the kernel. NULL: NULL.
 *   path    the module's file: opened as it stands when it holds a slash, otherwise searched
 *           for as dlopen searches. NULL: the installed module
 *           (qorkernel_default_module_path).
 *
 * Returns:
 *   the module  started, with its entry table registered (qorkernel_module_table).
 *   NULL        the module could not be loaded or started. qorkernel_last_error says why
 *               and names the path: "no module at PATH", "cannot load PATH: ...", "PATH is
 *               not a module of this host: ...", "PATH: the entry routine registered no
 *               entry table".
 *
 * Memory:
 *   The module is the caller's until qorkernel_module_stop, which must come before
 *   qorkernel_kernel_delete.
 *
 * Threads:
 *   Overlaps no other call on the kernel's module, its entry table or its handles: start
 *   before the threads open handles.
 */
QORLDAP_API qorkernel_module* qorkernel_module_start(qorkernel_kernel* kernel, const char* path);

/*
 * qorkernel_module_table - the started module's entry table
 *
 * Arguments:
 *   module  a started module. NULL: NULL.
 *
 * Returns:
 *   the table  the 27 operations (qorldap/table.h), called as ops->dsopen(...).
 *   NULL       module is NULL.
 *
 * Memory:
 *   The table is the module's: valid until qorkernel_module_stop.
 */
QORLDAP_API const qorldap_table* qorkernel_module_table(const qorkernel_module* module);

/*
 * qorkernel_module_path - the file the module was loaded from
 *
 * Arguments:
 *   module  a started module. NULL: NULL.
 *
 * Returns:
 *   the path  as given to qorkernel_module_start, or the installed module's path when NULL
 *             was given.
 *   NULL      module is NULL.
 *
 * Memory:
 *   The text is the module's: valid until qorkernel_module_stop.
 */
QORLDAP_API const char* qorkernel_module_path(const qorkernel_module* module);

/*
 * qorkernel_module_stop - stop the module and unload it
 *
 * Calls the module's term operation, which withdraws the entry table and releases the
 * module's extension and status object, then unloads the library.
 *
 * Arguments:
 *   module  a started module. NULL does nothing.
 *
 * Memory:
 *   The module, its entry table and its path are gone afterwards. Close every handle first
 *   (dsclose): term closes none, and a handle left open can be neither used nor closed once
 *   the extension is released; its pool goes with the kernel.
 *
 * Threads:
 *   Overlaps no other call on the module, its entry table or its handles: stop after every
 *   handle is closed.
 */
QORLDAP_API void qorkernel_module_stop(qorkernel_module* module);

/*
 * qorkernel_default_module_path - where the installed module is, loaded when no path is given
 *
 * Returns:
 *   the path       libqorldap.so in the plugin folder: the folder "qorldap" beside
 *                  libqorkernel.so (for a program with the kernel linked in, ../lib/qorldap
 *                  from the program's folder).
 *   an empty text  memory ran out.
 *
 * Memory:
 *   The text is static: valid for the life of the process, not to be freed.
 */
QORLDAP_API const char* qorkernel_default_module_path(void);

/*
 * qorkernel_handle_diagnostic - what the directory said about a handle's latest request
 *
 * The text holds one or more lines "label: value" separated by '\n': "additional info: ..."
 * (the server's message), "matched DN: ...", "server: ..." for each server an open tried,
 * "client: ..." for a request refused before it was sent, "ranged values: ..." for a range
 * of an attribute's values (Active Directory's member;range=1500-*) that could not be had,
 * "reference: URI" for each search continuation reference or referral a search returned.
 * References are not followed, and a search that returned them succeeds with its entries:
 * after a success the text holds only its "reference" lines.
 *
 * Arguments:
 *   handle  an open handle (dsopen). NULL: no text.
 *   text    where the text is written, with a terminating NUL. NULL: nothing is written
 *           (to learn the length).
 *   size    the bytes at text, the NUL included. 0: nothing is written.
 *
 * Returns:
 *   the length  the length of the whole text without its NUL, as snprintf returns it: size
 *               or more means the text was cut short to size - 1 bytes; call again with a
 *               buffer of the length + 1.
 *   0           no text: the handle's latest request succeeded without a reference, it
 *               has no status object, handle is NULL, or memory ran out. An empty text is
 *               written when there is room.
 *
 * Memory:
 *   The text is copied into the caller's buffer.
 *
 * Threads:
 *   Call it from the thread that uses the handle.
 *
 * Notes:
 *   A failure the module reports before asking the directory (an argument missing, a DN
 *   not well formed) sends no request, so the text then still tells of the request before
 *   it: read it right after a call that returned an LDAP result (DS_IS_ERROR and a code of
 *   0x01-0x7F) or DS_E_NOT_OPENED. A failed dsopen leaves no handle: read its text (the
 *   servers tried) with qorkernel_latest_diagnostic.
 */
QORLDAP_API size_t qorkernel_handle_diagnostic(const dshandle* handle, char* text, size_t size);

/*
 * qorkernel_latest_diagnostic - the kernel's latest diagnostic text, kept after its handle is gone
 *
 * The text of the latest request that recorded a status on any handle of the kernel, in the
 * form of qorkernel_handle_diagnostic: what a failed dsopen said (each server tried, the
 * server's message, the line of a directory file at fault). It outlives the handle. After a
 * success it may hold what the extension said about it (the server reached).
 *
 * While the latest load of the extension has failed, the module runs without it and every
 * dsopen fails with DS_E_NO_EXTENSION before any request: the text then says why the
 * extension could not be loaded. When the library is in none of the folders searched, a
 * line names each folder, in the order searched, with where it came from:
 *
 *       vqeldap: libvqeldap.so is in none of the folders searched
 *       searched: /opt/extensions (QOR_EXTENSION_PATH)
 *       searched: /opt/qorldap/lib/qorldap (the extension directory, the plugin folder)
 *
 * A library found but not loadable gives one line instead, "vqeldap: cannot load PATH:
 * REASON". The text stays until a start of the module loads the extension.
 *
 * Arguments:
 *   kernel  the kernel. NULL: no text.
 *   text    where the text is written, as for qorkernel_handle_diagnostic.
 *   size    the bytes at text, the NUL included, as for qorkernel_handle_diagnostic.
 *
 * Returns:
 *   the length  the length of the whole text, as snprintf returns it: size or more means
 *               the text was cut short.
 *   0           no text (kernel is NULL, nothing recorded one, or memory ran out).
 *
 * Memory:
 *   The text is copied into the caller's buffer.
 *
 * Threads:
 *   Any thread. With several threads it tells of whichever request recorded last, so read
 *   it on the thread whose dsopen failed, right after the call.
 */
QORLDAP_API size_t qorkernel_latest_diagnostic(const qorkernel_kernel* kernel, char* text,
                                               size_t size);

/*
 * qorkernel_pool_faults - what a checked kernel's pools saw go wrong: bad frees and blocks left
 *
 * Arguments:
 *   kernel  the kernel. NULL: -1.
 *
 * Returns:
 *   0          all is well, once the module is stopped (qorkernel_module_stop).
 *   the count  the bad frees plus the blocks still live in the pools the module made. The
 *              module keeps one block of its own while it runs, so a count taken before it
 *              is stopped is 1 too many.
 *   -1         kernel is NULL, or its pools are production pools, which keep no such record.
 *
 * Threads:
 *   Any thread; the count is of some moment of the call, so read it when the threads are
 *   done.
 */
QORLDAP_API long qorkernel_pool_faults(const qorkernel_kernel* kernel);

QOR_EXTERN_C_END

#endif

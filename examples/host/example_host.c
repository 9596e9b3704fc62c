/*
 * A host of the qorldap module in plain C: it makes a host kernel, loads and
 * starts the installed module, opens a directory connection from its
 * arguments, expands a group into its subscriber entries and prints their
 * DNs (or compares one value of an entry), and releases everything again in
 * the reverse order.
 *
 *   example_host HOST BASE GROUP_DN [events]
 *   example_host HOST BASE DN compare ATTRIBUTE VALUE
 *
 * HOST is what dsopen takes: "ldif:FILE" for an embedded directory kept in
 * an LDIF file, or an LDAP URI such as "ldap://127.0.0.1:3890". With
 * "events" the group's event subscribers are expanded instead. "compare"
 * prints whether the entry DN holds the value.
 *
 * Build it against the installed kit with pkg-config:
 *   cc -std=c99 example_host.c $(pkg-config --cflags --libs qorldap) \
 *      -Wl,-rpath,"$(pkg-config --variable=libdir qorldap)" -o example_host
 * (the rpath lets the program find libqorkernel.so.1 in a prefix outside
 * the loader's search path; an install under /usr needs none)
 * or with CMake: find_package(qorldap) and link qorldap::kernel.
 *
 * Exit status: 0 the group was expanded (also when it has no subscribers),
 * 1 a failure, which is printed with the status's name and hint, 4 a partial
 * result: the entries found are printed, and so is the warning that says why
 * the list may be incomplete (a server's size or time limit, say). A compare
 * exits 0 when the entry holds the value and 3 when it does not.
 *
 * Any status other than DS_OK that is not an error is a warning, and a
 * warning beside a list means the list may lack entries: a host must not
 * take it for the whole answer. Only DS_W_NOT_FOUND means "nothing there".
 */
#include <stdio.h>
#include <string.h>

#include <qorkernel/qorkernel.h>
#include <qorldap/status.h>
#include <qorldap/table.h>

/* Prints a failed operation's status as a line the reader can act on, and
   what the directory said about it when there is a handle to ask. */
static void report(const dshandle* handle, const char* what, uint32_t status) {
  char text[512];
  qorkernel_status_describe(status, text, sizeof text);
  fprintf(stderr, "example_host: %s: %s\n", what, text);
  if (handle != NULL && qorkernel_handle_diagnostic(handle, text, sizeof text) > 0) {
    fprintf(stderr, "  %s\n", text);
  }
}

/* Prints the DN of each entry of a null-terminated entry list. */
static void print_entries(dsent** list) {
  size_t i;
  for (i = 0; list[i] != NULL; ++i) printf("%s\n", list[i]->dn);
}

/* Opens a connection; NULL after printing why it failed (a failed dsopen
   leaves nothing to close). */
static dshandle* open_connection(const qorldap_table* ops, const char* host, const char* base) {
  dshandle* handle = NULL;
  uint32_t status = ops->dsopen(&handle, host, 0, NULL, base, NULL, NULL);
  if (status == DS_STATUS(DS_OK)) return handle;
  report(NULL, "dsopen", status);
  return NULL;
}

/* Expands the group and prints what it found. */
static int expand_group(const qorldap_table* ops, dshandle* handle, const char* group,
                        int32_t kind) {
  dsent** list = NULL;
  uint32_t status = ops->dsexpgrp(handle, group, &list, kind);
  if (status == DS_STATUS(DS_W_NOT_FOUND)) {
    printf("%s has no subscribers\n", group);
    status = DS_STATUS(DS_OK);
  } else if (DS_IS_ERROR(status)) {
    report(handle, "dsexpgrp", status);
  } else {
    if (list != NULL) print_entries(list);
    if (status != DS_STATUS(DS_OK)) report(handle, "dsexpgrp: partial result", status);
  }
  if (list != NULL) ops->dsfree(handle, list);
  if (DS_IS_ERROR(status)) return 1;
  return status == DS_STATUS(DS_OK) ? 0 : 4;
}

/* Compares one value of an entry. Both answers carry the error bit, so they
   are told apart from failures with DS_IS_COMPARE_ANSWER. */
static int compare_value(const qorldap_table* ops, dshandle* handle, const char* dn,
                         const char* attribute, const char* value) {
  uint32_t status = ops->dscompar(handle, dn, attribute, value);
  if (DS_IS_FAILURE(status)) {
    report(handle, "dscompar", status);
    return 1;
  }
  if (status == DS_COMPARE_HOLDS) {
    printf("%s holds %s: %s\n", dn, attribute, value);
    return 0;
  }
  printf("%s does not hold %s: %s\n", dn, attribute, value);
  return 3;
}

/* The command the arguments ask for, on an open connection. */
static int run(const qorldap_table* ops, dshandle* handle, int argc, char** argv) {
  if (argc == 7) return compare_value(ops, handle, argv[3], argv[5], argv[6]);
  return expand_group(ops, handle, argv[3],
                      argc == 5 ? DS_EXPAND_EVENT_SUBSCRIBERS : DS_EXPAND_SUBSCRIBERS);
}

static int usable_arguments(int argc, char** argv) {
  if (argc == 4) return 1;
  if (argc == 5) return strcmp(argv[4], "events") == 0;
  return argc == 7 && strcmp(argv[4], "compare") == 0;
}

int main(int argc, char** argv) {
  qorkernel_kernel* kernel;
  qorkernel_module* module;
  const qorldap_table* ops;
  dshandle* handle;
  int result = 1;

  if (!usable_arguments(argc, argv)) {
    fprintf(stderr,
            "usage: example_host HOST BASE GROUP_DN [events]\n"
            "       example_host HOST BASE DN compare ATTRIBUTE VALUE\n");
    return 2;
  }

  kernel = qorkernel_kernel_create(QORKERNEL_POOLS_PRODUCTION);
  if (kernel == NULL) {
    fprintf(stderr, "example_host: no kernel could be made\n");
    return 1;
  }
  module = qorkernel_module_start(kernel, NULL);
  if (module == NULL) {
    fprintf(stderr, "example_host: %s\n", qorkernel_last_error(kernel));
    qorkernel_kernel_delete(kernel);
    return 1;
  }
  ops = qorkernel_module_table(module);
  handle = open_connection(ops, argv[1], argv[2]);
  if (handle != NULL) {
    result = run(ops, handle, argc, argv);
    ops->dsclose(handle);
  }
  qorkernel_module_stop(module);
  qorkernel_kernel_delete(kernel);
  return result;
}

/*
 * A host of the qorldap module in plain C: it makes a host kernel, loads and
 * starts the installed module, opens a directory connection from its
 * arguments, expands a group into its subscriber entries, prints their DNs,
 * and releases everything again in the reverse order.
 *
 *   example_host HOST BASE GROUP_DN [events]
 *
 * HOST is what dsopen takes: "ldif:FILE" for an embedded directory kept in
 * an LDIF file, or an LDAP URI such as "ldap://127.0.0.1:3890". With
 * "events" the group's event subscribers are expanded instead.
 *
 * Build it against the installed kit with pkg-config:
 *   cc -std=c99 example_host.c $(pkg-config --cflags --libs qorldap) -o example_host
 * or with CMake: find_package(qorldap) and link qorldap::kernel.
 *
 * Exit status: 0 the group was expanded (also when it has no subscribers),
 * 1 a failure, which is printed with the status's name and hint, 4 a partial
 * result: the entries found are printed, and so is the warning that says why
 * the list may be incomplete (a server's size or time limit, say).
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

/* Prints a failed operation's status as a line the reader can act on. */
static void report(const char* what, uint32_t status) {
  char text[256];
  qorkernel_status_describe(status, text, sizeof text);
  fprintf(stderr, "example_host: %s: %s\n", what, text);
}

/* Prints the DN of each entry of a null-terminated entry list. */
static void print_entries(dsent** list) {
  size_t i;
  for (i = 0; list[i] != NULL; ++i) printf("%s\n", list[i]->dn);
}

/* Opens a connection, expands the group and prints what it found. */
static int expand_group(const qorldap_table* ops, const char* host, const char* base,
                        const char* group, int32_t kind) {
  dshandle* handle = NULL;
  dsent** list = NULL;
  uint32_t status = ops->dsopen(&handle, host, 0, NULL, base, NULL, NULL);
  if (status != DS_STATUS(DS_OK)) {
    report("dsopen", status); /* a failed dsopen leaves nothing to close */
    return 1;
  }
  status = ops->dsexpgrp(handle, group, &list, kind);
  if (status == DS_STATUS(DS_W_NOT_FOUND)) {
    printf("%s has no subscribers\n", group);
    status = DS_STATUS(DS_OK);
  } else if (DS_IS_ERROR(status)) {
    report("dsexpgrp", status);
  } else {
    if (list != NULL) print_entries(list);
    if (status != DS_STATUS(DS_OK)) report("dsexpgrp: partial result", status);
  }
  if (list != NULL) ops->dsfree(handle, list);
  ops->dsclose(handle);
  if (DS_IS_ERROR(status)) return 1;
  return status == DS_STATUS(DS_OK) ? 0 : 4;
}

int main(int argc, char** argv) {
  qorkernel_kernel* kernel;
  qorkernel_module* module;
  int32_t kind = DS_EXPAND_SUBSCRIBERS;
  int result;

  if (argc < 4 || argc > 5 || (argc == 5 && strcmp(argv[4], "events") != 0)) {
    fprintf(stderr, "usage: example_host HOST BASE GROUP_DN [events]\n");
    return 2;
  }
  if (argc == 5) kind = DS_EXPAND_EVENT_SUBSCRIBERS;

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
  result = expand_group(qorkernel_module_table(module), argv[1], argv[2], argv[3], kind);
  qorkernel_module_stop(module);
  qorkernel_kernel_delete(kernel);
  return result;
}

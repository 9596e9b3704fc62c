/*
 * A host of the qorldap module in plain C: it makes a host kernel, loads and
 * starts the installed module, opens a directory connection from its
 * arguments, expands a group into its subscriber entries and prints their
 * DNs (or compares one value of an entry, or reads one attribute of an
 * entry), and releases everything again in the reverse order.
 *
 *   example_host HOST BASE GROUP_DN [events]
 *   example_host HOST BASE DN compare ATTRIBUTE VALUE
 *   example_host HOST BASE DN read ATTRIBUTE
 *
 * HOST is what dsopen takes: "ldif:FILE" for an embedded directory kept in
 * an LDIF file, or an LDAP URI such as "ldap://127.0.0.1:3890". With
 * "events" the group's event subscribers are expanded instead. "compare"
 * prints whether the entry DN holds the value. "read" prints each value of
 * the attribute as "NAME (TYPE): VALUE", read with the typed getter that
 * suits it (TYPE int, long, double, text, or binary with its byte count).
 *
 * Build it against the installed kit with pkg-config:
 *   cc -std=c99 example_host.c $(pkg-config --cflags --libs qorldap) \
 *      -Wl,-rpath,"$(pkg-config --variable=libdir qorldap)" -o example_host
 * (the rpath lets the program find libqorkernel.so.1 in a prefix outside
 * the loader's search path; an install under /usr needs none)
 * or with CMake: find_package(qorldap) and link qorldap::kernel.
 *
 * Exit status: 0 the group was expanded (also when it has no subscribers),
 * 3 there is no group entry of that DN, 1 a failure, which is printed with the status's name and hint, 4 a partial
 * result: the entries found are printed, and so is the warning that says why
 * the list may be incomplete (a server's size or time limit, say). A compare
 * exits 0 when the entry holds the value and 3 when it does not; a read
 * exits 0 when it printed values and 3 when the entry has none of the
 * attribute or there is no such entry.
 *
 * Any status other than DS_OK that is not an error is a warning, and a
 * warning beside a list means the list may lack entries: a host must not
 * take it for the whole answer. Only DS_W_NOT_FOUND means "nothing there".
 */
#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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
    /* dsexpgrp says "nothing found" only of the group entry itself; a group
       without subscribers gives DS_OK and an empty (or no) list. */
    printf("no entry has the DN %s\n", group);
  } else if (DS_IS_ERROR(status)) {
    report(handle, "dsexpgrp", status);
  } else {
    if (list != NULL) print_entries(list);
    if (status != DS_STATUS(DS_OK)) report(handle, "dsexpgrp: partial result", status);
  }
  if (list != NULL) ops->dsfree(handle, list);
  if (DS_IS_ERROR(status)) return 1;
  if (status == DS_STATUS(DS_W_NOT_FOUND)) return 3;
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

/* How a host reads a value. The module hands every value over as text; the
   typed getters convert it, and the first getter called on a value caches
   its number in the record, so that every later getter reads that number
   (see dsval in <qorldap/records.h>): a host decides the type first and
   reads the value with that getter. Here the type comes from the text
   itself. The integer getters parse at most a signed 32-bit number and only
   dsgint takes a sign, so a signed whole number is read with dsgint, an
   unsigned one with dsglong, and a larger one is left as text. */
typedef enum { AS_TEXT, AS_INT, AS_LONG, AS_DOUBLE, AS_BINARY } value_type;

static value_type type_of(const dsval* value) {
  const char* text = value->text;
  char* end;
  long long number;
  if (value->len > 0) return AS_BINARY; /* bytes that hold a zero byte */
  if (text[0] == '\0' || strspn(text, "0123456789+-.eE") != strlen(text)) return AS_TEXT;
  errno = 0;
  number = strtoll(text, &end, 10);
  if (*end == '\0') {
    if (errno != 0 || number < INT32_MIN || number > INT32_MAX) return AS_TEXT;
    return isdigit((unsigned char)text[0]) ? AS_LONG : AS_INT;
  }
  (void)strtod(text, &end);
  return *end == '\0' ? AS_DOUBLE : AS_TEXT;
}

static void print_value(const qorldap_table* ops, const char* name, dsval* value) {
  switch (type_of(value)) {
    case AS_INT:
      printf("%s (int): %d\n", name, (int)ops->dsgint(value));
      break;
    case AS_LONG:
      printf("%s (long): %lld\n", name, (long long)ops->dsglong(value));
      break;
    case AS_DOUBLE:
      printf("%s (double): %g\n", name, ops->dsgdbl(value));
      break;
    case AS_BINARY:
      printf("%s (binary): %lld bytes\n", name, (long long)value->len);
      break;
    default:
      printf("%s (text): %s\n", name, ops->dsgstr(value));
      break;
  }
}

/* Reads one attribute of an entry and prints its values. Only that
   attribute is asked for, so every attribute of the entry found is it. */
static int read_attribute(const qorldap_table* ops, dshandle* handle, const char* dn,
                          const char* attribute) {
  const char* attributes[2];
  dsent** list = NULL;
  uint32_t status;
  int32_t printed = 0, i;
  size_t a;
  attributes[0] = attribute;
  attributes[1] = NULL;
  status = ops->dsrslvdn(handle, dn, attributes, &list);
  if (DS_IS_ERROR(status)) {
    report(handle, "dsrslvdn", status);
  } else if (list == NULL || list[0] == NULL) {
    printf("%s: no such entry\n", dn);
  } else {
    for (a = 0; list[0]->atts != NULL && list[0]->atts[a] != NULL; ++a) {
      dsatt* found = list[0]->atts[a];
      for (i = 0; i < found->nvals; ++i, ++printed) print_value(ops, found->name, found->vals[i]);
    }
    if (printed == 0) printf("%s has no %s\n", dn, attribute);
  }
  if (list != NULL) ops->dsfree(handle, list);
  if (DS_IS_ERROR(status)) return 1;
  return printed > 0 ? 0 : 3;
}

/* The command the arguments ask for, on an open connection. */
static int run(const qorldap_table* ops, dshandle* handle, int argc, char** argv) {
  if (argc == 7) return compare_value(ops, handle, argv[3], argv[5], argv[6]);
  if (argc == 6) return read_attribute(ops, handle, argv[3], argv[5]);
  return expand_group(ops, handle, argv[3],
                      argc == 5 ? DS_EXPAND_EVENT_SUBSCRIBERS : DS_EXPAND_SUBSCRIBERS);
}

static int usable_arguments(int argc, char** argv) {
  if (argc == 4) return 1;
  if (argc == 5) return strcmp(argv[4], "events") == 0;
  if (argc == 6) return strcmp(argv[4], "read") == 0;
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
            "       example_host HOST BASE DN compare ATTRIBUTE VALUE\n"
            "       example_host HOST BASE DN read ATTRIBUTE\n");
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

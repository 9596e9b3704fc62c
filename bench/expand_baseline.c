/*
 * The yardstick for `qorhost expand`: a plain synchronous libldap program
 * that makes the same searches as the module's dsexpgrp (baseline_expand.h)
 * and prints the subscriber entries it finds as LDIF, the way qorhost
 * prints them.
 *
 *   expand_baseline URI BASE GROUP_DN [KIND]      KIND 1 (default): plain
 *                                                 subscribers, else event
 *
 * Exit status 0 when the expansion ran, 2 for bad usage, 3 when a request
 * failed. The expansion is baseline_expand.c's, the one the benchmarks run
 * in process; this file is the program around it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lber.h>
#include <ldap.h>
#include <ldif.h>

#include "baseline_expand.h"
#include "baseline_walk.h"

static void print_line(const char* name, const char* value, size_t length) {
  char* line = ldif_put_wrap(LDIF_PUT_VALUE, name, value, length, 0);
  if (line == NULL) return;
  fputs(line, stdout);
  ber_memfree(line);
}

/* Attribute names arrive counted; ldif_put_wrap wants them terminated. */
static void print_value(void* context, const struct berval* name, const struct berval* value) {
  (void)context;
  char text[256];
  const size_t length = name->bv_len < sizeof text ? name->bv_len : sizeof text - 1;
  memcpy(text, name->bv_val, length);
  text[length] = '\0';
  print_line(text, value->bv_val, value->bv_len);
}

static void print_entry(void* context, LDAP* ld, LDAPMessage* entry) {
  (void)context;
  baseline_walk_entry(ld, entry, print_value, NULL);
  fputc('\n', stdout);
}

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    fprintf(stderr, "usage: expand_baseline URI BASE GROUP_DN [KIND]\n");
    return 2;
  }
  LDAP* ld = baseline_connect(argv[1]);
  if (ld == NULL) {
    fprintf(stderr, "expand_baseline: cannot connect to %s\n", argv[1]);
    return 3;
  }
  const int kind = argc == 5 ? atoi(argv[4]) : 1;
  const int code = baseline_expand(ld, argv[2], argv[3], kind, print_entry, NULL);
  ldap_unbind_ext_s(ld, NULL, NULL);
  return code == LDAP_SUCCESS ? 0 : 3;
}

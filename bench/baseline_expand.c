/*
 * Group expansion as a plain synchronous libldap client makes it (the
 * contract is in baseline_expand.h). This is the expansion itself, linked
 * into the in-process benchmarks and into the program expand_baseline, whose
 * main (expand_baseline.c) prints what it finds.
 */
#include "baseline_expand.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <lber.h>

enum { kDeepestNesting = 32 };

static const char kPlainPrefix[] =
    "(&(|(objectclass=qorsubscriber)(qorInterface=qorsubscriber))(qorpersondn=";
static const char kEventPrefix[] =
    "(&(|(objectclass=qor-eventsubscriber)(qorInterface=qor-eventsubscriber))(qorpersondn=";

struct expansion {
  LDAP* ld;
  const char* base;
  const char* prefix;
  baseline_entry_visit visit;
  void* context;
};

/* The filter for one member: the prefix, the DN with the filter's special
   characters escaped, and "))". */
static char* subscriber_filter(const char* prefix, const struct berval* member) {
  struct berval escaped = {0, NULL};
  if (ldap_bv2escaped_filter_value((struct berval*)member, &escaped) != 0) return NULL;
  size_t size = strlen(prefix) + escaped.bv_len + 3;
  char* filter = malloc(size);
  if (filter != NULL) snprintf(filter, size, "%s%s))", prefix, escaped.bv_val);
  ber_memfree(escaped.bv_val);
  return filter;
}

static int search(struct expansion* x, const char* base, int scope, const char* filter,
                  char** attributes, LDAPMessage** result) {
  int code =
      ldap_search_ext_s(x->ld, base, scope, filter, attributes, 0, NULL, NULL, NULL, 0, result);
  if (code == LDAP_NO_SUCH_OBJECT) return LDAP_SUCCESS;
  if (code != LDAP_SUCCESS)
    fprintf(stderr, "baseline_expand: %s: %s\n", filter, ldap_err2string(code));
  return code;
}

static int is_group(LDAP* ld, LDAPMessage* entry) {
  struct berval** classes = ldap_get_values_len(ld, entry, "objectClass");
  int group = 0;
  for (int i = 0; classes != NULL && classes[i] != NULL; ++i) {
    if (strncasecmp(classes[i]->bv_val, "groupOfUniqueNames", classes[i]->bv_len) == 0 ||
        strncasecmp(classes[i]->bv_val, "groupOfNames", classes[i]->bv_len) == 0) {
      group = 1;
    }
  }
  ldap_value_free_len(classes);
  return group;
}

static int expand_group(struct expansion* x, const char* dn, int depth);

/* A member without subscribers: read by its DN, expanded when a group. */
static int read_member(struct expansion* x, const struct berval* member, int depth) {
  char* dn = strndup(member->bv_val, member->bv_len);
  LDAPMessage* result = NULL;
  int code = dn == NULL ? LDAP_NO_MEMORY
                        : search(x, dn, LDAP_SCOPE_BASE, "(objectClass=*)", NULL, &result);
  LDAPMessage* entry = code == LDAP_SUCCESS ? ldap_first_entry(x->ld, result) : NULL;
  if (entry != NULL && is_group(x->ld, entry)) {
    char* entry_dn = ldap_get_dn(x->ld, entry);
    code = depth >= kDeepestNesting ? LDAP_LOOP_DETECT : expand_group(x, entry_dn, depth + 1);
    ldap_memfree(entry_dn);
  }
  ldap_msgfree(result);
  free(dn);
  return code;
}

static int expand_member(struct expansion* x, const struct berval* member, int depth) {
  char* filter = subscriber_filter(x->prefix, member);
  if (filter == NULL) return LDAP_NO_MEMORY;
  LDAPMessage* result = NULL;
  int code = search(x, x->base, LDAP_SCOPE_SUBTREE, filter, NULL, &result);
  free(filter);
  if (code == LDAP_SUCCESS && ldap_count_entries(x->ld, result) > 0) {
    for (LDAPMessage* entry = ldap_first_entry(x->ld, result); entry != NULL;
         entry = ldap_next_entry(x->ld, entry)) {
      x->visit(x->context, x->ld, entry);
    }
  } else if (code == LDAP_SUCCESS) {
    code = read_member(x, member, depth);
  }
  ldap_msgfree(result);
  return code;
}

static int expand_group(struct expansion* x, const char* dn, int depth) {
  char* attributes[] = {"member", "uniquemember", NULL};
  LDAPMessage* result = NULL;
  int code = search(x, dn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes, &result);
  LDAPMessage* group = code == LDAP_SUCCESS ? ldap_first_entry(x->ld, result) : NULL;
  BerElement* ber = NULL;
  char* first = group == NULL ? NULL : ldap_first_attribute(x->ld, group, &ber);
  struct berval** members = first == NULL ? NULL : ldap_get_values_len(x->ld, group, first);
  for (int i = 0; code == LDAP_SUCCESS && members != NULL && members[i] != NULL; ++i) {
    code = expand_member(x, members[i], depth);
  }
  ldap_value_free_len(members);
  ldap_memfree(first);
  ber_free(ber, 0);
  ldap_msgfree(result);
  return code;
}

int baseline_expand(LDAP* ld, const char* base, const char* group_dn, int kind,
                    baseline_entry_visit visit, void* context) {
  struct expansion x = {ld, base, kind == 1 ? kPlainPrefix : kEventPrefix, visit, context};
  return expand_group(&x, group_dn, 0);
}

LDAP* baseline_connect(const char* uri) {
  LDAP* ld = NULL;
  const int version = LDAP_VERSION3;
  if (ldap_initialize(&ld, uri) != LDAP_SUCCESS) return NULL;
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_connect(ld) != LDAP_SUCCESS) {
    ldap_unbind_ext_s(ld, NULL, NULL);
    return NULL;
  }
  return ld;
}

/*
 * A walk of one search result entry with libldap's cheapest public calls:
 * the DN and each attribute's values are read in place from the message's
 * encoding (ldap_get_dn_ber, ldap_get_attribute_ber), nothing is copied.
 * Shared by the C yardstick program and the in-process benchmarks, so both
 * measure the same client work.
 */
#ifndef QOR_BENCH_BASELINE_WALK_H
#define QOR_BENCH_BASELINE_WALK_H

#include <lber.h>
#include <ldap.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Called for the DN (name "dn") and then for every value of every attribute,
   in the order of the entry. */
typedef void (*baseline_visit)(void* context, const struct berval* name,
                               const struct berval* value);

/* LDAP_SUCCESS, or the decoding failure. */
static inline int baseline_walk_entry(LDAP* ld, LDAPMessage* entry, baseline_visit visit,
                                      void* context) {
  static const struct berval kDn = {2, (char*)"dn"};
  BerElement* ber = NULL;
  struct berval dn = {0, NULL};
  int code = ldap_get_dn_ber(ld, entry, &ber, &dn);
  if (code == LDAP_SUCCESS) visit(context, &kDn, &dn);
  struct berval name = {0, NULL};
  struct berval* values = NULL;
  while (code == LDAP_SUCCESS &&
         (code = ldap_get_attribute_ber(ld, entry, ber, &name, &values)) == LDAP_SUCCESS &&
         name.bv_val != NULL) {
    for (struct berval* value = values; value != NULL && value->bv_val != NULL; ++value) {
      visit(context, &name, value);
    }
    ber_memfree(values);
    values = NULL;
  }
  ber_free(ber, 0);
  return code;
}

#ifdef __cplusplus
}
#endif

#endif

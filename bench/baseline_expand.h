/*
 * Group expansion as a plain synchronous libldap client makes it: the
 * yardstick against which the module's dsexpgrp is measured, in a process of
 * its own (expand_baseline) and in process (the benchmarks).
 *
 * The group is read with "member" and "uniquemember"; for each value of its
 * first attribute a subtree search under the base looks for the member's
 * subscriber entries, each of which is handed to `visit`; a member without
 * any is read by its DN and, when it is a group, expanded in its place, at
 * most 32 levels deep. Nothing is kept beyond the search that returned it.
 */
#ifndef QOR_BENCH_BASELINE_EXPAND_H
#define QOR_BENCH_BASELINE_EXPAND_H

#include <ldap.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*baseline_entry_visit)(void* context, LDAP* ld, LDAPMessage* entry);

/* kind 1: plain subscribers, anything else: event subscribers. LDAP_SUCCESS
   or the first failure (reported on standard error). */
int baseline_expand(LDAP* ld, const char* base, const char* group_dn, int kind,
                    baseline_entry_visit visit, void* context);

/* A connection as the module's extension opens one: LDAPv3, no referrals,
   connected at once. Null when that fails. */
LDAP* baseline_connect(const char* uri);

#ifdef __cplusplus
}
#endif

#endif

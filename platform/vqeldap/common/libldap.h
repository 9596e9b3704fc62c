// libldap's process-wide set-up, done once before any thread makes an LDAP
// handle. libldap initialises its global options (and the mutexes that
// guard them) on the first call that needs them, without a lock of its own:
// two threads making their first handles at once race in that set-up.
// Every place in the extension that makes an LDAP handle calls this first;
// the function-local static makes the first call the only one that
// initialises, and every other caller waits for it.
#pragma once

#include <ldap.h>

namespace vqeldap {

inline void initialiseLibldap() {
  static const bool initialised = [] {
    int version = 0;
    return ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS;
  }();
  (void)initialised;
}

}  // namespace vqeldap

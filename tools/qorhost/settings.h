// The server and the base a run goes to when the command line does not name
// them. The module looks first (its LDAP_HOST and LDAP_BASE macro symbols,
// then the environment variables of the same names); when it would find
// nothing, libldap's own configuration is the last fallback, as ldapsearch
// reads it: LDAPURI and LDAPBASE, then URI and BASE of ldap.conf, LDAPCONF,
// ~/.ldaprc and LDAPRC.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "arguments.h"

namespace qorcli {

struct SettingSources {
  // An environment variable as the module reads it; nullopt when unset.
  std::function<std::optional<std::string>(const char*)> environment;
  // libldap's configured server list and base; nullopt when not configured.
  std::optional<std::string> libldapUri;
  std::optional<std::string> libldapBase;
};

// The process's environment and libldap's configuration.
SettingSources processSources();

// The host text the module finds: -H, the LDAP_HOST macro symbol, then the
// environment variable; empty when none is set.
std::string moduleHost(const Invocation& invocation, const SettingSources& sources);

// Fills in what dsopen would otherwise go without:
//   - no host anywhere the module looks: libldap's URI;
//   - a command that searches under the base (search, expand) with no base
//     anywhere the module looks: libldap's base;
//   - a command that names its entries by DN, without -b: the empty base,
//     which the module needs to open and the command never searches under.
void completeSettings(Invocation& invocation, const SettingSources& sources);

// libldap's own debug output (on standard error) at `level`, for every
// connection of the process: -d.
void setLibldapDebugLevel(int level);

}  // namespace qorcli

#include "settings.h"

#include <ldap.h>

#include <cstdlib>

namespace qorcli {
namespace {

// What libldap reports as its URI when nothing configures one: its built-in
// ldap://localhost, which is no server anyone named.
constexpr const char* kLibldapDefaultUri = "ldap://localhost:389/??base";

std::optional<std::string> libldapText(int option) {
  char* value = nullptr;
  if (ldap_get_option(nullptr, option, &value) != LDAP_OPT_SUCCESS || value == nullptr) {
    return std::nullopt;
  }
  std::string text(value);
  ldap_memfree(value);
  if (text.empty()) return std::nullopt;
  return text;
}

// The module's lookup of a setting: the last macro symbol of that name given,
// then the environment variable; empty when neither holds a value.
std::string moduleSetting(const Invocation& invocation, const SettingSources& sources,
                          const char* name) {
  std::string macro;
  for (const auto& [symbol, value] : invocation.macros) {
    if (symbol == name) macro = value;
  }
  if (!macro.empty()) return macro;
  return sources.environment(name).value_or("");
}

}  // namespace

SettingSources processSources() {
  SettingSources sources;
  sources.environment = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  sources.libldapUri = libldapText(LDAP_OPT_URI);
  if (sources.libldapUri == kLibldapDefaultUri) sources.libldapUri.reset();
  sources.libldapBase = libldapText(LDAP_OPT_DEFBASE);
  return sources;
}

std::string moduleHost(const Invocation& invocation, const SettingSources& sources) {
  if (invocation.host) return *invocation.host;
  return moduleSetting(invocation, sources, "LDAP_HOST");
}

void completeSettings(Invocation& invocation, const SettingSources& sources) {
  if (moduleHost(invocation, sources).empty() && sources.libldapUri) {
    invocation.host = sources.libldapUri;
  }
  if (invocation.base) return;
  if (!usesBase(invocation.command)) {
    invocation.base = std::string();
  } else if (moduleSetting(invocation, sources, "LDAP_BASE").empty() && sources.libldapBase) {
    invocation.base = sources.libldapBase;
  }
}

void setLibldapDebugLevel(int level) {
  ber_set_option(nullptr, LBER_OPT_DEBUG_LEVEL, &level);
  ldap_set_option(nullptr, LDAP_OPT_DEBUG_LEVEL, &level);
}

}  // namespace qorcli
